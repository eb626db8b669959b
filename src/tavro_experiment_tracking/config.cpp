// Authentication configured through the environment, for scripts that pass
// no authenticator to `init` (the variable names are in constants).
#include "runtime.hpp"

#include <cerrno>

#include <vector>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

using Names = std::vector<const char *>;  // names of constants naming variables

// A variable counts as set when it holds more than blanks: `export X=` is how
// people unset things in shell profiles.
py::object read(rt::Call &c, const char *constant) {
    py::object value = c.g("os").attr("environ").attr("get")(c.g(constant));
    if (value.is_none() || !rt::truthy(value.attr("strip")())) return py::none();
    return value;
}

py::str names(rt::Call &c, const Names &constants) {
    py::list out;
    for (const char *constant : constants) out.append(c.g(constant));
    return py::str(", ").attr("join")(out);
}

[[noreturn]] void incomplete(rt::Call &c, const char *kind, const Names &missing, const Names &present) {
    rt::refuse(c, rt::text({"Incomplete ", kind, " configuration in the environment: ", names(c, missing),
                            " not set (found ", names(c, present), ")."}));
}

// What the environment says of one login kind: the variables set, and the
// value of each (None when unset).
struct Variables {
    Names present;
    py::object take(rt::Call &c, const char *constant) {
        py::object value = read(c, constant);
        if (!value.is_none()) present.push_back(constant);
        return value;
    }
};

struct BrowserLogin : Variables {
    py::object issuer, hostname, client_id, client_secret;
};

struct PlatformLogin : Variables {
    py::object refresh_token, token_endpoint, userinfo_endpoint, client_id;
};

// The browser login: the issuer is required; a client id and secret come
// together (a static registration) or not at all (a dynamic one).
BrowserLogin browser_login(rt::Call &c) {
    BrowserLogin login;
    login.issuer = login.take(c, "ENV_OIDC_ISSUER_URL");
    login.hostname = login.take(c, "ENV_OIDC_HOSTNAME");
    login.client_id = login.take(c, "ENV_OIDC_CLIENT_ID");
    login.client_secret = login.take(c, "ENV_OIDC_CLIENT_SECRET");
    if (login.present.empty()) return login;
    Names missing;
    if (login.issuer.is_none()) missing.push_back("ENV_OIDC_ISSUER_URL");
    if (login.client_id.is_none() && !login.client_secret.is_none()) missing.push_back("ENV_OIDC_CLIENT_ID");
    if (!login.client_id.is_none() && login.client_secret.is_none()) missing.push_back("ENV_OIDC_CLIENT_SECRET");
    if (!missing.empty()) incomplete(c, "browser login (OpenID Connect)", missing, login.present);
    return login;
}

// The cloud platform login: three variables required, the client id optional.
PlatformLogin platform_login(rt::Call &c) {
    PlatformLogin login;
    login.refresh_token = login.take(c, "ENV_KOVA_REFRESH_TOKEN");
    login.token_endpoint = login.take(c, "ENV_KOVA_TOKEN_ENDPOINT");
    login.userinfo_endpoint = login.take(c, "ENV_KOVA_USERINFO_ENDPOINT");
    login.client_id = login.take(c, "ENV_KOVA_CLIENT_ID");
    Names missing;
    if (login.refresh_token.is_none()) missing.push_back("ENV_KOVA_REFRESH_TOKEN");
    if (login.token_endpoint.is_none()) missing.push_back("ENV_KOVA_TOKEN_ENDPOINT");
    if (login.userinfo_endpoint.is_none()) missing.push_back("ENV_KOVA_USERINFO_ENDPOINT");
    if (login.present.empty() || missing.empty()) return login;
    // Gone because a login used it: say so, not merely that it is missing.
    py::object used_by = read(c, "ENV_KOVA_REFRESH_TOKEN_USED");
    if (login.refresh_token.is_none() && !used_by.is_none())
        rt::refuse(c, rt::text({"The cloud platform login's refresh token (", c.g("ENV_KOVA_REFRESH_TOKEN"),
                                ") was already used by process ", used_by,
                                ", whose environment this process inherited, and the platform accepts each refresh "
                                "token once. Give this process a refresh token of its own in ",
                                c.g("ENV_KOVA_REFRESH_TOKEN"), ", or pass init() an authenticator."}));
    incomplete(c, "cloud platform login", missing, login.present);
}

