// The session client, the tracking-library client factory, and the runs this
// process leaves running, ended when the interpreter exits.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

py::object tracker(rt::Call &c) {
    return c.g("create_mlflow_client")(c.self().attr("tracking_uri"));
}

py::object status_name(rt::Call &c, const char *status) {
    py::object RunStatus = c.g("RunStatus");
    return RunStatus.attr("to_string")(RunStatus.attr(status));
}

// ---- the client factory ----------------------------------------------------------

// The tracking library reads the bearer token from the environment at every
// request, and an access token lives shorter than a training run: before each
// operation the session's login hands out the token valid now (its provider
// caches it, renewing only when it is about to run out).
void publish_current_token(rt::Call &c) {
    py::object session = c.g("context").attr("current_client");
    if (!rt::truthy(session)) return;
    py::object authenticator = session.attr("authenticator");
    if (!rt::truthy(authenticator) || !rt::truthy(authenticator.attr("is_authenticated"))) return;
    py::object token = authenticator.attr("token")();
    py::object environ = c.g("os").attr("environ");
    py::object name = c.g("ENV_MLFLOW_TRACKING_TOKEN");
    if (!rt::equal(environ.attr("get")(name), token)) environ[name] = token;
}

py::object create_mlflow_client(rt::Call &c) {
    auto [tracking_uri] = c.args<1>();
    publish_current_token(c);
    return c.g("MlflowClient")(tracking_uri);
}

// ---- runs left running at exit --------------------------------------------------

py::object iteration_opened(rt::Call &c) {
    auto [run_id, tracking_uri] = c.args<2>();
    c.g("_open_iterations")[run_id] = py::make_tuple(tracking_uri, c.g("os").attr("getpid")());
    return py::none();
}

py::object iteration_ended(rt::Call &c) {
    auto [run_id] = c.args<1>();
    c.g("_open_iterations").attr("pop")(run_id, py::none());
    return py::none();
}

// How the interpreter is leaving: an unhandled exception of the main program
// is in `sys.last_type` by the time exit handlers run (SystemExit never is).
// At an interactive prompt an error does not end the interpreter, so there
// only the exit itself counts.
const char *exit_status(rt::Call &c) {
    py::object sys = c.g("sys");
    if (py::hasattr(sys, "ps1")) return "FINISHED";
    py::object last_type = py::getattr(sys, "last_type", py::none());
    if (last_type.is_none() || !rt::isinstance(last_type, rt::builtin("type"))) return "FINISHED";
    return rt::issubclass(last_type, rt::builtin("KeyboardInterrupt")) ? "KILLED" : "FAILED";
}

// Ends one run left running, unless another client ended or deleted it;
// false when its server did not answer.
bool end_at_exit(rt::Call &c, py::handle run_id, py::handle tracking_uri, py::handle status) {
    py::object logger = c.g("logger");
    try {
        py::object client = c.g("create_mlflow_client")(tracking_uri);
        py::object info = client.attr("get_run")(run_id).attr("info");
        if (rt::equal(info.attr("lifecycle_stage"), c.g("LifecycleStage").attr("DELETED")) ||
            !rt::equal(info.attr("status"), status_name(c, "RUNNING")))
            return true;
        client.attr("set_terminated")(run_id, status);
        logger.attr("debug")(py::str("Marked iteration {} as {} at exit").format(run_id, status));
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        logger.attr("warning")(
            py::str("Could not mark iteration {} as {} at exit: {}").format(run_id, status, e.value()));
        // An error the server answered with concerns this run only.
        return e.matches(c.g("MlflowRestException"));
    }
}

