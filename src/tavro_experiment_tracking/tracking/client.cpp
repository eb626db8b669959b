// The session client, the tracking-library client factory, and the runs this
// process leaves running, ended when the interpreter exits.
#include "client/parts.hpp"
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

py::object tracker(rt::Call &c) {
    return c.g("create_mlflow_client")(c.self().attr("tracking_uri"));
}

py::object status_name(rt::Call &c, const char *status) {
    py::object RunStatus = c.g("RunStatus");
    return RunStatus.attr("to_string")(RunStatus.attr(status));
}

// ---- the client factory ----------------------------------------------------------

// The tracking library reads the bearer token from the environment at every
// request, and an access token lives shorter than a training run: before each
// operation the session's login hands out the token valid now (its provider
// caches it, renewing only when it is about to run out).
void publish_current_token(rt::Call &c) {
    py::object session = c.g("context").attr("current_client");
    if (!rt::truthy(session)) return;
    py::object authenticator = session.attr("authenticator");
    if (!rt::truthy(authenticator) || !rt::truthy(authenticator.attr("is_authenticated"))) return;
    py::object token = authenticator.attr("token")();
    py::object environ = c.g("os").attr("environ");
    py::object name = c.g("ENV_MLFLOW_TRACKING_TOKEN");
    if (!rt::equal(environ.attr("get")(name), token)) environ[name] = token;
}

py::object create_mlflow_client(rt::Call &c) {
    auto [tracking_uri] = c.args<1>();
    publish_current_token(c);
    return c.g("MlflowClient")(tracking_uri);
}

// ---- runs left running ----------------------------------------------------------

// Seconds a termination signal's handler takes at most before the signal
// acts: a scheduler kills the process for good some 30 s after its SIGTERM.
constexpr double SIGNAL_ENDING_SECONDS = 10.0;

// Runs this process set running and has not ended: run ID -> (tracking
// address, ID of the process that opened it, the status an ending that failed
// meant to set, or None). Whatever is left when the interpreter exits is
// ended then.
py::object open_runs(rt::Call &c) {
    return c.g("_open_iterations");
}

void ending_settled(rt::Call &c, py::handle run_id);
py::str keep_ending(rt::Call &c, py::handle run_id, py::handle tracking_uri, py::handle status, bool values = false);

py::object entry(rt::Call &c, py::handle tracking_uri, py::handle meant) {
    return py::make_tuple(tracking_uri, c.g("os").attr("getpid")(), meant);
}

// The handlers that stop a run's process from outside (a scheduler's SIGTERM,
// a closed terminal's SIGHUP), installed once, on the main thread, when the
// first run starts: the program's own handler stays in charge, called after
// ours. One already ignored, or set outside Python, is the program's decision.
void install_termination_handlers(rt::Call &c) {
    py::object threading = c.g("threading");
    if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
    py::object signal = c.g("signal");
    py::object previous_handlers = c.g("_previous_handlers");
    for (const char *name : {"SIGTERM", "SIGHUP"}) {
        if (!py::hasattr(signal, name)) continue;
        py::object signum = signal.attr(name);
        if (rt::contains(previous_handlers, signum)) continue;
        py::object previous = signal.attr("getsignal")(signum);
        previous_handlers[signum] = previous;
        if (previous.is_none() || rt::equal(previous, signal.attr("SIG_IGN"))) continue;
        try {
            signal.attr("signal")(signum, c.g("_on_termination_signal"));
        } catch (py::error_already_set &e) {
            // Not the main interpreter: signals are not ours to handle.
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
            previous_handlers[signum] = py::none();
        }
    }
}

py::object iteration_opened(rt::Call &c) {
    auto [run_id, tracking_uri] = c.args<2>();
    open_runs(c)[run_id] = entry(c, tracking_uri, py::none());
    // Opened again: a kept ending from before is no longer the run's last.
    ending_settled(c, run_id);
    // Opened again on purpose: a signal's ending is no longer its last word.
    c.g("_signalled").attr("discard")(run_id);
    install_termination_handlers(c);
    return py::none();
}

py::object iteration_ended(rt::Call &c) {
    auto [run_id] = c.args<1>();
    open_runs(c).attr("pop")(run_id, py::none());
    c.g("_signalled").attr("discard")(run_id);
    return py::none();
}

// How the interpreter is leaving: an unhandled exception of the main program
// is in `sys.last_type` by the time exit handlers run (SystemExit never is).
// At an interactive prompt an error does not end the interpreter, so there
// only the exit itself counts.
const char *exit_status(rt::Call &c) {
    py::object sys = c.g("sys");
    if (py::hasattr(sys, "ps1")) return "FINISHED";
    py::object last_type = py::getattr(sys, "last_type", py::none());
    if (last_type.is_none() || !rt::isinstance(last_type, rt::builtin("type"))) return "FINISHED";
    return rt::issubclass(last_type, rt::builtin("KeyboardInterrupt")) ? "KILLED" : "FAILED";
}

// Sets variables of the environment for the length of `body`.
template <typename Body>
void with_environment(rt::Call &c, const std::vector<std::pair<py::object, py::object>> &settings, Body body) {
    py::object environ = c.g("os").attr("environ");
    std::vector<py::object> saved;
    for (const auto &setting : settings) {
        saved.push_back(environ.attr("get")(setting.first));
        environ[setting.first] = setting.second;
    }
    auto restore = [&] {
        for (size_t i = 0; i < settings.size(); i++) {
            if (saved[i].is_none())
                environ.attr("pop")(settings[i].first, py::none());
            else
                environ[settings[i].first] = saved[i];
        }
    };
    rt::finally(body, restore);
}

