// The session client and the tracking-library client factory.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

py::object tracker(rt::Call &c) { return c.g("create_mlflow_client")(c.self().attr("tracking_uri")); }

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
    if (environ.attr("get")(name).not_equal(token)) environ.attr("__setitem__")(name, token);
}

bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool is_subclass(py::handle cls, PyObject *base) {
    int r = PyObject_IsSubclass(cls.ptr(), base);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `sys.exit(0)`, `sys.exit()` and `sys.exit(False)` end the process with
// status 0: a clean exit, not a failure.
bool clean_exit(py::handle exc_value) {
    if (exc_value.is_none()) return true;
    py::object code = exc_value.attr("code");
    if (code.is_none()) return true;
    return PyLong_Check(code.ptr()) && equal(code, py::int_(0));
}

py::object status_name(rt::Call &c, const char *status) {
    py::object RunStatus = c.g("RunStatus");
    return RunStatus.attr("to_string")(RunStatus.attr(status));
}

// How the interpreter is leaving: an unhandled exception of the main program
// is in `sys.last_type` by the time exit handlers run (SystemExit never is).
// At an interactive prompt an error does not end the interpreter, so there
// only the exit itself counts.
const char *exit_status(rt::Call &c) {
    py::object sys = c.g("sys");
    if (py::hasattr(sys, "ps1")) return "FINISHED";
    py::object last_type = py::getattr(sys, "last_type", py::none());
    if (last_type.is_none() || !PyType_Check(last_type.ptr())) return "FINISHED";
    return is_subclass(last_type, PyExc_KeyboardInterrupt) ? "KILLED" : "FAILED";
}

}  // namespace

