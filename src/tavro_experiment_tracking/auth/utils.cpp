// The browser login's redirect handler: it receives the identity provider's
// redirect on the login's local server, trades the authorization code for
// tokens and hands the refresh token and the user name to the waiting login.
#include "runtime.hpp"

#include <utility>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// A callback this login cannot complete: answered with `status` and `text`.
struct Refusal : std::exception {
    Refusal(int status_, py::str text_) : status(status_), text(std::move(text_)) {}
    const char *what() const noexcept override { return "the login's callback was refused"; }
    int status;
    py::str text;
};

const char *const NONCE_MISMATCH =
    "The ID token does not answer this login's request: its nonce is not the one that was sent.";

void respond(rt::Call &c, py::handle self, int status, const char *title, const py::str &text) {
    py::object escape = c.g("html").attr("escape");
    py::str page = rt::text({"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>", title,
                             "</title></head>\n<body><h1>", title, "</h1>\n<p>", escape(text), "</p></body></html>\n"});
    // Text from the provider (a user name, an error) may hold what UTF-8
    // cannot encode: the page shows a replacement character there.
    py::object body = page.attr("encode")("utf-8", "replace");
    self.attr("send_response")(status);
    self.attr("send_header")("Content-Type", "text/html; charset=utf-8");
    self.attr("send_header")("Content-Length", py::str(py::int_(py::len(body))));
    // The address the browser shows carries the authorization code: keep it
    // out of caches and out of the Referer of anything the page could load.
    self.attr("send_header")("Cache-Control", "no-store");
    self.attr("send_header")("Referrer-Policy", "no-referrer");
    self.attr("end_headers")();
    self.attr("wfile").attr("write")(body);
}

// The first value of a query parameter, or None.
py::object first(const py::dict &params, const char *key) {
    if (!params.contains(key)) return py::none();
    return py::object(params[key])[py::int_(0)];
}

py::object as_bytes(py::handle text) {
    return text.attr("encode")("utf-8", "surrogatepass");
}

// shutdown() waits for the serving loop, which is busy with the very request
// asking for it: it is called from a short-lived thread of its own.
void end_serving(rt::Call &c, py::handle self) {
    c.g("threading")
        .attr("Thread")("target"_a = self.attr("server").attr("shutdown"), "daemon"_a = true)
        .attr("start")();
}

py::object claim(py::handle id_token, const char *key) {
    return id_token.attr("get")(key);
}

// Ends the login without a result: the waiting login raises this at once
// instead of waiting out its timeout. Only our own words: messages of the
// client library can quote the token response.
void fail_login(rt::Call &c, py::handle cls, const py::str &text) {
    cls.attr("_queue").attr("put")(c.g("ExperimentTrackingException")(rt::text({"Browser login failed: ", text})));
}