// Ending a run the script did not end itself must not hold the script up:
// the tracking library retries a failed request for about a minute, and
// waits two for an answer. For the length of `body` it makes one attempt
// per request and waits at most `seconds` (less when the user asked for
// less). The library reads both from the environment, which is the
// process's: another thread's requests in that moment get the same bounds.
template <typename Body>
void bounded_requests(rt::Call &c, long seconds, Body body) {
    py::object configured = c.g("os").attr("environ").attr("get")(c.g("ENV_MLFLOW_HTTP_REQUEST_TIMEOUT"));
    // Only a plain number of seconds is a wish to honour; anything else the
    // library could not read either.
    if (!configured.is_none() && rt::truthy(configured.attr("isascii")()) &&
        rt::truthy(configured.attr("strip")().attr("isdigit")()) && py::len(configured.attr("strip")()) < 9) {
        long asked = py::int_(configured).cast<long>();
        if (asked >= 1 && asked < seconds) seconds = asked;
    }
    with_environment(c,
                     {{c.g("ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES"), py::str("0")},
                      {c.g("ENV_MLFLOW_HTTP_REQUEST_TIMEOUT"), py::str(py::int_(seconds))}},
                     body);
}

// `function()` with the tracking library's requests bounded by `seconds`
// and not retried: for what must answer soon or say why (a notebook's view).
py::object bounded(rt::Call &c) {
    auto [seconds, function] = c.args<2>();
    py::object out;
    double bound = py::float_(seconds).cast<double>();
    bounded_requests(c, bound >= 1 && bound < 1e9 ? static_cast<long>(bound) : 1, [&] { out = function(); });
    return out;
}

long run_end_timeout(rt::Call &c) {
    return c.g("RUN_END_TIMEOUT").cast<long>();
}

// A tracking client for ending runs. From a signal handler, no token is
// asked of the login: the handler may have interrupted the main thread in
// the middle of a token refresh, holding the lock the refresh takes. The
// token published last is used as it is.
py::object ending_client(rt::Call &c, py::handle tracking_uri, bool fresh_token) {
    if (fresh_token) return c.g("create_mlflow_client")(tracking_uri);
    return c.g("MlflowClient")(tracking_uri);
}

// Ends one run left running, unless another client ended or deleted it;
// false when its server did not answer.
// A kept ending was set after all: the hooks forget it.
void ending_settled(rt::Call &c, py::handle run_id) {
    if (c.g("_kept_endings").attr("pop")(run_id, py::none()).is_none()) return;
    for (py::handle hook : py::list(c.g("_settled_ending_hooks"))) {
        try {
            hook(run_id);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            c.g("logger").attr("debug")(py::str("A kept ending was not marked as set: {}").format(e.value()));
        }
    }
}

// An ending the server did not take: kept for `sync`, and said, once; a run
// whose ending was said already (at the end of its block) is only noted.
void ending_failed(rt::Call &c, py::handle run_id, py::handle tracking_uri, py::handle status, const py::str &when,
                   py::handle error) {
    bool said_before = !c.g("_kept_endings").attr("get")(run_id).is_none();
    py::str next = keep_ending(c, run_id, tracking_uri, status);
    py::str line = py::str("Could not mark iteration {} as {} {}: {}.")
                       .format(run_id, status, when, c.g("_failure_reason")(error));
    if (said_before)
        c.g("logger").attr("info")(line);
    else
        c.g("logger").attr("warning")(rt::text({line, next}));
}

bool end_left_open(rt::Call &c, py::handle run_id, py::handle tracking_uri, py::handle status, bool fresh_token,
                   const py::str &when) {
    py::object logger = c.g("logger");
    try {
        py::object client = ending_client(c, tracking_uri, fresh_token);
        py::object info = client.attr("get_run")(run_id).attr("info");
        if (rt::equal(info.attr("lifecycle_stage"), c.g("LifecycleStage").attr("DELETED")) ||
            !rt::equal(info.attr("status"), status_name(c, "RUNNING"))) {
            ending_settled(c, run_id);
            return true;
        }
        c.g("_terminate")(client, run_id, status);
        ending_settled(c, run_id);
        c.g("_say_ended")(run_id, status);
        logger.attr("debug")(py::str("Marked iteration {} as {} {}").format(run_id, status, when));
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        // An error the server answered with concerns this run only; one it
        // did not answer is the server away: the ending waits for `sync`.
        bool answered = e.matches(c.g("MlflowRestException"));
        if (answered)
            logger.attr("warning")(
                py::str("Could not mark iteration {} as {} {}: {}").format(run_id, status, when, e.value()));
        else
            ending_failed(c, run_id, tracking_uri, status, when, e.value());
        return answered;
    }
}

// Before runs are ended: the hooks in `_ending_hooks` (values still queued in
// the background go to the server first) with the run (None: all), the time
// they may take (None: their own default) and whether the process exits.
// Returns the exception a hook gave back for the run, or None; a hook that
// fails is a warning: the runs are ended whatever happens to their values.
struct BeforeEnding {
    py::object refusal = py::none();  // to raise once the run is ended
    py::list notes;                   // to say with the ending
};

