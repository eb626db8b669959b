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
using namespace py::literals;
using rt::arg;

namespace {

const char *const PARAM_CHANGE_REFUSAL = "INVALID_PARAMETER_VALUE: Changing param values is not allowed.";

py::object tracker(rt::Call &c) {
    return c.g("create_mlflow_client")(c.self().attr("client").attr("tracking_uri"));
}

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

void log(rt::Call &c, const char *level, const py::str &message) {
    c.g("logger").attr(level)(message);
}

// The tracking library writes a batch in requests of 100 parameters or 1,000
// metrics, so a refusal of a later request would leave the earlier ones
// stored. The checks the server applies (names, value lengths, numeric
// values, one value per key) run here first, with the server's own messages.
void validate_batch(rt::Call &c, const py::list &metrics, const py::list &params) {
    py::object validation = c.g("mlflow_validation");
    validation.attr("_validate_param_keys_unique")(params);
    validation.attr("_validate_batch_log_data")(metrics, params, py::list());
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
    return !rt::truthy(own.attr("__contains__")("list_run_infos")) && !rt::truthy(own.attr("__contains__")("get_run"));
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
        if (rt::equal(run_name, name)) found = py::reinterpret_borrow<py::object>(run_id);
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
                return client.attr("list_run_infos")(experiment_id, "page_token"_a = token);
            },
            [&](py::handle entry) {
                py::object run_id = entry.attr("run_id");
                match(run_id, client.attr("get_run")(run_id));
            });
    }
    return found;
}

// ---- the methods ---------------------------------------------------------------

py::object init(rt::Call &c) {
    auto [self, experiment] = c.args<2>();
    self.attr("iteration_id") = py::none();
    self.attr("experiment") = experiment;
    // The experiment's client as it is now, like the experiment copies its project's.
    self.attr("client") = rt::truthy(experiment) ? py::object(experiment.attr("client")) : py::object(py::none());
    return py::none();
}

// An existing run opened again: refused when it belongs to another
// experiment or is deleted; running again with the end time it had (a
// resumed run keeps the record of when it was last ended), tagged with
// `tags` when given.
py::object reopen_run(rt::Call &c, py::handle client, py::handle iteration_id, py::handle tags) {
    py::handle self = c.self();
    py::object run = client.attr("get_run")(iteration_id);
    py::object bound_id = self.attr("experiment").attr("experiment_id");
    if (!bound_id.is_none() && !rt::equal(bound_id, run.attr("info").attr("experiment_id")))
        rt::raise(c.g("ExperimentTrackingException"),
                  py::str("Cannot start iteration with ID {} because active experiment ID {}does not match with it. "
                          "Make sure iteration_id matches experiment set with init()")
                      .format(iteration_id, bound_id));
    if (rt::equal(run.attr("info").attr("lifecycle_stage"), c.g("LifecycleStage").attr("DELETED")))
        rt::raise(c.g("ExperimentTrackingException"),
                  py::str("Cannot start run with ID {} because it is in the deleted state.").format(iteration_id));
    c.g("_get_store")("store_uri"_a = self.attr("client").attr("tracking_uri"))
        .attr("update_run_info")(iteration_id, "run_status"_a = c.g("RunStatus").attr("RUNNING"),
                                 "end_time"_a = run.attr("info").attr("end_time"));
    if (rt::truthy(tags)) {
        py::list run_tags;
        for (py::handle item : tags.attr("items")()) {
            auto [key, value] = rt::unpack2(item);
            run_tags.append(c.g("RunTag")(key, py::str(value)));
        }
        client.attr("log_batch")("run_id"_a = iteration_id, "tags"_a = run_tags);
    }
    run = client.attr("get_run")(iteration_id);
    log(c, "info",
        rt::text({"Reusing Iteration with ID: ", run.attr("info").attr("run_id"),
                  ", under Experiment ID: ", run.attr("info").attr("experiment_id")}));
    return run;
}

