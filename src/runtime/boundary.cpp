// The native boundary: every slot turns whatever its C++ body threw into the
// pending Python error, checks the C stack and the recursion limit before it
// runs native code, and module initialisation reports errors as themselves.
#include "internal.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace rt {
namespace detail {

// Whatever a native body threw becomes the pending Python error: Python
// errors as they were, pybind11's translated ones, and anything else as a
// SystemError naming where it happened. Called inside a catch handler.
void set_error_from_exception(PyObject *where) noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_Format(PyExc_SystemError, "%S raised a C++ exception: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%S raised an unknown C++ exception", where);
    }
}

// A native call takes far more C stack than a Python one, so the recursion
// counter alone cannot keep a deep recursion through native functions from
// overflowing the stack when a program raises the recursion limit. Each call
// first checks how much of its thread's stack is left.
namespace {

// Stack kept in reserve below the lowest native call: room for the
// interpreter to raise and unwind, and for the Python frames between two
// native calls. A quarter of the stack, at most this much.
constexpr size_t STACK_RESERVE_MAX = size_t{256} * 1024;  // 256 KiB

struct StackBounds {
    uintptr_t limit = 0;  // calls below this address are refused
    bool known = false;
};

thread_local StackBounds stack_bounds;

bool stack_is_low() noexcept {
    char here;
    StackBounds &b = stack_bounds;
    if (!b.known) {
        b.known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size) {
                size_t margin = std::min(size / 4, STACK_RESERVE_MAX);
                b.limit = reinterpret_cast<uintptr_t>(low) + margin;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return reinterpret_cast<uintptr_t>(&here) < b.limit;
}

}  // namespace

bool enter_native_call() noexcept {
    if (stack_is_low()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    // Counted against the recursion limit too, as a Python frame would be.
    return Py_EnterRecursiveCall("") == 0;
}
}  // namespace detail

int exec_module(PyObject *module, void (*body)(py::module_ &)) noexcept {
    py::object name;
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        name = m.attr("__name__");
        // A module object reused by a second interpreter finds its body run.
        if (!py::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
            body(m);
            py::detail::cache_completed_module(m);
        }
        return 0;
    } catch (...) {
        detail::set_error_from_exception(name ? name.ptr() : module);
    }
    return -1;
}

}  // namespace rt