BeforeEnding before_ending(rt::Call &c, py::handle run_id, py::handle timeout, bool final) {
    BeforeEnding found;
    for (py::handle hook : py::list(c.g("_ending_hooks"))) {
        try {
            py::object given = hook(run_id, timeout, py::bool_(final));
            if (rt::isinstance(given, rt::builtin("str")))
                found.notes.append(given);
            else if (!given.is_none())
                found.refusal = given;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            c.g("logger").attr("warning")(py::str("Before ending runs: {}").format(e.value()));
        }
    }
    return found;
}

// What the notes of the hooks say, each after a space.
py::str said(const py::list &notes) {
    py::str out("");
    for (py::handle note : notes) out = rt::text({out, " ", note});
    return out;
}

// Why a request failed, in a few words: the operating system's reason for a
// connection that failed ("Connection refused"), a time-out, or the first
// line of what the server answered; not the pages of a connection pool's
// retries.
py::object failure_reason(rt::Call &c) {
    auto [error] = c.args<1>();
    py::str text(error);
    py::object found = c.g("_ERRNO_TEXT").attr("search")(text);
    if (!found.is_none()) return found.attr("group")(1);
    if (rt::truthy(c.g("_TIMED_OUT").attr("search")(text))) return py::str("no answer in time");
    py::str line = text.attr("strip")().attr("split")("\n")[py::int_(0)];
    if (py::len(line) > 300) line = rt::text({line[py::slice(0, 300, 1)], "..."});
    return line;
}

// The ending meant for a run that the server did not take, kept by the hooks
// (the background module's journals) where `sync` applies it: returns what
// happens next, for the warning that says so. Kept once per status.
py::str keep_ending(rt::Call &c, py::handle run_id, py::handle tracking_uri, py::handle status, bool values) {
    py::object kept = c.g("_kept_endings");
    py::object where = kept.attr("get")(run_id);
    if (where.is_none() || !rt::equal(where[py::int_(0)], status)) {
        py::object end_time = rt::builtin("int")(c.g("time").attr("time")() * py::int_(1000));
        where = py::none();
        for (py::handle hook : py::list(c.g("_keep_ending_hooks"))) {
            try {
                where = py::make_tuple(status, hook(run_id, tracking_uri, status, end_time));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                return rt::text({" The ending could not be kept for a later sync (", py::str(e.value()), ")."});
            }
        }
        if (where.is_none()) return py::str("");
        kept[run_id] = where;
    }
    py::object folder = c.g("os").attr("path").attr("dirname")(where[py::int_(1)]);
    return rt::text({" Until the server answers, the ending", values ? " and the values are" : " is",
                     " kept in the journal folder ", folder, ": ", c.g("sync_command")(tracking_uri, folder), " sends ",
                     values ? "them" : "it", "."});
}

// Ends runs left open (`entries`, items of the table above) that this
// process opened, each with `status_of(meant)`: one bounded attempt each,
// nothing more once a server did not answer or the time for all of them
// (`budget` seconds) is spent. An entry that cannot be ended, nor even read
// or reported, never keeps the next one from its turn. Returns the IDs of
// the runs it ended.
template <typename StatusOf>
py::set end_left_open_runs(rt::Call &c, const py::list &entries, StatusOf status_of, bool fresh_token,
                           const py::str &when, double budget) {
    py::object pid = c.g("os").attr("getpid")();
    py::object monotonic = c.g("time").attr("monotonic");
    long timeout = run_end_timeout(c);
    double until = monotonic().cast<double>() + budget;
    py::set unreachable, ended;
    py::object logger = c.g("logger");
    for (py::handle item : entries) {
        try {
            auto [run_id, where] = rt::unpack2(item);
            py::tuple fields(where);
            py::object tracking_uri = fields[0], owner = fields[1];
            // A forked child inherits its parent's runs; they are the parent's to end.
            if (!rt::equal(owner, pid)) continue;
            py::object status = status_of(fields.size() > 2 ? py::object(fields[2]) : py::object(py::none()));
            double left = until - monotonic().cast<double>();
            if (unreachable.contains(tracking_uri) || left < 1.0) {
                ending_failed(c, run_id, tracking_uri, status, when,
                              left < 1.0 ? py::str("no time left to ask the tracking server")
                                         : rt::text({"the tracking server at ", tracking_uri, " did not answer"}));
                continue;
            }
            bool answered = true, done = false;
            bounded_requests(c, std::min(timeout, static_cast<long>(left)), [&] {
                answered = end_left_open(c, run_id, tracking_uri, status, fresh_token, when);
                done = true;
            });
            if (!answered) unreachable.add(tracking_uri);
            if (done && answered) ended.add(run_id);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            try {
                logger.attr("warning")(rt::text(
                    {"Could not end a run left open ", when, ": ", py::type::handle_of(e.value()).attr("__name__")}));
            } catch (py::error_already_set &) {
                // Dropped: a warning that cannot be written.
            }
        }
    }
    return ended;
}