// The authenticator class of that name, imported only now: `config` stays a
// light module, and the authenticator's own importers import this one.
py::object authenticator_class(const char *name) {
    return rt::import_module("tavro_experiment_tracking.auth.authenticator").attr(name);
}

py::object check_auth_env_configs(rt::Call &c) {
    BrowserLogin browser = browser_login(c);
    PlatformLogin platform = platform_login(c);
    if (!browser.present.empty() && !platform.present.empty())
        rt::refuse(c, rt::text({"The environment configures both a browser login (OpenID Connect) and a cloud platform "
                                "login (",
                                names(c, browser.present), "; ", names(c, platform.present), "): keep only one."}));
    if (!browser.present.empty()) {
        py::dict kwargs;
        if (!browser.hostname.is_none()) kwargs["hostname"] = browser.hostname;
        kwargs["dcr_enabled"] = py::bool_(browser.client_id.is_none());
        kwargs["client_id"] = browser.client_id;
        kwargs["client_secret"] = browser.client_secret;
        py::object port = read(c, "ENV_OIDC_CALLBACK_PORT");
        if (!port.is_none()) {
            py::str text = py::str(port).attr("strip")();
            if (!rt::truthy(text.attr("isdigit")()) || !rt::truthy(text.attr("isascii")()))
                rt::refuse(c, rt::text({c.g("ENV_OIDC_CALLBACK_PORT"), " must be a port number (1 to 65535), not ",
                                        py::repr(port), "."}));
            kwargs["callback_port"] = rt::builtin("int")(text);
        }
        return authenticator_class("OIDCAuthenticator")(browser.issuer, **kwargs);
    }
    if (!platform.present.empty())
        return authenticator_class("KOVAAuthenticator")(platform.refresh_token, platform.token_endpoint,
                                                        platform.userinfo_endpoint, "client_id"_a = platform.client_id);
    return py::none();
}

// ---- background logging -------------------------------------------------------------

// A positive number of seconds, or a count, given as a setting.
py::object positive(rt::Call &c, py::handle value, const char *name, const char *kind) {
    py::object number = rt::builtin(kind)(value);
    if (!rt::truthy(number.attr("__gt__")(py::int_(0))) || !rt::truthy(c.g("math").attr("isfinite")(number)))
        rt::raise(PyExc_ValueError, rt::text({name, " must be a positive number, not ", py::repr(value)}));
    return number;
}

py::object use_async_logging(rt::Call &c) {
    auto [enabled, flush_interval, max_queued_records, exit_timeout, journal, journal_segment_bytes, requests_in_flight,
          artifact_spool_bytes] = c.args<8>();
    if (!enabled.is_none() && !rt::isinstance(enabled, rt::builtin("bool")))
        rt::raise(PyExc_TypeError, rt::text({"enabled must be True, False or None, not ",
                                             py::type::handle_of(enabled).attr("__name__")}));
    if (!max_queued_records.is_none() && (!rt::isinstance(max_queued_records, rt::builtin("int")) ||
                                          rt::isinstance(max_queued_records, rt::builtin("bool"))))
        rt::raise(PyExc_TypeError, rt::text({"max_queued_records must be an int, not ",
                                             py::type::handle_of(max_queued_records).attr("__name__")}));
    for (auto [count, name] : {std::pair<py::handle, const char *>{journal_segment_bytes, "journal_segment_bytes"},
                               {requests_in_flight, "requests_in_flight"},
                               {artifact_spool_bytes, "artifact_spool_bytes"}})
        if (!count.is_none() &&
            (!rt::isinstance(count, rt::builtin("int")) || rt::isinstance(count, rt::builtin("bool"))))
            rt::raise(PyExc_TypeError,
                      rt::text({name, " must be an int, not ", py::type::handle_of(count).attr("__name__")}));
    if (!journal.is_none() && !rt::isinstance(journal, rt::builtin("bool")))
        rt::raise(PyExc_TypeError, rt::text({"journal must be True, False or None, not ",
                                             py::type::handle_of(journal).attr("__name__")}));
    py::dict changes;
    changes["enabled"] = enabled;
    if (!journal.is_none()) changes["journal"] = journal;
    if (!flush_interval.is_none()) changes["flush_interval"] = positive(c, flush_interval, "flush_interval", "float");
    if (!max_queued_records.is_none())
        changes["max_queued_records"] = positive(c, max_queued_records, "max_queued_records", "int");
    if (!exit_timeout.is_none()) changes["exit_timeout"] = positive(c, exit_timeout, "exit_timeout", "float");
    if (!journal_segment_bytes.is_none())
        changes["journal_segment_bytes"] = positive(c, journal_segment_bytes, "journal_segment_bytes", "int");
    if (!requests_in_flight.is_none())
        changes["requests_in_flight"] = positive(c, requests_in_flight, "requests_in_flight", "int");
    if (!artifact_spool_bytes.is_none())
        changes["artifact_spool_bytes"] = positive(c, artifact_spool_bytes, "artifact_spool_bytes", "int");
    c.g("_async_logging").attr("update")(changes);
    return py::none();
}

