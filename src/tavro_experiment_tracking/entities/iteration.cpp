// An iteration: one run on the tracking server inside an experiment, and the
// logging of parameters, metrics and artifacts into it.
//
// The object remembers a single run ID (its current iteration) and nothing
// else: every operation builds a fresh tracking client from the session
// client's address and fetches what it needs from the server again, so what a
// caller sees always reflects the server.
#include "runtime.hpp"

#include <string>

namespace py = pybind11;
using rt::arg;

namespace {

const char *const PARAM_CHANGE_REFUSAL = "INVALID_PARAMETER_VALUE: Changing param values is not allowed.";

py::object tracker(rt::Call &c) {
    return c.g("create_mlflow_client")(c.self().attr("client").attr("tracking_uri"));
}

py::object self_obj(rt::Call &c) { return py::reinterpret_borrow<py::object>(c.self()); }

// The run an operation writes into: the current iteration, started first
// when there is none.
py::object current_run_id(rt::Call &c) {
    return c.self().attr("_get_or_start_iteration")().attr("info").attr("run_id");
}

// Artifacts go to the given run when one is named, without touching the
// current iteration; otherwise to the current one.
py::object artifact_run_id(rt::Call &c, py::handle iteration_id) {
    if (rt::truthy(iteration_id)) return py::reinterpret_borrow<py::object>(iteration_id);
    return current_run_id(c);
}

// Runs `upload` with the tracking library's process-wide tracking address set
// to the session's server, and puts the previous setting (often none) back
// afterwards. The library resolves artifact locations served by the tracking
// server itself ("mlflow-artifacts:") against that process-wide address, not
// against the client's: without this, a team server's artifacts would be
// refused ("scheme 'file' is invalid") or sent to whatever other server the
// address names. The setting is the process's, so this is no safer across
// threads than the library's own global.
template <typename Upload>
void with_session_tracking_uri(rt::Call &c, Upload upload) {
    py::object utils = c.g("_tracking_service_utils");
    py::object previous = utils.attr("_tracking_uri");
    utils.attr("_tracking_uri") = c.self().attr("client").attr("tracking_uri");
    try {
        upload();
    } catch (...) {
        utils.attr("_tracking_uri") = previous;
        throw;
    }
    utils.attr("_tracking_uri") = previous;
}

// Milliseconds since the epoch, truncated as int() truncates.
py::object now_millis(rt::Call &c) {
    py::object seconds = c.g("time").attr("time")();
    return py::int_(seconds * py::int_(1000));
}

void log(rt::Call &c, const char *level, const py::str &message) { c.g("logger").attr(level)(message); }

// The tracking library writes a batch in requests of 100 parameters or 1,000
// metrics, so a refusal of a later request would leave the earlier ones
// stored. The checks the server applies (names, value lengths, numeric
// values, one value per key) run here first, with the server's own messages.
void validate_batch(rt::Call &c, const py::list &metrics, const py::list &params) {
    py::object validation = c.g("mlflow_validation");
    validation.attr("_validate_param_keys_unique")(params);
    validation.attr("_validate_batch_log_data")(metrics, params, py::list());
}

bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The listing of an experiment's runs comes in pages; every page is read, or
// an experiment with more runs than one page would not find its iteration and
// a duplicate would be created. `next_page(token)` fetches one page (the
// first for a null token); `visit` sees every entry in listing order.
template <typename NextPage, typename Visit>
void for_each_listed(NextPage next_page, Visit visit) {
    py::object page = next_page(py::object());
    while (true) {
        for (py::handle entry : page) visit(entry);
        py::object token = py::getattr(page, "token", py::none());
        // The SQL stores hand out a token before an empty last page; an empty
        // page with a token is read like any other and ends the loop.
        if (!rt::truthy(token)) break;
        page = next_page(token);
    }
}

// True when `client` is the tracking library's own client, with the listing
// and the run fetch its class had when this module was imported: not a fake,
// not a subclass, nothing replaced on the class or on the instance. Only then
// is it known what its listing does underneath.
bool is_library_client(rt::Call &c, py::handle client) {
    py::tuple library = c.g("_LIBRARY_CLIENT");
    py::object cls = library[0];
    if (!py::type::handle_of(client).is(cls)) return false;
    py::object listing = cls.attr("list_run_infos"), fetch = cls.attr("get_run");
    if (!listing.is(library[1]) || !fetch.is(library[2])) return false;
    py::object own = py::getattr(client, "__dict__", py::none());
    if (own.is_none()) return true;
    return !rt::truthy(own.attr("__contains__")("list_run_infos")) &&
           !rt::truthy(own.attr("__contains__")("get_run"));
}

// A run-search filter for runs whose tag `key` is `name`, or None when the
// name is not plain text the search syntax can quote.
py::object name_filter(rt::Call &c, py::handle key, py::handle name) {
    if (!PyUnicode_CheckExact(name.ptr()) || !PyUnicode_CheckExact(key.ptr())) return py::none();
    for (const char *unquotable : {"'", "\"", "`", "\\"})
        if (rt::truthy(name.attr("__contains__")(unquotable)) || rt::truthy(key.attr("__contains__")(unquotable)))
            return py::none();
    if (!rt::truthy(name.attr("isprintable")())) return py::none();
    try {
        name.attr("encode")("utf-8");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_UnicodeError)) throw;
        return py::none();
    }
    (void)c;
    return rt::text({"tags.`", key, "` = '", name, "'"});
}