py::object end_open_iterations(rt::Call &c) {
    // Values still queued first (those of runs already ended too).
    for (py::handle note : before_ending(c, py::none(), py::none(), true).notes) c.g("logger").attr("warning")(note);
    py::object open = open_runs(c);
    py::list entries(open.attr("items")());
    open.attr("clear")();
    if (entries.empty()) return py::none();
    // The status an earlier ending meant (FAILED when a block raised, KILLED
    // for a signal) is the one tried again, never replaced by the exit's own.
    py::object status = status_name(c, exit_status(c));
    end_left_open_runs(
        c, entries, [&](const py::object &meant) { return meant.is_none() ? status : meant; }, true, py::str("at exit"),
        2.0 * static_cast<double>(run_end_timeout(c)));
    return py::none();
}

// The process is being stopped from outside: its runs end KILLED now (a
// scheduler kills the process for good some 30 s later), then the signal
// does what it would have done: the program's own handler runs, or the
// default action ends the process (exit status 128 + the signal's number).
py::object on_termination_signal(rt::Call &c) {
    auto [signum, frame] = c.args<2>();
    py::object signal = c.g("signal");
    // Only for a signal this module handles: one it installed itself for.
    py::object previous = c.g("_previous_handlers").attr("get")(signum);
    if (previous.is_none() || rt::equal(previous, signal.attr("SIG_IGN"))) return py::none();
    py::object state = c.g("_signal_state");
    // A second signal while the first one's runs are being ended: the first
    // handler finishes what it does, then applies the signal.
    if (rt::truthy(state.attr("get")("ending"))) return py::none();
    py::object name = signal.attr("Signals")(signum).attr("name");
    py::object monotonic = c.g("time").attr("monotonic");
    double started = monotonic().cast<double>();
    state["ending"] = py::bool_(true);
    rt::finally(
        [&] {
            // The scheduler's SIGKILL follows some 30 s later: a few seconds for
            // the values still queued, then the runs.
            BeforeEnding flushed = before_ending(c, py::none(), c.g("SIGNAL_FLUSH_TIMEOUT"), false);
            for (py::handle note : flushed.notes) c.g("logger").attr("warning")(note);
            py::object open = open_runs(c);
            py::object killed = status_name(c, "KILLED");
            py::object pid = c.g("os").attr("getpid")();
            py::list entries;
            for (py::handle item : py::list(open.attr("items")())) {
                auto [run_id, where] = rt::unpack2(item);
                if (!rt::equal(py::tuple(where)[1], pid)) continue;
                // Meant from now on, whatever happens to this attempt.
                c.g("_signalled").attr("add")(run_id);
                open[run_id] = entry(c, py::tuple(where)[0], killed);
                entries.append(py::make_tuple(run_id, open[run_id]));
            }
            double left = SIGNAL_ENDING_SECONDS - (monotonic().cast<double>() - started);
            py::set ended = end_left_open_runs(
                c, entries, [&](const py::object &) { return killed; }, false, rt::text({"on ", name}),
                std::max(left, 1.0));
            for (py::handle run_id : ended) open.attr("pop")(run_id, py::none());
        },
        [&] { state["ending"] = py::bool_(false); });

    if (rt::truthy(rt::builtin("callable")(previous))) return previous(signum, frame);
    // The default action: what the process would have done without us.
    for (const char *stream : {"stdout", "stderr"}) {
        try {
            py::object s = c.g("sys").attr(stream);
            if (!s.is_none()) s.attr("flush")();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    signal.attr("signal")(signum, signal.attr("SIG_DFL"));
    py::object os = c.g("os");
    os.attr("kill")(os.attr("getpid")(), signum);
    os.attr("_exit")(py::int_(128) + signum);
    return py::none();
}

// ---- the session client ---------------------------------------------------------

py::object client_init(rt::Call &c) {
    auto [self, authenticator] = c.args<2>();
    self.attr("authenticator") = authenticator;
    self.attr("_tracking_uri") = py::none();
    self.attr("_user") = py::none();
    return py::none();
}

py::object get_tracking_uri(rt::Call &c) {
    py::object uri = c.self().attr("_tracking_uri");
    // An empty address makes the tracking library fall back to its own
    // default, so that default is what this session really uses. A blank one
    // would become a folder named by blanks: no one means that.
    bool blank = rt::isinstance(uri, rt::builtin("str")) && !rt::truthy(uri.attr("strip")());
    if (!uri.is_none() && !blank) return uri;
    uri = c.g("get_tracking_uri")();
    // On the platform a local store lives in a throw-away container: whatever
    // was logged there would be lost, so refuse instead. Compared as Python
    // text: an address from the environment may hold what UTF-8 cannot encode.
    if (rt::truthy(c.g("is_cloud")())) {
        py::str resolved(uri);
        if (rt::truthy(resolved.attr("startswith")("file:")) || !rt::contains(resolved, py::str("://")))
            rt::refuse(c, rt::text({"No tracking server address on the cloud platform: set the environment variable ",
                                    c.g("ENV_EXP_TRACKING_SERVER_URI"), "."}));
    }
    return uri;
}

py::object set_tracking_uri(rt::Call &c) {
    auto [self, value] = c.args<2>();
    self.attr("_tracking_uri") = value;
    return py::none();
}

py::object user(rt::Call &c) {
    py::handle self = c.self();
    py::object authenticator = self.attr("authenticator");
    if (rt::truthy(authenticator)) return authenticator.attr("user");
    py::object found = self.attr("_user");
    if (!found.is_none()) return found;
    py::object name;
    try {
        name = c.g("getpass").attr("getuser")();
    } catch (py::error_already_set &e) {
        // No login name in the environment nor in the password database.
        if (!e.matches(PyExc_Exception)) throw;
        name = py::str("unknown");
    }
    found = c.g("User")(name);
    self.attr("_user") = found;
    return found;
}

py::object get_experiment_by_name(rt::Call &c) {
    auto [self, experiment_name] = c.args<2>();
    return tracker(c).attr("get_experiment_by_name")(experiment_name);
}

py::object create_experiment(rt::Call &c) {
    auto [self, experiment_name, artifact_location, tags] = c.args<4>();
    return tracker(c).attr("create_experiment")(experiment_name, "artifact_location"_a = artifact_location,
                                                "tags"_a = tags);
}

py::object get_experiment(rt::Call &c) {
    auto [self, experiment_id] = c.args<2>();
    return tracker(c).attr("get_experiment")(experiment_id);
}

py::object get_iteration(rt::Call &c) {
    auto [self, iteration_id] = c.args<2>();
    return tracker(c).attr("get_run")(iteration_id);
}

py::object client_repr(rt::Call &c) {
    py::handle self = c.self();
    py::object authenticator = self.attr("authenticator");
    py::object kind = authenticator.is_none() ? py::object(py::none())
                                              : py::object(py::type::handle_of(authenticator).attr("__name__"));
    return py::str("<Client: tracking_uri={}, authenticator={}>").format(py::repr(self.attr("tracking_uri")), kind);
}

// ---- a started iteration ---------------------------------------------------------

py::object active_init(rt::Call &c) {
    auto [self, client, run] = c.args<3>();
    self.attr("client") = client;
    self.attr("run") = run;
    return py::none();
}

py::object info(rt::Call &c) {
    return c.self().attr("run").attr("info");
}
py::object data(rt::Call &c) {
    return c.self().attr("run").attr("data");
}
py::object iteration_id(rt::Call &c) {
    return c.self().attr("run").attr("info").attr("run_id");
}
py::object enter(rt::Call &c) {
    auto [self] = c.args<1>();
    return self;
}

// `sys.exit(0)`, `sys.exit()` and `sys.exit(False)` end the process with
// status 0: a clean exit, not a failure.
bool clean_exit(py::handle exc_value) {
    if (exc_value.is_none()) return true;
    py::object code = exc_value.attr("code");
    if (code.is_none()) return true;
    return rt::isinstance(code, rt::builtin("int")) && rt::equal(code, py::int_(0));
}

// `sys.exit(143)` in a SIGTERM handler (128 + the signal's number) is how
// programs say they were stopped from outside.
bool stopped_by_signal(rt::Call &c, py::handle exc_value) {
    if (exc_value.is_none()) return false;
    py::object code = exc_value.attr("code");
    if (!rt::isinstance(code, rt::builtin("int"))) return false;
    py::object signal = c.g("signal");
    for (const char *name : {"SIGHUP", "SIGINT", "SIGTERM"})
        if (py::hasattr(signal, name) && rt::equal(code, py::int_(128) + signal.attr(name))) return true;
    return false;
}

const char *leaving_status(rt::Call &c, py::handle exc_type, py::handle exc_value) {
    if (exc_type.is_none()) return "FINISHED";
    if (rt::issubclass(exc_type, rt::builtin("KeyboardInterrupt"))) return "KILLED";
    if (rt::issubclass(exc_type, rt::builtin("SystemExit"))) {
        if (clean_exit(exc_value)) return "FINISHED";
        if (stopped_by_signal(c, exc_value)) return "KILLED";
    }
    return "FAILED";
}

py::object exit_block(rt::Call &c) {
    auto [self, exc_type, exc_value, traceback] = c.args<4>();
    (void)traceback;
    py::object run_id = self.attr("info").attr("run_id");
    py::object open = open_runs(c);
    // Stopped by a termination signal: the run is KILLED, and stays so
    // whatever the block's end looks like (the program's own handler may
    // raise SystemExit through it).
    bool signalled = rt::contains(c.g("_signalled"), run_id);
    if (signalled && !rt::contains(open, run_id)) return py::bool_(false);
    const char *leaving = signalled ? "KILLED" : leaving_status(c, exc_type, exc_value);
    py::object status = status_name(c, leaving);
    py::object tracking_uri = self.attr("client").attr("tracking_uri");
    // Values still queued go first (Ctrl-C gives them the time of an ending).
    BeforeEnding flushed =
        before_ending(c, run_id, std::string(leaving) == "KILLED" ? c.g("RUN_END_TIMEOUT") : py::none(), false);
    py::object refusal = flushed.refusal;
    try {
        bounded_requests(c, run_end_timeout(c),
                         [&] { c.g("_terminate")(c.g("create_mlflow_client")(tracking_uri), run_id, status); });
        c.g("_iteration_ended")(run_id);
        c.g("_say_ended")(run_id, status);
        if (!flushed.notes.empty()) c.g("logger").attr("warning")(said(flushed.notes).attr("lstrip")());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        // The run stays open with the status meant for it: the exit tries
        // that status again, when the server may answer, and the ending is
        // kept where `sync` applies it after the run's values. The script
        // goes on (its own exception, if one left the block, with it): the
        // server being away is no fault of the code in the block.
        open[run_id] = entry(c, tracking_uri, status);
        py::str next = keep_ending(c, run_id, tracking_uri, status, !flushed.notes.empty());
        c.g("logger").attr("warning")(rt::text({py::str("Could not mark iteration {} as {}: {}.")
                                                    .format(run_id, status, c.g("_failure_reason")(e.value())),
                                                said(flushed.notes), " The exit tries again.", next}));
    }
    if (!refusal.is_none()) {
        // What the server refused of the run's values: raised when the block
        // ends normally; beside an exception leaving it, only said.
        if (exc_type.is_none()) rt::raise_instance(refusal);
        c.g("logger").attr("warning")(py::str("{}").format(refusal));
    }
    return py::bool_(false);
}

py::object active_repr(rt::Call &c) {
    py::object run_info = c.self().attr("run").attr("info");
    return py::str("<ActiveIteration: iteration_id={}, experiment_id={}>")
        .format(py::repr(run_info.attr("run_id")), py::repr(run_info.attr("experiment_id")));
}

// ---- docstrings -------------------------------------------------------------------

constexpr const char *CREATE_MLFLOW_CLIENT_DOC =
    R"(A tracking-library client for ``tracking_uri`` (None: the library's own default).

When the session has a logged-in authenticator, its current access token is put
into ``ENV_MLFLOW_TRACKING_TOKEN`` first, so a run outlives any one token.)";

constexpr const char *END_OPEN_ITERATIONS_DOC =
    R"(End the runs this process left running: FINISHED after a normal exit, FAILED
after an unhandled exception, KILLED after an unhandled KeyboardInterrupt; a
run whose earlier ending failed gets the status that ending meant (FAILED for
a block that raised, KILLED for a signal).

Runs on interpreter exit. Runs already ended (by any client) or deleted are
left alone. Nothing is raised: a run that cannot be ended is a warning, and a
tracking server that does not answer is asked nothing more. One attempt per
request, each bounded by RUN_END_TIMEOUT seconds, all of them by twice that.)";

