// The session's entry point: log in, pick the tracking server, and get or
// create the experiment the script works in.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// Logs in (the given authenticator, else the previous session's, else the
// environment's) and makes a new session client the session's: from here
// on it is, whatever happens afterwards.
py::object new_session(rt::Call &c, const py::object &authenticator) {
    py::object context = c.g("context");
    py::object previous = py::none();
    if (rt::truthy(context.attr("current_client"))) previous = context.attr("current_client").attr("authenticator");
    py::object chosen = rt::truthy(authenticator) ? authenticator : previous;
    // Offline there is no login: nothing may be contacted.
    py::object session =
        c.g("Client")(rt::truthy(c.g("offline_mode")()) ? py::object(py::none()) : c.g("check_authentication")(chosen));
    context.attr("current_client").attr("update")(session);
    return session;
}

// Puts the server's address into the session and checks that a store is
// there.
void use_server(rt::Call &c, py::handle session, const py::object &tracking_uri) {
    // On the cloud platform the workspace decides the server, not the script.
    py::object meant =
        rt::truthy(c.g("is_cloud")()) ? c.g("os").attr("getenv")(c.g("ENV_EXP_TRACKING_SERVER_URI")) : tracking_uri;
    // Offline, the session works in a local store kept for that server
    // until `sync` sends it there.
    if (rt::truthy(c.g("offline_mode")())) {
        py::object store = c.g("offline_store")(meant);
        c.g("logger").attr("info")(rt::text({"Working offline: iterations meant for ", meant, " are kept in ", store,
                                             " until `", c.g("sync_command")(meant, py::none()), "` sends them."}));
        meant = std::move(store);
    }
    session.attr("tracking_uri") = meant;
    py::object resolved = session.attr("tracking_uri");
    c.g("logger").attr("debug")(rt::text({"Using tracking server uri: ", resolved}));
    py::object address = resolved.attr("rstrip")("/");
    // The published sentences, then what the probe saw.
    py::object problem = c.g("server_problem")(address);
    if (!problem.is_none())
        rt::raise(c.g("ServerNotAccessibleException"),
                  rt::text({"Unable to communicate with Experiment Tracking server. Please make sure the server at '",
                            address, "' is running, and the address is correct. What was seen: ", problem, "."}));
}

// The server's experiment of that name, created when there is none; refused
// when it exists and may not be used, or is deleted.
py::object experiment_record(rt::Call &c, py::handle client, py::handle name, py::handle use_if_exists) {
    py::object logger = c.g("logger"), partial = c.g("partial");
    // Made by another job since the lookup, it is an existing experiment.
    auto [record, created] = rt::unpack2(c.g("_get_or_create_experiment")(
        partial(client.attr("get_experiment_by_name"), name), partial(client.attr("create_experiment"), name),
        client.attr("get_experiment")));
    if (!rt::truthy(created)) {
        if (!rt::truthy(use_if_exists))
            rt::raise(PyExc_Exception, rt::text({"Experiment already exists with name: ", record.attr("name")}));
        logger.attr("debug")(
            rt::text({"Re-using experiment with name: ", name, " and ID: ", record.attr("experiment_id")}));
    } else {
        logger.attr("debug")(
            rt::text({"New experiment created with name: ", name, " and ID: ", record.attr("experiment_id")}));
    }
    if (!rt::equal(record.attr("lifecycle_stage"), c.g("LifecycleStage").attr("ACTIVE"))) {
        // The published text, two spaces before the second "experiment" included.
        py::str message(
            "Cannot set a deleted experiment '%s' as the active experiment. You can restore the "
            "experiment, or permanently delete the  experiment to create a new one.");
        rt::refuse(c, message.attr("__mod__")(py::make_tuple(py::str(record.attr("name")))));
    }
    return record;
}

py::object init(rt::Call &c) {
    auto [project, experiment, use_if_exists, tracking_uri, authenticator] = c.args<5>();
    // Compared as passed: an Experiment entity never means the default.
    py::object using_default_experiment = rt::eq(experiment, c.g("DEFAULT_EXPERIMENT_NAME"));
    py::object session = new_session(c, authenticator);
    py::object user = session.attr("user");

    if (!rt::isinstance(project, c.g("Project"))) project = c.g("Project")(project, py::none());
    if (!rt::isinstance(experiment, c.g("Experiment"))) experiment = c.g("Experiment")(experiment, py::none());
    py::object project_name = project.attr("name"), project_description = project.attr("description");
    py::object experiment_name = experiment.attr("name"), experiment_description = experiment.attr("description");
    if (!rt::truthy(project_name)) rt::refuse(c, py::str("Must specify `project_name`."));

    use_server(c, session, tracking_uri);
    // The tracking library gets the address as stored, slashes and all.
    py::object client = c.g("create_mlflow_client")(session.attr("tracking_uri"));
    project = c.g("Project")(project_name, project_description, session);
    if (rt::truthy(using_default_experiment)) return project;

    py::object record = experiment_record(c, client, experiment_name, use_if_exists);
    py::object active =
        c.g("Experiment")(record.attr("name"), experiment_description, record.attr("experiment_id"), project);
    user.attr("active_experiment") = active;
    user.attr("active_project") = project;
    return active;
}

constexpr const char *INIT_DOC = R"(
    Start an experiment and set the given experiment as an active experiment.

    :param project: Case sensitive name of the project to be created.
    :param experiment: Case sensitive name of the experiment to be created.
    :param use_if_exists: Use same experiment if already exists.
    :param tracking_uri: Tracking server address. If not given, the default tracking server, an HTTP server on the local machine at port 5000, is used (or MLFLOW_TRACKING_URI, when it was set at import).
    :param authenticator: Authenticator details.

    .. note:: If Authenticator is not specified, will try to resolve from the
        previous init() call. If it fails, it will assume the open communication.
    )";

}  // namespace

RT_MODULE(initialize, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("os");
    mod.from("typing", {"Union"});
    mod.from("mlflow.entities", {"LifecycleStage"});
    mod.from("tavro_experiment_tracking.auth.authenticator", {"Authenticator"});
    mod.from("tavro_experiment_tracking.auth.lookup", {"check_authentication"});
    mod.from("tavro_experiment_tracking.config", {"offline_mode", "offline_store", "sync_command"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.constants", {"DEFAULT_EXPERIMENT_NAME"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException", "ServerNotAccessibleException"});
    mod.from("tavro_experiment_tracking.entities.experiment", {"Experiment"});
    mod.from("tavro_experiment_tracking.entities.project", {"Project"});
    mod.from("functools", {"partial"});
    mod.from("tavro_experiment_tracking.tracking.client",
             {"Client", "_get_or_create_experiment", "create_mlflow_client"});
    mod.from("tavro_experiment_tracking.constants", {"DEFAULT_TRACK_SERVER", "ENV_EXP_TRACKING_SERVER_URI"});
    mod.from("tavro_experiment_tracking.utils.validation", {"is_cloud", "is_server_up", "server_problem"});
    mod.import("tavro_experiment_tracking.context", "context");
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    mod.def(
        "init",
        {arg("project").ann("Union[str, Project]"),
         arg("experiment").def_expr("DEFAULT_EXPERIMENT_NAME").ann("Union[str, Experiment]"),
         arg("use_if_exists").def(py::bool_(true)), arg("tracking_uri").checked_str().def_expr("DEFAULT_TRACK_SERVER"),
         arg("authenticator").def_none().ann("Authenticator")},
        init, rt::doc(INIT_DOC), rt::returns("Union[Project, Experiment]"));
}
