#include "runtime.hpp"

#include <pthread.h>
#include <structmember.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace rt {

namespace {

// Created once per extension module (every module carries its own copy of
// the runtime); owned for the life of the interpreter, hence raw pointers.
PyTypeObject *function_type = nullptr;
PyTypeObject *iterator_type = nullptr;
PyObject *builtins_dict = nullptr;

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

}  // namespace

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
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
    Compiled *code;
};

namespace {

// ---- argument binding, with the interpreter's own error texts --------------

PyObject *display_name(FunctionObject *f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->code->code_name;
#endif
}

void too_many_positional(FunctionObject *f, Py_ssize_t given, py::object *slots) {
    const Compiled &c = *f->code;
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = c.kwonly_begin; i < c.kwonly_end; i++)
        if (slots[i]) kwonly_given++;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    bool plural;
    py::object sig;
    if (defcount) {
        plural = true;
        sig = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("from %zd to %zd", c.npos - defcount, c.npos));
    } else {
        plural = c.npos != 1;
        sig = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("%zd", c.npos));
    }
    py::object kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "",
                                 kwonly_given, kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = py::str("");
    }
    if (!sig || !kwonly_sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", display_name(f),
                 sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

void missing_arguments(FunctionObject *f, bool positional, py::object *slots) {
    const Compiled &c = *f->code;
    Py_ssize_t start, end;
    if (positional) {
        start = 0;
        end = c.npos - (f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0);
    } else {
        start = c.kwonly_begin;
        end = c.kwonly_end;
    }
    py::list names;
    for (Py_ssize_t i = start; i < end; i++) {
        if (!slots[i]) names.append(py::repr(c.names[i]));
    }
    Py_ssize_t len = static_cast<Py_ssize_t>(names.size());
    py::object name_str;
    if (len == 1) {
        name_str = names[0];
    } else if (len == 2) {
        name_str = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat("%U and %U", names[0].ptr(), names[1].ptr()));
    } else {
        py::object tail = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat(", %U, and %U", names[len - 2].ptr(), names[len - 1].ptr()));
        py::list head;
        for (Py_ssize_t i = 0; i < len - 2; i++) head.append(names[i]);
        name_str = py::str(", ").attr("join")(head) + tail;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", display_name(f), (int)len,
                 positional ? "positional" : "keyword-only", len == 1 ? "" : "s", name_str.ptr());
}

Py_ssize_t find_keyword(const Compiled &c, PyObject *key) {
    // Names are interned and keyword names usually are too: try identity first.
    for (Py_ssize_t i = 0; i < c.npos; i++)
        if (c.names[i] == key) return i;
    for (Py_ssize_t i = c.kwonly_begin; i < c.kwonly_end; i++)
        if (c.names[i] == key) return i;
    for (Py_ssize_t i = 0; i < c.npos; i++)
        if (PyUnicode_Compare(c.names[i], key) == 0) return i;
    for (Py_ssize_t i = c.kwonly_begin; i < c.kwonly_end; i++)
        if (PyUnicode_Compare(c.names[i], key) == 0) return i;
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

bool bind(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames, py::object *slots) {
    const Compiled &c = *f->code;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t n = nargs < c.npos ? nargs : c.npos;
    for (Py_ssize_t i = 0; i < n; i++) slots[i] = py::reinterpret_borrow<py::object>(args[i]);
    if (c.varargs >= 0) {
        PyObject *rest = PyTuple_New(nargs > c.npos ? nargs - c.npos : 0);
        if (!rest) return false;
        for (Py_ssize_t i = c.npos; i < nargs; i++) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(rest, i - c.npos, args[i]);
        }
        slots[c.varargs] = py::reinterpret_steal<py::object>(rest);
    }
    if (c.varkw >= 0) {
        PyObject *d = PyDict_New();
        if (!d) return false;
        slots[c.varkw] = py::reinterpret_steal<py::object>(d);
    }
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; j++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, j);
            PyObject *value = args[nargs + j];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", display_name(f));
                return false;
            }
            Py_ssize_t idx = find_keyword(c, key);
            if (idx < 0) {
                if (c.varkw < 0) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", display_name(f),
                                 key);
                    return false;
                }
                if (PyDict_SetItem(slots[c.varkw].ptr(), key, value) < 0) return false;
                continue;
            }
            if (slots[idx]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", display_name(f), key);
                return false;
            }
            slots[idx] = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (nargs > c.npos && c.varargs < 0) {
        too_many_positional(f, nargs, slots);
        return false;
    }
    if (nargs < c.npos) {
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t m = c.npos - defcount;
        for (Py_ssize_t i = nargs; i < m; i++) {
            if (!slots[i]) {
                missing_arguments(f, true, slots);
                return false;
            }
        }
        for (Py_ssize_t i = (n > m ? n - m : 0); i < defcount; i++) {
            if (!slots[m + i]) slots[m + i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i));
        }
    }
    if (c.kwonly_end > c.kwonly_begin) {
        bool missing = false;
        for (Py_ssize_t i = c.kwonly_begin; i < c.kwonly_end; i++) {
            if (slots[i]) continue;
            if (f->kwdefaults) {
                PyObject *def = PyDict_GetItemWithError(f->kwdefaults, c.names[i]);
                if (def) {
                    slots[i] = py::reinterpret_borrow<py::object>(def);
                    continue;
                }
                if (PyErr_Occurred()) return false;
            }
            missing = true;
        }
        if (missing) {
            missing_arguments(f, false, slots);
            return false;
        }
    }
    return true;
}

