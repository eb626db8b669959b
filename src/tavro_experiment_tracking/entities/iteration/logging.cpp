// Logging parameters and metrics into the current iteration: at once, each
// call a request (checked first as the server would), or queued for the
// background sender when the iteration logs in the background.
#include "parts.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace iteration {

namespace {

const char *const PARAM_CHANGE_REFUSAL = "INVALID_PARAMETER_VALUE: Changing param values is not allowed.";

// The tracking library writes a batch in requests of 100 parameters or 1,000
// metrics, so a refusal of a later request would leave the earlier ones
// stored. The checks the server applies (names, value lengths, numeric
// values, one value per key) run here first, with the server's own messages.
void validate_batch(rt::Call &c, const py::list &metrics, const py::list &params) {
    py::object validation = c.g("mlflow_validation");
    validation.attr("_validate_param_keys_unique")(params);
    validation.attr("_validate_batch_log_data")(metrics, params, py::list());
}

// The server's refusal to change a logged parameter, reported with the key,
// both values and the run; other refusals with their own message and code.
[[noreturn]] void param_refused(rt::Call &c, py::error_already_set &e, py::handle iteration, py::handle key,
                                py::handle value) {
    py::object message = e.value().attr("message");
    if (rt::truthy(message.attr("startswith")(PARAM_CHANGE_REFUSAL)))
        rt::raise_instance_while_handling(
            e, rt::invalid_parameter(c, c.g("CHANGING_LOGGED_PARAM_MESSAGE")
                                            .attr("format")(key, iteration.attr("data").attr("params").attr("get")(key),
                                                            iteration.attr("info").attr("run_id"), value)));
    rt::raise_while_handling(e, c.g("ExperimentTrackingException"), "message"_a = message,
                             "error_code"_a = e.value().attr("error_code"));
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

}  // namespace

// Whether this iteration's values are queued for the background sender: as
// decided when its run started; for one not started yet, as its start will.
bool in_background(rt::Call &c) {
    py::handle self = c.self();
    if (!rt::truthy(self.attr("iteration_id"))) return !c.g("async_logging")().is_none();
    return rt::truthy(py::getattr(self, "_in_background", py::bool_(false)));
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
        rt::refuse(
            c, c.g("CHANGING_LOGGED_PARAMS_MESSAGE").attr("format")(keys_exist, iteration.attr("info").attr("run_id")));
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
    if (in_background(c)) {
        py::dict one;
        one[key] = value;
        queue_metrics(c, one, step);
        remember(self.attr("iteration_id"), key, value);
        return py::none();
    }
    py::object run_id = current_run_id(c);
    py::object client = tracker(c);
    py::object timestamp = now_millis(c);
    client.attr("log_metric")(run_id, key, value, timestamp, step);
    remember(run_id, key, value);
    return py::none();
}

py::object log_metrics(rt::Call &c) {
    auto [self, metrics, step] = c.args<3>();
    if (!rt::truthy(step)) step = py::int_(0);
    py::handle logged = metrics;
    auto remember_all = [&](py::handle run_id) {
        for (py::handle item : logged.attr("items")()) {
            auto [key, value] = rt::unpack2(item);
            remember(run_id, key, value);
        }
    };
    if (in_background(c)) {
        queue_metrics(c, metrics, step);
        remember_all(self.attr("iteration_id"));
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
    remember_all(run_id);
    return py::none();
}

// Tags of the script's own, in one request, into the current iteration
// (started first when there is none). The package's own tags (they name the
// iteration, its project, its claim and its ranks) are refused whole, before
// anything is sent.
py::object set_tags(rt::Call &c) {
    auto [self, tags] = c.args<2>();
    py::list records;
    for (py::handle item : tags.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        if (PyUnicode_Check(key.ptr()) && rt::truthy(key.attr("startswith")("tavro_experiment_tracking.")))
            rt::raise_instance(rt::invalid_parameter(
                c, py::str("The tag {} is the package's own (it names the iteration, its project or how its "
                           "processes share it): choose another key.")
                       .format(py::repr(key))));
        records.append(c.g("RunTag")(key, py::str(value)));
    }
    if (records.empty()) return py::none();
    py::object run_id = current_run_id(c);
    tracker(c).attr("log_batch")("run_id"_a = run_id, "metrics"_a = py::list(), "params"_a = py::list(),
                                 "tags"_a = records);
    return py::none();
}

py::object set_tag(rt::Call &c) {
    auto [self, key, value] = c.args<3>();
    py::dict one;
    one[key] = value;
    return self.attr("set_tags")(one);
}

// The run's description in the UI is the tag the tracking library names for it.
py::object set_note(rt::Call &c) {
    auto [self, text] = c.args<2>();
    py::object run_id = current_run_id(c);
    tracker(c).attr("set_tag")(run_id, c.g("MLFLOW_RUN_NOTE"), text);
    return py::none();
}

}  // namespace iteration