// A flag of the environment, read as the platform's flag is: anything but
// empty, 0, false, no; `unset` when the variable is not there.
bool env_flag(rt::Call &c, py::handle name, bool unset) {
    py::object value = c.g("os").attr("environ").attr("get")(name);
    if (value.is_none()) return unset;
    return !rt::contains(py::make_tuple("", "0", "false", "no"), value.attr("strip")().attr("lower")());
}

py::object journal_folder(rt::Call &c) {
    py::object os = c.g("os");
    py::object named = os.attr("environ").attr("get")(c.g("ENV_JOURNAL_DIR"), "");
    if (rt::truthy(named)) return os.attr("path").attr("abspath")(os.attr("path").attr("expanduser")(named));
    py::object cache = os.attr("environ").attr("get")("XDG_CACHE_HOME", "");
    if (!rt::truthy(cache) || !rt::truthy(os.attr("path").attr("isabs")(cache)))
        cache = os.attr("path").attr("join")(os.attr("path").attr("expanduser")("~"), ".cache");
    return os.attr("path").attr("join")(cache, "tavro_experiment_tracking", "journal");
}

py::object use_offline_mode(rt::Call &c) {
    auto [enabled] = c.args<1>();
    if (!enabled.is_none() && !rt::isinstance(enabled, rt::builtin("bool")))
        rt::raise(PyExc_TypeError, rt::text({"enabled must be True, False or None, not ",
                                             py::type::handle_of(enabled).attr("__name__")}));
    c.g("_async_logging")["offline"] = enabled;
    return py::none();
}

py::object offline_mode(rt::Call &c) {
    py::object chosen = c.g("_async_logging").attr("get")("offline");
    if (!chosen.is_none()) return chosen;
    return py::bool_(env_flag(c, c.g("ENV_OFFLINE"), false));
}

// Where iterations meant for `tracking_uri` are kept offline: a store of the
// tracking library's own in the journal folder, one per server, which names
// the server it is meant for (in its file `tracking_uri`).
// A folder the package keeps its user's files in: refused (PermissionError,
// naming it and what to do) when another user owns it or may write in it;
// made for the user alone when it is missing.
void private_folder(rt::Call &c, py::handle folder, const char *what) {
    py::object refusal = rt::folder_refusal(folder);
    if (!refusal.is_none())
        rt::raise(PyExc_PermissionError, py::int_(EPERM),
                  rt::text({"The ", what, " ", folder, " is refused: ", refusal, ". Name a folder of your own in ",
                            c.g("ENV_JOURNAL_DIR"), "."}));
    c.g("os").attr("makedirs")(folder, 0700, "exist_ok"_a = true);
}

