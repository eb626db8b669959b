// The native boundary: every slot turns whatever its C++ body threw into the
// pending Python error, checks the C stack and the recursion limit before it
// runs native code, and module initialisation reports errors as themselves.
#include "internal.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

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

// The functions the object layer declares and only the whole binding library
// defines: emitted here, once, for the modules (which include only the
// object layer) to link against.
extern void *const object_layer_needs[];
void *const object_layer_needs[] = {
    reinterpret_cast<void *>(&py::detail::get_fully_qualified_tp_name),
};

PyObject *init_module(PyModuleDef *def, const char *name, int (*exec)(PyObject *)) noexcept {
    // A module built for another interpreter version says so, as pybind11's does.
    const char *compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
    const char *running = Py_GetVersion();
    size_t length = std::strlen(compiled);
    if (std::strncmp(running, compiled, length) != 0 || (running[length] >= '0' && running[length] <= '9')) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     compiled, running);
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        // Filled once (an import that failed may be tried again): the slots
        // live as long as the definition, the process, and are never freed.
        if (def->m_slots == nullptr) {
            auto *slots = new py::detail::slots_array(py::detail::init_slots(exec));
            *def =
                PyModuleDef{PyModuleDef_HEAD_INIT, name, nullptr, 0, nullptr, slots->data(), nullptr, nullptr, nullptr};
        }
        return PyModuleDef_Init(def);
    } catch (...) {
        // Only the binding library's internals can fail here (memory): said
        // as an ImportError, the failure itself its cause.
        PyObject *where = PyUnicode_FromString(name);
        if (where == nullptr) return nullptr;  // MemoryError, already set
        detail::set_error_from_exception(where);
        Py_DECREF(where);
        try {
            py::error_already_set cause;
            py::raise_from(cause, PyExc_ImportError, "initialization failed");
        } catch (...) {
            PyErr_SetString(PyExc_ImportError, "initialization failed");
        }
    }
    return nullptr;
}

py::object import_module(const char *name) {
    return py::module_::import(name);
}

int exec_module(PyObject *module, void (*body)(py::object &)) noexcept {
    py::object name;
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        name = m.attr("__name__");
        // A module object reused by a second interpreter finds its body run.
        if (!py::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
            py::object as_object = m;
            body(as_object);
            py::detail::cache_completed_module(m);
        }
        return 0;
    } catch (...) {
        detail::set_error_from_exception(name ? name.ptr() : module);
    }
    return -1;
}

}  // namespace rt