// The tags of a new run: the caller's (never modified), the iteration name,
// the project and the descriptions where they are not None.
py::object new_run_tags(rt::Call &c, py::handle experiment, py::handle iteration_name, py::handle tags) {
    py::object user_tags = c.g("deepcopy")(tags);
    if (!rt::truthy(user_tags)) user_tags = py::dict();
    if (!iteration_name.is_none()) {
        user_tags[c.g("MLFLOW_RUN_NAME")] = iteration_name;
        user_tags[c.g("EXP_STORE_RUN_NAME")] = iteration_name;
    }
    py::object project_name = experiment.attr("project").attr("name");
    if (!project_name.is_none()) user_tags[c.g("EXP_STORE_PROJECT_NAME")] = project_name;
    py::object experiment_description = experiment.attr("description");
    if (!experiment_description.is_none()) user_tags[c.g("EXP_STORE_EXPERIMENT_DESCRIPTION")] = experiment_description;
    py::object project_description = experiment.attr("project").attr("description");
    if (!project_description.is_none()) user_tags[c.g("EXP_STORE_PROJECT_DESCRIPTION")] = project_description;
    return user_tags;
}

py::object create_run(rt::Call &c, py::handle client, py::handle iteration_name, py::handle experiment_id,
                      py::handle tags) {
    py::object experiment = c.self().attr("experiment");
    py::object target = experiment_id.is_none() ? py::object(experiment.attr("experiment_id"))
                                                : py::reinterpret_borrow<py::object>(experiment_id);
    // The run context (user, source) is resolved together with our tags, so
    // the run records the logged-in user.
    py::object resolved =
        c.g("context_registry").attr("resolve_tags")(new_run_tags(c, experiment, iteration_name, tags));
    // The tracking client sends tag values as they are and refuses anything
    // but text, so values become text only now: context providers still see
    // the caller's values.
    py::dict text_tags;
    for (py::handle item : resolved.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        text_tags[key] = py::str(value);
    }
    py::object run = client.attr("create_run")("experiment_id"_a = target, "tags"_a = text_tags);
    log(c, "info",
        rt::text({"New Iteration created with ID: ", run.attr("info").attr("run_id"),
                  ", under Experiment ID: ", run.attr("info").attr("experiment_id")}));
    return run;
}

py::object start(rt::Call &c) {
    auto [self, iteration_name, iteration_id_arg, experiment_id_arg, tags, nested] = c.args<6>();
    (void)nested;
    py::object iteration_id = py::reinterpret_borrow<py::object>(iteration_id_arg);
    py::object experiment_id = py::reinterpret_borrow<py::object>(experiment_id_arg);
    py::object client = tracker(c);
    if (rt::truthy(iteration_name)) {
        if (!rt::truthy(experiment_id)) experiment_id = self.attr("experiment").attr("experiment_id");
        py::object found = find_run_by_name(c, client, experiment_id, iteration_name);
        if (found)
            iteration_id = found;
        else
            log(c, "debug", rt::text({"No iteration with name ", iteration_name, ", creating new iteration!"}));
    }
    py::object run = rt::truthy(iteration_id) ? reopen_run(c, client, iteration_id, tags)
                                              : create_run(c, client, iteration_name, experiment_id, tags);
    py::object iteration = c.g("ActiveIteration")(self.attr("client"), run);
    self.attr("iteration_id") = iteration.attr("info").attr("run_id");
    // Logging in the background or not is decided now, for this run.
    bool background = !c.g("async_logging")().is_none();
    self.attr("_in_background") = py::bool_(background);
    if (background) c.g("background").attr("track_run")(self.attr("iteration_id"), run.attr("data").attr("params"));
    // Running now: if the script never ends it, the exit does.
    c.g("_iteration_opened")(self.attr("iteration_id"), self.attr("client").attr("tracking_uri"));
    return iteration;
}

