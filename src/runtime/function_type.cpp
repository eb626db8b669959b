// The native function type: what makes a native function look like a Python
// function to the interpreter and to inspect (binding as a method, names,
// defaults, annotations, signature, __dict__, pickling by reference).
#include "internal.hpp"

#include <structmember.h>

namespace rt::detail {

namespace {

int fn_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
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

int fn_clear(PyObject *self) noexcept {
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

void fn_dealloc(PyObject *self) noexcept {
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

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject *fn_repr(PyObject *self) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *fn_reduce(PyObject *self, PyObject *) noexcept {
    // Pickled by reference, like a Python function.
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

PyObject *get_name(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_INCREF(f->name);
    return f->name;
}

int set_str_field(PyObject *&field, PyObject *value, const char *what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(field, value);
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_field(reinterpret_cast<FunctionObject *>(self)->name, value, "__name__");
}

PyObject *get_qualname(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_field(reinterpret_cast<FunctionObject *>(self)->qualname, value, "__qualname__");
}

PyObject *get_doc(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject *d = f->doc ? f->doc : Py_None;
    Py_INCREF(d);
    return d;
}

int set_doc(PyObject *self, PyObject *value, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_XINCREF(value);
    Py_XSETREF(f->doc, value);
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject *d = f->defaults ? f->defaults : Py_None;
    Py_INCREF(d);
    return d;
}

int set_defaults(PyObject *self, PyObject *value, void *) noexcept {
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

PyObject *get_kwdefaults(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject *d = f->kwdefaults ? f->kwdefaults : Py_None;
    Py_INCREF(d);
    return d;
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
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

PyObject *get_annotations(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
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
PyObject *get_signature(PyObject *self, void *) noexcept {
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
                    if (static_cast<Py_ssize_t>(i) >= first_default && defcount)
                        def = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default));
                    break;
                }
                case Kind::VarArgs:
                    kind = Parameter.attr("VAR_POSITIONAL");
                    break;
                case Kind::KeywordOnly:
                    kind = Parameter.attr("KEYWORD_ONLY");
                    if (f->kwdefaults && PyDict_Contains(f->kwdefaults, name.ptr()) == 1)
                        def = py::reinterpret_borrow<py::object>(PyDict_GetItem(f->kwdefaults, name.ptr()));
                    break;
                case Kind::VarKeywords:
                    kind = Parameter.attr("VAR_KEYWORD");
                    break;
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

int set_signature(PyObject *self, PyObject *value, void *) noexcept {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict) return -1;
    }
    if (value) return PyDict_SetItemString(f->dict, "__signature__", value);
    if (PyDict_GetItemString(f->dict, "__signature__")) return PyDict_DelItemString(f->dict, "__signature__");
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    return -1;
}

// The defining class, as method descriptors carry it: through it
// inspect.getdoc (and so help()) finds the docstring an undocumented
// override inherits, as it does for Python methods.
PyObject *get_objclass(PyObject *self, void *) noexcept {
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
    {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
    {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
    {Py_tp_getset, static_cast<void *>(fn_getset)},
    {Py_tp_members, static_cast<void *>(fn_members)},
    {Py_tp_methods, static_cast<void *>(fn_methods)},
    {0, nullptr},
};

}  // namespace

PyType_Spec function_spec = {
    "builtins.function",
    sizeof(FunctionObject),
    0,
    // NOLINTNEXTLINE(misc-redundant-expression): CPython's Py_TPFLAGS_DEFAULT expands to `0 | ...`
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
    fn_slots,
};

}  // namespace rt::detail
