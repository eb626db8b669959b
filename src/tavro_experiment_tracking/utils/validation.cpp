// Checks made before talking to the tracking server.
#include "runtime.hpp"

namespace py = pybind11;
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
        if (!rt::truthy(left.attr("__gt__")(py::int_(0)))) rt::raise(c_.g("socket").attr("timeout"), "probe timed out");
        return left;
    }

    // Reads until the end of the first line (the status line) or of the
    // header block; returns what was read.
    py::bytes read_until(py::handle sock, const char *end) {
        py::bytes buffer("");
        while (!rt::truthy(buffer.attr("__contains__")(py::bytes(end))) && py::len(buffer) < 65536) {
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
        py::object netloc = rt::text({host.attr("__contains__")(":").cast<bool>() ? "[" : "", host,
                                      host.attr("__contains__")(":").cast<bool>() ? "]" : "", ":", port});
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
                                                                   py::arg("timeout") = remaining());
        try {
            py::object result = exchange(sock, parts, https, host, netloc, !proxy.is_none(), url);
            sock.attr("close")();
            return result;
        } catch (...) {
            sock.attr("close")();
            throw;
        }
    }

private:
    py::object exchange(py::object &sock, py::handle parts, bool https, py::handle host, py::handle netloc,
                        bool proxied, py::handle url) {
        if (proxied && https) {
            sock.attr("sendall")(rt::text({"CONNECT ", netloc, " HTTP/1.1\r\nHost: ", netloc, "\r\n\r\n"})
                                     .attr("encode")("ascii"));
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
            sock = context.attr("wrap_socket")(sock, py::arg("server_hostname") = host);
        }
        py::object path = parts.attr("path");
        if (rt::truthy(parts.attr("query"))) path = rt::text({path, "?", parts.attr("query")});
        py::object target = proxied && !https ? py::reinterpret_borrow<py::object>(url) : path;
        py::str request = rt::text({"GET ", target, " HTTP/1.1\r\nHost: ", netloc,
                                    "\r\nAccept: */*\r\nConnection: close\r\n\r\n"});
        sock.attr("settimeout")(remaining());
        sock.attr("sendall")(request.attr("encode")("ascii"));
        return status_of(read_until(sock, "\r\n"));
    }

    rt::Call &c_;
    py::object deadline_;
};

}  // namespace

RT_MODULE(validation, m) {
    rt::Module mod(m);
    mod.import("os");
    mod.import("socket");
    mod.import("ssl");
    mod.import("time");
    mod.import("requests");
    mod.from("urllib.parse", {"urlsplit"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_KOVA_CLOUD", "SERVER_PROBE_TIMEOUT"});

    mod.def("is_cloud", {},
            "True when the process runs on the cloud platform, which says so through the\n"
            "environment variable named by ``ENV_KOVA_CLOUD``.",
            "bool", [](rt::Call &c) -> py::object {
                py::object value = c.g("os").attr("environ").attr("get")(c.g("ENV_KOVA_CLOUD"), "");
                py::object v = value.attr("strip")().attr("lower")();
                return py::bool_(!rt::truthy(py::make_tuple("", "0", "false", "no").attr("__contains__")(v)));
            });

    mod.def("is_server_up", {arg("address").str()},
            "True when a tracking store really is at ``address`` (no trailing slash).\n\n"
            "An HTTP(S) address is probed at its ``/health`` endpoint, the whole exchange\n"
            "bounded by ``SERVER_PROBE_TIMEOUT`` seconds (through the proxy the environment\n"
            "names for it, if any);\n"
            "an answer that only asks for credentials counts as up, since the server is\n"
            "there. A ``file:`` URI, a database URI (``sqlite:``, ``postgresql:``,\n"
            "``mysql:``, ``mssql:``, with or without a driver) and the path of an existing\n"
            "directory are stores the tracking library opens itself. Anything else is not\n"
            "up: a ``host:port`` or a bare host name without a scheme would otherwise be\n"
            "taken for a folder to create, or for a store nobody serves.",
            "bool", [](rt::Call &c) -> py::object {
                py::handle address = c[0];
                if (address.is_none()) return py::bool_(false);
                // The scheme the tracking library itself picks its store by.
                py::object scheme;
                try {
                    scheme = c.g("urlsplit")(address).attr("scheme").attr("lower")();
                } catch (py::error_already_set &e) {
                    // Malformed ("http://[::1"): nobody answers there.
                    if (e.matches(PyExc_ValueError)) return py::bool_(false);
                    throw;
                }
                if (!rt::truthy(scheme)) return c.g("os").attr("path").attr("isdir")(address);
                if (rt::truthy(scheme.attr("__eq__")(py::str("file")))) return py::bool_(true);
                py::list parts = scheme.attr("split")("+");
                if (parts.size() <= 2 && rt::truthy(py::make_tuple("sqlite", "postgresql", "mysql", "mssql")
                                                         .attr("__contains__")(parts[0])))
                    return py::bool_(true);
                if (!rt::truthy(py::make_tuple("http", "https").attr("__contains__")(scheme))) return py::bool_(false);
                py::object deadline = c.g("time").attr("monotonic")() + c.g("SERVER_PROBE_TIMEOUT");
                try {
                    py::object status = Probe(c, deadline).get(rt::text({address, "/health"}));
                    return py::bool_(rt::truthy(py::make_tuple(200, 401, 403).attr("__contains__")(status)));
                } catch (py::error_already_set &e) {
                    // Refused, timed out, unresolvable, not speaking HTTP or
                    // malformed: nobody answers there.
                    if (e.matches(PyExc_OSError) || e.matches(PyExc_ValueError)) return py::bool_(false);
                    throw;
                }
            });

    mod.def("_validate_keys_already_exists", {arg("params"), arg("logged_params")},
            "Report the parameters of ``params`` (records with ``key`` and ``value``) that\n"
            "``logged_params`` (key -> logged text) already holds with a different value.\n\n"
            "Returns an empty string when the batch may be written, else a description\n"
            "naming each conflicting key with its logged and its new value.",
            "str", [](rt::Call &c) -> py::object {
                py::handle logged = c[1];
                py::list conflicts;
                for (py::handle param : c[0]) {
                    py::object key = param.attr("key");
                    if (!rt::truthy(logged.attr("__contains__")(key))) continue;
                    py::object old_value = logged.attr("__getitem__")(key);
                    py::object new_value = py::str(param.attr("value"));
                    if (rt::truthy(py::str(old_value).attr("__eq__")(new_value))) continue;
                    conflicts.append(py::str("key={} (logged value={}, new value={})")
                                         .format(py::repr(key), py::repr(py::str(old_value)), py::repr(new_value)));
                }
                return py::str(", ").attr("join")(conflicts);
            });
}
