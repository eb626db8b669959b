// The process-wide session: `current_client` always exists and refers to the
// session client of the latest `init`. It tests false until a session was
// set up, and reads and writes attributes through to that client, so code
// holding `current_client` always sees the live session.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

py::object wrapped(py::handle self) {
    py::object getattribute = py::reinterpret_borrow<py::object>((PyObject *)&PyBaseObject_Type).attr("__getattribute__");
    return getattribute(self, "_client");
}

[[noreturn]] void no_session(const py::handle name) {
    rt::raise(PyExc_AttributeError,
              rt::text({"No session client yet: call init() first (looking up '", name, "')"}));
}

}  // namespace

RT_MODULE(context, m) {
    rt::Module mod(m);
    py::object CurrentClient =
        rt::ClassDef(mod, "CurrentClient", {}, "The session client of the process, replaced by every init().")
            .attr("__slots__", py::make_tuple("_client"))
            .method("__init__", {arg("self")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object {
                        py::reinterpret_borrow<py::object>((PyObject *)&PyBaseObject_Type)
                            .attr("__setattr__")(c.self(), "_client", py::none());
                        return py::none();
                    })
            .method("update", {arg("self"), arg("client")},
                    "Make ``client`` the session client; ``None`` ends the session.", nullptr,
                    [](rt::Call &c) -> py::object {
                        py::reinterpret_borrow<py::object>((PyObject *)&PyBaseObject_Type)
                            .attr("__setattr__")(c.self(), "_client", c[1]);
                        return py::none();
                    })
            .method("__bool__", {arg("self")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object { return py::bool_(!wrapped(c.self()).is_none()); })
            .method("__getattr__", {arg("self"), arg("name")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object {
                        py::object client = wrapped(c.self());
                        if (client.is_none()) no_session(c[1]);
                        return client.attr(c[1]);
                    })
            .method("__setattr__", {arg("self"), arg("name"), arg("value")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object {
                        py::object client = wrapped(c.self());
                        if (client.is_none()) no_session(c[1]);
                        py::setattr(client, c[1], c[2]);
                        return py::none();
                    })
            .method("__repr__", {arg("self")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object {
                        py::object client = wrapped(c.self());
                        if (client.is_none()) return py::str("<CurrentClient: no session>");
                        return py::str("<CurrentClient: {}>").format(py::repr(client));
                    })
            .build();
    mod.set("current_client", CurrentClient());
}
