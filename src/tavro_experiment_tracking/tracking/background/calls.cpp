// What the logging calls do in the background: check the values as the
// tracking library would (a changed parameter against the parameters the
// run is known to have) and hand them to the sender, with no request on the
// caller's thread; and what the server refused, kept for the iteration's
// next call to raise.
#include "parts.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace background {

namespace {

// Values checked, handed to the sender: written into their run's journal
// (the sender reads them back from there: nothing waits), or queued in
// memory when there is no journal (waiting for room when it is full).
void queue_checked(rt::Call &c, std::vector<Record> &&records) {
    if (records.empty()) return;
    Process &p = process();
    p.logged += records.size();
    // An offline iteration's values stay in its journal: no sender, no server.
    if (is_offline(records.front().tracking_uri)) {
        journal_records(c, records);
        return;
    }
    running_sender(c);
    if (settings().journal_folder.empty()) {
        p.queue.push(std::move(records), FULL_BATCH);
        return;
    }
    JournalRef j = journal_records(c, records);
    p.queue.journaled(j, FULL_BATCH);
}

// Metric names the tracking library's check accepted: a name's check never
// changes, so a training loop's names are checked once (a bounded memory).
constexpr size_t REMEMBERED_NAMES = 10000;

// The tracking library's check of one metric value, skipped for what it is
// known to accept: a name it accepted before, a float (or int) value, an
// int step and time stamp.
void check_metric(rt::Call &c, py::handle key, py::handle value, py::handle timestamp, py::handle step) {
    py::set names = c.g("_checked_names");
    bool plain = (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) && PyLong_CheckExact(step.ptr()) &&
                 PyLong_CheckExact(timestamp.ptr());
    if (plain && PyUnicode_CheckExact(key.ptr()) && names.contains(key)) return;
    c.g("mlflow_validation").attr("_validate_metric")(key, value, timestamp, step);
    if (PyUnicode_CheckExact(key.ptr())) {
        if (py::len(names) >= REMEMBERED_NAMES) names.clear();
        names.add(key);
    }
}

}  // namespace

py::object queue_metrics(rt::Call &c) {
    auto [tracking_uri, run_id, metrics, timestamp, step] = c.args<5>();
    std::string uri = utf8(tracking_uri), run = utf8(run_id);
    std::vector<Record> records;
    for (py::handle item : metrics.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        check_metric(c, key, value, timestamp, step);
        Record r;
        r.tracking_uri = uri;
        r.run_id = run;
        r.key = utf8(key);
        r.value = py::float_(value).cast<double>();
        r.timestamp = as_int64(timestamp);
        r.step = as_int64(step);
        records.push_back(std::move(r));
    }
    queue_checked(c, std::move(records));
    return py::none();
}

namespace {

// The parameters the run is known to have: those it had when this process
// started or reopened it, and those logged since. A run never seen is asked
// for them once.
py::dict known_params(rt::Call &c, py::handle tracking_uri, py::handle run_id) {
    py::dict known = c.g("_known_params");
    if (!known.contains(run_id))
        known[run_id] =
            py::dict(c.g("create_mlflow_client")(tracking_uri).attr("get_run")(run_id).attr("data").attr("params"));
    return known[run_id];
}

[[noreturn]] void refuse_change(rt::Call &c, const py::str &message) {
    rt::refuse(c, message);
}

}  // namespace

