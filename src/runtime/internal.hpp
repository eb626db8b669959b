// What the runtime's own files share and modules never see: the native
// function object's layout, the types made once per module, and the native
// boundary every slot goes through.
#pragma once

#include "runtime.hpp"

// The runtime's own files use the whole binding library.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace rt {
namespace detail {

// A function as defined: its parameters, body and the binding plan derived
// from them.
struct FunctionSpec {
    std::string name;
    std::vector<Param> params;
    const char *doc = nullptr;
    std::string returns;  // return annotation expression, empty for none
    Body body;
};

struct Compiled {
    FunctionSpec spec;
    std::vector<PyObject *> names;  // interned parameter names, owned
    Py_ssize_t npos = 0;            // positional-or-keyword parameters
    Py_ssize_t varargs = -1;        // index of *args
    Py_ssize_t kwonly_begin = 0, kwonly_end = 0;
    Py_ssize_t varkw = -1;  // index of **kwargs
    bool has_float = false, has_str = false;
    std::string source;  // file reported in tracebacks
    // The name as defined: like a code object's co_name, it is what 3.9's
    // argument errors and every traceback show, whatever __name__ becomes.
    PyObject *code_name = nullptr;

    ~Compiled() {
        for (PyObject *n : names) Py_XDECREF(n);
        Py_XDECREF(code_name);
    }
};

// Created once per extension module (every module carries its own copy of
// the runtime); owned for the life of the interpreter, hence raw pointers.
extern PyTypeObject *function_type;
extern PyTypeObject *iterator_type;
extern PyObject *builtins_dict;
extern PyType_Spec function_spec;
extern PyType_Spec iterator_spec;

// Makes the types and finds the builtins, once.
void init_runtime();

// function.cpp: a native function from its spec, with defaults and
// annotations evaluated in `globals` (the module namespace).
py::object make_function_object(FunctionSpec spec, const std::string &qualname, const std::string &module_name,
                                const py::dict &globals, const std::string &source);

// binding.cpp: binds a call's arguments into `slots` as CPython binds them,
// then applies the per-parameter checks; false with the error set.
bool bind(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames, py::object *slots);
bool apply_checks(FunctionObject *f, py::object *slots);
// TypeError("Argument '<param>' has incorrect type (expected str, got <type>)")
void set_incorrect_type(const std::string &param, PyObject *value);

// boundary.cpp: whatever a native body threw becomes the pending Python
// error (anything unknown a SystemError naming `where`); call it inside a
// catch handler. And the checks every native call makes first: C stack
// left, recursion limit.
void set_error_from_exception(PyObject *where) noexcept;
bool enter_native_call() noexcept;
inline void leave_native_call() noexcept {
    Py_LeaveRecursiveCall();
}

[[noreturn]] inline void throw_current() {
    throw py::error_already_set();
}

}  // namespace detail

// The native function object, laid out like a Python function's essentials.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;     // tuple or NULL
    PyObject *kwdefaults;   // dict or NULL
    PyObject *annotations;  // dict or NULL
    PyObject *globals;      // the module namespace
    PyObject *klass;        // defining class or NULL
    detail::Compiled *code;
};

}  // namespace rt
