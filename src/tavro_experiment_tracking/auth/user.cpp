// The user record of a session: who is logged in, and which project and
// experiment are active.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

py::object init(rt::Call &c) {
    auto [self, username] = c.args<2>();
    self.attr("username") = username;
    self.attr("active_project") = py::none();
    self.attr("active_experiment") = py::none();
    return py::none();
}

py::object repr(rt::Call &c) {
    return py::str("<User: username={}>").format(py::repr(c.self().attr("username")));
}

}  // namespace

RT_MODULE(user, m) {
    rt::Module mod(m);
    rt::ClassDef(mod, "User", {}, "A logged-in user and the session's active project and experiment.")
        .method("__init__", {arg("self"), arg("username")}, init)
        .method("__repr__", {arg("self")}, repr)
        .build();
}