// Formatted by Python's own %-operator from whatever the type gives as its
// __name__: a metaclass may answer with any object (or raise), and the text
// is cut at 200 characters, not 200 bytes of UTF-8.
void set_incorrect_type(const std::string &param, PyObject *value) {
    py::object type_name = py::type::handle_of(value).attr("__name__");
    py::object message = py::str("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)")
                             .attr("__mod__")(py::make_tuple(py::str(param), py::str("str"), type_name));
    PyErr_SetObject(PyExc_TypeError, message.ptr());
}

// Conversions first (they happen while arguments are unpacked), then the
// type checks, each in parameter order.
bool apply_checks(FunctionObject *f, py::object *slots) {
    const Compiled &c = *f->code;
    const auto &params = c.spec.params;
    if (c.has_float) {
        for (size_t i = 0; i < params.size(); i++) {
            if (params[i].check != Check::Float) continue;
            PyObject *v = slots[i].ptr();
            if (PyFloat_CheckExact(v)) continue;
            double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred()) return false;
            PyObject *fv = PyFloat_FromDouble(d);
            if (!fv) return false;
            slots[i] = py::reinterpret_steal<py::object>(fv);
        }
    }
    if (c.has_str) {
        for (size_t i = 0; i < params.size(); i++) {
            if (params[i].check != Check::StrOrNone) continue;
            PyObject *v = slots[i].ptr();
            if (v == Py_None || PyUnicode_CheckExact(v)) continue;
            try {
                set_incorrect_type(params[i].name, v);
            } catch (py::error_already_set &e) {
                e.restore();
            }
            return false;
        }
    }
    return true;
}

void add_traceback(FunctionObject *f) {
#if PY_VERSION_HEX < 0x030B0000
    // Show the native frame in tracebacks, as a Python function's would be.
    // Tracebacks of Python code name the function, not its qualified name.
    _PyTraceback_Add(f->code->spec.name.c_str(), f->code->source.c_str(), 0);
#else
    (void)f;
#endif
}

// ---- the native boundary -----------------------------------------------------------

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
struct StackBounds {
    uintptr_t limit = 0;  // calls below this address are refused
    bool known = false;
};

thread_local StackBounds stack_bounds;

