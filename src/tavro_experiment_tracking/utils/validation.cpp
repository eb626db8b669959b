// Checks made before talking to the tracking server.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// A probe whose whole exchange (connecting, a proxy's tunnel, TLS, the
// request and the answer's status line) must end by a deadline: every
// blocking step gets what is left of it, so a server that answers one byte at
// a time cannot stretch it.
class Probe {
public:
    Probe(rt::Call &c, py::object deadline) : c_(c), deadline_(std::move(deadline)) {}

    py::object remaining() {
        py::object left = deadline_ - c_.g("time").attr("monotonic")();
        if (!(left > py::int_(0))) rt::raise(c_.g("socket").attr("timeout"), "probe timed out");
        return left;
    }

    // Reads until the end of the first line (the status line) or of the
    // header block; returns what was read.
    py::bytes read_until(py::handle sock, const char *end) {
        py::bytes buffer("");
        while (!rt::contains(buffer, py::bytes(end)) && py::len(buffer) < 65536) {
            sock.attr("settimeout")(remaining());
            py::bytes chunk = sock.attr("recv")(4096);
            if (!py::len(chunk)) break;
            buffer = buffer.attr("__add__")(chunk);
        }
        return buffer;
    }

    // The status code of an answer's status line, or None.
    static py::object status_of(const py::bytes &answer) {
        py::list words = answer.attr("split")(py::bytes("\r\n"), 1)[py::int_(0)].attr("split")();
        if (py::len(words) < 2 || !rt::truthy(words[0].attr("startswith")(py::bytes("HTTP/"))) ||
            !rt::truthy(words[1].attr("isdigit")()))
            return py::none();
        return py::int_(words[1]);
    }

    // GET `url` and return the status code, or None when nothing usable came.
    py::object get(py::handle url) {
        py::object parts = c_.g("urlsplit")(url);
        bool https = rt::equal(parts.attr("scheme").attr("lower")(), py::str("https"));
        py::object host = parts.attr("hostname");
        if (host.is_none()) return py::none();
        py::object port = parts.attr("port");
        if (port.is_none()) port = py::int_(https ? 443 : 80);
        bool ipv6 = rt::contains(host, py::str(":"));
        py::object netloc = rt::text({ipv6 ? "[" : "", host, ipv6 ? "]" : "", ":", port});
        // A proxy the environment names for this address, as the tracking
        // library's own requests would use it.
        py::object utils = c_.g("requests").attr("utils");
        py::object proxy = utils.attr("select_proxy")(url, utils.attr("get_environ_proxies")(url));
        py::object target_host = host, target_port = port;
        if (!proxy.is_none()) {
            py::object proxy_parts = c_.g("urlsplit")(proxy);
            target_host = proxy_parts.attr("hostname");
            target_port = proxy_parts.attr("port");
            if (target_port.is_none()) target_port = py::int_(80);
        }
        py::object sock = c_.g("socket").attr("create_connection")(py::make_tuple(target_host, target_port),
                                                                   "timeout"_a = remaining());
        return rt::finally([&] { return exchange(sock, parts, https, host, netloc, !proxy.is_none(), url); },
                           [&] { sock.attr("close")(); });
    }

private:
    py::object exchange(py::object &sock, py::handle parts, bool https, py::handle host, py::handle netloc,
                        bool proxied, py::handle url) {
        if (proxied && https) {
            sock.attr("sendall")(
                rt::text({"CONNECT ", netloc, " HTTP/1.1\r\nHost: ", netloc, "\r\n\r\n"}).attr("encode")("ascii"));
            py::bytes answer = read_until(sock, "\r\n\r\n");
            if (!rt::equal(status_of(answer), py::int_(200))) return py::none();
        }
        if (https) {
            // Only whether a server answers is asked, and no credential is
            // sent: the tracking library makes the verified connections.
            py::object ssl = c_.g("ssl");
            py::object context = ssl.attr("create_default_context")();
            context.attr("check_hostname") = false;
            context.attr("verify_mode") = ssl.attr("CERT_NONE");
            sock.attr("settimeout")(remaining());
            sock = context.attr("wrap_socket")(sock, "server_hostname"_a = host);
        }
        py::object path = parts.attr("path");
        if (rt::truthy(parts.attr("query"))) path = rt::text({path, "?", parts.attr("query")});
        py::object target = proxied && !https ? rt::own(url) : path;
        py::str request =
            rt::text({"GET ", target, " HTTP/1.1\r\nHost: ", netloc, "\r\nAccept: */*\r\nConnection: close\r\n\r\n"});
        sock.attr("settimeout")(remaining());
        sock.attr("sendall")(request.attr("encode")("ascii"));
        return status_of(read_until(sock, "\r\n"));
    }