py::object offline_store(rt::Call &c) {
    auto [tracking_uri] = c.args<1>();
    py::object os = c.g("os");
    py::str uri = tracking_uri.is_none() ? py::str("") : py::str(tracking_uri);
    py::object digest = c.g("hashlib").attr("sha256")(uri.attr("encode")("utf-8", "surrogatepass")).attr("hexdigest")();
    py::object journals = c.g("journal_folder")();
    private_folder(c, journals, "journal folder");
    private_folder(c, os.attr("path").attr("join")(journals, "offline"), "offline folder");
    py::object folder = os.attr("path").attr("join")(journals, "offline", digest[py::slice(0, 16, 1)]);
    private_folder(c, folder, "offline store");
    // Written once, never through a symbolic link (whatever it names would
    // be written); a sync reads which server the store is for from it.
    py::object named = os.attr("path").attr("join")(folder, "tracking_uri");
    int nofollow = py::int_(os.attr("O_NOFOLLOW")).cast<int>(), cloexec = py::int_(os.attr("O_CLOEXEC")).cast<int>();
    try {
        py::object fd = os.attr("open")(named,
                                        py::int_(os.attr("O_WRONLY")) | py::int_(os.attr("O_CREAT")) |
                                            py::int_(os.attr("O_EXCL")) | py::int_(nofollow) | py::int_(cloexec),
                                        0600);
        rt::finally([&] { os.attr("write")(fd, uri.attr("encode")("utf-8", "surrogatepass")); },
                    [&] { os.attr("close")(fd); });
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_FileExistsError)) throw;
    }
    c.g("_offline_servers")[folder] = uri;
    // Held shared for the life of the process: a sync, which takes it
    // exclusively, leaves a store alone while a process works in it.
    py::dict held = c.g("_offline_locks");
    if (!held.contains(folder)) {
        py::object fd = os.attr("open")(named, py::int_(os.attr("O_RDONLY")) | py::int_(nofollow) | py::int_(cloexec));
        c.g("fcntl").attr("flock")(fd, c.g("fcntl").attr("LOCK_SH"));
        held[folder] = fd;
    }
    return rt::text({"file://", folder});
}

py::object offline_servers(rt::Call &c) {
    return rt::builtin("sorted")(rt::builtin("set")(c.g("_offline_servers").attr("values")()));
}

// The server the user's configuration names, as `init` picks it when a
// script names none: on the cloud platform the workspace's, else the
// tracking library's variable, else the default tracking server.
py::object configured_server(rt::Call &c) {
    py::object environ = c.g("os").attr("environ");
    if (env_flag(c, c.g("ENV_KOVA_CLOUD"), false)) return environ.attr("get")(c.g("ENV_EXP_TRACKING_SERVER_URI"));
    py::object named = environ.attr("get")(c.g("ENV_MLFLOW_TRACKING_URI"));
    if (!named.is_none() && rt::truthy(named.attr("strip")())) return named;
    return c.g("DEFAULT_TRACK_SERVER");
}

py::object sync_command(rt::Call &c) {
    auto [server, path] = c.args<2>();
    py::object quote = c.g("shlex").attr("quote");
    py::str command("python -m tavro_experiment_tracking sync");
    if (!server.is_none()) command = rt::text({command, " --server ", quote(py::str(server))});
    if (!path.is_none()) command = rt::text({command, " ", quote(c.g("os").attr("fspath")(path))});
    return command;
}

// The spool's size as the environment sets it, else the default; a value
// that is no positive count of bytes is refused, naming the variable.
py::object spool_bytes_of_environment(rt::Call &c) {
    py::object name = c.g("ENV_ARTIFACT_SPOOL_BYTES");
    py::object named = c.g("os").attr("environ").attr("get")(name);
    if (named.is_none() || !rt::truthy(named.attr("strip")())) return c.g("ASYNC_ARTIFACT_SPOOL_BYTES");
    try {
        return positive(c, named.attr("strip")(), "artifact_spool_bytes", "int");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        rt::raise_while_handling(e, PyExc_ValueError,
                                 rt::text({name, " must be a positive number of bytes, not ", py::repr(named)}));
    }
}

py::object background_settings(rt::Call &c);

py::object async_logging(rt::Call &c) {
    py::dict chosen = c.g("_async_logging");
    py::object enabled = chosen["enabled"];
    if (enabled.is_none()) enabled = py::bool_(env_flag(c, c.g("ENV_ASYNC_LOGGING"), false));
    // Offline, values are journaled as in the background, and kept.
    bool offline = rt::truthy(c.g("offline_mode")());
    if (!rt::truthy(enabled) && !offline) return py::none();
    return background_settings(c);
}