// The provider's answer to the redirect: the tokens for the callback's code,
// or a Refusal.
py::object exchange_code(rt::Call &c, py::handle client, py::handle state, const py::dict &params, py::handle query) {
    py::object error = first(params, "error");
    if (!error.is_none()) {
        // The provider's words, as a terminal may show them.
        py::object description = first(params, "error_description");
        throw Refusal{
            400, rt::printable(description.is_none() ? rt::text({"The identity provider refused the login: ", error})
                                                     : rt::text({"The identity provider refused the login: ", error,
                                                                 " (", description, ")"}))};
    }
    py::object code = first(params, "code");
    if (!rt::truthy(code)) throw Refusal{400, py::str("The identity provider sent no authorization code.")};
    // The client library logs its requests and answers, with the code, the
    // client's credentials and the tokens in them.
    c.g("remember_secret")(code);
    c.g("guard_library_logs")();
    // Stores the grant that the token request is made from.
    py::object answer =
        client.attr("parse_response")(c.g("AuthorizationResponse"), "info"_a = query, "sformat"_a = "urlencoded");
    if (rt::contains(answer, py::str("error")))
        throw Refusal{400, rt::printable(rt::text({"The identity provider refused the login: ", answer["error"]}))};
    py::dict request_args;
    request_args["code"] = code;
    py::object tokens;
    try {
        tokens = client.attr("do_access_token_request")("state"_a = state, "request_args"_a = request_args,
                                                        "authn_method"_a = "client_secret_basic");
    } catch (py::error_already_set &e) {
        // The client library's own nonce check.
        if (e.matches(c.g("ParameterError"))) throw Refusal{400, py::str(NONCE_MISMATCH)};
        // Its checks of the ID token (issuer, audience, expiry, signature):
        // their kind says enough, their words could quote the token.
        if (e.matches(py::make_tuple(c.g("PyoidcError"), c.g("JWKESTException"))))
            throw Refusal{400, rt::text({"The identity provider's ID token was refused (",
                                         py::type::handle_of(e.value()).attr("__name__"), ")."})};
        throw;
    }
    if (rt::contains(tokens, py::str("error")))
        throw Refusal{
            400, rt::printable(rt::text({"The identity provider refused the authorization code: ", tokens["error"]}))};
    py::object id_token = tokens.attr("get")("id_token");
    if (!id_token.is_none()) {
        py::object refused = c.g("id_token_refusal")(id_token, client.attr("provider_info"));
        if (!refused.is_none())
            throw Refusal{400, rt::text({"The identity provider's answer was refused: ", refused, "."})};
    }
    for (const char *key : {"access_token", "refresh_token", "id_token"}) {
        py::object value = tokens.attr("get")(key);
        // The ID token arrives as a message of claims, its text kept beside.
        if (!value.is_none() && py::hasattr(value, "jwt")) value = value.attr("jwt");
        c.g("remember_secret")(value);
    }
    return tokens;
}

// The name an ID token gives its user: the preferred user name, else the
// e-mail address, else the subject; None when it gives none.
py::object id_token_user_of(py::handle id_token) {
    for (const char *key : {"preferred_username", "email", "sub"}) {
        py::object name = claim(id_token, key);
        if (rt::truthy(name)) return name;
    }
    return py::none();
}

py::object id_token_user(rt::Call &c) {
    auto [id_token] = c.args<1>();
    return id_token_user_of(id_token);
}

// The user the ID token names, once it is known to answer this login.
py::object user_of(py::handle client, py::handle state, py::handle id_token) {
    // The library skips its check when the ID token carries no nonce at all;
    // the login sent one, so an ID token without it is not an answer to it.
    py::object sent = py::getattr(client, "state2nonce", py::dict()).attr("get")(state);
    if (!sent.is_none() && !rt::equal(claim(id_token, "nonce"), sent)) throw Refusal{400, py::str(NONCE_MISMATCH)};
    py::object username = id_token_user_of(id_token);
    if (username.is_none()) throw Refusal{400, py::str("The ID token names no user.")};
    return username;
}

// Trades the callback's code for tokens and finds the user: returns the
// refresh token and the user name, or throws a Refusal.
std::pair<py::object, py::object> settle(rt::Call &c, py::handle cls, const py::dict &params, py::handle query) {
    py::object client = cls.attr("_client");
    py::object state = cls.attr("_state");
    py::object tokens = exchange_code(c, client, state, params, query);
    py::object refresh_token = tokens.attr("get")("refresh_token");
    if (!rt::truthy(refresh_token)) throw Refusal{400, py::str("The identity provider issued no refresh token.")};
    py::object id_token = tokens.attr("get")("id_token");
    if (id_token.is_none()) throw Refusal{400, py::str("The identity provider issued no ID token.")};
    return {refresh_token, user_of(client, state, id_token)};
}

// Settles the login with this callback, whatever its outcome: the two
// values, or the reason it failed, go to the waiting login.
void complete(rt::Call &c, py::handle self, py::handle cls, const py::dict &params, py::handle query) {
    bool delivered = false;
    try {
        auto [refresh_token, username] = settle(c, cls, params, query);
        py::object queue = cls.attr("_queue");
        queue.attr("put")(refresh_token);
        queue.attr("put")(username);
        delivered = true;
        c.g("logger").attr("debug")(rt::text({"Login callback accepted for user: ", username}));
        respond(c, self, 200, "Login successful",
                rt::text({"You are logged in as ", username, ". You can close this window."}));
    } catch (Refusal &r) {
        c.g("logger").attr("debug")(rt::text({"Login callback refused: ", r.text}));
        fail_login(c, cls, r.text);
        delivered = true;
        respond(c, self, r.status, "Login failed", r.text);
    } catch (py::error_already_set &e) {
        if (!delivered && e.matches(PyExc_Exception)) {
            // Only the error's type: messages of the client library can quote
            // the token response.
            py::object kind = py::type::handle_of(e.value()).attr("__name__");
            py::str text = rt::text({"The login could not be completed (", kind, ")."});
            c.g("logger").attr("debug")(rt::text({"Login callback failed with ", kind}));
            fail_login(c, cls, text);
            respond(c, self, 500, "Login failed", text);
            return;
        }
        if (!delivered) fail_login(c, cls, py::str("The login could not be completed."));
        throw;
    }
}