// Sets a variable of the environment for the length of `body`.
template <typename Body>
void with_environment(rt::Call &c, py::handle name, const char *value, Body body) {
    py::object environ = c.g("os").attr("environ");
    py::object saved = environ.attr("get")(name);
    environ[name] = py::str(value);
    auto restore = [&] {
        if (saved.is_none())
            environ.attr("pop")(name, py::none());
        else
            environ[name] = saved;
    };
    try {
        body();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

py::object end_open_iterations(rt::Call &c) {
    py::object open = c.g("_open_iterations");
    py::list entries(open.attr("items")());
    open.attr("clear")();
    if (entries.size() == 0) return py::none();
    py::object status = status_name(c, exit_status(c));
    py::object pid = c.g("os").attr("getpid")();
    // A retried request to a server that is gone would hold the exit up for
    // minutes: one attempt each, and none more to a server that did not answer.
    with_environment(c, c.g("ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES"), "0", [&] {
        py::set unreachable;
        for (py::handle item : entries) {
            auto [run_id, where] = rt::unpack2(item);
            auto [tracking_uri, owner] = rt::unpack2(where);
            // A forked child inherits its parent's runs; they are the parent's to end.
            if (!rt::equal(owner, pid)) continue;
            if (unreachable.contains(tracking_uri)) {
                c.g("logger").attr("warning")(
                    py::str("Could not mark iteration {} as {} at exit: the tracking server at {} did not answer")
                        .format(run_id, status, tracking_uri));
                continue;
            }
            if (!end_at_exit(c, run_id, tracking_uri, status)) unreachable.add(tracking_uri);
        }
    });
    return py::none();
}

// ---- the session client ---------------------------------------------------------

py::object client_init(rt::Call &c) {
    auto [self, authenticator] = c.args<2>();
    self.attr("authenticator") = authenticator;
    self.attr("_tracking_uri") = py::none();
    self.attr("_user") = py::none();
    return py::none();
}

py::object get_tracking_uri(rt::Call &c) {
    py::object uri = c.self().attr("_tracking_uri");
    // An empty address makes the tracking library fall back to its own
    // default, so that default is what this session really uses. A blank one
    // would become a folder named by blanks: no one means that.
    bool blank = rt::isinstance(uri, rt::builtin("str")) && !rt::truthy(uri.attr("strip")());
    if (!uri.is_none() && !blank) return uri;
    uri = c.g("get_tracking_uri")();
    // On the platform a local store lives in a throw-away container: whatever
    // was logged there would be lost, so refuse instead. Compared as Python
    // text: an address from the environment may hold what UTF-8 cannot encode.
    if (rt::truthy(c.g("is_cloud")())) {
        py::str resolved(uri);
        if (rt::truthy(resolved.attr("startswith")("file:")) || !rt::contains(resolved, py::str("://")))
            rt::raise(c.g("ExperimentTrackingException"),
                      "message"_a = rt::text({"No tracking server address on the cloud platform: set the "
                                              "environment variable ",
                                              c.g("ENV_EXP_TRACKING_SERVER_URI"), "."}),
                      "error_code"_a = c.g("INVALID_PARAMETER_VALUE"));
    }
    return uri;
}

py::object set_tracking_uri(rt::Call &c) {
    auto [self, value] = c.args<2>();
    self.attr("_tracking_uri") = value;
    return py::none();
}

py::object user(rt::Call &c) {
    py::handle self = c.self();
    py::object authenticator = self.attr("authenticator");
    if (rt::truthy(authenticator)) return authenticator.attr("user");
    py::object found = self.attr("_user");
    if (!found.is_none()) return found;
    py::object name;
    try {
        name = c.g("getpass").attr("getuser")();
    } catch (py::error_already_set &e) {
        // No login name in the environment nor in the password database.
        if (!e.matches(PyExc_Exception)) throw;
        name = py::str("unknown");
    }
    found = c.g("User")(name);
    self.attr("_user") = found;
    return found;
}

py::object get_experiment_by_name(rt::Call &c) {
    auto [self, experiment_name] = c.args<2>();
    (void)self;
    return tracker(c).attr("get_experiment_by_name")(experiment_name);
}

py::object create_experiment(rt::Call &c) {
    auto [self, experiment_name, artifact_location, tags] = c.args<4>();
    (void)self;
    return tracker(c).attr("create_experiment")(experiment_name, "artifact_location"_a = artifact_location,
                                                "tags"_a = tags);
}

py::object get_experiment(rt::Call &c) {
    auto [self, experiment_id] = c.args<2>();
    (void)self;
    return tracker(c).attr("get_experiment")(experiment_id);
}

py::object get_iteration(rt::Call &c) {
    auto [self, iteration_id] = c.args<2>();
    (void)self;
    return tracker(c).attr("get_run")(iteration_id);
}

py::object client_repr(rt::Call &c) {
    py::handle self = c.self();
    py::object authenticator = self.attr("authenticator");
    py::object kind = authenticator.is_none() ? py::object(py::none())
                                              : py::object(py::type::handle_of(authenticator).attr("__name__"));
    return py::str("<Client: tracking_uri={}, authenticator={}>").format(py::repr(self.attr("tracking_uri")), kind);
}

// ---- a started iteration ---------------------------------------------------------

py::object active_init(rt::Call &c) {
    auto [self, client, run] = c.args<3>();
    self.attr("client") = client;
    self.attr("run") = run;
    return py::none();
}

py::object info(rt::Call &c) {
    return c.self().attr("run").attr("info");
}
py::object data(rt::Call &c) {
    return c.self().attr("run").attr("data");
}
py::object iteration_id(rt::Call &c) {
    return c.self().attr("run").attr("info").attr("run_id");
}
py::object enter(rt::Call &c) {
    return py::reinterpret_borrow<py::object>(c.self());
}

// `sys.exit(0)`, `sys.exit()` and `sys.exit(False)` end the process with
// status 0: a clean exit, not a failure.
bool clean_exit(py::handle exc_value) {
    if (exc_value.is_none()) return true;
    py::object code = exc_value.attr("code");
    if (code.is_none()) return true;
    return rt::isinstance(code, rt::builtin("int")) && rt::equal(code, py::int_(0));
}

const char *leaving_status(py::handle exc_type, py::handle exc_value) {
    if (exc_type.is_none()) return "FINISHED";
    if (rt::issubclass(exc_type, rt::builtin("KeyboardInterrupt"))) return "KILLED";
    if (rt::issubclass(exc_type, rt::builtin("SystemExit")) && clean_exit(exc_value)) return "FINISHED";
    return "FAILED";
}

py::object exit_block(rt::Call &c) {
    auto [self, exc_type, exc_value, traceback] = c.args<4>();
    (void)traceback;
    py::object status = status_name(c, leaving_status(exc_type, exc_value));
    py::object run_id = self.attr("info").attr("run_id");
    try {
        c.g("create_mlflow_client")(self.attr("client").attr("tracking_uri")).attr("set_terminated")(run_id, status);
        c.g("_iteration_ended")(run_id);
    } catch (py::error_already_set &e) {
        // Leaving with an exception: that exception is what the user must see;
        // failing to mark the run is only worth a warning then (the run stays
        // open, so the exit tries again).
        if (exc_type.is_none() || !e.matches(PyExc_Exception)) throw;
        c.g("logger").attr("warning")(
            py::str("Could not mark iteration {} as {}: {}").format(run_id, status, e.value()));
    }
    return py::bool_(false);
}

py::object active_repr(rt::Call &c) {
    py::object run_info = c.self().attr("run").attr("info");
    return py::str("<ActiveIteration: iteration_id={}, experiment_id={}>")
        .format(py::repr(run_info.attr("run_id")), py::repr(run_info.attr("experiment_id")));
}

// ---- docstrings -------------------------------------------------------------------

constexpr const char *CREATE_MLFLOW_CLIENT_DOC =
    R"(A tracking-library client for ``tracking_uri`` (None: the library's own default).

When the session has a logged-in authenticator, its current access token is put
into ``ENV_MLFLOW_TRACKING_TOKEN`` first, so a run outlives any one token.)";

constexpr const char *END_OPEN_ITERATIONS_DOC =
    R"(End the runs this process left running: FINISHED after a normal exit, FAILED
after an unhandled exception, KILLED after an unhandled KeyboardInterrupt.

Runs on interpreter exit. Runs already ended (by any client) or deleted are
left alone. Nothing is raised: a run that cannot be ended is a warning, and a
tracking server that does not answer is asked nothing more, so a server gone
at exit costs at most one request timeout.)";