bool stack_is_low() {
    char here;
    StackBounds &b = stack_bounds;
    if (!b.known) {
        b.known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size) {
                // Room for the interpreter to raise and unwind, and for the
                // Python frames between two native calls.
                size_t margin = size / 4 < (size_t(256) << 10) ? size / 4 : (size_t(256) << 10);
                b.limit = reinterpret_cast<uintptr_t>(low) + margin;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return reinterpret_cast<uintptr_t>(&here) < b.limit;
}

bool enter_native_call() {
    if (stack_is_low()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    // Counted against the recursion limit too, as a Python frame would be.
    return Py_EnterRecursiveCall("") == 0;
}

PyObject *fn_call(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const size_t n = f->code->spec.params.size();
    py::object stackbuf[8];
    std::vector<py::object> heapbuf;
    py::object *slots = stackbuf;
    if (n > 8) {
        heapbuf.resize(n);
        slots = heapbuf.data();
    }
    try {
        if (!bind(f, args, nargsf, kwnames, slots)) return nullptr;
        if (!apply_checks(f, slots)) return nullptr;
        Call call(f, slots, n);
        py::object result = f->code->spec.body(call);
        if (!result) return py::none().release().ptr();
        return result.release().ptr();
    } catch (...) {
        set_error_from_exception(f->qualname);
    }
    add_traceback(f);
    return nullptr;
}

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (!enter_native_call()) return nullptr;
    PyObject *result = fn_call(reinterpret_cast<FunctionObject *>(self), args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// ---- the function type -------------------------------------------------------

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->klass);
    return 0;
}

int fn_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->klass);
    return 0;
}

void fn_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->code;
    f->code = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject *fn_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *fn_reduce(PyObject *self, PyObject *) {
    // Pickled by reference, like a Python function.
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

PyObject *get_name(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_INCREF(f->name);
    return f->name;
}

int set_str_field(PyObject *&field, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(field, value);
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) {
    return set_str_field(reinterpret_cast<FunctionObject *>(self)->name, value, "__name__");
}

PyObject *get_qualname(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str_field(reinterpret_cast<FunctionObject *>(self)->qualname, value, "__qualname__");
}

PyObject *get_doc(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject *d = f->doc ? f->doc : Py_None;
    Py_INCREF(d);
    return d;
}

int set_doc(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_XINCREF(value);
    Py_XSETREF(f->doc, value);
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject *d = f->defaults ? f->defaults : Py_None;
    Py_INCREF(d);
    return d;
}

int set_defaults(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->defaults, value);
    return 0;
}

PyObject *get_kwdefaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject *d = f->kwdefaults ? f->kwdefaults : Py_None;
    Py_INCREF(d);
    return d;
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->kwdefaults, value);
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->annotations, value);
    return 0;
}

// The signature is derived on every access from the current defaults and
// annotations, as inspect does for Python functions. One assigned to the
// function (decorators do that to Python functions) is kept in its __dict__,
// where a Python function keeps it, and wins.
PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (PyObject *assigned = f->dict ? PyDict_GetItemString(f->dict, "__signature__") : nullptr) {
        Py_INCREF(assigned);
        return assigned;
    }
    try {
        const Compiled &c = *f->code;
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object empty = Parameter.attr("empty");
        py::dict ann = f->annotations ? py::reinterpret_borrow<py::dict>(f->annotations) : py::dict();
        Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        py::list params;
        for (size_t i = 0; i < c.spec.params.size(); i++) {
            const Param &p = c.spec.params[i];
            py::str name = py::reinterpret_borrow<py::str>(c.names[i]);
            py::object kind, def = empty;
            switch (p.kind) {
            case Kind::Positional: {
                kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
                Py_ssize_t first_default = c.npos - defcount;
                if ((Py_ssize_t)i >= first_default && defcount)
                    def = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default));
                break;
            }
            case Kind::VarArgs: kind = Parameter.attr("VAR_POSITIONAL"); break;
            case Kind::KeywordOnly:
                kind = Parameter.attr("KEYWORD_ONLY");
                if (f->kwdefaults && PyDict_Contains(f->kwdefaults, name.ptr()) == 1)
                    def = py::reinterpret_borrow<py::object>(PyDict_GetItem(f->kwdefaults, name.ptr()));
                break;
            case Kind::VarKeywords: kind = Parameter.attr("VAR_KEYWORD"); break;
            }
            py::object a = ann.contains(name) ? py::object(ann[name]) : empty;
            params.append(Parameter(name, kind, py::arg("default") = def, py::arg("annotation") = a));
        }
        py::object ret = ann.contains("return") ? py::object(ann["return"]) : inspect.attr("Signature").attr("empty");
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret).release().ptr();
    } catch (...) {
        set_error_from_exception(f->qualname);
        return nullptr;
    }
}