// The server's refusal to change a logged parameter, reported with the key,
// both values and the run; other refusals with their own message and code.
[[noreturn]] void param_refused(rt::Call &c, py::error_already_set &e, py::handle iteration, py::handle key,
                                py::handle value) {
    py::object message = e.value().attr("message");
    if (rt::truthy(message.attr("startswith")(PARAM_CHANGE_REFUSAL)))
        rt::raise_while_handling(
            e, c.g("ExperimentTrackingException"),
            "message"_a = c.g("CHANGING_LOGGED_PARAM_MESSAGE")
                              .attr("format")(key, iteration.attr("data").attr("params").attr("get")(key),
                                              iteration.attr("info").attr("run_id"), value),
            "error_code"_a = c.g("INVALID_PARAMETER_VALUE"));
    rt::raise_while_handling(e, c.g("ExperimentTrackingException"), "message"_a = message,
                             "error_code"_a = e.value().attr("error_code"));
}

// ---- logging in the background -------------------------------------------------

// Whether this iteration's values are queued for the background sender: as
// decided when its run started; for one not started yet, as its start will.
bool in_background(rt::Call &c) {
    py::handle self = c.self();
    if (!rt::truthy(self.attr("iteration_id"))) return !c.g("async_logging")().is_none();
    return rt::truthy(py::getattr(self, "_in_background", py::bool_(false)));
}

// The run values are queued for (started first when there is none, which
// needs the server), after raising what the server refused of earlier ones.
py::object queued_run_id(rt::Call &c) {
    py::handle self = c.self();
    if (!rt::truthy(self.attr("iteration_id"))) self.attr("start")();
    py::object run_id = self.attr("iteration_id");
    c.g("background").attr("raise_refusal")(run_id);
    return run_id;
}

void queue_params(rt::Call &c, py::handle params, bool single) {
    py::object run_id = queued_run_id(c);
    c.g("background")
        .attr("queue_params")(c.self().attr("client").attr("tracking_uri"), run_id, params, py::bool_(single));
}

void queue_metrics(rt::Call &c, py::handle metrics, py::handle step) {
    py::object run_id = queued_run_id(c);
    c.g("background")
        .attr("queue_metrics")(c.self().attr("client").attr("tracking_uri"), run_id, metrics, now_millis(c), step);
}

py::object log_param(rt::Call &c) {
    auto [self, key, value] = c.args<3>();
    if (in_background(c)) {
        py::dict one;
        one[key] = value;
        queue_params(c, one, true);
        return py::none();
    }
    py::object iteration = self.attr("_get_or_start_iteration")();
    try {
        tracker(c).attr("log_param")(iteration.attr("info").attr("run_id"), key, value);
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("MlflowException"))) throw;
        param_refused(c, e, iteration, key, value);
    }
    return py::none();
}

py::object log_params(rt::Call &c) {
    auto [self, params] = c.args<2>();
    if (in_background(c)) {
        queue_params(c, params, false);
        return py::none();
    }
    py::object iteration = self.attr("_get_or_start_iteration")();
    py::list batch;
    for (py::handle item : params.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        batch.append(c.g("Param")(key, py::str(value)));
    }
    py::object logged = iteration.attr("data").attr("params");
    py::object keys_exist = c.g("_validate_keys_already_exists")(batch, logged);
    if (rt::truthy(keys_exist))
        rt::raise(
            c.g("ExperimentTrackingException"),
            "message"_a =
                c.g("CHANGING_LOGGED_PARAMS_MESSAGE").attr("format")(keys_exist, iteration.attr("info").attr("run_id")),
            "error_code"_a = c.g("INVALID_PARAMETER_VALUE"));
    // Keys already logged with the same value are left out: the server
    // refuses a batch that repeats a logged parameter next to new ones, and
    // would drop the new ones with it.
    py::list to_send;
    for (py::handle param : batch) {
        py::object key = param.attr("key");
        if (rt::contains(logged, key) && rt::equal(logged[key], param.attr("value"))) continue;
        to_send.append(param);
    }
    // Sent in requests of 100: what the server would refuse is refused before
    // the first, so a refused batch writes nothing.
    validate_batch(c, py::list(), to_send);
    tracker(c).attr("log_batch")("run_id"_a = iteration.attr("info").attr("run_id"), "metrics"_a = py::list(),
                                 "params"_a = to_send, "tags"_a = py::list());
    return py::none();
}

