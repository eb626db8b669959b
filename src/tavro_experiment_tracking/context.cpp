// The process-wide session: `current_client` always exists and refers to the
// session client of the latest `init`. It tests false until a session was
// set up, and reads and writes attributes through to that client, so code
// holding `current_client` always sees the live session.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

// The wrapped client, read and written past the class's own attribute hooks.
py::object wrapped(py::handle self) {
    return rt::builtin("object").attr("__getattribute__")(self, "_client");
}
void wrap(py::handle self, py::handle client) {
    rt::builtin("object").attr("__setattr__")(self, "_client", client);
}

// The session client, or AttributeError naming what was looked up.
py::object session(py::handle self, py::handle name) {
    py::object client = wrapped(self);
    if (client.is_none())
        rt::raise(PyExc_AttributeError,
                  rt::text({"No session client yet: call init() first (looking up '", name, "')"}));
    return client;
}

py::object init(rt::Call &c) {
    wrap(c.self(), py::none());
    return py::none();
}

py::object update(rt::Call &c) {
    auto [self, client] = c.args<2>();
    wrap(self, client);
    return py::none();
}

py::object is_set(rt::Call &c) {
    return py::bool_(!wrapped(c.self()).is_none());
}

py::object getattr(rt::Call &c) {
    auto [self, name] = c.args<2>();
    return session(self, name).attr(name);
}

py::object setattr(rt::Call &c) {
    auto [self, name, value] = c.args<3>();
    py::setattr(session(self, name), name, value);
    return py::none();
}

py::object repr(rt::Call &c) {
    py::object client = wrapped(c.self());
    if (client.is_none()) return py::str("<CurrentClient: no session>");
    return py::str("<CurrentClient: {}>").format(py::repr(client));
}

}  // namespace

RT_MODULE(context, m) {
    rt::Module mod(m);
    py::object CurrentClient =
        rt::ClassDef(mod, "CurrentClient", {}, "The session client of the process, replaced by every init().")
            .attr("__slots__", py::make_tuple("_client"))
            .method("__init__", {arg("self")}, init)
            .method("update", {arg("self"), arg("client")}, update,
                    rt::doc("Make ``client`` the session client; ``None`` ends the session."))
            .method("__bool__", {arg("self")}, is_set)
            .method("__getattr__", {arg("self"), arg("name")}, getattr)
            .method("__setattr__", {arg("self"), arg("name"), arg("value")}, setattr)
            .method("__repr__", {arg("self")}, repr)
            .build();
    mod.set("current_client", CurrentClient());
}
