// Logging in the background: metric values and parameters queued by the
// logging calls as plain C++ records, sent by one native thread per process
// in MLflow's batches, in the order they were logged.
//
// What a logging call does here is check its values (the tracking library's
// own checks, a changed parameter against the parameters the run is known to
// have) and queue them: no request on the caller's thread. The sender takes
// what is due (a full batch, or values that waited the flush interval),
// sends each run's share in `log_batch` requests within the server's limits,
// retries what failed on the way (no connection, a timeout, 408, 429, 5xx)
// with back-off for as long as the process lives, and keeps what the server
// refused (4xx) for the iteration's next call to raise. Flushes wait for
// what was queued before them; the endings of runs (end(), leaving a `with`
// block, Ctrl-C, SIGTERM, the interpreter's exit) flush first, within their
// deadlines.
#include "outbox.hpp"
#include "runtime.hpp"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// ---- the records and their queue ----------------------------------------------------

// One logged value, held without Python objects: text as UTF-8 (lone
// surrogates kept, as `surrogatepass` writes them).
struct Record {
    bool is_param = false;
    std::string tracking_uri, run_id, key, text;
    double value = 0;
    int64_t timestamp = 0, step = 0;
};

using Outbox = rt::Outbox<Record>;
using Clock = Outbox::Clock;

// What one `log_batch` request may hold (the server's limits, as in
// mlflow.utils.validation), with room to spare in the request's size.
constexpr size_t MAX_METRICS = 1000, MAX_PARAMS = 100, MAX_ENTITIES = 1000, MAX_REQUEST_BYTES = 900000;
// Records taken from the queue at once; a full batch of metrics wakes the sender.
constexpr size_t TAKE_AT_ONCE = 10000, FULL_BATCH = MAX_METRICS;
// Back-off between attempts at a batch that could not be sent.
constexpr double FIRST_PAUSE = 0.5, LONGEST_PAUSE = 30.0;

// The process's sender: its queue, its thread, the module namespace its
// thread looks names up in (the thread has no call to look them up through),
// and the settings it reads while it runs.
struct Sender {
    Outbox outbox{100000};
    std::thread *thread = nullptr;  // not joined after a fork: the thread is not the child's
    pid_t owner = 0;
    PyObject *globals = nullptr;  // the module's namespace: owned, for the life of the process
    std::atomic<double> flush_interval{1.0};
};

Sender &sender() {
    // Made once and never destroyed: the thread may still use it while the
    // interpreter ends (the exit hook stops it before, but nothing else may
    // depend on the order in which C++ statics are destroyed).
    static Sender *the = new Sender();
    return *the;
}

py::object own(py::handle h) {
    return py::reinterpret_borrow<py::object>(h);
}

std::string utf8(py::handle text) {
    if (PyUnicode_Check(text.ptr())) {
        Py_ssize_t size = 0;
        if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) return std::string(data, size_t(size));
        PyErr_Clear();  // lone surrogates: written as `surrogatepass` writes them
    }
    py::bytes encoded = py::str(text).attr("encode")("utf-8", "surrogatepass");
    return std::string(encoded);
}

py::str text_of(const std::string &utf8_text) {
    return py::bytes(utf8_text).attr("decode")("utf-8", "surrogatepass");
}

// ---- the sender thread ------------------------------------------------------------

// ---- a batch as the tracking server reads it ------------------------------------

// JSON text of UTF-8 written with `surrogatepass`: a lone surrogate (three
// bytes ED A0..BF ..) becomes its \u escape, as Python's json writes it.
void append_json_string(std::string &out, const std::string &text) {
    char escape[8];
    out += '"';
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            snprintf(escape, sizeof escape, "\\u%04x", ch);
            out += escape;
        } else if (ch == 0xED && i + 2 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0xA0) {
            unsigned code = ((ch & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                            (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            snprintf(escape, sizeof escape, "\\u%04x", code);
            out += escape;
            i += 2;
        } else {
            out += static_cast<char>(ch);
        }
    }
    out += '"';
}

// A double as protobuf's JSON writes it: NaN and the infinities as strings.
void append_json_double(std::string &out, double value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char text[32];
        snprintf(text, sizeof text, "%.17g", value);
        out += text;
    }
}