// Background logging's settings whether or not values are logged in the
// background (the system metrics' figures go through it always).
py::object background_settings(rt::Call &c) {
    py::dict chosen = c.g("_async_logging");
    bool offline = rt::truthy(c.g("offline_mode")());
    py::dict settings;
    settings["flush_interval"] = chosen.attr("get")("flush_interval", c.g("ASYNC_FLUSH_INTERVAL"));
    settings["max_queued_records"] = chosen.attr("get")("max_queued_records", c.g("ASYNC_MAX_QUEUED_RECORDS"));
    settings["exit_timeout"] = chosen.attr("get")("exit_timeout", c.g("ASYNC_EXIT_TIMEOUT"));
    settings["journal_segment_bytes"] = chosen.attr("get")("journal_segment_bytes", c.g("ASYNC_JOURNAL_SEGMENT_BYTES"));
    settings["requests_in_flight"] = chosen.attr("get")("requests_in_flight", c.g("ASYNC_REQUESTS_IN_FLIGHT"));
    settings["artifact_spool_bytes"] = chosen.attr("get")("artifact_spool_bytes", spool_bytes_of_environment(c));
    py::object journal = chosen.attr("get")("journal", py::none());
    bool journaled = offline || (journal.is_none() ? env_flag(c, c.g("ENV_JOURNAL"), true) : rt::truthy(journal));
    settings["journal"] = journaled ? c.g("journal_folder")() : py::none();
    settings["offline"] = py::bool_(offline);
    return settings;
}

// ---- system metrics -------------------------------------------------------------------

py::object use_system_metrics(rt::Call &c) {
    auto [enabled, interval, environment] = c.args<3>();
    for (auto [value, name] : {std::pair<py::handle, const char *>{enabled, "enabled"}, {environment, "environment"}})
        if (!value.is_none() && !rt::isinstance(value, rt::builtin("bool")))
            rt::raise(PyExc_TypeError, rt::text({name, " must be True, False or None, not ",
                                                 py::type::handle_of(value).attr("__name__")}));
    py::dict chosen = c.g("_system_metrics");
    chosen["enabled"] = enabled;
    if (!interval.is_none()) chosen["interval"] = positive(c, interval, "interval", "float");
    if (!environment.is_none()) chosen["environment"] = environment;
    return py::none();
}

py::object system_metrics(rt::Call &c) {
    py::dict chosen = c.g("_system_metrics");
    py::object enabled = chosen["enabled"];
    if (enabled.is_none()) enabled = py::bool_(env_flag(c, c.g("ENV_SYSTEM_METRICS"), false));
    if (!rt::truthy(enabled)) return py::none();
    py::object interval = chosen.attr("get")("interval");
    if (interval.is_none()) {
        py::object name = c.g("ENV_SYSTEM_METRICS_INTERVAL");
        py::object named = c.g("os").attr("environ").attr("get")(name);
        interval = c.g("SYSTEM_METRICS_INTERVAL");
        if (!named.is_none() && rt::truthy(named.attr("strip")())) {
            try {
                interval = positive(c, named.attr("strip")(), "interval", "float");
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_ValueError)) throw;
                rt::raise_while_handling(
                    e, PyExc_ValueError,
                    rt::text({name, " must be a positive number of seconds, not ", py::repr(named)}));
            }
        }
    }
    return py::dict("interval"_a = interval);
}

py::object environment_record_enabled(rt::Call &c) {
    py::object chosen = c.g("_system_metrics").attr("get")("environment");
    if (!chosen.is_none()) return chosen;
    py::object named = c.g("os").attr("environ").attr("get")(c.g("ENV_ENVIRONMENT_RECORD"));
    if (!named.is_none()) return py::bool_(env_flag(c, c.g("ENV_ENVIRONMENT_RECORD"), false));
    return py::bool_(!system_metrics(c).is_none());
}

