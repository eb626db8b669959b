// Checks made before talking to the tracking server.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

RT_MODULE(validation, m) {
    rt::Module mod(m);
    mod.import("os");
    mod.import("requests");
    mod.from("urllib.parse", {"urlsplit"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_KOVA_CLOUD", "SERVER_PROBE_TIMEOUT"});

    mod.def("is_cloud", {},
            "True when the process runs on the cloud platform, which says so through the\n"
            "environment variable named by ``ENV_KOVA_CLOUD``.",
            "bool", [](rt::Call &c) -> py::object {
                py::object value = c.g("os").attr("environ").attr("get")(c.g("ENV_KOVA_CLOUD"), "");
                std::string v = rt::str(value.attr("strip")().attr("lower")());
                return py::bool_(!(v.empty() || v == "0" || v == "false" || v == "no"));
            });

    mod.def("is_server_up", {arg("address").ann("str")},
            "True when a tracking store really is at ``address`` (no trailing slash).\n\n"
            "An HTTP(S) address is probed at its ``/health`` endpoint with a short timeout;\n"
            "an answer that only asks for credentials counts as up, since the server is\n"
            "there. A ``file:`` URI, a database URI (``sqlite:``, ``postgresql:``,\n"
            "``mysql:``, ``mssql:``, with or without a driver) and the path of an existing\n"
            "directory are stores the tracking library opens itself. Anything else is not\n"
            "up: a ``host:port`` or a bare host name without a scheme would otherwise be\n"
            "taken for a folder to create, or for a store nobody serves.",
            "bool", [](rt::Call &c) -> py::object {
                py::handle address = c[0];
                if (!PyUnicode_Check(address.ptr())) return py::bool_(false);
                // The scheme the tracking library itself picks its store by.
                py::object scheme = c.g("urlsplit")(address).attr("scheme").attr("lower")();
                if (!rt::truthy(scheme)) return c.g("os").attr("path").attr("isdir")(address);
                if (rt::truthy(scheme.attr("__eq__")(py::str("file")))) return py::bool_(true);
                py::list parts = scheme.attr("split")("+");
                if (parts.size() <= 2 && rt::truthy(py::make_tuple("sqlite", "postgresql", "mysql", "mssql")
                                                         .attr("__contains__")(parts[0])))
                    return py::bool_(true);
                if (!rt::truthy(py::make_tuple("http", "https").attr("__contains__")(scheme))) return py::bool_(false);
                py::object requests = c.g("requests");
                try {
                    py::object response = requests.attr("get")(py::str("{}/health").format(address),
                                                                py::arg("timeout") = c.g("SERVER_PROBE_TIMEOUT"),
                                                                py::arg("allow_redirects") = false);
                    int status = response.attr("status_code").cast<int>();
                    return py::bool_(status == 200 || status == 401 || status == 403);
                } catch (py::error_already_set &e) {
                    // Refused, timed out, unresolvable or malformed: nobody answers there.
                    if (e.matches(requests.attr("exceptions").attr("RequestException")) ||
                        e.matches(PyExc_ValueError))
                        return py::bool_(false);
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