std::string json_of(const Record &r) {
    std::string out = "{\"key\": ";
    append_json_string(out, r.key);
    if (r.is_param) {
        out += ", \"value\": ";
        append_json_string(out, r.text);
    } else {
        out += ", \"value\": ";
        append_json_double(out, r.value);
        out += ", \"timestamp\": " + std::to_string(r.timestamp) + ", \"step\": " + std::to_string(r.step);
    }
    return out + "}";
}

// A run's share of what was taken, in logged order, as one `log_batch`
// request body within the server's limits.
struct Batch {
    const std::string *tracking_uri = nullptr, *run_id = nullptr;
    std::vector<const Record *> records;
    std::string metrics, params;  // the JSON arrays' items
    size_t metric_count = 0, param_count = 0;

    bool takes(const std::string &json, bool is_param) const {
        if (is_param ? param_count >= MAX_PARAMS : metric_count >= MAX_METRICS) return false;
        if (metric_count + param_count >= MAX_ENTITIES) return false;
        return metrics.size() + params.size() + json.size() + 256 + run_id->size() <= MAX_REQUEST_BYTES;
    }
    void add(const Record *r, const std::string &json) {
        std::string &items = r->is_param ? params : metrics;
        if (!items.empty()) items += ", ";
        items += json;
        (r->is_param ? param_count : metric_count)++;
        records.push_back(r);
    }
    std::string body() const {
        std::string out = "{\"run_id\": ";
        append_json_string(out, *run_id);
        return out + ", \"metrics\": [" + metrics + "], \"params\": [" + params + "], \"tags\": []}";
    }
};

std::vector<Batch> batches_of(const std::vector<Outbox::Entry> &taken) {
    // Runs in the order they first appear; each run's records in logged order.
    std::map<std::pair<std::string, std::string>, size_t> index;
    std::vector<std::vector<const Record *>> by_run;
    for (const auto &entry : taken) {
        auto key = std::make_pair(entry.item.tracking_uri, entry.item.run_id);
        auto found = index.find(key);
        if (found == index.end()) {
            found = index.emplace(key, by_run.size()).first;
            by_run.emplace_back();
        }
        by_run[found->second].push_back(&entry.item);
    }
    std::vector<Batch> batches;
    for (const auto &records : by_run) {
        bool first = true;
        for (const Record *r : records) {
            std::string json = json_of(*r);
            if (first || !batches.back().takes(json, r->is_param)) {
                batches.emplace_back();
                batches.back().tracking_uri = &r->tracking_uri;
                batches.back().run_id = &r->run_id;
                first = false;
            }
            batches.back().add(r, json);
        }
    }
    return batches;
}

enum class Outcome { Sent, Retry, Refused, Abandoned };

// One attempt at a batch, the GIL taken for it: `_send_batch` of the module
// sends its JSON body (looked up now, so a patch of it takes effect); what it
// raises is the server's refusal, kept for the run's iteration.
Outcome attempt(Sender &s, const Batch &batch) {
    if (_Py_IsFinalizing()) return Outcome::Abandoned;
    std::string body = batch.body();
    rt::WithGil gil;
    try {
        py::object uri = text_of(*batch.tracking_uri), run_id = text_of(*batch.run_id);
        py::dict globals = py::reinterpret_borrow<py::dict>(s.globals);
        try {
            py::object outcome = globals["_send_batch"](uri, run_id, py::str(body.data(), body.size()));
            return outcome.is_none() ? Outcome::Sent : Outcome::Retry;
        } catch (py::error_already_set &refusal) {
            py::list keys;
            for (const Record *r : batch.records) keys.append(text_of(r->key));
            globals["_refused"](run_id, keys, refusal.value());
            return Outcome::Refused;
        }
    } catch (py::error_already_set &e) {
        // Even reporting failed (out of memory, say): the batch is given up
        // rather than retried for ever; the interpreter shows what happened.
        e.discard_as_unraisable("background logging of a batch");
        return Outcome::Refused;
    } catch (...) {
        return Outcome::Refused;
    }
}