py::object log_metric(rt::Call &c) {
    auto [self, key, value, step] = c.args<4>();
    (void)self;
    if (in_background(c)) {
        py::dict one;
        one[key] = value;
        queue_metrics(c, one, step);
        return py::none();
    }
    py::object run_id = current_run_id(c);
    py::object client = tracker(c);
    py::object timestamp = now_millis(c);
    client.attr("log_metric")(run_id, key, value, timestamp, step);
    return py::none();
}

py::object log_metrics(rt::Call &c) {
    auto [self, metrics, step_arg] = c.args<3>();
    (void)self;
    py::object step = rt::truthy(step_arg) ? py::reinterpret_borrow<py::object>(step_arg) : py::int_(0);
    if (in_background(c)) {
        queue_metrics(c, metrics, step);
        return py::none();
    }
    py::object run_id = current_run_id(c);
    py::object timestamp = now_millis(c);
    py::list batch;
    for (py::handle item : metrics.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        batch.append(c.g("Metric")(key, value, timestamp, step));
    }
    validate_batch(c, batch, py::list());
    tracker(c).attr("log_batch")("run_id"_a = run_id, "metrics"_a = batch, "params"_a = py::list(),
                                 "tags"_a = py::list());
    return py::none();
}

// Uploads through the tracking library's `method`, which names the local
// file or folder `path_keyword`.
py::object upload(rt::Call &c, const char *method, const char *path_keyword) {
    auto [self, local_path, artifact_path, iteration_id] = c.args<4>();
    (void)self;
    py::object run_id = artifact_run_id(c, iteration_id);
    py::object client = tracker(c);
    with_session_tracking_uri(c, [&] {
        client.attr(method)("run_id"_a = run_id, py::arg(path_keyword) = local_path, "artifact_path"_a = artifact_path);
    });
    return py::none();
}

py::object log_artifact(rt::Call &c) {
    return upload(c, "log_artifact", "local_path");
}

py::object log_artifacts(rt::Call &c) {
    return upload(c, "log_artifacts", "local_dir");
}

py::object end(rt::Call &c) {
    auto [self, status] = c.args<2>();
    py::object iteration_id = self.attr("iteration_id");
    // Values still queued go first: the run's status is written after them.
    bool background = rt::truthy(iteration_id) && in_background(c);
    py::object refusal =
        background ? c.g("background").attr("_before_ending")(iteration_id, py::none(), false) : py::object(py::none());
    tracker(c).attr("set_terminated")(iteration_id, status);
    c.g("_iteration_ended")(iteration_id);
    log(c, "debug", rt::text({"Terminated Iteration with ID: ", self.attr("iteration_id"), ")"}));
    if (!refusal.is_none()) rt::raise_instance(refusal);
    return py::none();
}

py::object flush(rt::Call &c) {
    auto [self, timeout] = c.args<2>();
    py::object iteration_id = self.attr("iteration_id");
    if (rt::truthy(iteration_id) && in_background(c)) c.g("background").attr("flush")(iteration_id, timeout);
    return py::none();
}

py::object get_or_start_iteration(rt::Call &c) {
    py::handle self = c.self();
    py::object iteration_id = self.attr("iteration_id");
    if (rt::truthy(iteration_id)) return self.attr("get_iteration")(iteration_id);
    return self.attr("start")();
}