py::object queue_params(rt::Call &c) {
    auto [tracking_uri, run_id, params, single] = c.args<4>();
    py::object validation = c.g("mlflow_validation");
    py::list batch;
    for (py::handle item : params.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        batch.append(c.g("Param")(key, py::str(value)));
    }
    py::dict known = known_params(c, tracking_uri, run_id);
    if (rt::truthy(single)) {
        py::object param = batch[0];
        py::object key = param.attr("key"), logged = known.attr("get")(key);
        if (!logged.is_none() && !rt::equal(logged, param.attr("value")))
            refuse_change(c, c.g("CHANGING_LOGGED_PARAM_MESSAGE").attr("format")(key, logged, run_id, params[key]));
    } else {
        py::object conflicts = c.g("_validate_keys_already_exists")(batch, known);
        if (rt::truthy(conflicts))
            refuse_change(c, c.g("CHANGING_LOGGED_PARAMS_MESSAGE").attr("format")(conflicts, run_id));
        validation.attr("_validate_param_keys_unique")(batch);
    }
    std::string uri = utf8(tracking_uri), run = utf8(run_id);
    std::vector<Record> records;
    for (py::handle param : batch) {
        try {
            validation.attr("_validate_param")(param.attr("key"), param.attr("value"));
        } catch (py::error_already_set &e) {
            // log_param reports the tracking library's refusals as its own
            // (log_params passes them on), as when it logs synchronously.
            if (!rt::truthy(single) || !e.matches(c.g("MlflowException"))) throw;
            rt::raise_while_handling(e, c.g("ExperimentTrackingException"), "message"_a = e.value().attr("message"),
                                     "error_code"_a = e.value().attr("error_code"));
        }
        // Already on the run with this value: nothing to send (a batch
        // repeating a logged parameter can be refused).
        if (known.contains(param.attr("key"))) continue;
        Record r;
        r.is_param = true;
        r.tracking_uri = uri;
        r.run_id = run;
        r.key = utf8(param.attr("key"));
        r.text = utf8(param.attr("value"));
        records.push_back(std::move(r));
    }
    for (py::handle param : batch) known[param.attr("key")] = param.attr("value");
    queue_checked(c, std::move(records));
    return py::none();
}

py::object track_run(rt::Call &c) {
    auto [run_id, params] = c.args<2>();
    c.g("_known_params")[run_id] = py::dict(params);
    apply_settings(c);
    return py::none();
}

// ---- refusals -----------------------------------------------------------------------

// Called by the sender (the GIL taken) with a batch the server refused: said
// once as an error, kept for the run's iteration.
py::object refused(rt::Call &c) {
    auto [run_id, keys, error] = c.args<3>();
    size_t count = py::len(keys);
    py::object kept =
        c.g("_refusals")
            .attr("setdefault")(run_id, py::dict("count"_a = 0, "keys"_a = py::list(), "reason"_a = py::str(error)));
    kept["count"] = py::int_(kept["count"]) + py::int_(count);
    py::list kept_keys = kept["keys"];
    for (py::handle key : keys)
        if (!rt::contains(kept_keys, key)) kept_keys.append(key);
    if (py::hasattr(error, "error_code")) kept["error_code"] = error.attr("error_code");
    c.g("logger").attr("error")(rt::text({"The tracking server refused ", py::int_(count),
                                          " values logged in the background into iteration ", run_id, " (keys: ",
                                          py::str(", ").attr("join")(py::list(rt::builtin("map")(
                                              rt::builtin("str"), rt::builtin("sorted")(rt::builtin("set")(keys))))),
                                          "): ", py::str(error)}));
    return py::none();
}

py::object artifacts_refused(rt::Call &c) {
    auto [run_id, snapshot, reason] = c.args<3>();
    c.g("_artifact_refusals").attr("setdefault")(run_id, py::list()).attr("append")(reason);
    c.g("logger").attr("error")(
        rt::text({"The tracking server refused artifacts logged in the background into "
                  "iteration ",
                  run_id, " (snapshot ", snapshot, "): ", reason}));
    return py::none();
}

py::object raise_refusal(rt::Call &c) {
    auto [run_id] = c.args<1>();
    py::object kept = c.g("_refusals").attr("pop")(run_id, py::none());
    if (kept.is_none()) {
        py::object artifacts = c.g("_artifact_refusals").attr("pop")(run_id, py::none());
        if (artifacts.is_none()) return py::none();
        rt::raise(c.g("ExperimentTrackingException"),
                  "message"_a = rt::text({"The tracking server refused ", py::int_(py::len(artifacts)),
                                          " artifact uploads logged in the background into iteration ", run_id, ": ",
                                          py::str("; ").attr("join")(artifacts)}),
                  "error_code"_a = c.g("INVALID_PARAMETER_VALUE"));
    }
    py::str keys = py::str(", ").attr("join")(rt::builtin("map")(rt::builtin("str"), kept["keys"]));
    rt::raise(c.g("ExperimentTrackingException"),
              "message"_a = rt::text({"The tracking server refused ", kept["count"],
                                      " values logged in the background into iteration ", run_id, " (keys: ", keys,
                                      "): ", kept["reason"]}),
              "error_code"_a = kept.attr("get")("error_code", c.g("INVALID_PARAMETER_VALUE")));
}

}  // namespace background