constexpr const char *ON_TERMINATION_SIGNAL_DOC =
    R"(SIGTERM or SIGHUP arrived: end this process's open runs as KILLED (bounded as
at exit), then let the signal act as it would have: the program's own earlier
handler is called, or the default action ends the process. Installed when the
first run starts, on the main thread, unless the signal is ignored.)";

constexpr const char *TRACKING_URI_DOC = R"(The tracking server's address. When none was set (or an empty or blank one),
the tracking library's own resolution decides (``MLFLOW_TRACKING_URI``, else
``./mlruns``); on the cloud platform a local store is refused, since nothing
logged there would last.)";

// The server's experiment record, created when there is none: returns
// (record, created). Another job may create it between the lookup and the
// creation (the jobs of a sweep start together): that one is found then.
py::object get_or_create_experiment(rt::Call &c) {
    auto [find, create, get] = c.args<3>();
    py::object record = find();
    if (rt::truthy(record)) return py::make_tuple(record, false);
    py::object experiment_id;
    try {
        experiment_id = create();
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("MlflowException")) ||
            !rt::equal(e.value().attr("error_code"), py::str("RESOURCE_ALREADY_EXISTS")))
            throw;
        record = find();
        if (!rt::truthy(record)) throw;
        return py::make_tuple(record, false);
    }
    return py::make_tuple(get(experiment_id), true);
}

