// HTTP exchanges with one deadline for the whole exchange and a cap on the
// answer's size, for the logins and for the background sender's requests
// that go through the tracking library's HTTP client; and the rule that
// nothing is sent over plain http to another machine unless the caller
// allows it.
//
// `requests`' own timeout bounds each read, not the exchange: an endpoint that
// sends a byte now and then holds the caller as long as it likes, and an
// answer of any size is read whole. So every connection an exchange opens is
// watched, and when the deadline passes a watchdog shuts the connection's
// socket down: whatever read is blocked on it returns at once.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

bool greater(py::handle a, py::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_GT);
    if (!r) throw py::error_already_set();
    return rt::truthy(py::reinterpret_steal<py::object>(r));
}

// ---- plain http ------------------------------------------------------------

// The address without its query: it names the endpoint, never what was sent.
py::object endpoint_of(rt::Call &c, py::handle url) {
    py::object parts = c.g("urlsplit")(url);
    return parts.attr("_replace")("query"_a = "", "fragment"_a = "").attr("geturl")();
}

// This machine, by name or address (no name is looked up: a name that
// resolves to loopback today may not tomorrow).
bool loopback(rt::Call &c, py::handle host) {
    if (host.is_none()) return false;
    py::str name = py::str(host).attr("lower")().attr("rstrip")(".");
    if (rt::equal(name, py::str("localhost")) || rt::truthy(name.attr("endswith")(".localhost"))) return true;
    try {
        return rt::truthy(c.g("ip_address")(name.attr("strip")("[]")).attr("is_loopback"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
}

// Plain http to another machine: whatever a login sends there (a client
// secret, a code, a token) anyone on the way reads.
bool plain_http_elsewhere(rt::Call &c, py::handle url) {
    py::object parts = c.g("urlsplit")(py::str(url));
    return rt::equal(parts.attr("scheme").attr("lower")(), py::str("http")) && !loopback(c, parts.attr("hostname"));
}

[[noreturn]] void refuse_plain_http(rt::Call &c, py::handle url, py::handle what) {
    rt::raise(c.g("PlainHttpRefused"),
              rt::text({"The ", what, " ", rt::printable(endpoint_of(c, url)),
                        " is plain http on another machine: a login sends secrets there, and only this machine "
                        "(loopback) is reached without TLS. Ask for its https:// address."}));
}

py::object check_endpoint(rt::Call &c) {
    auto [url, what] = c.args<2>();
    if (rt::isinstance(url, rt::builtin("str")) && plain_http_elsewhere(c, url)) refuse_plain_http(c, url, what);
    return py::none();
}

// ---- bounded exchanges --------------------------------------------------------------

// A connection opened while an exchange is under way on this thread: the
// watchdog shuts down a duplicate of its socket. The duplicate reaches the
// same connection whatever becomes of the original (TLS takes over its
// descriptor and leaves the original object closed).
py::object watched_new_conn(rt::Call &c) {
    py::object sock = c.super().attr("_new_conn")();
    py::object watched = py::getattr(c.g("_exchange"), "sockets", py::none());
    if (!watched.is_none()) watched.attr("append")(sock.attr("dup")());
    return sock;
}

void shut(rt::Call &c, py::handle sock) {
    try {
        sock.attr("shutdown")(c.g("socket").attr("SHUT_RDWR"));
    } catch (py::error_already_set &e) {
        // Already closed: nothing left to cut.
        if (!e.matches(PyExc_OSError)) throw;
    }
}

py::object cut_exchange(rt::Call &c) {
    auto [sockets, expired] = c.args<2>();
    expired.attr("set")();
    for (py::handle sock : rt::builtin("list")(sockets)) shut(c, sock);
    return py::none();
}

// Pools whose connections register their sockets (a proxy's own pool kinds,
// SOCKS for one, are left as they are).
void watch_pools(rt::Call &c, py::handle manager) {
    py::object kinds = manager.attr("pool_classes_by_scheme");
    if (!kinds.attr("get")("http").is(c.g("HTTPConnectionPool"))) return;
    py::dict watched;
    watched["http"] = c.g("_WatchedHTTPConnectionPool");
    watched["https"] = c.g("_WatchedHTTPSConnectionPool");
    manager.attr("pool_classes_by_scheme") = watched;
}

py::object adapter_init(rt::Call &c) {
    auto [self, deadline, max_bytes, plain_http] = c.args<4>();
    self.attr("deadline") = deadline;
    self.attr("max_bytes") = max_bytes;
    self.attr("plain_http") = py::bool_(rt::truthy(plain_http));
    // The exchanges under way, by thread: the sockets each opened.
    self.attr("_live") = py::dict();
    self.attr("_aborted") = py::bool_(false);
    c.super().attr("__init__")();
    return py::none();
}

// Whoever gave up waiting for the exchanges (a login that ends) cuts them:
// their threads end at once instead of at their deadlines; no new one starts.
py::object adapter_abort(rt::Call &c) {
    c.self().attr("_aborted") = py::bool_(true);
    for (py::handle sockets : py::list(c.self().attr("_live").attr("values")()))
        for (py::handle sock : rt::builtin("list")(sockets)) shut(c, sock);
    return py::none();
}

py::object abort_exchanges(rt::Call &c) {
    auto [session] = c.args<1>();
    for (py::handle adapter : py::list(session.attr("adapters").attr("values")()))
        if (rt::isinstance(adapter, c.g("BoundedAdapter"))) adapter.attr("abort")();
    return py::none();
}

py::object init_poolmanager(rt::Call &c) {
    auto [self, args, kwargs] = c.args<3>();
    c.super().attr("init_poolmanager")(*args, **kwargs);
    watch_pools(c, self.attr("poolmanager"));
    return py::none();
}

py::object proxy_manager_for(rt::Call &c) {
    auto [self, proxy, kwargs] = c.args<3>();
    py::object manager = c.super().attr("proxy_manager_for")(proxy, **kwargs);
    watch_pools(c, manager);
    return manager;
}

// The caller's timeouts (None, one number, or connect and read) never longer
// than the deadline; urllib3's own Timeout objects pass as they are.
py::object within(py::handle timeout, py::handle deadline) {
    auto limit = [&](py::handle t) { return t.is_none() ? rt::own(deadline) : rt::builtin("min")(t, deadline); };
    if (timeout.is_none()) return py::make_tuple(deadline, deadline);
    if (rt::isinstance(timeout, rt::builtin("tuple"))) {
        py::tuple pair(rt::own(timeout));
        return py::make_tuple(limit(pair[0]), limit(pair[1]));
    }
    if (rt::isinstance(timeout, py::make_tuple(rt::builtin("int"), rt::builtin("float"))))
        return py::make_tuple(limit(timeout), limit(timeout));
    return rt::own(timeout);
}

[[noreturn]] void too_large(rt::Call &c, py::handle self, py::handle request, py::handle response) {
    response.attr("close")();
    rt::raise(c.g("AnswerTooLarge"),
              rt::text({"The answer from ", endpoint_of(c, request.attr("url")), " is larger than ",
                        self.attr("max_bytes"), " bytes: refused."}),
              "request"_a = request, "response"_a = response);
}

// Reads the answer's body, refusing it as soon as it is known to be too
// large: from its announced length, or while it arrives.
void read_capped(rt::Call &c, py::handle self, py::handle request, py::handle response) {
    py::object max_bytes = self.attr("max_bytes");
    py::object announced = response.attr("headers").attr("get")("Content-Length");
    if (!announced.is_none() && rt::truthy(announced.attr("strip")().attr("isdigit")()) &&
        greater(py::int_(announced), max_bytes))
        too_large(c, self, request, response);
    py::list chunks;
    size_t received = 0;
    for (py::handle chunk : response.attr("iter_content")(1U << 16U)) {
        received += py::len(chunk);
        if (greater(py::int_(received), max_bytes)) too_large(c, self, request, response);
        chunks.append(chunk);
    }
    response.attr("_content") = py::bytes("").attr("join")(chunks);
}

py::object adapter_send(rt::Call &c) {
    auto [self, request, stream, timeout, verify, cert, proxies] = c.args<7>();
    (void)stream;  // the answer is always read here, capped
    if (rt::truthy(self.attr("_aborted")))
        rt::raise(c.g("ConnectionError"),
                  rt::text({"Not sent to ", endpoint_of(c, request.attr("url")), ": its exchanges were aborted."}),
                  "request"_a = request);
    // Whatever a login sends (its secrets, its codes, its tokens) never
    // crosses a network in the clear, wherever an answer points it.
    if (!rt::truthy(self.attr("plain_http")) && plain_http_elsewhere(c, request.attr("url")))
        refuse_plain_http(c, request.attr("url"), py::str("address"));
    py::object deadline = self.attr("deadline");
    py::object threading = c.g("threading");
    py::object exchange = c.g("_exchange");
    py::list sockets;
    py::object expired = threading.attr("Event")();
    // Not a daemon: a daemon thread is stopped dead when it wakes during the
    // interpreter's finalization, and this module's code must not be on its
    // stack then. Cancelled, it ends at once.
    py::object watchdog = threading.attr("Timer")(deadline, c.g("_cut_exchange"), py::make_tuple(sockets, expired));
    py::object live = self.attr("_live");
    py::object thread_id = threading.attr("get_ident")();
    exchange.attr("sockets") = sockets;
    live[thread_id] = sockets;
    auto finish = [&] {
        watchdog.attr("cancel")();
        if (rt::truthy(watchdog.attr("is_alive")())) watchdog.attr("join")();
        live.attr("pop")(thread_id, py::none());
        exchange.attr("sockets") = py::none();
        // No connection outlives its exchange: a pooled one would be used
        // again without a watchdog.
        self.attr("close")();
        for (py::handle sock : sockets) sock.attr("close")();
    };
    py::object response;
    try {
        watchdog.attr("start")();
        response = c.super().attr("send")(request, "stream"_a = true, "timeout"_a = within(timeout, deadline),
                                          "verify"_a = verify, "cert"_a = cert, "proxies"_a = proxies);
        read_capped(c, self, request, response);
    } catch (py::error_already_set &e) {
        finish();
        if (!rt::truthy(expired.attr("is_set")()) || !e.matches(PyExc_Exception)) throw;
        response = py::object();
    } catch (...) {
        finish();
        throw;
    }
    if (response) finish();
    // Cut by the watchdog: whatever the cut looked like from inside (a
    // reset, an incomplete body, or, cut between headers, what the HTTP
    // client takes for a whole empty answer), the exchange ran out of time.
    if (rt::truthy(expired.attr("is_set")()))
        rt::raise(
            c.g("ReadTimeout"),
            rt::text({"No complete answer from ", endpoint_of(c, request.attr("url")), " within ", deadline, " s."}),
            "request"_a = request);
    return response;
}

py::object bounded_session(rt::Call &c) {
    auto [deadline, max_bytes, plain_http] = c.args<3>();
    py::object adapter = c.g("BoundedAdapter")(deadline.is_none() ? c.g("AUTH_REQUEST_TIMEOUT") : deadline,
                                               max_bytes.is_none() ? c.g("AUTH_MAX_ANSWER_BYTES") : max_bytes,
                                               "plain_http"_a = plain_http);
    py::object session = c.g("requests").attr("Session")();
    session.attr("mount")("https://", adapter);
    session.attr("mount")("http://", adapter);
    return session;
}

constexpr const char *BOUNDED_SESSION_DOC =
    R"(A ``requests`` session whose every exchange is bounded as a whole.

Each request (each hop of a redirect, when one is followed) must be complete,
answer included, within ``deadline`` seconds (``AUTH_REQUEST_TIMEOUT`` when
None), or it raises ``requests.exceptions.ReadTimeout``; an answer larger than
``max_bytes`` (``AUTH_MAX_ANSWER_BYTES`` when None) raises ``AnswerTooLarge``,
from its announced length before anything is read, or as soon as it grows past
the cap. Connections are never reused between exchanges. Unless
``plain_http``, a request over plain http to another machine than this one is
refused (``PlainHttpRefused``) before anything is sent.)";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("socket");
    mod.import("threading");
    mod.from("ipaddress", {"ip_address"});
    mod.from("typing", {"Optional"});
    mod.from("urllib.parse", {"urlsplit"});
    mod.import("requests");
    mod.from("requests.adapters", {"HTTPAdapter"});
    mod.from("requests.exceptions", {"ConnectionError", "ReadTimeout", "RequestException"});
    mod.from("urllib3.connection", {"HTTPConnection", "HTTPSConnection"});
    mod.from("urllib3.connectionpool", {"HTTPConnectionPool", "HTTPSConnectionPool"});
    mod.from("tavro_experiment_tracking.constants", {"AUTH_MAX_ANSWER_BYTES", "AUTH_REQUEST_TIMEOUT"});
}

RT_MODULE(exchanges, m) {
    rt::Module mod(m);
    import_names(mod);
    rt::ClassDef(mod, "AnswerTooLarge", {mod.get("RequestException")},
                 "An answer larger than a login's exchange accepts: refused before it was read whole.")
        .build();
    rt::ClassDef(mod, "PlainHttpRefused", {mod.get("RequestException")},
                 "A login's request to another machine over plain http: refused before anything was sent.")
        .build();
    mod.def("check_endpoint", {arg("url"), arg("what")}, check_endpoint,
            rt::doc("Raise ``PlainHttpRefused``, naming ``what`` and ``url``, when ``url`` is plain http to another "
                    "machine than this one (a login would send its secrets there in the clear)."),
            rt::returns("None"));
    // The exchange under way on each thread: the sockets its connections opened.
    mod.set("_exchange", mod.get("threading").attr("local")());
    mod.def("_cut_exchange", {arg("sockets"), arg("expired")}, cut_exchange,
            rt::doc("The watchdog: shut down every socket of an exchange that ran out of time."), rt::returns("None"));
    for (const char *base : {"HTTPConnection", "HTTPSConnection"}) {
        std::string connection = std::string("_Watched") + base;
        rt::ClassDef(mod, connection.c_str(), {mod.get(base)})
            .method("_new_conn", {arg("self")}, watched_new_conn)
            .build();
        rt::ClassDef(mod, (connection + "Pool").c_str(), {mod.get((std::string(base) + "Pool").c_str())})
            .attr("ConnectionCls", mod.get(connection.c_str()))
            .build();
    }
    rt::ClassDef(mod, "BoundedAdapter", {mod.get("HTTPAdapter")},
                 "A transport adapter that bounds each exchange as a whole (see ``bounded_session``).")
        .method("__init__",
                {arg("self"), arg("deadline"), arg("max_bytes"), rt::kwonly("plain_http").def(py::bool_(false))},
                adapter_init)
        .method("abort", {arg("self")}, adapter_abort,
                rt::doc("Cut every exchange under way: each fails at once with a connection error."),
                rt::returns("None"))
        .method("init_poolmanager", {arg("self"), rt::varargs("args"), rt::varkw("kwargs")}, init_poolmanager)
        .method("proxy_manager_for", {arg("self"), arg("proxy"), rt::varkw("proxy_kwargs")}, proxy_manager_for)
        .method("send",
                {arg("self"), arg("request"), arg("stream").def(py::bool_(false)), arg("timeout").def_none(),
                 arg("verify").def(py::bool_(true)), arg("cert").def_none(), arg("proxies").def_none()},
                adapter_send)
        .build();
    mod.def("bounded_session",
            {arg("deadline").def_none(), arg("max_bytes").def_none(), rt::kwonly("plain_http").def(py::bool_(false))},
            bounded_session, rt::doc(BOUNDED_SESSION_DOC), rt::returns("requests.Session"));
    mod.def("abort_exchanges", {arg("session")}, abort_exchanges,
            rt::doc("Cut every exchange under way on a session made by ``bounded_session``."), rt::returns("None"));
}