void send(Sender &s, const Batch &batch) {
    double pause = FIRST_PAUSE;
    while (attempt(s, batch) == Outcome::Retry) {
        if (!s.outbox.pause(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pause))))
            return;  // abandoned: the exit's deadline passed
        pause = std::min(pause * 2, LONGEST_PAUSE);
    }
}

void run_sender(Sender *s) {
    for (;;) {
        auto interval =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s->flush_interval.load()));
        std::vector<Outbox::Entry> taken = s->outbox.take(TAKE_AT_ONCE, FULL_BATCH, interval);
        if (taken.empty()) return;
        for (const Batch &batch : batches_of(taken)) {
            if (s->outbox.abandoned()) break;
            send(*s, batch);
        }
        s->outbox.done(taken.back().seq);
    }
}

// The settings in force, for the sender (read when an iteration starts and
// when the sender does, not at every value).
void apply_settings(rt::Call &c) {
    py::object settings = c.g("async_logging")();
    if (settings.is_none()) return;
    Sender &s = sender();
    s.flush_interval = settings["flush_interval"].cast<double>();
    s.outbox.set_capacity(settings["max_queued_records"].cast<size_t>());
}

// The sender of this process, its thread started on first use; a child
// process just forked starts afresh (see forget_parent_sender).
Sender &running_sender(rt::Call &c) {
    Sender &s = sender();
    if (s.owner != getpid() || !s.thread) {
        apply_settings(c);
        s.owner = getpid();
        s.outbox.restart();
        s.thread = new std::thread(run_sender, &s);
    }
    return s;
}

// ---- what the logging calls queue --------------------------------------------------

int64_t as_int64(py::handle value) {
    return py::int_(py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()))).cast<int64_t>();
}

void queue_checked(rt::Call &c, std::vector<Record> &&records) {
    if (records.empty()) return;
    running_sender(c).outbox.push(std::move(records), FULL_BATCH);
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
    rt::raise(c.g("ExperimentTrackingException"), "message"_a = message,
              "error_code"_a = c.g("INVALID_PARAMETER_VALUE"));
}

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
    c.g("_known_params")[run_id] = py::dict(own(params));
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

py::object raise_refusal(rt::Call &c) {
    auto [run_id] = c.args<1>();
    py::object kept = c.g("_refusals").attr("pop")(run_id, py::none());
    if (kept.is_none()) return py::none();
    py::str keys = py::str(", ").attr("join")(rt::builtin("map")(rt::builtin("str"), kept["keys"]));
    rt::raise(c.g("ExperimentTrackingException"),
              "message"_a = rt::text({"The tracking server refused ", kept["count"],
                                      " values logged in the background into iteration ", run_id, " (keys: ", keys,
                                      "): ", kept["reason"]}),
              "error_code"_a = kept.attr("get")("error_code", c.g("INVALID_PARAMETER_VALUE")));
}

// ---- flushes and the end --------------------------------------------------------------