py::object get_iteration(rt::Call &c) {
    auto [self, iteration_id] = c.args<2>();
    py::object run = tracker(c).attr("get_run")(iteration_id);
    return c.g("ActiveIteration")(self.attr("client"), run);
}

// ---- docstrings -----------------------------------------------------------------

constexpr const char *START_DOC = R"(
        Start an iteration and make it the current one.

        With ``iteration_name``, the experiment's runs are searched for one of that
        name (the last one listed wins) and it is opened again; with
        ``iteration_id``, that run is opened again. Otherwise a new run is created,
        tagged with the iteration name, the project and the descriptions.
        Processes that start one new name at the same moment may each create a
        run of that name; from then on the name opens the last one listed.

        :param iteration_name: Name of the iteration to resume or create.
        :param iteration_id: ID of a run of the active experiment to resume.
        :param experiment_id: Experiment to search by name and to create the run in;
                              the bound experiment by default.
        :param tags: Tags of the run; values are stored as text.
        :param nested: Accepted for compatibility; iterations do not nest.
        :return ActiveIteration: The started iteration, usable as a context manager.
        )";

constexpr const char *LOG_PARAM_DOC = R"(
        Log a parameter into the current iteration.

        A parameter cannot change once logged: logging the same key with another
        value raises ExperimentTrackingException (INVALID_PARAMETER_VALUE).

        :param str key: Parameter name.
        :param value: Parameter value, stored as text.
        )";

constexpr const char *LOG_PARAMS_DOC = R"(
        Log several parameters into the current iteration.

        The batch is checked against the parameters already logged: when any key
        would change its value, nothing is written and
        ExperimentTrackingException (INVALID_PARAMETER_VALUE) is raised. Keys
        already logged with the same value are accepted. What the server would
        refuse (a bad key, a value over 500 characters) is refused before anything
        is sent. The server takes 100 parameters per request: only a server that
        fails between two of them can leave part of a larger batch stored.

        :param params: Parameter names and values; values are stored as text.
        )";

constexpr const char *LOG_METRIC_DOC = R"(
        Log one metric value into the current iteration, stamped with the current
        time in milliseconds.

        :param str key: Metric name.
        :param float value: Metric value.
        :param step: Training step of the value.
        )";

constexpr const char *LOG_METRICS_DOC = R"(
        Log several metric values into the current iteration; all carry the same
        timestamp and step. What the server would refuse (a bad key, a value that
        is not a number) is refused before anything is sent. The server takes
        1,000 values per request: only a server that fails between two of them can
        leave part of a larger batch stored.

        :param metrics: Metric names and values.
        :param step: Training step of the values (0 when not given).
        )";

constexpr const char *LOG_ARTIFACT_DOC = R"(
        Upload a local file into the artifacts of an iteration.

        :param local_file: Path of the file to upload.
        :param artifact_path: Directory inside the run's artifacts to put it in.
        :param str iteration_id: Run to upload into instead of the current
                                 iteration; no iteration is started then.
        )";

constexpr const char *LOG_ARTIFACTS_DOC = R"(
        Upload the contents of a local directory into the artifacts of an
        iteration.

        :param local_dir: Directory whose files are uploaded.
        :param artifact_path: Directory inside the run's artifacts to put them in.
        :param str iteration_id: Run to upload into instead of the current
                                 iteration; no iteration is started then.
        )";

constexpr const char *END_DOC = R"(
        Mark the current iteration as ended on the server.

        The object keeps its ``iteration_id``: later logging still goes into the
        ended run.

        :param status: Final status name (FINISHED, FAILED, KILLED).
        )";

constexpr const char *FLUSH_DOC = R"(
        Wait until every value logged in the background so far is on the
        tracking server, then raise what the server refused of this iteration's
        values (ExperimentTrackingException). Returns at once when the
        iteration logs synchronously.

        :param timeout: Seconds to wait at most (None: as long as it takes);
                        TimeoutError then, the values still being sent.
        )";

