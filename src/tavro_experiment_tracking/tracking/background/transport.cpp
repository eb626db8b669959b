// One request to the tracking server: a batch's `log_batch` over HTTP, as
// the tracking library makes it but one attempt only (the retries are the
// sender's, with back-off, and never hold the GIL while they wait), or the
// same values through the store of a tracking URI that is no server.
#include "parts.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace background {

namespace {

// How long a batch's target, once found, serves the batches after it
// without asking the tracking library again: finding it takes the GIL for
// a fraction of a millisecond (the client, the store, the credentials, the
// header providers, the proxies), which a backlog would pay for every batch.
// An answer other than 200 or a failed exchange forgets it (a 401 is then
// retried with the login's renewed token), and so does a second's age (a
// token or a proxy the environment changes is seen within it).
constexpr auto TARGET_FRESH_FOR = std::chrono::seconds(1);

bool known_target(const std::string &uri, HttpTarget &target, bool &native) {
    Process &p = process();
    std::scoped_lock lock(p.targets_mutex);
    auto it = p.targets.find(uri);
    if (it == p.targets.end() || Clock::now() - it->second.found > TARGET_FRESH_FOR) return false;
    target = it->second.target;
    native = it->second.native;
    return true;
}

void remember_target(const std::string &uri, const HttpTarget &target, bool native) {
    Process &p = process();
    std::scoped_lock lock(p.targets_mutex);
    p.targets[uri] = KnownTarget{native, target, Clock::now()};
    if (native) p.hosts[uri] = {target.host, target.port};
}

void forget_target(const std::string &uri) {
    Process &p = process();
    std::scoped_lock lock(p.targets_mutex);
    p.targets.erase(uri);
}

}  // namespace

bool last_host(const std::string &uri, std::string &host, int &port) {
    Process &p = process();
    std::scoped_lock lock(p.targets_mutex);
    auto it = p.hosts.find(uri);
    if (it == p.hosts.end()) return false;
    host = it->second.first;
    port = it->second.second;
    return true;
}

// One attempt at a batch. For a target this module's client carries, the
// request is written and read without the GIL on the sender's connection;
// otherwise, and for every answer but 200, the GIL is taken: `_send_batch`
// or `_answered` of the module (looked up now, so a patch takes effect)
// says what became of it; what they raise is the server's refusal, kept for
// the run's iteration (or, for a sync, put into `refusal_text`).
Outcome attempt(const Batch &batch, std::string *refusal_text, HttpConnection *connection) {
    if (_Py_IsFinalizing()) return Outcome::Abandoned;
    std::string body = batch.body();
    HttpTarget target;
    HttpAnswer answer;
    bool native = false;
    const std::string &uri = *batch.tracking_uri;
    if (connection && !known_target(uri, target, native)) {
        bool found_it = false;
        WithGil gil;
        try {
            py::dict globals(rt::own(module_globals));
            py::object found = globals["_request_target"](text_of(*batch.tracking_uri));
            if (!found.is_none()) {
                py::tuple t(found);
                target.host = utf8(t[0]);
                target.port = t[1].cast<int>();
                target.path = utf8(t[2]);
                target.headers = utf8(t[3]);
                target.timeout =
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t[4].cast<double>()));
                native = true;
            }
            found_it = true;
        } catch (py::error_already_set &e) {
            // The tracking library's own client takes it: it says what is wrong.
            e.discard_as_unraisable("background logging: choosing the connection of a batch");
            native = false;
        } catch (const std::exception &) {
            native = false;  // not a target this client reads: the tracking library's client takes it
        }
        if (found_it) remember_target(uri, target, native);
    }
    if (native) {
        Process &p = process();
        bool exchanged = connection->exchange(target, body, answer, Clock::now() + target.timeout, p.queue);
        if (exchanged && answer.status == 200) return Outcome::Sent;
        forget_target(uri);
        if (!exchanged) return p.queue.abandoned() ? Outcome::Abandoned : Outcome::Retry;
    }
    WithGil gil;
    try {
        py::object tracking_uri = text_of(*batch.tracking_uri), run_id = text_of(*batch.run_id);
        py::dict globals(rt::own(module_globals));
        try {
            py::object outcome = native
                                     ? globals["_answered"](py::int_(answer.status),
                                                            py::bytes(answer.body).attr("decode")("utf-8", "replace"))
                                     : globals["_send_batch"](tracking_uri, run_id, py::str(body.data(), body.size()));
            return outcome.is_none() ? Outcome::Sent : Outcome::Retry;
        } catch (py::error_already_set &refusal) {
            py::list keys;
            for (const Record *r : batch.records) keys.append(text_of(r->key));
            if (refusal_text) {
                if (!refusal.matches(PyExc_Exception)) throw;
                *refusal_text = utf8(py::str(refusal.value()));
                return Outcome::Refused;
            }
            globals["_refused"](run_id, keys, refusal.value());
            return Outcome::Refused;
        }
    } catch (py::error_already_set &e) {
        if (refusal_text) throw;  // a sync runs on the caller's thread: Ctrl-C and the like are its own
        // Even reporting failed (out of memory, say): the batch is given up
        // rather than retried for ever; the interpreter shows what happened.
        e.discard_as_unraisable("background logging of a batch");
        return Outcome::Refused;
    } catch (...) {
        return Outcome::Refused;
    }
}