Clock::time_point deadline_after(py::handle timeout) {
    if (timeout.is_none()) return Clock::time_point::max();
    double seconds = py::float_(own(timeout)).cast<double>();
    if (!(seconds < 1e9)) return Clock::time_point::max();
    if (!(seconds > 0)) seconds = 0;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits until every value queued so far is on the server; false at `timeout`.
bool flushed(py::handle timeout) {
    Sender &s = sender();
    if (s.owner != getpid() || !s.thread) return true;
    return s.outbox.flush(s.outbox.last_queued(), deadline_after(timeout));
}

py::object flush(rt::Call &c) {
    auto [run_id, timeout] = c.args<2>();
    if (!flushed(timeout))
        rt::raise(rt::builtin("TimeoutError"),
                  rt::text({py::int_(sender().outbox.pending()), " values logged in the background were not on the ",
                            "tracking server after ", timeout, " s; they are still being sent."}));
    if (!run_id.is_none()) c.g("raise_refusal")(run_id);
    return py::none();
}

// Stops the sender: what is still queued after `timeout` is given up (with
// one warning that counts it), an exchange under way is cut, the thread ends.
void stop_sender(rt::Call &c, py::handle timeout) {
    Sender &s = sender();
    if (s.owner != getpid() || !s.thread) return;
    if (!flushed(timeout)) {
        uint64_t dropped = s.outbox.abandon();
        py::object session = c.g("_sessions").attr("get")(c.g("os").attr("getpid")());
        if (!session.is_none()) c.g("abort_exchanges")(session);
        c.g("logger").attr("warning")(rt::text({py::int_(dropped), " values logged in the background were not sent: ",
                                                "the tracking server did not take them within ", timeout, " s."}));
    }
    s.outbox.stop();
    {
        rt::WithoutGil released;
        s.thread->join();
    }
    delete s.thread;
    s.thread = nullptr;
}

// What the endings of runs call first (see tracking.client): everything
// queued goes to the server within `timeout` (None: the exit timeout of the
// settings); at the interpreter's exit (`final`) the sender stops. Returns
// the refusal kept for `run_id`, for the ending to raise, or None.
py::object before_ending(rt::Call &c) {
    auto [run_id, timeout_arg, final] = c.args<3>();
    py::object timeout = py::reinterpret_borrow<py::object>(timeout_arg);
    if (timeout.is_none()) {
        py::object settings = c.g("async_logging")();
        timeout = settings.is_none() ? c.g("ASYNC_EXIT_TIMEOUT") : py::object(settings["exit_timeout"]);
    }
    if (rt::truthy(final)) {
        stop_sender(c, timeout);
    } else if (!flushed(timeout)) {
        c.g("logger").attr("warning")(rt::text({py::int_(sender().outbox.pending()),
                                                " values logged in the background were not on the tracking server ",
                                                "after ", timeout, " s; they are still being sent."}));
    }
    if (run_id.is_none()) return py::none();
    try {
        c.g("raise_refusal")(run_id);
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("ExperimentTrackingException"))) throw;
        return e.value();
    }
    return py::none();
}

// A child process just forked: the parent's queue, thread and refusals are
// not its own. It starts its own sender when it logs.
py::object forget_parent_sender(rt::Call &c) {
    Sender &s = sender();
    // Only in a child of the process whose sender it is.
    if (s.owner == 0 || s.owner == getpid()) return py::none();
    s.outbox.forget_after_fork();
    s.thread = nullptr;  // the parent's thread does not exist here
    s.owner = 0;
    c.g("_refusals").attr("clear")();
    return py::none();
}

py::object pending(rt::Call &) {
    Sender &s = sender();
    if (s.owner != getpid()) return py::int_(0);
    return py::int_(s.outbox.pending());
}

// ---- sending a batch (called by the sender thread) -----------------------------------

// The sender's HTTP session for this process: each exchange bounded, and cut
// at once when the exit gives up on the queue.
py::object session_for_sending(rt::Call &c) {
    py::object pid = c.g("os").attr("getpid")();
    py::dict sessions = c.g("_sessions");
    if (!sessions.contains(pid)) sessions[pid] = c.g("bounded_session")(c.g("SEND_TIMEOUT"));
    return sessions[pid];
}

constexpr const char *const LOG_BATCH_ENDPOINT = "/api/2.0/mlflow/runs/log-batch";

