// Argument binding: a call's positional and keyword arguments bound to the
// parameters as CPython binds them, with the interpreter's own error texts,
// then the per-parameter checks (exactly a str or None; converted to float).
#include "internal.hpp"

namespace rt::detail {

namespace {

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
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", display_name(f), sig.ptr(),
                 plural ? "s" : "", given, kwonly_sig.ptr(), given == 1 && !kwonly_given ? "was" : "were");
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
        name_str = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("%U and %U", names[0].ptr(), names[1].ptr()));
    } else {
        py::object tail = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat(", %U, and %U", names[len - 2].ptr(), names[len - 1].ptr()));
        py::list head;
        for (Py_ssize_t i = 0; i < len - 2; i++) head.append(names[i]);
        name_str = py::str(", ").attr("join")(head) + tail;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", display_name(f), static_cast<int>(len),
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

}  // namespace

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
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", display_name(f), key);
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
// __name__: a metaclass may answer with any object, and the text is cut at
// 200 characters, not 200 bytes of UTF-8.
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

}  // namespace rt::detail