py::object do_get(rt::Call &c) {
    py::handle self = c.self();
    // The request has arrived whole: answering it (a code exchange included)
    // may take longer than receiving it was allowed to.
    py::object received = py::getattr(self.attr("server"), "request_received", py::none());
    if (!received.is_none()) received(self.attr("request"));
    py::object cls = py::type::of(self);
    py::object parts = c.g("urlsplit")(self.attr("path"));
    if (!rt::equal(parts.attr("path"), py::str("/callback"))) {
        // Browsers ask for more than the redirect (a favicon, say): that must
        // not end the login.
        respond(c, self, 404, "Not found", py::str("This address only receives the login's redirect."));
        return py::none();
    }
    if (rt::truthy(cls.attr("_finished"))) {
        respond(c, self, 400, "Login already finished",
                py::str("This login has already received its answer. You can close this window."));
        return py::none();
    }
    py::object query = parts.attr("query");
    py::dict params = c.g("parse_qs")(query, "keep_blank_values"_a = true);
    py::object state = first(params, "state");
    if (state.is_none() ||
        !rt::truthy(c.g("hmac").attr("compare_digest")(as_bytes(state), as_bytes(cls.attr("_state"))))) {
        // Not the answer to this login's request (forged, or from another
        // login): it logs nobody in and does not end the login, whose own
        // answer may still arrive.
        c.g("logger").attr("debug")(py::str("Login callback refused: its state does not belong to this login"));
        respond(c, self, 400, "Login refused",
                py::str("This answer does not belong to the login that is waiting. Please start the login again."));
        return py::none();
    }
    cls.attr("_finished") = py::bool_(true);
    // Even when answering the browser fails, the login is over.
    rt::finally([&] { complete(c, self, cls, params, query); }, [&] { end_serving(c, self); });
    return py::none();
}

py::object log_request(rt::Call &c) {
    py::handle self = c.self();
    // The request line carries the authorization code: the path alone is
    // logged. A request line too malformed to read has no path: its status
    // is all there is to say.
    py::object path = py::getattr(self, "path", py::none());
    if (path.is_none()) {
        c.g("logger").attr("debug")(rt::text({"Login callback request refused with status ", c[1]}));
        return py::none();
    }
    c.g("logger").attr("debug")(rt::text({"Login callback request ", py::getattr(self, "command", py::none()), " ",
                                          c.g("urlsplit")(path).attr("path"), " answered ", c[1]}));
    return py::none();
}

// The server's own messages quote the raw request line (and with it the
// code): they are not written anywhere.
py::object log_message(rt::Call &) {
    return py::none();
}

py::object get_disposable_handler(rt::Call &c) {
    auto [client, state, queue] = c.args<3>();
    py::dict ns;
    ns["__module__"] = c.g("__name__");
    ns["__qualname__"] = "get_disposable_handler.<locals>.DisposableHandler";
    ns["_client"] = client;
    ns["_state"] = state;
    ns["_queue"] = queue;
    ns["_finished"] = py::bool_(false);
    return rt::builtin("type")("DisposableHandler", py::make_tuple(c.g("CallbackHandler")), ns);
}

// ---- the login's local server ----------------------------------------------------

// Seconds closing the server gives the connections' threads, once their
// connections are cut, to end.
constexpr double CLOSING_GRACE_SECONDS = 1.0;