int set_signature(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->dict && !(f->dict = PyDict_New())) return -1;
    if (value) return PyDict_SetItemString(f->dict, "__signature__", value);
    if (PyDict_GetItemString(f->dict, "__signature__")) return PyDict_DelItemString(f->dict, "__signature__");
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    return -1;
}

// The defining class, as method descriptors carry it: through it
// inspect.getdoc (and so help()) finds the docstring an undocumented
// override inherits, as it does for Python methods.
PyObject *get_objclass(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->klass) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    Py_INCREF(f->klass);
    return f->klass;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, (void *)fn_dealloc},
    {Py_tp_traverse, (void *)fn_traverse},
    {Py_tp_clear, (void *)fn_clear},
    {Py_tp_descr_get, (void *)fn_descr_get},
    {Py_tp_call, (void *)PyVectorcall_Call},
    {Py_tp_repr, (void *)fn_repr},
    {Py_tp_getset, (void *)fn_getset},
    {Py_tp_members, (void *)fn_members},
    {Py_tp_methods, (void *)fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "builtins.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
    fn_slots,
};

// ---- a lazy iterator -----------------------------------------------------------

// Like a generator: `next` runs with the iterator's state (a list, which the
// collector sees, so an iterator stored on the object it walks is collected),
// refuses to be re-entered, and after its end or a failure yields nothing more.
struct IteratorObject {
    PyObject_HEAD
    std::function<py::object(py::list &)> *next;
    PyObject *state;  // list
    bool running;
};

int it_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<IteratorObject *>(self)->state);
    return 0;
}

int it_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<IteratorObject *>(self)->state);
    return 0;
}

void it_finish(IteratorObject *it) {
    delete it->next;
    it->next = nullptr;
    Py_CLEAR(it->state);
}