// Runs `function(*args, **kwargs)` with the tracking library's process-wide
// tracking address set to `tracking_uri`, and puts the previous setting
// (often none) back afterwards. The library resolves artifact locations
// served by the tracking server itself ("mlflow-artifacts:") against that
// process-wide address, not against the client's: without this, a team
// server's artifacts would be refused ("scheme 'file' is invalid") or sent to
// whatever other server the address names. The setting is the process's, so
// this is no safer across threads than the library's own global.
py::object with_tracking_uri(rt::Call &c) {
    auto [tracking_uri, function, args, kwargs] = c.args<4>();
    py::object utils = c.g("_tracking_service_utils");
    py::object previous = utils.attr("_tracking_uri");
    utils.attr("_tracking_uri") = tracking_uri;
    return rt::finally([&] { return function(*args, **kwargs); }, [&] { utils.attr("_tracking_uri") = previous; });
}

constexpr const char *CLAIM_RUN_TAGGED_DOC =
    R"(The ID of the run of the experiment that holds the tag ``key`` = ``value``,
agreed with every other process asking at the same moment. Without
``new_run``: the run the tag's claim names, else the last one listed with the
tag (claimed now), else None. With ``new_run`` (just made with that tag and
``_CLAIM_TAG``): claimed for it unless another run holds the tag, in which
case ``new_run`` is deleted.)";

constexpr const char *JOB_RANK_DOC =
    R"(This process's place in a distributed job, from its launcher's variables
(torchrun, Open MPI, PMI, Slurm): a dict of ``launcher``, ``rank``, ``size``,
``job`` (an identity that names this job alone, or None), ``instance`` (one
that tells jobs running at the same time apart, or None) and ``node``; None
when the process is not one of several ranks.)";

constexpr const char *ACTIVE_ITERATION_DOC =
    R"(A started iteration: the server's run record (``info``, ``data``) as it was