py::object run_per_job(rt::Call &c) {
    auto [asked] = c.args<1>();
    if (!asked.is_none()) return py::bool_(rt::truthy(asked));
    return py::bool_(env_flag(c, c.g("ENV_RUN_PER_JOB"), false));
}

constexpr const char *USE_SYSTEM_METRICS_DOC =
    R"(Record what the machine does during iterations started from now on (or not).

``enabled=True``: a sampler thread reads the CPU of the process and of its whole
tree of children, memory, disk and network, the cgroup's limits when one
applies, and the GPUs (through NVML, when the machine has it) once a second,
and logs each ``interval`` (seconds; default ``SYSTEM_METRICS_INTERVAL``) as
metrics named ``system/...``: the interval's mean (and the peak of memory,
power and temperature), step counting intervals. ``None``: as the variable named
by ``ENV_SYSTEM_METRICS`` says (the interval then from
``ENV_SYSTEM_METRICS_INTERVAL``). The figures go through background logging's
journal whatever the logging mode: a server away loses none, and no logging call
waits for them. ``environment`` (None: on with system metrics unless
``ENV_ENVIRONMENT_RECORD`` says) records, when a new iteration starts, the git
commit, branch and remote as run tags and an artifact ``environment.json``:
whether the tree is dirty and its diff, the command line (secrets masked),
Python and the installed distributions, the host, CPUs, memory and GPUs.)";

constexpr const char *USE_ASYNC_LOGGING_DOC =
    R"(Log metrics and parameters in the background (or not), for iterations started from now on.

``enabled=True``: ``log_metric``, ``log_metrics``, ``log_param`` and ``log_params``
return once the values are queued; one sender thread sends them in order, in
batches, retrying while the server is away. ``False``: every call talks to the
server itself, the default. ``None``: as the environment variable named by
``ENV_ASYNC_LOGGING`` says. The keywords change a setting and keep the others:
``flush_interval`` (seconds a queued value may wait for others to share its
request), ``max_queued_records`` (beyond, a logging call waits for room) and
``exit_timeout`` (seconds the interpreter's exit, ``end()`` and leaving a ``with``
block wait for the queue to empty) and ``journal`` (every value is written into
a journal in ``journal_folder()`` before the call returns, so that a process
killed or a server unreachable at the exit loses nothing: ``python -m
tavro_experiment_tracking sync`` sends it later; unless chosen here, on unless the
variable named by ``ENV_JOURNAL`` says 0, false or no). With the journal on, the
journal is the queue: the sender reads the values back from it, a logging call
never waits for room, and memory holds none of them; ``max_queued_records``
bounds the queue only without a journal. A run's journal is kept in segments of
about ``journal_segment_bytes`` (``ASYNC_JOURNAL_SEGMENT_BYTES``); a segment the
server has whole is removed while the run goes on. ``requests_in_flight``
(``ASYNC_REQUESTS_IN_FLIGHT``) is how many requests the sender has under way at
once when a backlog makes several batches (each run's parameters still reach the
server in the order they were logged). With the journal on, ``log_artifact`` and
``log_artifacts`` return once the files are snapshotted into the journal folder's
spool (the server gets them as they were at the call), and a helper process
uploads them; ``artifact_spool_bytes`` (``ASYNC_ARTIFACT_SPOOL_BYTES``, or the
variable named by ``ENV_ARTIFACT_SPOOL_BYTES``) bounds what waits there (a call
waits for room beyond; a larger file is uploaded at the call).)";

constexpr const char *ASYNC_LOGGING_DOC =
    R"(The background logging settings in force, or None when iterations log synchronously.

``journal`` is the journal folder, or None when values are not journaled.)";

constexpr const char *USE_OFFLINE_MODE_DOC =
    R"(Work offline (or not), from the next ``init`` on: no login, no server contacted.

``init`` gets or creates the experiment, and iterations start, log, take
artifacts (copied when logged) and end, in a store kept in the journal folder
(``journal_folder()``) for the server ``init`` was given, with local IDs; values
are journaled as in the background. ``python -m tavro_experiment_tracking sync``
later sends everything there, with the original names, tags, user, time stamps
and statuses. ``None``: as the environment variable named by ``ENV_OFFLINE`` says.)";