void it_dealloc(PyObject *self) {
    auto *it = reinterpret_cast<IteratorObject *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    it_finish(it);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *it_iter(PyObject *self) {
    Py_INCREF(self);
    return self;
}

PyObject *it_next(PyObject *self) {
    auto *it = reinterpret_cast<IteratorObject *>(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!it->next || !it->state) return nullptr;
    if (!enter_native_call()) return nullptr;
    it->running = true;
    PyObject *result = nullptr;
    try {
        // Held for the call: the function must outlive anything it triggers.
        py::list state = py::reinterpret_borrow<py::list>(it->state);
        py::object item = (*it->next)(state);
        if (item) result = item.release().ptr();
    } catch (...) {
        set_error_from_exception(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    }
    it->running = false;
    Py_LeaveRecursiveCall();
    // Exhausted or failed: like a generator, it yields nothing more.
    if (!result) it_finish(it);
    return result;
}

PyType_Slot it_slots[] = {
    {Py_tp_dealloc, (void *)it_dealloc},
    {Py_tp_traverse, (void *)it_traverse},
    {Py_tp_clear, (void *)it_clear},
    {Py_tp_iter, (void *)it_iter},
    {Py_tp_iternext, (void *)it_next},
    {0, nullptr},
};

PyType_Spec it_spec = {
    "builtins.generator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    it_slots,
};

[[noreturn]] void throw_current() { throw py::error_already_set(); }

py::object make_function_object(FunctionSpec spec, const std::string &qualname, const std::string &module_name,
                                 py::dict globals, const std::string &source, const Module &mod) {
    auto *code = new Compiled();
    code->source = source;
    code->spec = std::move(spec);
    code->code_name = PyUnicode_InternFromString(code->spec.name.c_str());
    if (!code->code_name) {
        delete code;
        throw_current();
    }
    py::object defaults_holder;
    std::vector<py::object> pos_defaults;
    py::dict kwdefaults;
    py::dict annotations;
    int stage = 0;  // 0 positional, 1 after *args, 2 after **kwargs
    try {
        auto &params = code->spec.params;
        for (size_t i = 0; i < params.size(); i++) {
            Param &p = params[i];
            PyObject *name = PyUnicode_InternFromString(p.name.c_str());
            if (!name) throw_current();
            code->names.push_back(name);
            py::object def;
            if (p.has_default) {
                def = p.default_expr.empty() ? p.default_value : mod.eval(p.default_expr);
                // A checked parameter's default obeys its check now, at definition.
                if (p.check == Check::StrOrNone && !def.is_none() && !PyUnicode_CheckExact(def.ptr())) {
                    set_incorrect_type(p.name, def.ptr());
                    throw_current();
                }
                if (p.check == Check::Float) {
                    double d = PyFloat_AsDouble(def.ptr());
                    if (d == -1.0 && PyErr_Occurred()) throw_current();
                    def = py::float_(d);
                }
                p.default_value = py::object();
            }
            if (p.check == Check::Float) code->has_float = true;
            if (p.check == Check::StrOrNone) code->has_str = true;
            switch (p.kind) {
            case Kind::Positional:
                if (stage != 0) throw std::logic_error("positional parameter after *args: " + p.name);
                code->npos++;
                if (def) {
                    pos_defaults.push_back(def);
                } else if (!pos_defaults.empty()) {
                    throw std::logic_error("non-default parameter follows default parameter: " + p.name);
                }
                break;
            case Kind::VarArgs:
                if (stage != 0) throw std::logic_error("misplaced *args: " + p.name);
                code->varargs = (Py_ssize_t)i;
                stage = 1;
                break;
            case Kind::KeywordOnly:
                if (stage > 1) throw std::logic_error("keyword-only parameter after **kwargs: " + p.name);
                if (code->kwonly_end == 0) code->kwonly_begin = (Py_ssize_t)i;
                code->kwonly_end = (Py_ssize_t)i + 1;
                stage = 1;
                if (def) kwdefaults[py::str(p.name)] = def;
                break;
            case Kind::VarKeywords:
                if (stage > 1) throw std::logic_error("second **kwargs: " + p.name);
                code->varkw = (Py_ssize_t)i;
                stage = 2;
                break;
            }
            if (!p.annotation.empty()) annotations[py::str(p.name)] = mod.eval(p.annotation);
        }
        if (code->kwonly_end == 0) code->kwonly_begin = code->kwonly_end = 0;
        if (!code->spec.returns.empty()) annotations["return"] = mod.eval(code->spec.returns);
    } catch (...) {
        delete code;
        throw;
    }

    auto *f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) {
        delete code;
        throw_current();
    }
    // (PyObject_GC_New took the reference heap-type instances own.)
    f->vectorcall = fn_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->code = code;
    f->name = py::str(code->spec.name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = py::str(module_name).release().ptr();
    f->doc = code->spec.doc ? py::str(code->spec.doc).release().ptr() : py::none().release().ptr();
    if (pos_defaults.empty()) {
        f->defaults = nullptr;
    } else {
        py::tuple t(pos_defaults.size());
        for (size_t i = 0; i < pos_defaults.size(); i++) t[i] = pos_defaults[i];
        f->defaults = t.release().ptr();
    }
    f->kwdefaults = kwdefaults.size() ? kwdefaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->globals = globals.inc_ref().ptr();
    f->klass = nullptr;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

}  // namespace

// ---- Call -----------------------------------------------------------------------

py::object Call::g(const char *name) const {
    PyObject *v = PyDict_GetItemString(fn_->globals, name);
    if (!v) v = PyDict_GetItemString(builtins_dict, name);
    if (!v) {
        // A name the module imports on first use: its __getattr__ binds it.
        PyObject *resolve = PyDict_GetItemString(fn_->globals, "__getattr__");
        if (resolve) {
            PyObject *r = PyObject_CallFunction(resolve, "s", name);
            if (r) return py::reinterpret_steal<py::object>(r);
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
        }
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object Call::klass() const {
    if (!fn_->klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(fn_->klass);
}

py::object Call::super() const {
    py::object cls = klass();
    PyObject *s = PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, cls.ptr(), args_[0].ptr(), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object Call::globals() const { return py::reinterpret_borrow<py::object>(fn_->globals); }

// ---- module and class building ---------------------------------------------------

void init_runtime() {
    if (function_type) return;
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&fn_spec));
    if (!function_type) throw py::error_already_set();
    iterator_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&it_spec));
    if (!iterator_type) throw py::error_already_set();
    PyObject *b = PyImport_ImportModule("builtins");
    if (!b) throw py::error_already_set();
    builtins_dict = PyModule_GetDict(b);
    Py_INCREF(builtins_dict);
    Py_DECREF(b);
}

Module::Module(py::module_ m) : m_(std::move(m)) {
    init_runtime();
    globals_ = m_.attr("__dict__");
    name_ = py::str(m_.attr("__name__")).cast<std::string>();
}

void Module::import(const char *module, const char *as) {
    py::module_ mod = py::module_::import(module);
    if (as) {
        set(as, mod);
    } else {
        std::string top(module);
        auto dot = top.find('.');
        if (dot != std::string::npos) top = top.substr(0, dot);
        set(top.c_str(), py::module_::import(top.c_str()));
    }
}

namespace {

// "name" or "name as alias"
std::pair<std::string, std::string> split_alias(const char *entry) {
    std::string spec(entry), name = spec, alias = spec;
    auto pos = spec.find(" as ");
    if (pos != std::string::npos) {
        name = spec.substr(0, pos);
        alias = spec.substr(pos + 4);
    }
    return {name, alias};
}

// The value `from module import name` binds.
py::object import_from(const std::string &module, const std::string &name) {
    py::module_ mod = py::module_::import(module.c_str());
    if (py::hasattr(mod, name.c_str())) return mod.attr(name.c_str());
    // `from package import submodule`
    std::string full = module + "." + name;
    try {
        return py::module_::import(full.c_str());
    } catch (py::error_already_set &e) {
        // As Python does: a submodule that exists but fails to import
        // reports its own error, not a missing name.
        if (!e.matches(PyExc_ModuleNotFoundError) || rt::str(e.value().attr("name")) != full) throw;
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name.c_str(), module.c_str());
        throw py::error_already_set();
    }
}

}  // namespace

void Module::from(const char *module, std::initializer_list<const char *> names) {
    py::module_::import(module);
    for (const char *entry : names) {
        auto [name, alias] = split_alias(entry);
        set(alias.c_str(), import_from(module, name));
    }
}

void Module::lazy_from(const char *module, std::initializer_list<const char *> names) {
    if (!lazy_) {
        lazy_ = py::dict();
        py::dict table = py::reinterpret_borrow<py::dict>(lazy_);
        std::string module_name = name_;
        // What `def __getattr__(name)` at module level does in Python source:
        // reached only for names the namespace does not hold (yet), so a name
        // bound once (or patched) is never looked up here again.
        def("__getattr__", {arg("name")}, nullptr, nullptr, [table, module_name](Call &c) -> py::object {
            py::handle name = c[0];
            PyObject *entry = PyUnicode_Check(name.ptr()) ? PyDict_GetItemWithError(table.ptr(), name.ptr()) : nullptr;
            if (!entry) {
                if (PyErr_Occurred()) throw py::error_already_set();
                PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%S'", module_name.c_str(),
                             name.ptr());
                throw py::error_already_set();
            }
            py::tuple source = py::reinterpret_borrow<py::tuple>(entry);
            py::object value = import_from(rt::str(source[0]), rt::str(source[1]));
            c.globals()[name] = value;
            return value;
        });
        def("__dir__", {}, nullptr, nullptr, [table](Call &c) -> py::object {
            py::list names(0);
            py::set seen;
            for (auto item : py::reinterpret_borrow<py::dict>(c.globals())) seen.add(item.first);
            for (auto item : table) seen.add(item.first);
            for (auto n : seen) names.append(n);
            names.attr("sort")();
            return std::move(names);
        });
    }
    for (const char *entry : names) {
        auto [name, alias] = split_alias(entry);
        lazy_[py::str(alias)] = py::make_tuple(py::str(module), py::str(name));
    }
}