py::object server_init(rt::Call &c) {
    auto [self, server_address, handler_class, bind_and_activate] = c.args<4>();
    // Open connection -> the time by which its request must have arrived
    // whole, or None once it has.
    self.attr("_deadlines") = py::dict();
    c.super().attr("__init__")(server_address, handler_class, bind_and_activate);
    return py::none();
}

py::object serve_forever(rt::Call &c) {
    auto [self, poll_interval] = c.args<2>();
    return c.super().attr("serve_forever")(poll_interval);
}

py::object monotonic(rt::Call &c) {
    return c.g("time").attr("monotonic")();
}

// Each connection is served on a thread of its own, under a deadline.
py::object process_request(rt::Call &c) {
    auto [self, request, client_address] = c.args<3>();
    self.attr("_deadlines")[request] = monotonic(c) + self.attr("request_deadline");
    c.super().attr("process_request")(request, client_address);
    return py::none();
}

py::object request_received(rt::Call &c) {
    auto [self, request] = c.args<2>();
    py::object deadlines = self.attr("_deadlines");
    if (rt::contains(deadlines, request)) deadlines[request] = py::none();
    return py::none();
}

py::object shutdown_request(rt::Call &c) {
    auto [self, request] = c.args<2>();
    self.attr("_deadlines").attr("pop")(request, py::none());
    c.super().attr("shutdown_request")(request);
    return py::none();
}