    rt::Call &c_;
    py::object deadline_;
};

py::object is_cloud(rt::Call &c) {
    py::object value = c.g("os").attr("environ").attr("get")(c.g("ENV_KOVA_CLOUD"), "");
    py::object v = value.attr("strip")().attr("lower")();
    return py::bool_(!rt::contains(py::make_tuple("", "0", "false", "no"), v));
}

// The scheme the tracking library itself picks its store by; None for an
// address too malformed to have one ("http://[::1").
py::object scheme_of(rt::Call &c, py::handle address) {
    try {
        return c.g("urlsplit")(address).attr("scheme").attr("lower")();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ValueError)) return py::none();
        throw;
    }
}

// Why nobody answers at `address` as a tracking server does, in a few
// words; None when a server answers.
py::object why_no_answer(rt::Call &c, py::handle address) {
    py::object timeout = c.g("SERVER_PROBE_TIMEOUT");
    py::object deadline = c.g("time").attr("monotonic")() + timeout;
    try {
        py::object status = Probe(c, deadline).get(rt::text({address, "/health"}));
        if (rt::contains(py::make_tuple(200, 401, 403), status)) return py::none();
        bool plain = rt::truthy(py::str(address).attr("lower")().attr("startswith")("http:"));
        if (status.is_none())
            return plain ? py::str(
                               "no HTTP answer at /health (a server that speaks TLS? then the address starts "
                               "with https://)")
                         : py::str("no HTTP answer at /health");
        // nginx's answer to plain HTTP on its TLS port.
        if (plain && rt::equal(status, py::int_(400)))
            return py::str(
                "it answered /health with status 400 (a server that speaks TLS? then the address starts "
                "with https://)");
        return rt::text({"it answered /health with status ", status, ": no tracking server there"});
    } catch (py::error_already_set &e) {
        // Refused, timed out, unresolvable, not speaking HTTP or malformed:
        // nobody answers there.
        // A server of plain HTTP waits for a request that a TLS handshake never sends.
        if (e.matches(c.g("socket").attr("timeout")))
            return rt::text({"no answer within ", timeout, " s",
                             rt::truthy(py::str(address).attr("lower")().attr("startswith")("https:"))
                                 ? py::str(" (a server that speaks plain HTTP? then the address starts with http://)")
                                 : py::str("")});
        if (e.matches(c.g("socket").attr("gaierror"))) return py::str("its host name is not known");
        if (e.matches(c.g("ssl").attr("SSLError")))
            return rt::text({"the TLS handshake failed (", py::str(py::getattr(e.value(), "reason", e.value())),
                             "): a server that speaks plain HTTP? then the address starts with http://"});
        if (e.matches(PyExc_OSError)) {
            py::object error = py::getattr(e.value(), "errno", py::none());
            if (!error.is_none()) return c.g("os").attr("strerror")(error);
            return py::str(e.value());
        }
        if (e.matches(PyExc_ValueError)) return rt::text({"not an address: ", py::str(e.value())});
        throw;
    }
}

bool server_answers(rt::Call &c, py::handle address) {
    return why_no_answer(c, address).is_none();
}

py::object server_problem(rt::Call &c) {
    auto [address] = c.args<1>();
    if (address.is_none()) return py::str("no tracking server is named");
    py::object scheme = scheme_of(c, address);
    if (scheme.is_none()) return py::str("not an address");
    if (rt::contains(py::make_tuple("http", "https"), scheme)) return why_no_answer(c, address);
    if (rt::truthy(c.g("is_server_up")(address))) return py::none();
    // "host:5000" reads as the scheme "host": a host and a port, no scheme.
    py::str rest = py::str(address)[py::slice(py::len(scheme) + 1, py::len(address), 1)];
    if (!rt::truthy(scheme) || (rt::truthy(rest) && rt::truthy(rest.attr("isdigit")())))
        return py::str(
            "the address has no scheme, and no folder of that name is there (a server's address starts "
            "with http:// or https://)");
    py::list parts = scheme.attr("split")("+");
    if (!rt::contains(py::make_tuple("file", "sqlite", "postgresql", "mysql", "mssql"), parts[0]))
        return rt::text({"'", scheme,
                         ":' is no scheme a tracking server is reached by (http, https; or a store: "
                         "file, sqlite, postgresql, mysql, mssql)"});
    return py::str("no tracking store is there");
}