void Module::set(const char *name, py::object value) { globals_[name] = std::move(value); }

py::object Module::get(const char *name) const { return globals_[name]; }

py::object Module::eval(const std::string &expr) const {
    PyObject *r = PyRun_String(expr.c_str(), Py_eval_input, globals_.ptr(), globals_.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object Module::make_function(FunctionSpec spec, const std::string &qualname) {
    // Not the shared library's path: the traceback module would read it as
    // Python source (3.9's linecache fails with SyntaxError on a binary file,
    // breaking traceback.format_exception and logging.exception). A name in
    // angle brackets is one linecache knows has no source, like "<frozen ...>".
    std::string source = "<" + name_ + ">";
    return make_function_object(std::move(spec), qualname, name_, globals_, source, *this);
}

py::object Module::def(const char *name, std::vector<Param> params, const char *doc, const char *returns, Body body) {
    FunctionSpec spec;
    spec.name = name;
    spec.params = std::move(params);
    spec.doc = doc;
    spec.returns = returns ? returns : "";
    spec.body = std::move(body);
    py::object f = make_function(std::move(spec), name);
    set(name, f);
    return f;
}

ClassDef::ClassDef(Module &m, const char *name, std::vector<py::object> bases, const char *doc)
    : m_(m), name_(name), bases_(std::move(bases)), doc_(doc) {}

py::object ClassDef::func(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                          Body body) {
    FunctionSpec spec;
    spec.name = name;
    spec.params = std::move(params);
    spec.doc = doc;
    spec.returns = returns ? returns : "";
    spec.body = std::move(body);
    py::object f = m_.make_function(std::move(spec), name_ + "." + name);
    functions_.push_back(f);
    return f;
}

ClassDef &ClassDef::method(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                           Body body) {
    members_.emplace_back(name, func(name, std::move(params), doc, returns, std::move(body)));
    return *this;
}

ClassDef &ClassDef::abstractmethod(const char *name, std::vector<Param> params, const char *doc,
                                   const char *returns, Body body) {
    py::object f = func(name, std::move(params), doc, returns, std::move(body));
    f.attr("__isabstractmethod__") = true;
    members_.emplace_back(name, f);
    return *this;
}

ClassDef &ClassDef::staticmethod(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                                 Body body) {
    py::object f = func(name, std::move(params), doc, returns, std::move(body));
    PyObject *sm = PyStaticMethod_New(f.ptr());
    if (!sm) throw py::error_already_set();
    members_.emplace_back(name, py::reinterpret_steal<py::object>(sm));
    return *this;
}

ClassDef &ClassDef::classmethod(const char *name, std::vector<Param> params, const char *doc, const char *returns,
                                Body body) {
    py::object f = func(name, std::move(params), doc, returns, std::move(body));
    PyObject *cm = PyClassMethod_New(f.ptr());
    if (!cm) throw py::error_already_set();
    members_.emplace_back(name, py::reinterpret_steal<py::object>(cm));
    return *this;
}

ClassDef &ClassDef::property(const char *name, const char *doc, const char *returns, Body getter,
                             const char *refusal, py::object property_type) {
    py::object fget = func(name, {arg("self")}, doc, returns, std::move(getter));
    py::object fset = py::none();
    if (refusal) {
        std::string message(refusal);
        fset = func(name, {arg("self"), arg("value")}, nullptr, nullptr, [message](Call &) -> py::object {
            raise(PyExc_AttributeError, message);
        });
    }
    if (!property_type) property_type = py::reinterpret_borrow<py::object>((PyObject *)&PyProperty_Type);
    members_.emplace_back(name, property_type(fget, fset));
    return *this;
}

ClassDef &ClassDef::property_rw(const char *name, const char *doc, Body getter, Body setter) {
    py::object fget = func(name, {arg("self")}, doc, nullptr, std::move(getter));
    py::object fset = func(name, {arg("self"), arg("value")}, nullptr, nullptr, std::move(setter));
    members_.emplace_back(name, py::reinterpret_borrow<py::object>((PyObject *)&PyProperty_Type)(fget, fset));
    return *this;
}

ClassDef &ClassDef::attr(const char *name, py::object value) {
    members_.emplace_back(name, std::move(value));
    return *this;
}

py::object ClassDef::build() {
    py::tuple bases(bases_.size());
    for (size_t i = 0; i < bases_.size(); i++) bases[i] = bases_[i];
    // The most derived metaclass of the bases, as a class statement picks it.
    py::object meta = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type);
    for (auto &b : bases_) {
        py::object t = py::reinterpret_borrow<py::object>((PyObject *)Py_TYPE(b.ptr()));
        if (PyObject_IsSubclass(meta.ptr(), t.ptr()) == 1) continue;
        if (PyObject_IsSubclass(t.ptr(), meta.ptr()) == 1) {
            meta = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        throw py::error_already_set();
    }
    py::object ns = py::hasattr(meta, "__prepare__") ? meta.attr("__prepare__")(name_, bases) : py::dict();
    ns["__module__"] = py::str(m_.name());
    ns["__qualname__"] = py::str(name_);
    if (doc_) ns["__doc__"] = py::str(doc_);
    for (auto &member : members_) ns[py::str(member.first)] = member.second;
    py::object cls = meta(name_, bases, ns);
    for (auto &f : functions_) {
        auto *fo = reinterpret_cast<FunctionObject *>(f.ptr());
        Py_XSETREF(fo->klass, cls.inc_ref().ptr());
    }
    m_.set(name_.c_str(), cls);
    members_.clear();
    functions_.clear();
    return cls;
}

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
        set_error_from_exception(name ? name.ptr() : module);
    }
    return -1;
}

