// Raising as a `raise` statement does, and the small operations on Python
// values that module bodies need (truth, equality, membership, unpacking,
// text made of pieces), each with the interpreter's own semantics and errors.
#include "internal.hpp"

#include <cstdio>

namespace rt {

// ---- raising ---------------------------------------------------------------------

void raise_instance(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

void raise_instance_while_handling(const py::error_already_set &caught, py::handle exc) {
    py::object value = caught.value();
    py::object trace = caught.trace();
    if (trace && !trace.is_none()) PyException_SetTraceback(value.ptr(), trace.ptr());
    // Make the caught exception the one "being handled", so the interpreter
    // chains it as __context__ exactly as a raise inside `except` would.
    PyObject *ot, *ov, *otb;
    PyErr_GetExcInfo(&ot, &ov, &otb);
    PyErr_SetExcInfo(caught.type().inc_ref().ptr(), value.inc_ref().ptr(),
                     (trace && !trace.is_none()) ? trace.inc_ref().ptr() : nullptr);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    PyErr_SetExcInfo(ot, ov, otb);
    throw py::error_already_set();
}

py::object invalid_parameter(const Call &c, py::handle message) {
    return c.g("ExperimentTrackingException")(py::arg("message") = message,
                                              py::arg("error_code") = "INVALID_PARAMETER_VALUE");
}

void refuse(const Call &c, py::handle message) {
    raise_instance(invalid_parameter(c, message));
}

py::object translating(py::handle from, py::handle to, const char *attribute, const std::function<py::object()> &call) {
    try {
        return call();
    } catch (py::error_already_set &e) {
        if (!e.matches(from)) throw;
        raise_while_handling(e, to, e.value().attr(attribute));
    }
}

// ---- values ----------------------------------------------------------------------

std::string str(py::handle obj) {
    return py::str(obj).cast<std::string>();
}

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

bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object eq(py::handle a, py::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool isinstance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool issubclass(py::handle cls, py::handle base) {
    int r = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

std::pair<py::object, py::object> unpack2(py::handle item) {
    PyObject *it = PyObject_GetIter(item.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item.ptr())->tp_iter == nullptr &&
            !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(it);
    py::object values[2];
    for (int i = 0; i < 2; i++) {
        PyObject *v = PyIter_Next(it);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        values[i] = py::reinterpret_steal<py::object>(v);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {values[0], values[1]};
}

py::object next_or_end(py::handle iterator) {
    PyObject *item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(item);
}

py::object builtin(const char *name) {
    detail::init_runtime();
    PyObject *value = PyDict_GetItemString(detail::builtins_dict, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::str printable(py::handle text) {
    py::str original(text);
    Py_ssize_t length = PyUnicode_GetLength(original.ptr());
    int kind = PyUnicode_KIND(original.ptr());
    const void *data = PyUnicode_DATA(original.ptr());
    auto control = [](Py_UCS4 ch) {
        return ch < 0x20 || (ch >= 0x7f && ch < 0xa0) || ch == 0x2028 || ch == 0x2029 || ch == 0x061c || ch == 0x200e ||
               ch == 0x200f || (ch >= 0x202a && ch <= 0x202e) || (ch >= 0x2066 && ch <= 0x2069);
    };
    bool clean = true;
    for (Py_ssize_t i = 0; i < length && clean; i++) clean = !control(PyUnicode_READ(kind, data, i));
    if (clean) return original;
    char escape[12];
    py::list pieces;
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < length; i++) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (!control(ch)) continue;
        pieces.append(original[py::slice(start, i, 1)]);
        snprintf(escape, sizeof escape, ch < 0x100 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(ch));
        pieces.append(py::str(escape));
        start = i + 1;
    }
    pieces.append(original[py::slice(start, length, 1)]);
    return py::str("").attr("join")(pieces);
}

}  // namespace rt