// Whether an answer other than 200 may go through later. Beside 408, 429
// and 5xx: 401 (the next attempt takes the login's renewed token) and a 400
// whose error code is BAD_REQUEST, the tracking library's SQL store's word
// for any database error (a database stopped or restarting, a lock): a
// refusal of the values says INVALID_PARAMETER_VALUE, RESOURCE_DOES_NOT_EXIST
// or the like.
bool transient(int status, py::handle response) {
    if (status == 401 || status == 408 || status == 429 || status >= 500) return true;
    if (status != 400) return false;
    try {
        py::object answer = response.attr("json")();
        return rt::isinstance(answer, rt::builtin("dict")) &&
               rt::equal(answer.attr("get")("error_code"), py::str("BAD_REQUEST"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // not JSON: a proxy's page, not the store's word
        return false;
    }
}

// One `log_batch` request for a tracking server, as the tracking library
// makes it, but one attempt only: retries are the sender's, with back-off,
// and they must never hold the GIL while they wait.
py::object send_over_http(rt::Call &c, py::handle store, py::handle body) {
    py::object creds = store.attr("get_host_creds")();
    py::dict headers(c.g("resolve_request_headers")());
    headers["Content-Type"] = "application/json";
    if (rt::truthy(creds.attr("username")) && rt::truthy(creds.attr("password"))) {
        py::object pair = rt::text({creds.attr("username"), ":", creds.attr("password")}).attr("encode")("utf-8");
        headers["Authorization"] =
            rt::text({"Basic ", c.g("base64").attr("standard_b64encode")(pair).attr("decode")("utf-8")});
    } else if (rt::truthy(creds.attr("token"))) {
        headers["Authorization"] = rt::text({"Bearer ", creds.attr("token")});
    }
    py::object verify = creds.attr("server_cert_path").is_none()
                            ? py::object(py::bool_(!rt::truthy(creds.attr("ignore_tls_verification"))))
                            : py::object(creds.attr("server_cert_path"));
    py::object host = creds.attr("host").attr("rstrip")("/");
    py::object response;
    try {
        response = session_for_sending(c).attr("post")(
            rt::text({host, LOG_BATCH_ENDPOINT}), "data"_a = body.attr("encode")("utf-8", "surrogatepass"),
            "headers"_a = headers, "verify"_a = verify, "cert"_a = creds.attr("client_cert_path"),
            "allow_redirects"_a = false);
    } catch (py::error_already_set &e) {
        if (e.matches(c.g("RequestException"))) return py::str("retry");
        throw;
    }
    int status = response.attr("status_code").cast<int>();
    if (status == 200) return py::none();
    if (transient(status, response)) return py::str("retry");
    c.g("verify_rest_response")(response, LOG_BATCH_ENDPOINT);
    rt::raise(c.g("MlflowException"), rt::text({"The tracking server answered ", py::int_(status)}));
}

// The same batch for a store the tracking library opens itself (a folder, a
// database), through the store.
py::object send_to_store(rt::Call &c, py::handle store, py::handle run_id, py::handle body) {
    py::object batch = c.g("json").attr("loads")(body);
    py::list metrics, params;
    for (py::handle m : batch["metrics"])
        metrics.append(c.g("Metric")(m["key"], rt::builtin("float")(m["value"]), m["timestamp"], m["step"]));
    for (py::handle p : batch["params"]) params.append(c.g("Param")(p["key"], p["value"]));
    try {
        store.attr("log_batch")("run_id"_a = run_id, "metrics"_a = metrics, "params"_a = params, "tags"_a = py::list());
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("MlflowException"))) return py::str("retry");
        // The same words as over HTTP: BAD_REQUEST is the store's database error.
        py::object code = e.value().attr("error_code");
        for (const char *refusal : {"INVALID_PARAMETER_VALUE", "RESOURCE_DOES_NOT_EXIST", "INVALID_STATE"})
            if (rt::equal(code, py::str(refusal))) throw;
        return py::str("retry");
    }
    return py::none();
}

py::object send_batch(rt::Call &c) {
    auto [tracking_uri, run_id, body] = c.args<3>();
    // The login's current token, where the tracking library reads it.
    c.g("create_mlflow_client")(tracking_uri);
    py::object store = c.g("_get_store")(tracking_uri);
    if (rt::isinstance(store, c.g("RestStore"))) return send_over_http(c, store, body);
    return send_to_store(c, store, run_id, body);
}

// ---- docstrings ---------------------------------------------------------------------

constexpr const char *QUEUE_METRICS_DOC =
    R"(Check metric values as the tracking library does and queue them for ``run_id``
(``metrics``: key -> value, all with ``timestamp`` and ``step``). Waits for room
when the queue is full.)";

constexpr const char *QUEUE_PARAMS_DOC =
    R"(Check parameters (``params``: key -> value, stored as text) against those the
run is known to have and queue the new ones. A changed value raises
ExperimentTrackingException (INVALID_PARAMETER_VALUE), with the one-parameter
message when ``single``.)";

constexpr const char *FLUSH_DOC =
    R"(Wait until every value queued so far is on the tracking server (at most
``timeout`` seconds: TimeoutError then), then raise what the server refused for
``run_id``.)";

constexpr const char *BEFORE_ENDING_DOC =
    R"(Called before runs are ended (end(), leaving a ``with`` block, Ctrl-C, a
