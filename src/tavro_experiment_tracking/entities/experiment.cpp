// An experiment of a project: the server's experiment, and where iterations
// are handed out.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

py::object init(rt::Call &c) {
    auto [self, name, description, experiment_id, project] = c.args<5>();
    c.super().attr("__init__")(name, description);
    self.attr("experiment_id") = experiment_id;
    self.attr("project") = project;
    // The project's client as it is now: a later change of the project's
    // client does not move this experiment.
    self.attr("client") = rt::truthy(project) ? py::object(project.attr("client")) : py::object(py::none());
    return py::none();
}

py::object get_iteration_meta(rt::Call &c) {
    auto [self, iteration_id] = c.args<2>();
    return rt::translating(c.g("MLFlowRestException"), c.g("RestException"), "json",
                           [&] { return self.attr("client").attr("get_iteration")("iteration_id"_a = iteration_id); });
}

py::object get_iteration(rt::Call &c) {
    // Imported here: the iteration module imports this one.
    py::object Iteration = rt::import_module("tavro_experiment_tracking.entities.iteration").attr("Iteration");
    return Iteration("experiment"_a = c.self());
}

py::object url(rt::Call &c) {
    py::handle self = c.self();
    if (self.attr("client").is_none()) return py::none();
    return c.g("_ui_url")(self.attr("client").attr("tracking_uri"), self.attr("experiment_id"));
}

}  // namespace

RT_MODULE(experiment, m) {
    rt::Module mod(m);
    mod.from("typing", {"Optional"});
    mod.from("tavro_experiment_tracking.tracking.client", {"Client", "_ui_url"});
    mod.from("tavro_experiment_tracking.entities.project", {"Project"});
    mod.from("tavro_experiment_tracking.exception", {"RestException"});
    mod.from("tavro_experiment_tracking.entities.quorril", {"NamedEntity", "property_and_nodump"});
    mod.from("mlflow.exceptions", {"RestException as MLFlowRestException"});

    rt::ClassDef(mod, "Experiment", {mod.get("NamedEntity")})
        .method("__init__",
                {arg("self"), arg("name"), arg("description"), arg("experiment_id").def_none().ann("Optional[str]"),
                 arg("project").def_none().ann("Optional[Project]")},
                init)
        .method("get_iteration_meta", {arg("self"), arg("iteration_id").checked_str()}, get_iteration_meta, rt::doc(R"(
        Gets iteration meta data using iteration_id.

        :param str iteration_id: Iteration ID.
        :return Run Iteration: Iteration meta of given iteration_id.
        )"))
        .method("get_iteration", {arg("self")}, get_iteration, rt::doc(R"(
        Create iteration under given experiment name.

        :return: Iteration: That was created.
        )"))
        // Not part of the printed form: a property of its own kind.
        .property("url", url,
                  rt::doc("The experiment's address in the tracking server's UI; None for a store that is no server."),
                  rt::returns("Optional[str]"), rt::property_type(mod.get("property_and_nodump")))
        .build();
}