constexpr const char *JOURNAL_FOLDER_DOC =
    R"(The folder background logging keeps its journals in: the one the variable
named by ``ENV_JOURNAL_DIR`` names, or ``tavro_experiment_tracking/journal`` in
the user's cache folder (``$XDG_CACHE_HOME``, else ``~/.cache``).)";

constexpr const char *CONFIGURED_SERVER_DOC =
    R"(The tracking server the configuration names, the one ``init`` uses when a
script names none: on the cloud platform the variable named by
``ENV_EXP_TRACKING_SERVER_URI`` (None when unset), else ``MLFLOW_TRACKING_URI``,
else ``DEFAULT_TRACK_SERVER``. Credentials from the environment or a login go to
this server alone when ``sync`` sends journals.)";

constexpr const char *CHECK_AUTH_ENV_CONFIGS_DOC =
    R"(The authenticator the environment configures, or None when it configures none.

A browser login (OpenID Connect) needs ``ENV_OIDC_ISSUER_URL``; ``ENV_OIDC_HOSTNAME``
is optional, and ``ENV_OIDC_CLIENT_ID`` with ``ENV_OIDC_CLIENT_SECRET`` (both or
neither) select a static client registration instead of a dynamic one. A cloud
platform login needs ``ENV_KOVA_REFRESH_TOKEN``, ``ENV_KOVA_TOKEN_ENDPOINT`` and
``ENV_KOVA_USERINFO_ENDPOINT``; ``ENV_KOVA_CLIENT_ID`` is optional. A variable
that is empty counts as unset. A refresh token that a login of this process,
or of the process it inherited the environment from, already traded is gone
from the environment (``ENV_KOVA_REFRESH_TOKEN_USED`` names that process).

Raises ExperimentTrackingException when a login is configured only in part
(naming what is missing, or saying which process used the refresh token), or
when both kinds are configured.)";

}  // namespace