constexpr const char *TRACKING_URI_DOC = R"(The tracking server's address. When none was set (or an empty or blank one),
the tracking library's own resolution decides (``MLFLOW_TRACKING_URI``, else
``./mlruns``); on the cloud platform a local store is refused, since nothing
logged there would last.)";

constexpr const char *ACTIVE_ITERATION_DOC =
    R"(A started iteration: the server's run record (``info``, ``data``) as it was
fetched. Used as a context manager, it ends the run on leaving the block:
FINISHED, FAILED when an exception leaves the block, KILLED on
KeyboardInterrupt; ``sys.exit()`` with status 0 or None is a clean exit
(FINISHED). The exception is never swallowed.)";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("logging");
    mod.import("getpass");
    mod.import("atexit");
    mod.import("os");
    mod.import("sys");
    mod.from("typing", {"Any", "Dict", "Optional"});
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus"});
    mod.from("mlflow.exceptions", {"RestException as MlflowRestException"});
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("mlflow.tracking", {"MlflowClient", "get_tracking_uri"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_EXP_TRACKING_SERVER_URI", "ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES", "ENV_MLFLOW_TRACKING_TOKEN"});
    mod.import("tavro_experiment_tracking.context", "context");
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.from("tavro_experiment_tracking.utils.validation", {"is_cloud"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
}

RT_MODULE(client, m) {
    rt::Module mod(m);
    import_names(mod);

    mod.def("create_mlflow_client", {arg("tracking_uri").ann("Optional[str]")}, create_mlflow_client,
            rt::doc(CREATE_MLFLOW_CLIENT_DOC), rt::returns("MlflowClient"));

    // Iterations this process started or resumed and has not ended: run ID ->
    // (tracking address, ID of the process that opened it). Whatever is left
    // when the interpreter exits is ended then.
    mod.set("_open_iterations", py::dict());
    mod.def("_iteration_opened", {arg("run_id"), arg("tracking_uri")}, iteration_opened,
            rt::doc("Remember a run this process set running, to end it at exit."), rt::returns("None"));
    mod.def("_iteration_ended", {arg("run_id")}, iteration_ended, rt::doc("Forget a run that was ended."),
            rt::returns("None"));
    mod.def("_end_open_iterations", {}, end_open_iterations, rt::doc(END_OPEN_ITERATIONS_DOC), rt::returns("None"));
    mod.get("atexit").attr("register")(mod.get("_end_open_iterations"));

    rt::ClassDef(mod, "Client", {}, R"(The session's connection to the tracking server: its address, its
authenticator and the user record holding the active project and experiment.)")
        .method("__init__", {arg("self"), arg("authenticator").def_none()}, client_init)
        .property("tracking_uri", get_tracking_uri, set_tracking_uri, rt::doc(TRACKING_URI_DOC))
        .property("user", user, rt::doc(R"(The session's user: the authenticator's logged-in user, or, without an
authenticator, a user named by the local login name.)"))
        .method("get_experiment_by_name", {arg("self"), arg("experiment_name")}, get_experiment_by_name,
                rt::doc("The server's experiment record of that name, or None."))
        .method("create_experiment",
                {arg("self"), arg("experiment_name"), arg("artifact_location").def_none(), arg("tags").def_none()},
                create_experiment, rt::doc("Create an experiment on the server and return its ID."))
        .method("get_experiment", {arg("self"), arg("experiment_id")}, get_experiment,
                rt::doc("The server's experiment record of that ID."))
        .method("get_iteration", {arg("self"), arg("iteration_id")}, get_iteration,
                rt::doc("The server's run record of that ID."))
        .method("__repr__", {arg("self")}, client_repr)
        .build();

    rt::ClassDef(mod, "ActiveIteration", {}, ACTIVE_ITERATION_DOC)
        .method("__init__", {arg("self"), arg("client"), arg("run")}, active_init)
        .property("info", info, rt::doc("The run's info record (``run_id``, ``experiment_id``, ``status``, ...)."))
        .property("data", data, rt::doc("The run's data record (``params``, ``metrics``, ``tags``)."))
        .property("iteration_id", iteration_id, rt::doc("The run's ID."), rt::returns("str"))
        .method("__enter__", {arg("self")}, enter)
        .method("__exit__", {arg("self"), arg("exc_type"), arg("exc_value"), arg("traceback")}, exit_block)
        .method("__repr__", {arg("self")}, active_repr)
        .build();
}
