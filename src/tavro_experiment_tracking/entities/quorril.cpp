// The common base of named entities (projects, experiments) and their
// printed form, "<Project: name='p'>". Imports nothing but pprint.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

// `key, value = item`, with the interpreter's unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
    PyObject *it = PyObject_GetIter(item.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object parts[2];
    for (int i = 0; i < 2; i++) {
        PyObject *v = PyIter_Next(iter.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        parts[i] = py::reinterpret_steal<py::object>(v);
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {parts[0], parts[1]};
}

}  // namespace

RT_MODULE(quorril, m) {
    rt::Module mod(m);
    mod.import("pprint");

    py::object builtin_property = py::reinterpret_borrow<py::object>((PyObject *)&PyProperty_Type);
    py::object nodump = rt::ClassDef(mod, "property_and_nodump", {builtin_property},
                                     "\n    A marker class extending capabilities of the 'property' decorator class to "
                                     "skip printing specific attributes.\n    ")
                            .build();

    mod.def("is_valid_property", {arg("attribute")}, nullptr, nullptr, [](rt::Call &c) -> py::object {
        return py::bool_(rt::isinstance(c[0], c.g("property")) && !rt::isinstance(c[0], c.g("property_and_nodump")));
    });

    rt::ClassDef(mod, "NamedEntity")
        .method("__init__", {arg("self"), arg("name"), arg("description")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    c.self().attr("_NamedEntity__name") = c[1];
                    c.self().attr("_NamedEntity__description") = c[2];
                    return py::none();
                })
        .property("name", nullptr, nullptr,
                  [](rt::Call &c) -> py::object { return c.self().attr("_NamedEntity__name"); })
        .property(
            "description", nullptr, nullptr,
            [](rt::Call &c) -> py::object { return c.self().attr("_NamedEntity__description"); }, nullptr, nodump)
        .method("__repr__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    return c.g("NamedEntityPrinter")().attr("to_string")(c.self());
                })
        .method("__iter__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    // Lazy like a generator: nothing is read before the first item is asked for.
                    // state: [self, iterator over the property names once started]
                    py::list state;
                    state.append(c.self());
                    state.append(py::none());
                    return rt::make_iterator(state, [](py::list &state) -> py::object {
                        py::object self = state[0];
                        if (state[1].is_none()) state[1] = py::iter(self.attr("_properties")());
                        py::object names = state[1];
                        PyObject *name = PyIter_Next(names.ptr());
                        if (!name) {
                            if (PyErr_Occurred()) throw py::error_already_set();
                            return py::object();
                        }
                        py::object key = py::reinterpret_steal<py::object>(name);
                        return py::make_tuple(key, self.attr("__getattribute__")(key));
                    });
                })
        .classmethod("_properties", {arg("cls")}, nullptr, nullptr,
                     [](rt::Call &c) -> py::object {
                         py::handle cls = c[0];
                         py::object is_valid = c.g("is_valid_property");
                         py::list names;
                         // The class's own attributes, then those of its first direct base
                         // only, each judged by what the class itself sees under that name.
                         for (py::handle owner : {cls, py::handle(cls.attr("__base__"))}) {
                             for (py::handle key : owner.attr("__dict__").attr("keys")()) {
                                 if (rt::truthy(is_valid(py::getattr(cls, key)))) names.append(key);
                             }
                         }
                         if (PyList_Sort(names.ptr()) < 0) throw py::error_already_set();
                         return std::move(names);
                     })
        .build();

    rt::ClassDef(mod, "NamedEntityPrinter", {},
                 "\n    Provides functionalities to print attributes of a given class in a pretty-print format.\n    ")
        .method("__init__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    c.self().attr("printer") = c.g("pprint").attr("PrettyPrinter")();
                    return py::none();
                })
        .method("to_string", {arg("self"), arg("obj")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle obj = c[1];
                    if (rt::isinstance(obj, c.g("NamedEntity"))) {
                        py::object cls_name = obj.attr("__class__").attr("__name__");
                        py::object body = py::str(c.self().attr("_entity_to_string")(obj));
                        return py::str("<") + cls_name + py::str(": ") + body + py::str(">");
                    }
                    return c.self().attr("printer").attr("pformat")(obj);
                })
        .method("_entity_to_string", {arg("self"), arg("entity")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::list parts;
                    for (py::handle item : py::iter(c[1])) {
                        auto kv = unpack_pair(item);
                        py::object shown = py::str(c.self().attr("to_string")(kv.second));
                        parts.append(py::str(kv.first) + py::str("=") + shown);
                    }
                    return py::str(", ").attr("join")(parts);
                })
        .build();
}