namespace {

// The sender's HTTP session for this process: each exchange bounded, and cut
// at once when the exit gives up on the queue.
py::object session_for_sending(rt::Call &c) {
    py::object pid = c.g("os").attr("getpid")();
    py::dict sessions = c.g("_sessions");
    // The tracking server the user named, however it is reached.
    if (!sessions.contains(pid)) sessions[pid] = c.g("bounded_session")(c.g("SEND_TIMEOUT"), "plain_http"_a = true);
    return sessions[pid];
}

constexpr const char *const LOG_BATCH_ENDPOINT = "/api/2.0/mlflow/runs/log-batch";

// Whether an answer other than 200 may go through later. Beside 408, 429
// and 5xx: 401 (the next attempt takes the login's renewed token) and a 400
// whose error code is BAD_REQUEST, the tracking library's SQL store's word
// for any database error (a database stopped or restarting, a lock): a
// refusal of the values says INVALID_PARAMETER_VALUE, RESOURCE_DOES_NOT_EXIST
// or the like.
bool transient(rt::Call &c, int64_t status, py::handle text) {
    if (status == 401 || status == 408 || status == 429 || status >= 500) return true;
    if (status != 400) return false;
    try {
        py::object answer = c.g("json").attr("loads")(text);
        return rt::isinstance(answer, rt::builtin("dict")) &&
               rt::equal(answer.attr("get")("error_code"), py::str("BAD_REQUEST"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // not JSON: a proxy's page, not the store's word
        return false;
    }
}

// What an answer other than 200 means: None never (a 200 is sent),
// "retry" when it may go through later, else the refusal raised as the
// tracking library raises it.
py::object answer_outcome(rt::Call &c, int64_t status, py::handle text) {
    if (status == 200) return py::none();
    if (transient(c, status, text)) return py::str("retry");
    py::object answer = c.g("SimpleNamespace")("status_code"_a = py::int_(status), "text"_a = text);
    c.g("verify_rest_response")(answer, LOG_BATCH_ENDPOINT);
    rt::raise(c.g("MlflowException"), rt::text({"The tracking server answered ", py::int_(status)}));
}

// The request's headers as the tracking library makes them: its header
// providers', the content type, the credentials.
py::dict request_headers(rt::Call &c, py::handle creds) {
    py::dict headers(c.g("resolve_request_headers")());
    headers["Content-Type"] = "application/json";
    if (rt::truthy(creds.attr("username")) && rt::truthy(creds.attr("password"))) {
        py::object pair = rt::text({creds.attr("username"), ":", creds.attr("password")}).attr("encode")("utf-8");
        headers["Authorization"] =
            rt::text({"Basic ", c.g("base64").attr("standard_b64encode")(pair).attr("decode")("utf-8")});
    } else if (rt::truthy(creds.attr("token"))) {
        headers["Authorization"] = rt::text({"Bearer ", creds.attr("token")});
    }
    return headers;
}

std::string header_lines(rt::Call &c, py::handle creds, bool &clean) {
    std::string lines;
    for (auto item : request_headers(c, creds)) {
        std::string name = utf8(py::str(item.first)), value = utf8(py::str(item.second));
        if ((name + value).find_first_of("\r\n") != std::string::npos) clean = false;
        lines.append(name).append(": ").append(value).append("\r\n");
    }
    return lines;
}

// One `log_batch` request for a tracking server, as the tracking library
// makes it, but one attempt only: retries are the sender's, with back-off,
// and they must never hold the GIL while they wait.
py::object send_over_http(rt::Call &c, py::handle store, py::handle body) {
    py::object creds = store.attr("get_host_creds")();
    py::dict headers = request_headers(c, creds);
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
    return answer_outcome(c, as_int64(response.attr("status_code")), response.attr("text"));
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

}  // namespace

py::object send_batch(rt::Call &c) {
    auto [tracking_uri, run_id, body] = c.args<3>();
    // The login's current token, where the tracking library reads it.
    c.g("create_mlflow_client")(tracking_uri);
    py::object store = c.g("_get_store")(tracking_uri);
    if (rt::isinstance(store, c.g("RestStore"))) return send_over_http(c, store, body);
    return send_to_store(c, store, run_id, body);
}

// Where this module's own client sends a batch for `tracking_uri`: a
// tracking server over plain http, reached without a proxy (the
// environment's HTTP_PROXY and NO_PROXY, as the tracking library's requests
// read them) and without a client certificate. (host, port, path, header
// lines, the exchange's deadline in seconds), or None: the tracking
// library's client then carries it (https, a proxy, a store).
py::object request_target(rt::Call &c) {
    auto [tracking_uri] = c.args<1>();
    // The login's current token, where the tracking library reads it.
    c.g("create_mlflow_client")(tracking_uri);
    py::object store = c.g("_get_store")(tracking_uri);
    if (!rt::isinstance(store, c.g("RestStore"))) return py::none();
    py::object creds = store.attr("get_host_creds")();
    if (!creds.attr("client_cert_path").is_none()) return py::none();
    py::object host = creds.attr("host");
    py::object parts = c.g("urlsplit")(host);
    if (!rt::equal(parts.attr("scheme"), py::str("http")) || parts.attr("hostname").is_none()) return py::none();
    if (rt::truthy(c.g("get_environ_proxies")(host))) return py::none();
    bool clean = true;
    std::string lines = "Host: " + utf8(parts.attr("netloc")) + "\r\n" + header_lines(c, creds, clean);
    if (!clean) return py::none();  // a value a header cannot carry: refused by the library's client, as it says
    py::object port = parts.attr("port");
    py::object path = rt::text({parts.attr("path").attr("rstrip")("/"), LOG_BATCH_ENDPOINT});
    return py::make_tuple(parts.attr("hostname"), port.is_none() ? py::int_(80) : py::int_(port), path, text_of(lines),
                          c.g("SEND_TIMEOUT"));
}

py::object answered(rt::Call &c) {
    auto [status, text] = c.args<2>();
    return answer_outcome(c, as_int64(status), text);
}

}  // namespace background