// ---- helpers --------------------------------------------------------------------

void raise(py::handle exc_type, py::tuple args, py::dict kwargs) {
    PyObject *exc = PyObject_Call(exc_type.ptr(), args.ptr(), kwargs.ptr());
    if (!exc) throw py::error_already_set();
    PyErr_SetObject((PyObject *)Py_TYPE(exc), exc);
    Py_DECREF(exc);
    throw py::error_already_set();
}

void raise(py::handle exc_type, const std::string &message) { raise(exc_type, py::make_tuple(py::str(message))); }

void raise_while_handling(const py::error_already_set &caught, py::handle exc_type, py::tuple args,
                          py::dict kwargs) {
    py::object value = caught.value();
    py::object trace = caught.trace();
    if (trace && !trace.is_none()) PyException_SetTraceback(value.ptr(), trace.ptr());
    PyObject *exc = PyObject_Call(exc_type.ptr(), args.ptr(), kwargs.ptr());
    if (!exc) throw py::error_already_set();
    // Make the caught exception the one "being handled", so the interpreter
    // chains it as __context__ exactly as a raise inside `except` would.
    PyObject *ot, *ov, *otb;
    PyErr_GetExcInfo(&ot, &ov, &otb);
    PyErr_SetExcInfo(caught.type().inc_ref().ptr(), value.inc_ref().ptr(),
                     (trace && !trace.is_none()) ? trace.inc_ref().ptr() : nullptr);
    PyErr_SetObject((PyObject *)Py_TYPE(exc), exc);
    Py_DECREF(exc);
    PyErr_SetExcInfo(ot, ov, otb);
    throw py::error_already_set();
}

std::string str(py::handle obj) { return py::str(obj).cast<std::string>(); }

py::str text(std::initializer_list<Piece> pieces) {
    py::list parts(pieces.size());
    size_t i = 0;
    for (const Piece &piece : pieces) parts[i++] = piece.text();
    PyObject *joined = PyUnicode_Join(py::str("").ptr(), parts.ptr());
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool is_none(py::handle obj) { return obj.ptr() == Py_None; }

bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool isinstance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object make_iterator(py::list state, std::function<py::object(py::list &)> next) {
    auto *it = PyObject_GC_New(IteratorObject, iterator_type);
    if (!it) throw py::error_already_set();  // (holding its type reference already)
    it->next = nullptr;
    it->state = state.release().ptr();
    it->running = false;
    try {
        it->next = new std::function<py::object(py::list &)>(std::move(next));
    } catch (...) {
        Py_DECREF(reinterpret_cast<PyObject *>(it));
        throw;
    }
    PyObject_GC_Track(it);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(it));
}

}  // namespace rt