fetched. Used as a context manager, it ends the run on leaving the block:
FINISHED, FAILED when an exception leaves the block, KILLED on
KeyboardInterrupt; ``sys.exit()`` with status 0 or None is a clean exit
(FINISHED), with 128 + SIGHUP, SIGINT or SIGTERM a stop from outside (KILLED).
A run a termination signal ended stays KILLED. The ending is one request
bounded by RUN_END_TIMEOUT seconds; when it fails, the exit tries the same
status again. The exception is never swallowed.)";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("logging");
    mod.import("getpass");
    mod.import("atexit");
    mod.import("os");
    mod.import("re");
    mod.import("signal");
    mod.import("sys");
    mod.import("threading");
    mod.import("time");
    mod.from("typing", {"Any", "Dict", "Optional"});
    mod.import("hashlib");
    mod.import("urllib.parse", "urllib_parse");
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus", "RunTag"});
    mod.from("mlflow.exceptions", {"MlflowException", "RestException as MlflowRestException"});
    mod.from("mlflow.tracking", {"MlflowClient", "get_tracking_uri"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from(
        "tavro_experiment_tracking.constants",
        {"ENV_CONSOLE", "ENV_EXP_TRACKING_SERVER_URI", "ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES",
         "ENV_MLFLOW_HTTP_REQUEST_TIMEOUT", "ENV_MLFLOW_TRACKING_TOKEN", "RUN_END_TIMEOUT", "SIGNAL_FLUSH_TIMEOUT"});
    mod.import("tavro_experiment_tracking.context", "context");
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.from("tavro_experiment_tracking.config", {"offline_mode", "sync_command"});
    mod.from("tavro_experiment_tracking.utils.validation", {"is_cloud"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    mod.import("mlflow.tracking._tracking_service.utils", "_tracking_service_utils");
    // The tracking library's client with its listing and run fetch as they
    // are now, and the listing's defaults; a lookup by tag reads the
    // listing's pages directly only while a client still has these (see
    // find_run_tagged).
    {
        py::object library_client = mod.get("MlflowClient");
        py::object listing = library_client.attr("list_run_infos");
        py::object defaults = rt::import_module("inspect").attr("signature")(listing).attr("parameters");
        mod.set("_LIBRARY_CLIENT", rt::import_module("types").attr("SimpleNamespace")(
                                       "cls"_a = library_client, "list_run_infos"_a = listing,
                                       "get_run"_a = library_client.attr("get_run"),
                                       "run_view_type"_a = defaults["run_view_type"].attr("default"),
                                       "max_results"_a = defaults["max_results"].attr("default"),
                                       "order_by"_a = defaults["order_by"].attr("default")));
    }
}

RT_MODULE(client, m) {
    rt::Module mod(m);
    import_names(mod);
    mod.def("_get_or_create_experiment", {arg("find"), arg("create"), arg("get")}, get_or_create_experiment,
            rt::doc("``find()``'s experiment record, else ``get(create())``'s, else (a creation refused because "
                    "another job made it meanwhile) ``find()``'s again: (record, created)."));

    mod.def("create_mlflow_client", {arg("tracking_uri").ann("Optional[str]")}, create_mlflow_client,
            rt::doc(CREATE_MLFLOW_CLIENT_DOC), rt::returns("MlflowClient"));
    mod.def("_find_run_tagged", {arg("client"), arg("experiment_id"), arg("key"), arg("value")},
            client_parts::find_run_tagged,
            rt::doc("The ID of the last run in the listing of the experiment's runs whose tag ``key`` is "
                    "``value``, or None."),
            rt::returns("Optional[str]"));
    // The run tag of runs made to be claimed: what they were made for.
    mod.set("_CLAIM_TAG", py::str("tavro_experiment_tracking.claim"));
    // The run tag naming the distributed job whose ranks share the run.
    mod.set("_JOB_RUN_TAG", py::str("tavro_experiment_tracking.jobRun"));
    mod.def("_claim_run_tagged",
            {arg("client"), arg("experiment_id"), arg("key"), arg("value"), arg("new_run").def_none()},
            client_parts::claim_run_tagged, rt::doc(CLAIM_RUN_TAGGED_DOC), rt::returns("Optional[str]"));
    // The console: runs said to have started (run ID -> what, tracking
    // address, experiment, when), and the sources of what this process
    // logged into a run, each called with its ID.
    mod.set("_console_runs", py::dict());
    mod.set("_console_histories", py::list());
    mod.def("_bounded", {arg("seconds").checked_float(), arg("function")}, bounded,
            rt::doc("``function()`` with the tracking library's requests bounded by ``seconds`` and not retried."));
    mod.def("_ui_url", {arg("tracking_uri"), arg("experiment_id"), arg("run_id").def_none()}, client_parts::ui_url,
            rt::doc("The address of the experiment (or of its run) in the tracking server's UI, or None for a store "
                    "that is no server; credentials left out."),
            rt::returns("Optional[str]"));
    mod.def("_say_started", {arg("tracking_uri"), arg("run"), arg("name"), arg("reopened")}, client_parts::say_started,
            rt::doc("Say on standard error where the run that started is (unless ``ENV_CONSOLE`` turns it off)."),
            rt::returns("None"));
    mod.def("_say_ended", {arg("run_id"), arg("status")}, client_parts::say_ended,
            rt::doc("Say on standard error that the run ended, with its address; on a terminal, its summary."),
            rt::returns("None"));
    // Runs this process joined as a rank of a job: run ID -> (its rank's tag, rank, ranks).
    mod.set("_rank_runs", py::dict());
    mod.set("_rank_warnings", py::set());
    mod.def("_job_rank", {}, client_parts::job_rank, rt::doc(JOB_RANK_DOC), rt::returns("Optional[Dict[str, Any]]"));
    mod.def("_join_as_rank", {arg("client"), arg("run_id")}, client_parts::join_as_rank,
            rt::doc("Record this process in the run as its rank of the job, when it is one; returns the rank, or "
                    "None."),
            rt::returns("Optional[int]"));
    mod.def("_terminate", {arg("client"), arg("run_id"), arg("status")}, client_parts::terminate,
            rt::doc("End the run with ``status``; a rank of a job ends its part, and the last rank to end ends the "
                    "run with the worst status of all and the end time of the last."),
            rt::returns("None"));
    mod.def("_with_tracking_uri", {arg("tracking_uri"), arg("function"), rt::varargs("args"), rt::varkw("kwargs")},
            with_tracking_uri,
            rt::doc("``function(*args, **kwargs)`` with the tracking library's process-wide tracking address set "
                    "to ``tracking_uri`` meanwhile."));

    // Iterations this process started or resumed and has not ended (see
    // open_runs); those a termination signal ended (or meant to end) KILLED;
    // the handlers the termination signals had before ours, by signal.
    mod.set("_open_iterations", py::dict());
    // Called before runs are ended, with (run ID or None for all, timeout or
    // None for the default, whether the process is exiting): what a run's
    // values still queued in the background need. Each may return an
    // exception to raise once the run is ended.
    mod.set("_ending_hooks", py::list());
    // Called with (run ID, tracking address, status, end time in ms) when an
    // ending could not reach the server, to keep it where `sync` applies it
    // (each returns where); and with the run ID once a kept one was set after
    // all. Run ID -> (status, where) of the endings kept.
    mod.set("_keep_ending_hooks", py::list());
    mod.set("_settled_ending_hooks", py::list());
    mod.set("_kept_endings", py::dict());
    py::object re = mod.get("re");
    mod.set("_ERRNO_TEXT", re.attr("compile")(R"(\[Errno -?\d+\] ([^'"\)\]]+))"));
    mod.set("_TIMED_OUT", re.attr("compile")("(?i)timed? ?out"));
    mod.def("_failure_reason", {arg("error")}, failure_reason,
            rt::doc("Why a request failed, in a few words (the system's reason for a failed connection, a time-out, "
                    "or the first line of the answer)."),
            rt::returns("str"));
    mod.set("_signalled", py::set());
    mod.set("_previous_handlers", py::dict());
    mod.set("_signal_state", py::dict());
    mod.def("_iteration_opened", {arg("run_id"), arg("tracking_uri")}, iteration_opened,
            rt::doc("Remember a run this process set running, to end it at exit."), rt::returns("None"));
    mod.def("_iteration_ended", {arg("run_id")}, iteration_ended, rt::doc("Forget a run that was ended."),
            rt::returns("None"));
    mod.def("_end_open_iterations", {}, end_open_iterations, rt::doc(END_OPEN_ITERATIONS_DOC), rt::returns("None"));
    mod.get("atexit").attr("register")(mod.get("_end_open_iterations"));
    mod.def("_on_termination_signal", {arg("signum"), arg("frame")}, on_termination_signal,
            rt::doc(ON_TERMINATION_SIGNAL_DOC), rt::returns("None"));

    rt::ClassDef(mod, "Client", {}, R"(The session's connection to the tracking server: its address, its
authenticator and the user record holding the active project and experiment.)")
        .method("__init__", {arg("self"), arg("authenticator").def_none()}, client_init)
        .property("tracking_uri", get_tracking_uri, set_tracking_uri, rt::doc(TRACKING_URI_DOC))
        .property("user", user, rt::doc(R"(The session's user: the authenticator's logged-in user, or, without an
authenticator, a user named by the local login name.)"))
        .method("get_experiment_by_name", {arg("self"), arg("experiment_name")}, get_experiment_by_name,
                rt::doc("The server's experiment record of that name, or None."))
        .method("create_experiment",
                {arg("self"), arg("experiment_name"), arg("artifact_location").def_none(), arg("tags").def_none()},
                create_experiment, rt::doc("Create an experiment on the server and return its ID."))
        .method("get_experiment", {arg("self"), arg("experiment_id")}, get_experiment,
                rt::doc("The server's experiment record of that ID."))
        .method("get_iteration", {arg("self"), arg("iteration_id")}, get_iteration,
                rt::doc("The server's run record of that ID."))
        .method("__repr__", {arg("self")}, client_repr)
        .build();

    rt::ClassDef(mod, "ActiveIteration", {}, ACTIVE_ITERATION_DOC)
        .method("__init__", {arg("self"), arg("client"), arg("run")}, active_init)
        .property("info", info, rt::doc("The run's info record (``run_id``, ``experiment_id``, ``status``, ...)."))
        .property("data", data, rt::doc("The run's data record (``params``, ``metrics``, ``tags``)."))
        .property("iteration_id", iteration_id, rt::doc("The run's ID."), rt::returns("str"))
        .method("__enter__", {arg("self")}, enter)
        .method("__exit__", {arg("self"), arg("exc_type"), arg("exc_value"), arg("traceback")}, exit_block)
        .method("__repr__", {arg("self")}, active_repr)
        .build();
}
