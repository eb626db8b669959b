// The session's entry point: log in, pick the tracking server, and get or
// create the experiment the script works in.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

[[noreturn]] void refuse(rt::Call &c, const py::str &message) {
    py::dict kwargs;
    kwargs["message"] = message;
    kwargs["error_code"] = c.g("INVALID_PARAMETER_VALUE");
    rt::raise(c.g("ExperimentTrackingException"), py::tuple(), kwargs);
}

// True when `e` is the server's refusal to create an experiment whose name is
// taken.
bool name_taken(rt::Call &c, py::error_already_set &e) {
    return e.matches(c.g("MlflowException")) &&
           rt::truthy(e.value().attr("error_code").attr("__eq__")(py::str("RESOURCE_ALREADY_EXISTS")));
}

}  // namespace

RT_MODULE(initialize, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("os");
    mod.from("typing", {"Union"});
    mod.from("mlflow.entities", {"LifecycleStage"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("tavro_experiment_tracking.auth.authenticator", {"Authenticator"});
    mod.from("tavro_experiment_tracking.auth.lookup", {"check_authentication"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.constants", {"DEFAULT_EXPERIMENT_NAME"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException", "ServerNotAccessibleException"});
    mod.from("tavro_experiment_tracking.entities.experiment", {"Experiment"});
    mod.from("tavro_experiment_tracking.entities.project", {"Project"});
    mod.from("tavro_experiment_tracking.tracking.client", {"Client", "create_mlflow_client"});
    mod.from("tavro_experiment_tracking.constants", {"DEFAULT_TRACK_SERVER", "ENV_EXP_TRACKING_SERVER_URI"});
    mod.from("tavro_experiment_tracking.utils.validation", {"is_cloud", "is_server_up"});
    mod.import("tavro_experiment_tracking.context", "context");
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    mod.def(
        "init",
        {arg("project").ann("Union[str, Project]"),
         arg("experiment").def_expr("DEFAULT_EXPERIMENT_NAME").ann("Union[str, Experiment]"),
         arg("use_if_exists").def(py::bool_(true)), arg("tracking_uri").str().def_expr("DEFAULT_TRACK_SERVER"),
         arg("authenticator").def_none().ann("Authenticator")},
        "\n    Start an experiment and set the given experiment as an active experiment.\n\n"
        "    :param project: Case sensitive name of the project to be created.\n"
        "    :param experiment: Case sensitive name of the experiment to be created.\n"
        "    :param use_if_exists: Use same experiment if already exists.\n"
        "    :param tracking_uri: Tracking server address. If not given, the default tracking server, an HTTP "
        "server on the local machine at port 5000, is used (or MLFLOW_TRACKING_URI, when it was set at "
        "import).\n"
        "    :param authenticator: Authenticator details.\n\n"
        "    .. note:: If Authenticator is not specified, will try to resolve from the\n"
        "        previous init() call. If it fails, it will assume the open communication.\n    ",
        "Union[Project, Experiment]", [](rt::Call &c) -> py::object {
            py::object project = py::reinterpret_borrow<py::object>(c[0]);
            py::object experiment = py::reinterpret_borrow<py::object>(c[1]);
            py::handle use_if_exists = c[2];
            py::handle tracking_uri = c[3];
            py::handle authenticator = c[4];
            py::object logger = c.g("logger");

            // Compared as passed: an Experiment entity never means the default.
            PyObject *eq = PyObject_RichCompare(experiment.ptr(), c.g("DEFAULT_EXPERIMENT_NAME").ptr(), Py_EQ);
            if (!eq) throw py::error_already_set();
            py::object using_default_experiment = py::reinterpret_steal<py::object>(eq);

            py::object context = c.g("context");
            py::object previous_authenticator = py::none();
            if (rt::truthy(context.attr("current_client")))
                previous_authenticator = context.attr("current_client").attr("authenticator");

            py::object chosen = rt::truthy(authenticator) ? py::reinterpret_borrow<py::object>(authenticator)
                                                          : previous_authenticator;
            py::object resolved_authenticator = c.g("check_authentication")(chosen);

            // From here on this client is the session's, whatever happens below.
            py::object current_client = c.g("Client")(resolved_authenticator);
            context.attr("current_client").attr("update")(current_client);
            py::object current_user = current_client.attr("user");

            if (!rt::isinstance(project, c.g("Project"))) project = c.g("Project")(project, py::none());
            if (!rt::isinstance(experiment, c.g("Experiment"))) experiment = c.g("Experiment")(experiment, py::none());
            py::object project_name = project.attr("name");
            py::object project_description = project.attr("description");
            py::object experiment_name = experiment.attr("name");
            py::object experiment_description = experiment.attr("description");

            if (!rt::truthy(project_name)) refuse(c, "Must specify `project_name`.");

            // On the cloud platform the workspace decides the server, not the script.
            if (rt::truthy(c.g("is_cloud")()))
                current_client.attr("tracking_uri") = c.g("os").attr("getenv")(c.g("ENV_EXP_TRACKING_SERVER_URI"));
            else
                current_client.attr("tracking_uri") = tracking_uri;
            py::object resolved_tracking_uri = current_client.attr("tracking_uri");
            logger.attr("debug")(rt::text({"Using tracking server uri: ", resolved_tracking_uri}));

            py::object address = resolved_tracking_uri.attr("rstrip")("/");
            if (!rt::truthy(c.g("is_server_up")(address)))
                rt::raise(c.g("ServerNotAccessibleException"),
                          rt::text({"Unable to communicate with Experiment Tracking server. Please "
                                                   "make sure the server at '",
                                                   address, "' is running, and the address is correct."}));

            // The tracking library gets the address as stored, slashes and all.
            py::object client = c.g("create_mlflow_client")(current_client.attr("tracking_uri"));
            project = c.g("Project")(project_name, project_description, current_client);
            if (rt::truthy(using_default_experiment)) return project;

            py::object record = client.attr("get_experiment_by_name")(experiment_name);
            py::object experiment_id;
            if (!rt::truthy(record)) {
                try {
                    experiment_id = client.attr("create_experiment")(experiment_name);
                } catch (py::error_already_set &e) {
                    // Another job made it since the lookup (the jobs of a sweep
                    // start together): it is an existing experiment now.
                    if (!name_taken(c, e)) throw;
                    record = client.attr("get_experiment_by_name")(experiment_name);
                    if (!rt::truthy(record)) throw;
                }
            }
            if (!experiment_id) {
                if (!rt::truthy(use_if_exists))
                    rt::raise(PyExc_Exception,
                              rt::text({"Experiment already exists with name: ", record.attr("name")}));
                logger.attr("debug")(rt::text({"Re-using experiment with name: ", experiment_name, " and ID: ",
                                               record.attr("experiment_id")}));
            } else {
                record = client.attr("get_experiment")(experiment_id);
                logger.attr("debug")(rt::text({"New experiment created with name: ", experiment_name, " and ID: ",
                                               record.attr("experiment_id")}));
            }
            if (record.attr("lifecycle_stage").not_equal(c.g("LifecycleStage").attr("ACTIVE"))) {
                py::str message("Cannot set a deleted experiment '%s' as the active experiment. You can restore the "
                                "experiment, or permanently delete the  experiment to create a new one.");
                refuse(c, message.attr("__mod__")(py::make_tuple(py::str(record.attr("name")))));
            }

            py::object active_experiment = c.g("Experiment")(record.attr("name"), experiment_description,
                                                             record.attr("experiment_id"), project);
            current_user.attr("active_experiment") = active_experiment;
            current_user.attr("active_project") = project;
            return active_experiment;
        });
}