RT_MODULE(client, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("getpass");
    mod.import("atexit");
    mod.import("os");
    mod.import("sys");
    mod.from("typing", {"Any", "Dict", "Optional"});
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus"});
    mod.from("mlflow.exceptions", {"RestException as MlflowRestException"});
    mod.from("mlflow.tracking", {"MlflowClient", "get_tracking_uri"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_EXP_TRACKING_SERVER_URI", "ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES", "ENV_MLFLOW_TRACKING_TOKEN"});
    mod.import("tavro_experiment_tracking.context", "context");
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.from("tavro_experiment_tracking.utils.validation", {"is_cloud"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    mod.def("create_mlflow_client", {arg("tracking_uri").ann("Optional[str]")},
            "A tracking-library client for ``tracking_uri`` (None: the library's own default).\n\n"
            "When the session has a logged-in authenticator, its current access token is put\n"
            "into ``ENV_MLFLOW_TRACKING_TOKEN`` first, so a run outlives any one token.",
            "MlflowClient", [](rt::Call &c) -> py::object {
                publish_current_token(c);
                return c.g("MlflowClient")(c[0]);
            });

    // Iterations this process started or resumed and has not ended: run ID ->
    // (tracking address, ID of the process that opened it). Whatever is left
    // when the interpreter exits is ended then.
    mod.set("_open_iterations", py::dict());

    mod.def("_iteration_opened", {arg("run_id"), arg("tracking_uri")},
            "Remember a run this process set running, to end it at exit.", "None", [](rt::Call &c) -> py::object {
                c.g("_open_iterations")[c[0]] = py::make_tuple(c[1], c.g("os").attr("getpid")());
                return py::none();
            });

    mod.def("_iteration_ended", {arg("run_id")}, "Forget a run that was ended.", "None",
            [](rt::Call &c) -> py::object {
                c.g("_open_iterations").attr("pop")(c[0], py::none());
                return py::none();
            });

    mod.def(
        "_end_open_iterations", {},
        "End the runs this process left running: FINISHED after a normal exit, FAILED\n"
        "after an unhandled exception, KILLED after an unhandled KeyboardInterrupt.\n\n"
        "Runs on interpreter exit. Runs already ended (by any client) or deleted are\n"
        "left alone. Nothing is raised: a run that cannot be ended is a warning, and a\n"
        "tracking server that does not answer is asked nothing more, so a server gone\n"
        "at exit costs at most one request timeout.",
        "None", [](rt::Call &c) -> py::object {
            py::object open = c.g("_open_iterations");
            py::list entries(open.attr("items")());
            open.attr("clear")();
            if (entries.size() == 0) return py::none();
            py::object status = status_name(c, exit_status(c));
            py::object running = status_name(c, "RUNNING");
            py::object deleted = c.g("LifecycleStage").attr("DELETED");
            py::object pid = c.g("os").attr("getpid")();
            py::object logger = c.g("logger");
            // A retried request to a server that is gone would hold the exit up
            // for minutes: one attempt each.
            py::object environ = c.g("os").attr("environ");
            py::object retries_variable = c.g("ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES");
            py::object saved_retries = environ.attr("get")(retries_variable);
            environ[retries_variable] = py::str("0");
            auto restore = [&]() {
                if (saved_retries.is_none())
                    environ.attr("pop")(retries_variable, py::none());
                else
                    environ[retries_variable] = saved_retries;
            };
            py::set unreachable;
            try {
                for (py::handle item : entries) {
                    py::object run_id = item[py::int_(0)];
                    py::object tracking_uri = item[py::int_(1)][py::int_(0)];
                    // A forked child inherits its parent's runs; they are the parent's to end.
                    if (!equal(item[py::int_(1)][py::int_(1)], pid)) continue;
                    if (unreachable.contains(tracking_uri)) {
                        logger.attr("warning")(py::str("Could not mark iteration {} as {} at exit: the tracking "
                                                       "server at {} did not answer")
                                                   .format(run_id, status, tracking_uri));
                        continue;
                    }
                    try {
                        py::object client = c.g("create_mlflow_client")(tracking_uri);
                        py::object info = client.attr("get_run")(run_id).attr("info");
                        if (equal(info.attr("lifecycle_stage"), deleted) || !equal(info.attr("status"), running))
                            continue;
                        client.attr("set_terminated")(run_id, status);
                        logger.attr("debug")(py::str("Marked iteration {} as {} at exit").format(run_id, status));
                    } catch (py::error_already_set &e) {
                        if (!e.matches(PyExc_Exception)) throw;
                        // An error the server answered with concerns this run only.
                        if (!e.matches(c.g("MlflowRestException"))) unreachable.add(tracking_uri);
                        logger.attr("warning")(py::str("Could not mark iteration {} as {} at exit: {}")
                                                   .format(run_id, status, e.value()));
                    }
                }
            } catch (...) {
                restore();
                throw;
            }
            restore();
            return py::none();
        });
    mod.get("atexit").attr("register")(mod.get("_end_open_iterations"));

    rt::ClassDef(mod, "Client", {},
                 "The session's connection to the tracking server: its address, its\n"
                 "authenticator and the user record holding the active project and experiment.")
        .method("__init__", {arg("self"), arg("authenticator").def_none()}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    self.attr("authenticator") = c[1];
                    self.attr("_tracking_uri") = py::none();
                    self.attr("_user") = py::none();
                    return py::none();
                })
        .property_rw(
            "tracking_uri",
            "The tracking server's address. When none was set (or an empty or blank one),\n"
            "the tracking library's own resolution decides (``MLFLOW_TRACKING_URI``, else\n"
            "``./mlruns``); on the cloud platform a local store is refused, since nothing\n"
            "logged there would last.",
            [](rt::Call &c) -> py::object {
                py::object uri = c.self().attr("_tracking_uri");
                // An empty address makes the tracking library fall back to its own
                // default, so that default is what this session really uses. A blank
                // one would become a folder named by blanks: no one means that.
                if (!uri.is_none() && !(PyUnicode_Check(uri.ptr()) && !rt::truthy(uri.attr("strip")()))) return uri;
                uri = c.g("get_tracking_uri")();
                // On the platform a local store lives in a throw-away container:
                // whatever was logged there would be lost, so refuse instead.
                if (rt::truthy(c.g("is_cloud")())) {
                    // Compared as Python text: an address from the environment may hold
                    // what UTF-8 cannot encode.
                    py::str resolved(uri);
                    if (rt::truthy(resolved.attr("startswith")("file:")) ||
                        !rt::truthy(resolved.attr("__contains__")("://"))) {
                        py::dict kwargs;
                        kwargs["message"] =
                            rt::text({"No tracking server address on the cloud platform: set the environment variable ",
                                      c.g("ENV_EXP_TRACKING_SERVER_URI"), "."});
                        kwargs["error_code"] = py::str("INVALID_PARAMETER_VALUE");
                        rt::raise(c.g("ExperimentTrackingException"), py::tuple(), kwargs);
                    }
                }
                return uri;
            },
            [](rt::Call &c) -> py::object {
                c.self().attr("_tracking_uri") = c[1];
                return py::none();
            })
        .property("user",
                  "The session's user: the authenticator's logged-in user, or, without an\n"
                  "authenticator, a user named by the local login name.",
                  nullptr,
                  [](rt::Call &c) -> py::object {
                      py::handle self = c.self();
                      py::object authenticator = self.attr("authenticator");
                      if (rt::truthy(authenticator)) return authenticator.attr("user");
                      py::object user = self.attr("_user");
                      if (user.is_none()) {
                          py::object name;
                          try {
                              name = c.g("getpass").attr("getuser")();
                          } catch (py::error_already_set &e) {
                              // No login name in the environment nor in the password database.
                              if (!e.matches(PyExc_Exception)) throw;
                              name = py::str("unknown");
                          }
                          user = c.g("User")(name);
                          self.attr("_user") = user;
                      }
                      return user;
                  })
        .method("get_experiment_by_name", {arg("self"), arg("experiment_name")},
                "The server's experiment record of that name, or None.", nullptr,
                [](rt::Call &c) -> py::object { return tracker(c).attr("get_experiment_by_name")(c[1]); })
        .method("create_experiment",
                {arg("self"), arg("experiment_name"), arg("artifact_location").def_none(), arg("tags").def_none()},
                "Create an experiment on the server and return its ID.", nullptr,
                [](rt::Call &c) -> py::object {
                    return tracker(c).attr("create_experiment")(c[1], py::arg("artifact_location") = c[2],
                                                                py::arg("tags") = c[3]);
                })
        .method("get_experiment", {arg("self"), arg("experiment_id")}, "The server's experiment record of that ID.",
                nullptr, [](rt::Call &c) -> py::object { return tracker(c).attr("get_experiment")(c[1]); })
        .method("get_iteration", {arg("self"), arg("iteration_id")}, "The server's run record of that ID.", nullptr,
                [](rt::Call &c) -> py::object { return tracker(c).attr("get_run")(c[1]); })
        .method("__repr__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    py::object authenticator = self.attr("authenticator");
                    py::object kind = authenticator.is_none()
                                          ? py::object(py::none())
                                          : py::object(py::type::handle_of(authenticator).attr("__name__"));
                    return py::str("<Client: tracking_uri={}, authenticator={}>")
                        .format(py::repr(self.attr("tracking_uri")), kind);
                })
        .build();

    rt::ClassDef(mod, "ActiveIteration", {},
                 "A started iteration: the server's run record (``info``, ``data``) as it was\n"
                 "fetched. Used as a context manager, it ends the run on leaving the block:\n"
                 "FINISHED, FAILED when an exception leaves the block, KILLED on\n"
                 "KeyboardInterrupt; ``sys.exit()`` with status 0 or None is a clean exit\n"
                 "(FINISHED). The exception is never swallowed.")
        .method("__init__", {arg("self"), arg("client"), arg("run")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    c.self().attr("client") = c[1];
                    c.self().attr("run") = c[2];
                    return py::none();
                })
        .property("info", "The run's info record (``run_id``, ``experiment_id``, ``status``, ...).", nullptr,
                  [](rt::Call &c) -> py::object { return c.self().attr("run").attr("info"); })
        .property("data", "The run's data record (``params``, ``metrics``, ``tags``).", nullptr,
                  [](rt::Call &c) -> py::object { return c.self().attr("run").attr("data"); })
        .property("iteration_id", "The run's ID.", "str",
                  [](rt::Call &c) -> py::object { return c.self().attr("run").attr("info").attr("run_id"); })
        .method("__enter__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object { return py::reinterpret_borrow<py::object>(c.self()); })
        .method("__exit__", {arg("self"), arg("exc_type"), arg("exc_value"), arg("traceback")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    py::handle exc_type = c[1];
                    const char *status = "FINISHED";
                    if (!exc_type.is_none()) {
                        if (is_subclass(exc_type, PyExc_KeyboardInterrupt))
                            status = "KILLED";
                        else if (!is_subclass(exc_type, PyExc_SystemExit) || !clean_exit(c[2]))
                            status = "FAILED";
                    }
                    py::object status_text = status_name(c, status);
                    py::object run_id = self.attr("info").attr("run_id");
                    try {
                        c.g("create_mlflow_client")(self.attr("client").attr("tracking_uri"))
                            .attr("set_terminated")(run_id, status_text);
                        c.g("_iteration_ended")(run_id);
                    } catch (py::error_already_set &e) {
                        // Leaving with an exception: that exception is what the user must
                        // see; failing to mark the run is only worth a warning then (the
                        // run stays open, so the exit tries again).
                        if (exc_type.is_none() || !e.matches(PyExc_Exception)) throw;
                        c.g("logger").attr("warning")(
                            py::str("Could not mark iteration {} as {}: {}").format(run_id, status_text, e.value()));
                    }
                    return py::bool_(false);
                })
        .method("__repr__", {arg("self")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::object info = c.self().attr("run").attr("info");
                    return py::str("<ActiveIteration: iteration_id={}, experiment_id={}>")
                        .format(py::repr(info.attr("run_id")), py::repr(info.attr("experiment_id")));
                })
        .build();
}