RT_MODULE(config, m) {
    rt::Module mod(m);
    mod.import("fcntl");
    mod.import("hashlib");
    mod.import("math");
    mod.import("os");
    mod.import("shlex");
    mod.from("typing", {"Any", "Dict", "List", "Optional"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_OIDC_ISSUER_URL",
                                                     "ENV_OIDC_HOSTNAME",
                                                     "ENV_OIDC_CLIENT_ID",
                                                     "ENV_OIDC_CLIENT_SECRET",
                                                     "ENV_KOVA_REFRESH_TOKEN",
                                                     "ENV_KOVA_TOKEN_ENDPOINT",
                                                     "ENV_KOVA_USERINFO_ENDPOINT",
                                                     "ENV_KOVA_CLIENT_ID",
                                                     "ENV_KOVA_REFRESH_TOKEN_USED",
                                                     "ENV_ASYNC_LOGGING",
                                                     "ASYNC_FLUSH_INTERVAL",
                                                     "ASYNC_MAX_QUEUED_RECORDS",
                                                     "ASYNC_EXIT_TIMEOUT",
                                                     "ASYNC_JOURNAL_SEGMENT_BYTES",
                                                     "ASYNC_REQUESTS_IN_FLIGHT",
                                                     "ASYNC_ARTIFACT_SPOOL_BYTES",
                                                     "ENV_ARTIFACT_SPOOL_BYTES",
                                                     "ENV_SYSTEM_METRICS",
                                                     "ENV_SYSTEM_METRICS_INTERVAL",
                                                     "SYSTEM_METRICS_INTERVAL",
                                                     "ENV_ENVIRONMENT_RECORD",
                                                     "ENV_RUN_PER_JOB",
                                                     "ENV_JOURNAL",
                                                     "ENV_JOURNAL_DIR",
                                                     "ENV_OFFLINE",
                                                     "ENV_OIDC_CALLBACK_PORT",
                                                     "DEFAULT_TRACK_SERVER",
                                                     "ENV_EXP_TRACKING_SERVER_URI",
                                                     "ENV_KOVA_CLOUD",
                                                     "ENV_MLFLOW_TRACKING_URI"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});

    mod.def("check_auth_env_configs", {}, check_auth_env_configs, rt::doc(CHECK_AUTH_ENV_CONFIGS_DOC));

    // What the script chose for background logging (None: the environment's
    // choice), and the settings it changed.
    py::dict chosen;
    chosen["enabled"] = py::none();
    mod.set("_async_logging", chosen);
    // Offline stores this process works in -> the descriptor holding their lock.
    mod.set("_offline_locks", py::dict());
    mod.def("use_async_logging",
            {arg("enabled").def(py::bool_(true)).ann("Optional[bool]"),
             rt::kwonly("flush_interval").def_none().ann("Optional[float]"),
             rt::kwonly("max_queued_records").def_none().ann("Optional[int]"),
             rt::kwonly("exit_timeout").def_none().ann("Optional[float]"),
             rt::kwonly("journal").def_none().ann("Optional[bool]"),
             rt::kwonly("journal_segment_bytes").def_none().ann("Optional[int]"),
             rt::kwonly("requests_in_flight").def_none().ann("Optional[int]"),
             rt::kwonly("artifact_spool_bytes").def_none().ann("Optional[int]")},
            use_async_logging, rt::doc(USE_ASYNC_LOGGING_DOC), rt::returns("None"));
    mod.def("async_logging", {}, async_logging, rt::doc(ASYNC_LOGGING_DOC), rt::returns("Optional[Dict[str, Any]]"));
    chosen = py::dict();
    chosen["enabled"] = py::none();
    mod.set("_system_metrics", chosen);
    mod.def("use_system_metrics",
            {arg("enabled").def(py::bool_(true)).ann("Optional[bool]"),
             rt::kwonly("interval").def_none().ann("Optional[float]"),
             rt::kwonly("environment").def_none().ann("Optional[bool]")},
            use_system_metrics, rt::doc(USE_SYSTEM_METRICS_DOC), rt::returns("None"));
    mod.def("system_metrics", {}, system_metrics,
            rt::doc("The system metrics' settings in force (a dict with ``interval``), or None when they are off "
                    "(see use_system_metrics())."),
            rt::returns("Optional[Dict[str, Any]]"));
    mod.def("run_per_job", {arg("asked").def_none().ann("Optional[bool]")}, run_per_job,
            rt::doc("Whether ``start()`` without a name or an ID gives every rank of a distributed job the same run "
                    "(found again by the job's identity): ``asked`` when it is not None, else what the variable named "
                    "by ``ENV_RUN_PER_JOB`` says (off when unset)."),
            rt::returns("bool"));
    mod.def("environment_record_enabled", {}, environment_record_enabled,
            rt::doc("Whether a new iteration records its environment (see use_system_metrics())."),
            rt::returns("bool"));
    mod.def("_background_settings", {}, background_settings,
            rt::doc("Background logging's settings as async_logging() gives them, whether or not it is on."),
            rt::returns("Dict[str, Any]"));
    mod.def("journal_folder", {}, journal_folder, rt::doc(JOURNAL_FOLDER_DOC), rt::returns("str"));
    mod.def("use_offline_mode", {arg("enabled").def(py::bool_(true)).ann("Optional[bool]")}, use_offline_mode,
            rt::doc(USE_OFFLINE_MODE_DOC), rt::returns("None"));
    mod.def("offline_mode", {}, offline_mode,
            rt::doc("Whether init and iterations work offline (see use_offline_mode())."), rt::returns("bool"));
    mod.set("_offline_servers", py::dict());
    mod.def("offline_servers", {}, offline_servers,
            rt::doc("The servers of the offline stores this process worked in (see offline_store())."),
            rt::returns("List[str]"));
    mod.def("configured_server", {}, configured_server, rt::doc(CONFIGURED_SERVER_DOC), rt::returns("Optional[str]"));
    mod.def("sync_command", {arg("server"), arg("path").def_none()}, sync_command,
            rt::doc("The command line that sends what the journals at ``path`` keep for ``server``."),
            rt::returns("str"));
    mod.def("offline_store", {arg("tracking_uri").ann("Optional[str]")}, offline_store,
            rt::doc("The store (a file URI) that keeps offline iterations meant for ``tracking_uri``; made when "
                    "missing."),
            rt::returns("str"));
}