// The run of `experiment_id` whose name tag equals `name`, the last one in
// listing order wins; a null object when there is none.
py::object find_run_by_name(rt::Call &c, py::handle client, py::handle experiment_id, py::handle name) {
    py::object found;
    py::object tag_key = c.g("EXP_STORE_RUN_NAME");
    auto match = [&](py::handle run_id, py::handle run) {
        py::object run_name = run.attr("data").attr("tags").attr("get")(tag_key);
        if (equal(run_name, name)) found = py::reinterpret_borrow<py::object>(run_id);
    };
    if (is_library_client(c, client)) {
        // The library's listing is a run search whose answer carries every
        // run's tags, which it then drops; fetching each run again costs one
        // round trip per run (seconds for a few thousand, far more across a
        // network). The same search, with the listing's own view type, page
        // size and order, gives the same runs in the same order, tags kept.
        //
        // The server also narrows the search to runs whose name tag is the name:
        // its comparison may be looser than Python's (a case-insensitive
        // collation), never stricter, and the order is the listing's, so the
        // exact comparison below still picks the same run from fewer. A name
        // the search syntax cannot quote is searched for among all runs.
        py::tuple defaults = py::tuple(py::tuple(c.g("_LIBRARY_CLIENT"))[1].attr("__defaults__"));
        py::list experiment_ids;
        experiment_ids.append(experiment_id);
        py::object filter = name_filter(c, tag_key, name);
        for_each_listed(
            [&](py::object token) {
                return client.attr("search_runs")(experiment_ids, filter, defaults[0], defaults[1], defaults[2],
                                                  token ? token : py::object(py::none()));
            },
            [&](py::handle run) { match(run.attr("info").attr("run_id"), run); });
    } else {
        for_each_listed(
            [&](py::object token) {
                if (!token) return client.attr("list_run_infos")(experiment_id);
                return client.attr("list_run_infos")(experiment_id, py::arg("page_token") = token);
            },
            [&](py::handle entry) {
                py::object run_id = entry.attr("run_id");
                match(run_id, client.attr("get_run")(run_id));
            });
    }
    return found;
}

}  // namespace

