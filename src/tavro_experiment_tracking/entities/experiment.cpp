// An experiment of a project: the server's experiment, and where iterations
// are handed out.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

RT_MODULE(experiment, m) {
    rt::Module mod(m);
    mod.from("typing", {"Optional"});
    mod.from("tavro_experiment_tracking.tracking.client", {"Client"});
    mod.from("tavro_experiment_tracking.entities.project", {"Project"});
    mod.from("tavro_experiment_tracking.exception", {"RestException"});
    mod.from("tavro_experiment_tracking.entities.quorril", {"NamedEntity"});
    mod.from("mlflow.exceptions", {"RestException as MLFlowRestException"});

    rt::ClassDef(mod, "Experiment", {mod.get("NamedEntity")})
        .method("__init__",
                {arg("self"), arg("name"), arg("description"), arg("experiment_id").def_none().ann("Optional[str]"),
                 arg("project").def_none().ann("Optional[Project]")},
                nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    c.super().attr("__init__")(c[1], c[2]);
                    self.attr("experiment_id") = c[3];
                    self.attr("project") = c[4];
                    // The project's client as it is now: a later change of the
                    // project's client does not move this experiment.
                    self.attr("client") = rt::truthy(c[4]) ? py::object(c[4].attr("client")) : py::object(py::none());
                    return py::none();
                })
        .method("get_iteration_meta", {arg("self"), arg("iteration_id").str()},
                "\n        Gets iteration meta data using iteration_id.\n\n"
                "        :param str iteration_id: Iteration ID.\n"
                "        :return Run Iteration: Iteration meta of given iteration_id.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    try {
                        return c.self().attr("client").attr("get_iteration")(py::arg("iteration_id") = c[1]);
                    } catch (py::error_already_set &e) {
                        if (!e.matches(c.g("MLFlowRestException"))) throw;
                        rt::raise_while_handling(e, c.g("RestException"), e.value().attr("json"));
                    }
                })
        .method("get_iteration", {arg("self")},
                "\n        Create iteration under given experiment name.\n\n"
                "        :return: Iteration: That was created.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    // Imported here: the iteration module imports this one.
                    py::object Iteration =
                        py::module_::import("tavro_experiment_tracking.entities.iteration").attr("Iteration");
                    return Iteration(py::arg("experiment") = c.self());
                })
        .build();
}