// Shut down, not closed: the connection's own thread is reading from it and
// closes it as it ends, at once, since its reads now return nothing.
void cut(rt::Call &c, py::handle request) {
    try {
        request.attr("shutdown")(c.g("socket").attr("SHUT_RDWR"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// Run by the serving loop between polls: connections past their deadline
// (idle ones, or a sender of a byte now and then) are cut.
py::object service_actions(rt::Call &c) {
    py::handle self = c.self();
    c.super().attr("service_actions")();
    double now = monotonic(c).cast<double>();
    for (py::handle item : py::list(self.attr("_deadlines").attr("items")())) {
        auto [request, deadline] = rt::unpack2(item);
        if (!deadline.is_none() && deadline.cast<double>() <= now) cut(c, request);
    }
    return py::none();
}

// Closing never waits for a busy connection's thread: every connection is
// cut first, so the threads have nothing left to wait for, and they get a
// moment to end (the login's own exchanges are aborted by the login).
py::object server_close(rt::Call &c) {
    py::handle self = c.self();
    // The listening socket, without the mixin's wait for every thread.
    rt::builtin("super")(c.g("ThreadingMixIn"), self).attr("server_close")();
    for (py::handle request : py::list(self.attr("_deadlines"))) cut(c, request);
    py::object monotonic_ = c.g("time").attr("monotonic");
    double until = monotonic_().cast<double>() + CLOSING_GRACE_SECONDS;
    // (The mixin keeps a list of them once the first connection came.)
    py::object threads = self.attr("_threads");
    if (!rt::isinstance(threads, rt::builtin("list"))) return py::none();
    for (py::handle thread : py::list(threads)) {
        double left = until - monotonic_().cast<double>();
        if (left <= 0) break;
        thread.attr("join")(left);
    }
    return py::none();
}

// A connection that failed (cut, reset, a malformed request) is not worth a
// traceback on the user's terminal.
py::object handle_error(rt::Call &c) {
    py::object kind = c.g("sys").attr("exc_info")()[py::int_(0)];
    c.g("logger").attr("debug")(
        rt::text({"Login callback connection failed: ",
                  kind.is_none() ? py::object(py::none()) : py::object(kind.attr("__name__"))}));
    return py::none();
}

constexpr const char *CALLBACK_SERVER_DOC = R"(The browser login's local server: the provider's redirect arrives here.

Every connection is served on a short-lived thread of its own, so idle or slow
connections to the port (a browser's pre-connects, anyone on the machine) never
hold the redirect up; a connection whose request has not arrived whole within
``request_deadline`` seconds is cut. Stopping (``shutdown``, ``server_close``)
never waits for a busy connection: closing cuts every connection first.)";

constexpr const char *GET_DISPOSABLE_HANDLER_DOC = R"(A request-handler class for one browser login's local server.

It serves the identity provider's redirect to ``/callback``: checks that the
state is ``state``, exchanges the authorization code through ``client`` (the
login's OpenID Connect client, configured and registered), puts the refresh
token and then the user name into ``queue`` and ends the server's serving loop.
A redirect that cannot log the user in (an error from the provider, no code, a
refused code, an ID token with another nonce) puts one ExperimentTrackingException
saying why instead, and ends the loop; one with another state is refused and the
login goes on waiting.)";

}  // namespace

RT_MODULE(utils, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("hmac");
    mod.import("html");
    mod.import("socket");
    mod.import("sys");
    mod.import("threading");
    mod.import("time");
    mod.from("typing", {"Optional"});
    mod.from("urllib.parse", {"parse_qs", "urlsplit"});
    mod.from("http.server", {"BaseHTTPRequestHandler", "ThreadingHTTPServer"});
    mod.from("socketserver", {"ThreadingMixIn"});
    // Loaded with the browser login that needs them (see the authenticator).
    mod.lazy_from("oic.oic.message", {"AuthorizationResponse"});
    mod.lazy_from("oic.exception", {"ParameterError", "PyoidcError"});
    mod.lazy_from("jwkest", {"JWKESTException"});
    mod.from("tavro_experiment_tracking.auth.guard", {"guard_library_logs", "id_token_refusal", "remember_secret"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    rt::ClassDef(mod, "CallbackHandler", {mod.get("BaseHTTPRequestHandler")},
                 R"(Receives the identity provider's redirect to ``/callback`` for one browser login.

Each login gets its own subclass from ``get_disposable_handler``, carrying the
login's OpenID Connect client, its state value and the queue the login waits on.)")
        .attr("_client", py::none())
        .attr("_state", py::none())
        .attr("_queue", py::none())
        .attr("_finished", py::bool_(false))
        // Seconds a connection may stay silent: a browser's idle pre-connect
        // socket must not keep the redirect waiting behind it.
        .attr("timeout", py::int_(5))
        .method("do_GET", {arg("self")}, do_get)
        .method("log_request", {arg("self"), arg("code").def(py::str("-")), arg("size").def(py::str("-"))}, log_request)
        .method("log_message", {arg("self"), arg("format"), rt::varargs("args")}, log_message)
        .build();

    rt::ClassDef(mod, "CallbackServer", {mod.get("ThreadingHTTPServer")}, CALLBACK_SERVER_DOC)
        // Not daemons: a daemon thread is stopped dead when it wakes during
        // the interpreter's finalization, and the handler's code (this
        // module's) must not be on its stack then. Closing cuts their
        // connections, so none outlives the login by more than a moment.
        .attr("daemon_threads", py::bool_(false))
        .attr("block_on_close", py::bool_(true))
        // Connections waiting to be accepted: with the usual five, a burst
        // of idle ones would have the browser's redirect refused and retried
        // a second or more later.
        .attr("request_queue_size", py::int_(256))
        // Seconds a connection may take to deliver its request whole; a
        // browser's redirect takes milliseconds.
        .attr("request_deadline", py::float_(10.0))
        .method("__init__",
                {arg("self"), arg("server_address"), arg("RequestHandlerClass"),
                 arg("bind_and_activate").def(py::bool_(true))},
                server_init)
        // Polled often: stopping the login waits for one poll at most.
        .method("serve_forever", {arg("self"), arg("poll_interval").def(py::float_(0.1))}, serve_forever)
        .method("process_request", {arg("self"), arg("request"), arg("client_address")}, process_request)
        .method("request_received", {arg("self"), arg("request")}, request_received,
                rt::doc("The connection's request has arrived whole: its deadline no longer applies."))
        .method("shutdown_request", {arg("self"), arg("request")}, shutdown_request)
        .method("service_actions", {arg("self")}, service_actions)
        .method("server_close", {arg("self")}, server_close)
        .method("handle_error", {arg("self"), arg("request"), arg("client_address")}, handle_error)
        .build();

    mod.def("id_token_user", {arg("id_token")}, id_token_user,
            rt::doc("The name an ID token gives its user (preferred_username, else email, else sub), or None."),
            rt::returns("Optional[str]"));
    mod.def("get_disposable_handler", {arg("client"), arg("state"), arg("queue")}, get_disposable_handler,
            rt::doc(GET_DISPOSABLE_HANDLER_DOC));
}