py::object is_server_up(rt::Call &c) {
    auto [address] = c.args<1>();
    if (address.is_none()) return py::bool_(false);
    py::object scheme = scheme_of(c, address);
    if (scheme.is_none()) return py::bool_(false);
    if (!rt::truthy(scheme)) return c.g("os").attr("path").attr("isdir")(address);
    if (rt::equal(scheme, py::str("file"))) return py::bool_(true);
    py::list parts = scheme.attr("split")("+");
    if (parts.size() <= 2 && rt::contains(py::make_tuple("sqlite", "postgresql", "mysql", "mssql"), parts[0]))
        return py::bool_(true);
    if (!rt::contains(py::make_tuple("http", "https"), scheme)) return py::bool_(false);
    return py::bool_(server_answers(c, address));
}

py::object validate_keys_already_exists(rt::Call &c) {
    auto [params, logged] = c.args<2>();
    py::list conflicts;
    for (py::handle param : params) {
        py::object key = param.attr("key");
        if (!rt::contains(logged, key)) continue;
        py::str old_value = py::str(logged[key]);
        py::str new_value(param.attr("value"));
        if (rt::equal(old_value, new_value)) continue;
        conflicts.append(py::str("key={} (logged value={}, new value={})")
                             .format(py::repr(key), py::repr(old_value), py::repr(new_value)));
    }
    return py::str(", ").attr("join")(conflicts);
}

constexpr const char *IS_SERVER_UP_DOC = R"(True when a tracking store really is at ``address`` (no trailing slash).

An HTTP(S) address is probed at its ``/health`` endpoint, the whole exchange
bounded by ``SERVER_PROBE_TIMEOUT`` seconds (through the proxy the environment
names for it, if any);
an answer that only asks for credentials counts as up, since the server is
there. A ``file:`` URI, a database URI (``sqlite:``, ``postgresql:``,
``mysql:``, ``mssql:``, with or without a driver) and the path of an existing
directory are stores the tracking library opens itself. Anything else is not
up: a ``host:port`` or a bare host name without a scheme would otherwise be
taken for a folder to create, or for a store nobody serves.)";

constexpr const char *VALIDATE_KEYS_DOC =
    R"(Report the parameters of ``params`` (records with ``key`` and ``value``) that
``logged_params`` (key -> logged text) already holds with a different value.

Returns an empty string when the batch may be written, else a description
naming each conflicting key with its logged and its new value.)";

}  // namespace

RT_MODULE(validation, m) {
    rt::Module mod(m);
    mod.import("os");
    mod.import("socket");
    mod.import("ssl");
    mod.import("time");
    mod.import("requests");
    mod.from("typing", {"Optional"});
    mod.from("urllib.parse", {"urlsplit"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_KOVA_CLOUD", "SERVER_PROBE_TIMEOUT"});

    mod.def("is_cloud", {}, is_cloud, rt::returns("bool"),
            rt::doc(R"(True when the process runs on the cloud platform, which says so through the
environment variable named by ``ENV_KOVA_CLOUD``.)"));
    mod.def("is_server_up", {arg("address").checked_str()}, is_server_up, rt::doc(IS_SERVER_UP_DOC),
            rt::returns("bool"));
    mod.def("server_problem", {arg("address").checked_str()}, server_problem,
            rt::doc("Why no tracking store is at ``address`` (no trailing slash), in a few words (the system's "
                    "reason for a failed connection, a time-out, an unexpected status), as ``is_server_up`` "
                    "probes it; None when one is."),
            rt::returns("Optional[str]"));
    mod.def("_validate_keys_already_exists", {arg("params"), arg("logged_params")}, validate_keys_already_exists,
            rt::doc(VALIDATE_KEYS_DOC), rt::returns("str"));
}