constexpr const char *GET_OR_START_DOC = R"(
        The current iteration, fetched from the server; a new one is started when
        there is none.
        )";

constexpr const char *GET_ITERATION_DOC = R"(
        Fetch a run from the server, without starting it or making it current.

        :param iteration_id: ID of the run.
        :return ActiveIteration: The run as it is on the server.
        )";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
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
    mod.from("tavro_experiment_tracking.config", {"async_logging"});
    mod.import("tavro_experiment_tracking.tracking.background", "background");
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    // The tracking library's client with its listing and run fetch as they
    // are now; a lookup by name reads the listing's pages directly only while
    // a client still has these (see find_run_by_name).
    {
        py::object library_client = py::module_::import("mlflow.tracking").attr("MlflowClient");
        mod.set("_LIBRARY_CLIENT",
                py::make_tuple(library_client, library_client.attr("list_run_infos"), library_client.attr("get_run")));
    }
}

RT_MODULE(iteration, m) {
    rt::Module mod(m);
    import_names(mod);

    rt::ClassDef(mod, "Iteration", {}, R"(One run of an experiment on the tracking server.

The object remembers the ID of its current run (``iteration_id``). Every
logging method writes into that run and starts a new one first when there
is none.)")
        .method("__init__", {arg("self"), arg("experiment").def_none().ann("Optional[Experiment]")}, init)
        .method(
            "start",
            {arg("self"), arg("iteration_name").def_none().ann("Optional[str]"),
             arg("iteration_id").def_none().ann("Optional[str]"), arg("experiment_id").def_none().ann("Optional[str]"),
             arg("tags").def_none().ann("Optional[Dict[str, Any]]"), arg("nested").def(py::bool_(false))},
            start, rt::doc(START_DOC), rt::returns("ActiveIteration"))
        .method("log_param", {arg("self"), arg("key").str(), arg("value").ann("Any")}, log_param,
                rt::doc(LOG_PARAM_DOC))
        .method("log_params", {arg("self"), arg("params").ann("Dict[str, Any]")}, log_params, rt::doc(LOG_PARAMS_DOC))
        .method("log_metric", {arg("self"), arg("key").str(), arg("value").flt(), arg("step").def(py::int_(0))},
                log_metric, rt::doc(LOG_METRIC_DOC))
        .method("log_metrics",
                {arg("self"), arg("metrics").ann("Dict[str, float]"), arg("step").def_none().ann("Optional[int]")},
                log_metrics, rt::doc(LOG_METRICS_DOC))
        .method("log_artifact",
                {arg("self"), arg("local_file").ann("Union[str, os.PathLike]"),
                 arg("artifact_path").def_none().ann("Union[str, os.PathLike]"), arg("iteration_id").def_none().str()},
                log_artifact, rt::doc(LOG_ARTIFACT_DOC))
        .method("log_artifacts",
                {arg("self"), arg("local_dir").ann("Union[str, os.PathLike]"),
                 arg("artifact_path").def_none().ann("Union[str, os.PathLike]"), arg("iteration_id").def_none().str()},
                log_artifacts, rt::doc(LOG_ARTIFACTS_DOC))
        .method("end",
                {arg("self"), arg("status").def_expr("RunStatus.to_string(RunStatus.FINISHED)").ann("Optional[str]")},
                end, rt::doc(END_DOC), rt::returns("None"))
        .method("flush", {arg("self"), arg("timeout").def_none().ann("Optional[float]")}, flush, rt::doc(FLUSH_DOC),
                rt::returns("None"))
        .method("_get_or_start_iteration", {arg("self")}, get_or_start_iteration, rt::doc(GET_OR_START_DOC))
        .method("get_iteration", {arg("self"), arg("iteration_id")}, get_iteration, rt::doc(GET_ITERATION_DOC))
        .build();
}
