// The console: where a run is, said on standard error when it starts and
// when it ends (its address in the tracking server's UI, or, offline, where
// it is kept and how to send it), and, on a terminal, a short summary at its
// end: status, duration, and the last value and the course of a few metrics.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "parts.hpp"

namespace client_parts {

using namespace py::literals;

namespace {

bool console_on(rt::Call &c) {
    py::object value = c.g("os").attr("environ").attr("get")(c.g("ENV_CONSOLE"));
    if (value.is_none()) return true;
    return !rt::contains(py::make_tuple("", "0", "false", "no", "off"), value.attr("strip")().attr("lower")());
}

void say(rt::Call &c, const py::str &line) {
    py::object err = c.g("sys").attr("stderr");
    if (err.is_none()) return;
    try {
        err.attr("write")(rt::text({line, "\n"}));
        err.attr("flush")();
    } catch (py::error_already_set &e) {
        // A closed or broken standard error takes nothing from the run.
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// "▁▂▃▅▇" for a series of values; flat when they are all one.
std::string sparkline(const std::vector<double> &values) {
    static const char *const BARS[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    double low = 0, high = 0;
    bool first = true;
    for (double v : values) {
        if (!std::isfinite(v)) continue;
        low = first ? v : std::min(low, v);
        high = first ? v : std::max(high, v);
        first = false;
    }
    std::string out;
    for (double v : values) {
        if (!std::isfinite(v)) {
            out += ' ';
            continue;
        }
        int bar = high > low ? static_cast<int>(std::lround(((v - low) / (high - low)) * 7.0)) : 3;
        out += BARS[std::clamp(bar, 0, 7)];
    }
    return out;
}

// "3.2 s", "4 min 05 s", "1 h 02 min".
std::string duration(double seconds) {
    char text[64];
    if (seconds < 60)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else if (seconds < 3600)
        std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds) / 60,
                      static_cast<int>(seconds) % 60);
    else
        std::snprintf(text, sizeof text, "%d h %02d min", static_cast<int>(seconds) / 3600,
                      static_cast<int>(seconds) % 3600 / 60);
    return text;
}

}  // namespace

// The address of an experiment (or of one of its runs) in the tracking
// server's UI, or None for a store that is no server. Credentials in the
// address are left out, and a trailing slash makes no "//".
py::object ui_url(rt::Call &c) {
    auto [tracking_uri, experiment_id, run_id] = c.args<3>();
    if (tracking_uri.is_none() || experiment_id.is_none()) return py::none();
    py::object parts = c.g("urllib_parse").attr("urlsplit")(py::str(tracking_uri));
    py::str scheme = py::str(parts.attr("scheme")).attr("lower")();
    if (!rt::equal(scheme, py::str("http")) && !rt::equal(scheme, py::str("https"))) return py::none();
    py::object host = parts.attr("hostname");
    if (host.is_none()) return py::none();
    py::str netloc = rt::truthy(host.attr("__contains__")(":")) ? rt::text({"[", host, "]"}) : py::str(host);
    py::object port = parts.attr("port");
    if (!port.is_none()) netloc = rt::text({netloc, ":", py::str(port)});
    py::str path = py::str(parts.attr("path")).attr("rstrip")("/");
    py::str url = rt::text({scheme, "://", netloc, path, "/#/experiments/", py::str(experiment_id)});
    if (!run_id.is_none()) url = rt::text({url, "/runs/", py::str(run_id)});
    return url;
}

// A run started (or opened again): said, and remembered for its end.
py::object say_started(rt::Call &c) {
    auto [tracking_uri, run, name, reopened] = c.args<4>();
    py::object info = run.attr("info");
    py::object run_id = info.attr("run_id");
    py::str what = name.is_none() ? rt::text({"Iteration ", run_id})
                                  : rt::text({"Iteration ", py::repr(name), " (run ", run_id, ")"});
    c.g("_console_runs")[run_id] =
        py::make_tuple(what, tracking_uri, info.attr("experiment_id"), c.g("time").attr("monotonic")());
    if (!console_on(c)) return py::none();
    py::object url = c.g("_ui_url")(tracking_uri, info.attr("experiment_id"), run_id);
    py::str verb = rt::truthy(reopened) ? py::str("reopened") : py::str("started");
    if (!url.is_none()) {
        say(c, rt::text({"tavro: ", what, " ", verb, ": ", url}));
    } else if (rt::truthy(c.g("offline_mode")())) {
        say(c, rt::text({"tavro: ", what, " ", verb, " offline, kept in ", py::str(tracking_uri),
                         "; send it with: ", c.g("sync_command")(py::none())}));
    } else {
        say(c, rt::text({"tavro: ", what, " ", verb, " in ", py::str(tracking_uri)}));
    }
    return py::none();
}

// A run ended with `status`: said with its address, and on a terminal its
// summary, from what this process logged into it.
py::object say_ended(rt::Call &c) {
    auto [run_id, status] = c.args<2>();
    py::object known = c.g("_console_runs").attr("pop")(run_id, py::none());
    if (known.is_none() || !console_on(c)) return py::none();
    py::object what = known[py::int_(0)], tracking_uri = known[py::int_(1)];
    py::object url = c.g("_ui_url")(tracking_uri, known[py::int_(2)], run_id);
    say(c, rt::text({"tavro: ", what, " ", py::str(status), url.is_none() ? py::str("") : rt::text({": ", url})}));
    py::object err = c.g("sys").attr("stderr");
    bool terminal = false;
    try {
        terminal = !err.is_none() && rt::truthy(err.attr("isatty")());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    if (!terminal) return py::none();
    double took = py::float_(c.g("time").attr("monotonic")()).cast<double>() - known[py::int_(3)].cast<double>();
    say(c, rt::text({"      ", py::str(status), " after ", py::str(duration(took))}));
    for (py::handle source : py::list(c.g("_console_histories"))) {
        for (py::handle series : source(run_id)) {
            py::object key = series[py::int_(0)], last = series[py::int_(1)];
            std::vector<double> values;
            for (py::handle v : series[py::int_(2)]) values.push_back(v.cast<double>());
            say(c, py::str("      {:<24} {:>12.6g}  {}").format(key, last, py::str(sparkline(values))));
        }
    }
    return py::none();
}

}  // namespace client_parts