RT_MODULE(iteration, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("os");
    mod.import("time");
    mod.from("copy", {"deepcopy"});
    mod.from("typing", {"Any", "Optional", "Dict", "Union"});
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus", "RunTag", "Param", "Metric"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("mlflow.tracking", {"_get_store"});
    mod.import("mlflow.tracking._tracking_service.utils", "_tracking_service_utils");
    mod.from("mlflow.tracking.context", {"registry as context_registry"});
    mod.from("mlflow.utils.mlflow_tags", {"MLFLOW_PARENT_RUN_ID", "MLFLOW_RUN_NAME"});
    mod.import("mlflow.utils.validation", "mlflow_validation");
    mod.from("tavro_experiment_tracking.entities.experiment", {"Experiment"});
    mod.from("tavro_experiment_tracking.exception",
             {"ExperimentTrackingException", "CHANGING_LOGGED_PARAM_MESSAGE", "CHANGING_LOGGED_PARAMS_MESSAGE"});
    mod.from("tavro_experiment_tracking.model.tags",
             {"EXP_STORE_PARENT_RUN_ID", "EXP_STORE_RUN_NAME", "EXP_STORE_PROJECT_NAME",
              "EXP_STORE_PROJECT_DESCRIPTION", "EXP_STORE_EXPERIMENT_DESCRIPTION"});
    mod.from("tavro_experiment_tracking.tracking.client",
             {"Client", "ActiveIteration", "create_mlflow_client", "_iteration_opened", "_iteration_ended"});
    mod.from("tavro_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    // The tracking library's client with its listing and run fetch as they
    // are now; a lookup by name reads the listing's pages directly only while
    // a client still has these (see find_run_by_name).
    {
        py::object library_client = py::module_::import("mlflow.tracking").attr("MlflowClient");
        mod.set("_LIBRARY_CLIENT", py::make_tuple(library_client, library_client.attr("list_run_infos"),
                                                  library_client.attr("get_run")));
    }

    rt::ClassDef(mod, "Iteration", {},
                 "One run of an experiment on the tracking server.\n\n"
                 "The object remembers the ID of its current run (``iteration_id``). Every\n"
                 "logging method writes into that run and starts a new one first when there\n"
                 "is none.")
        .method("__init__", {arg("self"), arg("experiment").def_none().ann("Optional[Experiment]")}, nullptr,
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    py::handle experiment = c[1];
                    self.attr("iteration_id") = py::none();
                    self.attr("experiment") = experiment;
                    // The experiment's client as it is now, like the experiment
                    // copies its project's.
                    self.attr("client") =
                        rt::truthy(experiment) ? py::object(experiment.attr("client")) : py::object(py::none());
                    return py::none();
                })
        .method(
            "start",
            {arg("self"), arg("iteration_name").def_none().ann("Optional[str]"),
             arg("iteration_id").def_none().ann("Optional[str]"), arg("experiment_id").def_none().ann("Optional[str]"),
             arg("tags").def_none().ann("Optional[Dict[str, Any]]"), arg("nested").def(py::bool_(false))},
            "\n        Start an iteration and make it the current one.\n\n"
            "        With ``iteration_name``, the experiment's runs are searched for one of that\n"
            "        name (the last one listed wins) and it is opened again; with\n"
            "        ``iteration_id``, that run is opened again. Otherwise a new run is created,\n"
            "        tagged with the iteration name, the project and the descriptions.\n\n"
            "        :param iteration_name: Name of the iteration to resume or create.\n"
            "        :param iteration_id: ID of a run of the active experiment to resume.\n"
            "        :param experiment_id: Experiment to search by name and to create the run in;\n"
            "                              the bound experiment by default.\n"
            "        :param tags: Tags of the run; values are stored as text.\n"
            "        :param nested: Accepted for compatibility; iterations do not nest.\n"
            "        :return ActiveIteration: The started iteration, usable as a context manager.\n        ",
            "ActiveIteration",
            [](rt::Call &c) -> py::object {
                py::object self = self_obj(c);
                py::object iteration_name = py::reinterpret_borrow<py::object>(c[1]);
                py::object iteration_id = py::reinterpret_borrow<py::object>(c[2]);
                py::object experiment_id = py::reinterpret_borrow<py::object>(c[3]);
                py::object tags = py::reinterpret_borrow<py::object>(c[4]);

                py::object client = tracker(c);

                if (rt::truthy(iteration_name)) {
                    if (!rt::truthy(experiment_id)) experiment_id = self.attr("experiment").attr("experiment_id");
                    py::object found = find_run_by_name(c, client, experiment_id, iteration_name);
                    if (found) {
                        iteration_id = found;
                    } else {
                        log(c, "debug", rt::text({"No iteration with name ", iteration_name,
                                                  ", creating new iteration!"}));
                    }
                }

                py::object run;
                if (rt::truthy(iteration_id)) {
                    run = client.attr("get_run")(iteration_id);
                    py::object bound_id = self.attr("experiment").attr("experiment_id");
                    if (!bound_id.is_none() && bound_id.not_equal(run.attr("info").attr("experiment_id"))) {
                        rt::raise(c.g("ExperimentTrackingException"),
                                  py::str("Cannot start iteration with ID {} because active "
                                                         "experiment ID {}does not match with it. Make sure "
                                                         "iteration_id matches experiment set with init()")
                                                     .format(iteration_id, bound_id));
                    }
                    if (equal(run.attr("info").attr("lifecycle_stage"), c.g("LifecycleStage").attr("DELETED"))) {
                        rt::raise(c.g("ExperimentTrackingException"),
                                  py::str("Cannot start run with ID {} because it is in the deleted state.")
                                          .format(iteration_id));
                    }
                    // Running again, with the end time it had: a resumed run keeps
                    // the record of when it was last ended.
                    c.g("_get_store")(py::arg("store_uri") = self.attr("client").attr("tracking_uri"))
                        .attr("update_run_info")(iteration_id,
                                                 py::arg("run_status") = c.g("RunStatus").attr("RUNNING"),
                                                 py::arg("end_time") = run.attr("info").attr("end_time"));
                    if (rt::truthy(tags)) {
                        py::list run_tags;
                        py::object RunTag = c.g("RunTag");
                        for (py::handle item : tags.attr("items")()) {
                            auto [key, value] = rt::unpack2(item);
                            run_tags.append(RunTag(key, py::str(value)));
                        }
                        client.attr("log_batch")(py::arg("run_id") = iteration_id, py::arg("tags") = run_tags);
                    }
                    run = client.attr("get_run")(iteration_id);
                    log(c, "info", rt::text({"Reusing Iteration with ID: ", run.attr("info").attr("run_id"),
                                             ", under Experiment ID: ", run.attr("info").attr("experiment_id")}));
                } else {
                    py::object experiment = self.attr("experiment");
                    py::object target =
                        experiment_id.is_none() ? py::object(experiment.attr("experiment_id")) : experiment_id;
                    // The caller's mapping is never modified.
                    py::object user_tags = c.g("deepcopy")(tags);
                    if (!rt::truthy(user_tags)) user_tags = py::dict();
                    if (!iteration_name.is_none()) {
                        user_tags[c.g("MLFLOW_RUN_NAME")] = iteration_name;
                        user_tags[c.g("EXP_STORE_RUN_NAME")] = iteration_name;
                    }
                    py::object project_name = experiment.attr("project").attr("name");
                    if (!project_name.is_none()) user_tags[c.g("EXP_STORE_PROJECT_NAME")] = project_name;
                    py::object experiment_description = experiment.attr("description");
                    if (!experiment_description.is_none())
                        user_tags[c.g("EXP_STORE_EXPERIMENT_DESCRIPTION")] = experiment_description;
                    py::object project_description = experiment.attr("project").attr("description");
                    if (!project_description.is_none())
                        user_tags[c.g("EXP_STORE_PROJECT_DESCRIPTION")] = project_description;

                    // The run context (user, source) is resolved together with our
                    // tags, so the run records the logged-in user.
                    py::object resolved = c.g("context_registry").attr("resolve_tags")(user_tags);
                    // The tracking client sends tag values as they are and refuses
                    // anything but text, so values become text only now: context
                    // providers still see the caller's values.
                    py::dict text_tags;
                    for (py::handle item : resolved.attr("items")()) {
                        auto [key, value] = rt::unpack2(item);
                        text_tags[key] = py::str(value);
                    }
                    run = client.attr("create_run")(py::arg("experiment_id") = target, py::arg("tags") = text_tags);
                    log(c, "info", rt::text({"New Iteration created with ID: ", run.attr("info").attr("run_id"),
                                             ", under Experiment ID: ", run.attr("info").attr("experiment_id")}));
                }

                py::object iteration = c.g("ActiveIteration")(self.attr("client"), run);
                self.attr("iteration_id") = iteration.attr("info").attr("run_id");
                // Running now: if the script never ends it, the exit does.
                c.g("_iteration_opened")(self.attr("iteration_id"), self.attr("client").attr("tracking_uri"));
                return iteration;
            })
        .method("log_param", {arg("self"), arg("key").str(), arg("value").ann("Any")},
                "\n        Log a parameter into the current iteration.\n\n"
                "        A parameter cannot change once logged: logging the same key with another\n"
                "        value raises ExperimentTrackingException (INVALID_PARAMETER_VALUE).\n\n"
                "        :param str key: Parameter name.\n"
                "        :param value: Parameter value, stored as text.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object self = self_obj(c);
                    py::handle key = c[1];
                    py::handle value = c[2];
                    py::object iteration = self.attr("_get_or_start_iteration")();
                    try {
                        py::object iteration_id = iteration.attr("info").attr("run_id");
                        tracker(c).attr("log_param")(iteration_id, key, value);
                    } catch (py::error_already_set &e) {
                        if (!e.matches(c.g("MlflowException"))) throw;
                        py::object message = e.value().attr("message");
                        py::dict kwargs;
                        if (rt::truthy(message.attr("startswith")(PARAM_CHANGE_REFUSAL))) {
                            kwargs["message"] = c.g("CHANGING_LOGGED_PARAM_MESSAGE")
                                                    .attr("format")(key,
                                                                    iteration.attr("data").attr("params").attr(
                                                                        "get")(key),
                                                                    iteration.attr("info").attr("run_id"), value);
                            kwargs["error_code"] = c.g("INVALID_PARAMETER_VALUE");
                        } else {
                            kwargs["message"] = message;
                            kwargs["error_code"] = e.value().attr("error_code");
                        }
                        rt::raise_while_handling(e, c.g("ExperimentTrackingException"), py::tuple(), kwargs);
                    }
                    return py::none();
                })
        .method("log_params", {arg("self"), arg("params").ann("Dict[str, Any]")},
                "\n        Log several parameters into the current iteration.\n\n"
                "        The batch is checked against the parameters already logged: when any key\n"
                "        would change its value, nothing is written and\n"
                "        ExperimentTrackingException (INVALID_PARAMETER_VALUE) is raised. Keys\n"
                "        already logged with the same value are accepted. What the server would\n"
                "        refuse (a bad key, a value over 500 characters) is refused before anything\n"
                "        is sent. The server takes 100 parameters per request: only a server that\n"
                "        fails between two of them can leave part of a larger batch stored.\n\n"
                "        :param params: Parameter names and values; values are stored as text.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object self = self_obj(c);
                    py::handle params = c[1];
                    py::object iteration = self.attr("_get_or_start_iteration")();
                    py::list params_arr;
                    py::object Param = c.g("Param");
                    for (py::handle item : params.attr("items")()) {
                        auto [key, value] = rt::unpack2(item);
                        params_arr.append(Param(key, py::str(value)));
                    }
                    py::object logged = iteration.attr("data").attr("params");
                    py::object keys_exist = c.g("_validate_keys_already_exists")(params_arr, logged);
                    if (rt::truthy(keys_exist)) {
                        py::dict kwargs;
                        kwargs["message"] = c.g("CHANGING_LOGGED_PARAMS_MESSAGE")
                                                .attr("format")(keys_exist, iteration.attr("info").attr("run_id"));
                        kwargs["error_code"] = c.g("INVALID_PARAMETER_VALUE");
                        rt::raise(c.g("ExperimentTrackingException"), py::tuple(), kwargs);
                    }
                    // Keys already logged with the same value are left out: the
                    // server refuses a batch that repeats a logged parameter next to
                    // new ones, and would drop the new ones with it.
                    py::list to_send;
                    for (py::handle param : params_arr) {
                        py::object key = param.attr("key");
                        if (rt::truthy(logged.attr("__contains__")(key)) &&
                            equal(logged.attr("__getitem__")(key), param.attr("value")))
                            continue;
                        to_send.append(param);
                    }
                    // Sent in requests of 100: what the server would refuse is
                    // refused before the first, so a refused batch writes nothing.
                    validate_batch(c, py::list(), to_send);
                    tracker(c).attr("log_batch")(py::arg("run_id") = iteration.attr("info").attr("run_id"),
                                                 py::arg("metrics") = py::list(), py::arg("params") = to_send,
                                                 py::arg("tags") = py::list());
                    return py::none();
                })
        .method("log_metric", {arg("self"), arg("key").str(), arg("value").flt(), arg("step").def(py::int_(0))},
                "\n        Log one metric value into the current iteration, stamped with the current\n"
                "        time in milliseconds.\n\n"
                "        :param str key: Metric name.\n"
                "        :param float value: Metric value.\n"
                "        :param step: Training step of the value.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object run_id = current_run_id(c);
                    py::object client = tracker(c);
                    py::object timestamp = now_millis(c);
                    client.attr("log_metric")(run_id, c[1], c[2], timestamp, c[3]);
                    return py::none();
                })
        .method("log_metrics",
                {arg("self"), arg("metrics").ann("Dict[str, float]"), arg("step").def_none().ann("Optional[int]")},
                "\n        Log several metric values into the current iteration; all carry the same\n"
                "        timestamp and step. What the server would refuse (a bad key, a value that\n"
                "        is not a number) is refused before anything is sent. The server takes\n"
                "        1,000 values per request: only a server that fails between two of them can\n"
                "        leave part of a larger batch stored.\n\n"
                "        :param metrics: Metric names and values.\n"
                "        :param step: Training step of the values (0 when not given).\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle metrics = c[1];
                    py::object step = rt::truthy(c[2]) ? py::reinterpret_borrow<py::object>(c[2]) : py::int_(0);
                    py::object run_id = current_run_id(c);
                    py::object timestamp = now_millis(c);
                    py::list metrics_arr;
                    py::object Metric = c.g("Metric");
                    for (py::handle item : metrics.attr("items")()) {
                        auto [key, value] = rt::unpack2(item);
                        metrics_arr.append(Metric(key, value, timestamp, step));
                    }
                    validate_batch(c, metrics_arr, py::list());
                    tracker(c).attr("log_batch")(py::arg("run_id") = run_id, py::arg("metrics") = metrics_arr,
                                                 py::arg("params") = py::list(), py::arg("tags") = py::list());
                    return py::none();
                })
        .method("log_artifact",
                {arg("self"), arg("local_file").ann("Union[str, os.PathLike]"),
                 arg("artifact_path").def_none().ann("Union[str, os.PathLike]"), arg("iteration_id").def_none().str()},
                "\n        Upload a local file into the artifacts of an iteration.\n\n"
                "        :param local_file: Path of the file to upload.\n"
                "        :param artifact_path: Directory inside the run's artifacts to put it in.\n"
                "        :param str iteration_id: Run to upload into instead of the current\n"
                "                                 iteration; no iteration is started then.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object run_id = artifact_run_id(c, c[3]);
                    py::object client = tracker(c);
                    with_session_tracking_uri(c, [&] {
                        client.attr("log_artifact")(py::arg("run_id") = run_id, py::arg("local_path") = c[1],
                                                    py::arg("artifact_path") = c[2]);
                    });
                    return py::none();
                })
        .method("log_artifacts",
                {arg("self"), arg("local_dir").ann("Union[str, os.PathLike]"),
                 arg("artifact_path").def_none().ann("Union[str, os.PathLike]"), arg("iteration_id").def_none().str()},
                "\n        Upload the contents of a local directory into the artifacts of an\n"
                "        iteration.\n\n"
                "        :param local_dir: Directory whose files are uploaded.\n"
                "        :param artifact_path: Directory inside the run's artifacts to put them in.\n"
                "        :param str iteration_id: Run to upload into instead of the current\n"
                "                                 iteration; no iteration is started then.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object run_id = artifact_run_id(c, c[3]);
                    py::object client = tracker(c);
                    with_session_tracking_uri(c, [&] {
                        client.attr("log_artifacts")(py::arg("run_id") = run_id, py::arg("local_dir") = c[1],
                                                     py::arg("artifact_path") = c[2]);
                    });
                    return py::none();
                })
        .method("end",
                {arg("self"), arg("status").def_expr("RunStatus.to_string(RunStatus.FINISHED)").ann("Optional[str]")},
                "\n        Mark the current iteration as ended on the server.\n\n"
                "        The object keeps its ``iteration_id``: later logging still goes into the\n"
                "        ended run.\n\n"
                "        :param status: Final status name (FINISHED, FAILED, KILLED).\n        ",
                "None",
                [](rt::Call &c) -> py::object {
                    py::object self = self_obj(c);
                    py::object iteration_id = self.attr("iteration_id");
                    tracker(c).attr("set_terminated")(iteration_id, c[1]);
                    c.g("_iteration_ended")(iteration_id);
                    log(c, "debug", rt::text({"Terminated Iteration with ID: ", self.attr("iteration_id"), ")"}));
                    return py::none();
                })
        .method("_get_or_start_iteration", {arg("self")},
                "\n        The current iteration, fetched from the server; a new one is started when\n"
                "        there is none.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object self = self_obj(c);
                    py::object iteration_id = self.attr("iteration_id");
                    if (rt::truthy(iteration_id)) return self.attr("get_iteration")(iteration_id);
                    return self.attr("start")();
                })
        .method("get_iteration", {arg("self"), arg("iteration_id")},
                "\n        Fetch a run from the server, without starting it or making it current.\n\n"
                "        :param iteration_id: ID of the run.\n"
                "        :return ActiveIteration: The run as it is on the server.\n        ",
                nullptr,
                [](rt::Call &c) -> py::object {
                    py::object run = tracker(c).attr("get_run")(c[1]);
                    return c.g("ActiveIteration")(c.self().attr("client"), run);
                })
        .build();
}
