// A project: a named group of experiments that owns the session's
// connection to the tracking server.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

py::object init(rt::Call &c) {
    auto [self, name, description, client] = c.args<4>();
    c.super().attr("__init__")(name, description);
    self.attr("client") = client;
    return py::none();
}

py::object get_experiment_meta(rt::Call &c) {
    auto [self, experiment_id] = c.args<2>();
    return rt::translating(c.g("MLFlowRestException"), c.g("RestException"), "json", [&] {
        return self.attr("client").attr("get_experiment")("experiment_id"_a = experiment_id);
    });
}

py::object get_experiment_meta_by_name(rt::Call &c) {
    auto [self, experiment_name] = c.args<2>();
    return self.attr("client").attr("get_experiment_by_name")("experiment_name"_a = experiment_name);
}

// The server's record of the experiment of that name, created when there is none.
py::object get_or_create_record(rt::Call &c, py::handle self, py::handle name, py::handle artifact_location,
                                py::handle tags) {
    py::object client = self.attr("client"), partial = c.g("partial");
    return c.g("_get_or_create_experiment")(partial(self.attr("get_experiment_meta_by_name"), name),
                                            partial(client.attr("create_experiment"), "experiment_name"_a = name,
                                                    "artifact_location"_a = artifact_location, "tags"_a = tags),
                                            client.attr("get_experiment"))[py::int_(0)];
}

py::object get_experiment(rt::Call &c) {
    auto [self, experiment_name, description, artifact_location, tags] = c.args<5>();
    // Imported here: the experiment module imports this one.
    py::object Experiment = rt::import_module("tavro_experiment_tracking.entities.experiment").attr("Experiment");
    py::object record = get_or_create_record(c, self, experiment_name, artifact_location, tags);
    py::object experiment = Experiment(record.attr("name"), description, record.attr("experiment_id"), self);
    py::object user = self.attr("client").attr("user");
    user.attr("active_experiment") = experiment;
    user.attr("active_project") = self;
    return user.attr("active_experiment");
}

}  // namespace

RT_MODULE(project, m) {
    rt::Module mod(m);
    mod.from("typing", {"Optional", "Dict", "Any"});
    mod.from("functools", {"partial"});
    mod.from("tavro_experiment_tracking.tracking.client", {"Client", "_get_or_create_experiment"});
    mod.from("tavro_experiment_tracking.exception", {"RestException"});
    mod.from("tavro_experiment_tracking.entities.quorril", {"NamedEntity"});
    mod.from("mlflow.exceptions", {"RestException as MLFlowRestException"});

    rt::ClassDef(mod, "Project", {mod.get("NamedEntity")})
        .method("__init__",
                {arg("self"), arg("name"), arg("description"), arg("client").def_none().ann("Optional[Client]")}, init)
        .method("get_experiment_meta", {arg("self"), arg("experiment_id").checked_str()}, get_experiment_meta,
                rt::doc(R"(
        Gets experiment meta data using experiment_id.

        :param str experiment_id: Experiment ID.
        :return Run Experiment: Experiment meta of given experiment_id.
        )"))
        .method("get_experiment_meta_by_name", {arg("self"), arg("experiment_name").checked_str()},
                get_experiment_meta_by_name, rt::doc(R"(
        Gets experiment meta data using experiment_name.

        :param str experiment_name: Experiment name.
        :return Experiment: Experiment meta of given experiment_name.
        )"))
        .method("get_experiment",
                {arg("self"), arg("experiment_name").checked_str(), arg("description").def_none().ann("Optional[str]"),
                 arg("artifact_location").def_none().ann("Optional[str]"),
                 arg("tags").def_none().ann("Optional[Dict[str, Any]]")},
                get_experiment, rt::doc(R"(
        Get or create experiment for given experiment name.

        :param str experiment_name: Experiment name.
        :param description: Short description about experiment.
        :param artifact_location: The location to store run artifacts. If not provided, the server picks an appropriate default.
        :param tags: A dictionary of key-value pairs that are converted into
                     :py:class:`mlflow.entities.RunTag` objects.
        :return Experiment: Experiment object.
        )"))
        .build();
}
