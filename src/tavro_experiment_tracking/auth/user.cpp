// The user record of a session: who is logged in, and which project and
// experiment are active.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

RT_MODULE(user, m) {
    rt::Module mod(m);
    rt::ClassDef(mod, "User", {}, "A logged-in user and the session's active project and experiment.")
        .method("__init__", {arg("self"), arg("username")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    self.attr("username") = c[1];
                    self.attr("active_project") = py::none();
                    self.attr("active_experiment") = py::none();
                    return py::none();
                })
        .method("__repr__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    return py::str("<User: username={}>").format(py::repr(c.self().attr("username")));
                })
        .build();
}
