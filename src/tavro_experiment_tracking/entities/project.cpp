// A project: a named group of experiments that owns the session's
// connection to the tracking server.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

RT_MODULE(project, m) {
    rt::Module mod(m);
    mod.from("typing", {"Optional", "Dict", "Any"});
    mod.from("tavro_experiment_tracking.tracking.client", {"Client"});
    mod.from("tavro_experiment_tracking.exception", {"RestException"});
    mod.from("tavro_experiment_tracking.entities.quorril", {"NamedEntity"});
    mod.from("mlflow.exceptions", {"RestException as MLFlowRestException", "MlflowException"});

    rt::ClassDef(mod, "Project", {mod.get("NamedEntity")})
        .method("__init__",
                {arg("self"), arg("name"), arg("description"), arg("client").def_none().ann("Optional[Client]")},
                nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    c.super().attr("__init__")(c[1], c[2]);
                    c.self().attr("client") = c[3];
                    return py::none();
                })
        .method("get_experiment_meta", {arg("self"), arg("experiment_id").str()},
                "\n        Gets experiment meta data using experiment_id.\n\n"
                "        :param str experiment_id: Experiment ID.\n"
                "        :return Run Experiment: Experiment meta of given experiment_id.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    try {
                        return c.self().attr("client").attr("get_experiment")(py::arg("experiment_id") = c[1]);
                    } catch (py::error_already_set &e) {
                        if (!e.matches(c.g("MLFlowRestException"))) throw;
                        rt::raise_while_handling(e, c.g("RestException"), e.value().attr("json"));
                    }
                })
        .method("get_experiment_meta_by_name", {arg("self"), arg("experiment_name").str()},
                "\n        Gets experiment meta data using experiment_name.\n\n"
                "        :param str experiment_name: Experiment name.\n"
                "        :return Experiment: Experiment meta of given experiment_name.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    return c.self().attr("client").attr("get_experiment_by_name")(py::arg("experiment_name") = c[1]);
                })
        .method("get_experiment",
                {arg("self"), arg("experiment_name").str(), arg("description").def_none().ann("Optional[str]"),
                 arg("artifact_location").def_none().ann("Optional[str]"),
                 arg("tags").def_none().ann("Optional[Dict[str, Any]]")},
                "\n        Get or create experiment for given experiment name.\n\n"
                "        :param str experiment_name: Experiment name.\n"
                "        :param description: Short description about experiment.\n"
                "        :param artifact_location: The location to store run artifacts. If not provided, the server "
                "picks an appropriate default.\n"
                "        :param tags: A dictionary of key-value pairs that are converted into\n"
                "                     :py:class:`mlflow.entities.RunTag` objects.\n"
                "        :return Experiment: Experiment object.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    // Imported here: the experiment module imports this one.
                    py::object Experiment =
                        py::module_::import("tavro_experiment_tracking.entities.experiment").attr("Experiment");
                    py::object record = self.attr("get_experiment_meta_by_name")(c[1]);
                    if (!rt::truthy(record)) {
                        py::object client = self.attr("client");
                        try {
                            py::object experiment_id = client.attr("create_experiment")(
                                py::arg("experiment_name") = c[1], py::arg("artifact_location") = c[3],
                                py::arg("tags") = c[4]);
                            record = client.attr("get_experiment")(experiment_id);
                        } catch (py::error_already_set &e) {
                            // Another job made it since the lookup (the jobs of a
                            // sweep start together): use that one.
                            if (!e.matches(c.g("MlflowException")) ||
                                !rt::truthy(e.value().attr("error_code").attr("__eq__")(
                                    py::str("RESOURCE_ALREADY_EXISTS"))))
                                throw;
                            record = self.attr("get_experiment_meta_by_name")(c[1]);
                            if (!rt::truthy(record)) throw;
                        }
                    }
                    py::object experiment =
                        Experiment(record.attr("name"), c[2], record.attr("experiment_id"), self);
                    py::object client = self.attr("client");
                    client.attr("user").attr("active_experiment") = experiment;
                    client.attr("user").attr("active_project") = self;
                    return client.attr("user").attr("active_experiment");
                })
        .build();
}