termination signal, the exit): flushes within ``timeout`` seconds (None: the
settings' exit timeout); at the interpreter's exit (``final``) stops the sender,
giving up what is left then with one warning. Returns the refusal kept for
``run_id`` (an ExperimentTrackingException) or None.)";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("base64");
    mod.import("json");
    mod.import("logging");
    mod.import("os");
    mod.from("mlflow.entities", {"Metric", "Param"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("mlflow.store.tracking.rest_store", {"RestStore"});
    mod.from("mlflow.tracking", {"_get_store"});
    mod.from("mlflow.tracking.request_header.registry", {"resolve_request_headers"});
    mod.from("mlflow.utils.rest_utils", {"verify_rest_response"});
    mod.import("mlflow.utils.validation", "mlflow_validation");
    mod.from("requests.exceptions", {"RequestException"});
    mod.from("tavro_experiment_tracking.auth.guard", {"abort_exchanges", "bounded_session"});
    mod.from("tavro_experiment_tracking.config", {"async_logging"});
    mod.from("tavro_experiment_tracking.constants", {"ASYNC_EXIT_TIMEOUT"});
    mod.from("tavro_experiment_tracking.exception",
             {"ExperimentTrackingException", "CHANGING_LOGGED_PARAM_MESSAGE", "CHANGING_LOGGED_PARAMS_MESSAGE"});
    mod.from("tavro_experiment_tracking.tracking.client", {"create_mlflow_client", "_ending_hooks"});
    mod.from("tavro_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
}

RT_MODULE(background, m) {
    rt::Module mod(m);
    import_names(mod);
    // Seconds one `log_batch` exchange may take as a whole.
    mod.set("SEND_TIMEOUT", py::float_(30.0));
    // Run ID -> its parameters as known here; -> what the server refused of
    // it, not yet raised; this process's sending session, by process ID.
    mod.set("_known_params", py::dict());
    mod.set("_refusals", py::dict());
    mod.set("_sessions", py::dict());
    mod.set("_checked_names", py::set());

    mod.def("queue_metrics",
            {arg("tracking_uri"), arg("run_id"), arg("metrics"), arg("timestamp"), arg("step").def(py::int_(0))},
            queue_metrics, rt::doc(QUEUE_METRICS_DOC), rt::returns("None"));
    mod.def("queue_params", {arg("tracking_uri"), arg("run_id"), arg("params"), arg("single").def(py::bool_(false))},
            queue_params, rt::doc(QUEUE_PARAMS_DOC), rt::returns("None"));
    mod.def("track_run", {arg("run_id"), arg("params")}, track_run,
            rt::doc("Remember the parameters a run has as this process starts or reopens it."), rt::returns("None"));
    mod.def("raise_refusal", {arg("run_id")}, raise_refusal,
            rt::doc("Raise (once) what the tracking server refused of the values queued for ``run_id``."),
            rt::returns("None"));
    mod.def("flush", {arg("run_id").def_none(), arg("timeout").def_none()}, flush, rt::doc(FLUSH_DOC),
            rt::returns("None"));
    mod.def("pending", {}, pending, rt::doc("Values queued and not yet sent (or refused)."), rt::returns("int"));
    mod.def("_before_ending", {arg("run_id"), arg("timeout"), arg("final")}, before_ending, rt::doc(BEFORE_ENDING_DOC));
    mod.def("_send_batch", {arg("tracking_uri"), arg("run_id"), arg("body")}, send_batch,
            rt::doc("Send one batch, its `log_batch` request body given (called by the sender thread): None when "
                    "it is on the server, \"retry\" when it may go through later; raises the server's refusal."));
    mod.def("_refused", {arg("run_id"), arg("keys"), arg("error")}, refused,
            rt::doc("Keep a refused batch for the run's iteration (called by the sender thread)."),
            rt::returns("None"));
    mod.def("_forget_parent_sender", {}, forget_parent_sender,
            rt::doc("In a forked child: the parent's queue and sender are not the child's."), rt::returns("None"));

    sender().globals = py::object(m.attr("__dict__")).inc_ref().ptr();
    mod.get("os").attr("register_at_fork")("after_in_child"_a = mod.get("_forget_parent_sender"));
    mod.get("_ending_hooks").attr("append")(mod.get("_before_ending"));
}
