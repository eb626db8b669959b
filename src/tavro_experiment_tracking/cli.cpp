// The package's command line (`python -m tavro_experiment_tracking`, the
// console script `tavro-experiment-tracking`): `sync` sends what journals and
// offline stores keep; `login`, `logout` and `whoami` keep, remove and show
// a browser login kept between runs.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// What only a command needs, imported when it runs: --help and --version
// answer without loading the tracking library or the login's client.
py::object lazy(const char *module, const char *name) {
    return rt::import_module(module).attr(name);
}

// "1 run", "2 runs".
py::str counted(py::handle count, const char *noun, const char *plural = "s") {
    return rt::text({count, " ", noun, rt::equal(count, py::int_(1)) ? "" : plural});
}

// A line for the terminal: what it quotes of files, servers and providers
// shows its control characters as escapes instead of acting on them.
void say(rt::Call &c, const py::str &line, bool error = false) {
    py::str shown = rt::printable(line);
    if (error)
        rt::builtin("print")(shown, "file"_a = c.g("sys").attr("stderr"));
    else
        rt::builtin("print")(shown);
}

// Journals and stores kept for other servers: one line per server, with the
// command that sends them there.
void report_elsewhere(rt::Call &c, py::handle summary) {
    py::dict by_server;
    for (py::handle kept : summary.attr("elsewhere"))
        by_server.attr("setdefault")(kept.attr("tracking_uri"), py::list()).attr("append")(kept.attr("path"));
    py::object server = summary.attr("server");
    for (py::handle item : by_server.attr("items")()) {
        auto [uri, paths] = rt::unpack2(item);
        say(c,
            rt::text(
                {"Kept for another tracking server: ", counted(py::int_(py::len(paths)), "journal or store", "s"),
                 " meant for ", uri, " (this sync sends to ",
                 server.is_none() ? py::str("no server: none is configured") : py::str(server),
                 " alone, with its login). Send them there with: ", c.g("sync_command")(uri, summary.attr("path"))}),
            true);
    }
}

// What `sync` prints: each journal kept (on standard error, with why), each
// damage skipped, then one line of totals.
void report(rt::Call &c, py::handle summary) {
    for (py::handle damaged : summary.attr("damaged"))
        say(c,
            rt::text({"Skipped ", damaged.attr("damaged_bytes"), " damaged bytes in ", damaged.attr("path"),
                      " (a write torn by a crash, or flipped on the disk): every whole record was read."}),
            true);
    for (py::handle failed : summary.attr("failed")) {
        py::object where = failed.attr("run_id").is_none()
                               ? py::str("")
                               : rt::text({" (run ", failed.attr("run_id"), " on ", failed.attr("tracking_uri"), ")"});
        say(c, rt::text({"Not sent: ", failed.attr("path"), where, ": ", failed.attr("error")}), true);
    }
    for (py::handle file : summary.attr("not_journals"))
        say(c, rt::text({"Not a journal of background logging: ", file, " (left as it is)."}), true);
    report_elsewhere(c, summary);
    if (!summary.attr("unreachable").is_none()) {
        say(c,
            rt::text({"Cannot reach the tracking server at ", summary.attr("server"), ": ", summary.attr("unreachable"),
                      ". Nothing more was sent; every journal is kept: run this again once it answers."}),
            true);
        return;
    }
    if (!rt::truthy(summary.attr("journals")) && !rt::truthy(summary.attr("runs")) &&
        !rt::truthy(summary.attr("failed"))) {
        if (!rt::truthy(summary.attr("elsewhere")))
            say(c, rt::text({"Nothing to send: no journal in ", summary.attr("path"), "."}));
        return;
    }
    py::str line =
        rt::text({"Sent ", counted(summary.attr("sent"), "value"), " into ", counted(summary.attr("runs"), "run"),
                  " from ", counted(summary.attr("journals"), "journal"), " in ", summary.attr("path")});
    if (rt::truthy(summary.attr("artifacts")))
        line = rt::text({line, "; ", counted(summary.attr("artifacts"), "artifact file"), " uploaded"});
    if (rt::truthy(summary.attr("ended")))
        line = rt::text({line, "; ", counted(summary.attr("ended"), "run"), " ended as meant"});
    if (rt::truthy(summary.attr("skipped")))
        line = rt::text({line, "; ", counted(summary.attr("skipped"), "parameter"), " already on the runs"});
    if (rt::truthy(summary.attr("failed")))
        line = rt::text({line, ". Kept (see above): ", counted(py::int_(py::len(summary.attr("failed"))), "journal"),
                         "; run this again once that is mended"});
    say(c, rt::text({line, "."}));
}

// What the user can mend in a login (a refusal, a provider or port that
// will not do, an unreachable provider, nobody signing in) is said in a
// line, not a traceback. HTTP errors are OSErrors.
bool login_failure(rt::Call &c, py::error_already_set &e) {
    return e.matches(py::make_tuple(c.g("ExperimentTrackingException"), rt::builtin("OSError")));
}

int run_sync(rt::Call &c, py::handle args) {
    py::object path = args.attr("path");
    if (!path.is_none() && !rt::truthy(c.g("os").attr("path").attr("exists")(path))) {
        say(c, rt::text({"No journal at ", path, "."}), true);
        return 1;
    }
    // A bar on a terminal; nothing where standard error is a file.
    py::object bar = c.g("tqdm")("total"_a = lazy("tavro_experiment_tracking.tracking.sync", "pending_values")(path),
                                 "unit"_a = " values", "disable"_a = py::none(), "file"_a = c.g("sys").attr("stderr"),
                                 "dynamic_ncols"_a = true);
    py::object summary;
    try {
        summary = rt::finally(
            [&] {
                return lazy("tavro_experiment_tracking.tracking.sync", "sync")(path, "progress"_a = bar.attr("update"),
                                                                               "server"_a = args.attr("server"));
            },
            [&] { bar.attr("close")(); });
    } catch (py::error_already_set &e) {
        // The login for the server failed: nothing was sent, all is kept.
        if (!login_failure(c, e)) throw;
        say(c, rt::text({"Login failed: ", py::str(e.value()), " Nothing was sent; every journal is kept."}), true);
        return 1;
    }
    report(c, summary);
    bool kept = rt::truthy(summary.attr("failed")) || rt::truthy(summary.attr("elsewhere")) ||
                !summary.attr("unreachable").is_none() || rt::truthy(summary.attr("not_journals"));
    return kept ? 1 : 0;
}

// A browser login, kept for the next runs (the same options and variables
// as the authenticator's; those given here win).
int run_login(rt::Call &c, py::handle args) {
    py::object environ = c.g("os").attr("environ");
    py::object issuer = args.attr("issuer");
    if (issuer.is_none()) issuer = environ.attr("get")(c.g("ENV_OIDC_ISSUER_URL"));
    if (!rt::truthy(issuer)) {
        say(c, rt::text({"Which provider? Give --issuer or set ", c.g("ENV_OIDC_ISSUER_URL"), "."}), true);
        return 2;
    }
    py::object client_id = args.attr("client_id"), secret = args.attr("client_secret");
    if (client_id.is_none()) client_id = environ.attr("get")(c.g("ENV_OIDC_CLIENT_ID"));
    if (secret.is_none()) secret = environ.attr("get")(c.g("ENV_OIDC_CLIENT_SECRET"));
    py::dict kwargs("dcr_enabled"_a = py::bool_(client_id.is_none()), "client_id"_a = client_id,
                    "client_secret"_a = secret, "callback_port"_a = args.attr("callback_port"), "keep_login"_a = true);
    if (!args.attr("hostname").is_none()) kwargs["hostname"] = args.attr("hostname");
    if (rt::truthy(args.attr("device"))) kwargs["device_login"] = true;
    py::object user;
    try {
        user = lazy("tavro_experiment_tracking.auth.authenticator", "OIDCAuthenticator")(issuer, **kwargs)
                   .attr("authenticate")();
    } catch (py::error_already_set &e) {
        if (!login_failure(c, e)) throw;
        say(c, rt::text({"Login failed: ", py::str(e.value())}), true);
        return 1;
    }
    say(c, rt::text({"Logged in as ", user.attr("username"), " at ", issuer, "; kept in ", c.g("login_folder")(),
                     " for the next runs (", c.g("ENV_OIDC_KEEP_LOGIN"), "=1 uses it)."}));
    return 0;
}

int run_logout(rt::Call &c, py::handle args) {
    py::list removed;
    try {
        removed = c.g("forget_logins")(args.attr("issuer"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        say(c, py::str(e.value()), true);
        return 1;
    }
    if (!rt::truthy(removed)) {
        say(c, args.attr("issuer").is_none() ? py::str("No login is kept.")
                                             : rt::text({"No login is kept for ", args.attr("issuer"), "."}));
        return 0;
    }
    for (py::handle path : removed) say(c, rt::text({"Removed ", path}));
    return 0;
}

int run_whoami(rt::Call &c) {
    py::list logins = c.g("stored_logins")();
    if (!rt::truthy(logins)) {
        say(c, py::str("No login is kept."));
        return 1;
    }
    for (py::handle login : logins)
        say(c,
            rt::text({login["username"], " at ", login["issuer"],
                      login["client_id"].is_none() ? py::str("") : rt::text({" (client ", login["client_id"], ")"})}));
    return 0;
}

py::object command_line(rt::Call &c) {
    auto [argv, prog] = c.args<2>();
    py::object parser =
        c.g("argparse")
            .attr("ArgumentParser")("prog"_a = prog, "description"_a = "Tools of the experiment tracking client.");
    parser.attr("add_argument")("--version", "action"_a = "version",
                                "version"_a = rt::text({"%(prog)s ", c.g("__version__")}));
    py::object commands = parser.attr("add_subparsers")("dest"_a = "command", "metavar"_a = "COMMAND");
    commands.attr("required") = true;
    py::object sync = commands.attr("add_parser")(
        "sync", "help"_a = "send what background logging and offline work kept to the tracking server",
        "description"_a =
            "Send what background logging kept in its journals (the values the tracking server "
            "had not taken when a process ended, endings it did not take) and the iterations logged "
            "offline to the tracking server, in order, run by run; journals meant for another server "
            "are kept and listed, with the command for each. Running it again sends nothing twice.");
    sync.attr("add_argument")(
        "path", "nargs"_a = "?", "default"_a = py::none(),
        "help"_a = rt::text({"a journal, or a journal folder (default: ", c.g("journal_folder")(), ")"}));
    sync.attr("add_argument")(
        "--server", "metavar"_a = "URL",
        "help"_a = rt::text({"the tracking server to send to, logged in as init() logs in (default: $",
                             c.g("ENV_MLFLOW_TRACKING_URI"),
                             ", else the default server); what is meant for another server is kept"}));
    py::object login = commands.attr("add_parser")(
        "login", "help"_a = "log in (browser or device code) and keep the login for the next runs",
        "description"_a =
            "Log in through the browser (OpenID Connect), or with a code entered on any device, and keep "
            "the login (its refresh token, never the access token) for the next runs, readable by you alone.");
    login.attr("add_argument")("--issuer",
                               "help"_a = rt::text({"the provider (default: $", c.g("ENV_OIDC_ISSUER_URL"), ")"}));
    login.attr("add_argument")("--client-id", "help"_a =
                                                  "a client registered at the provider (default: dynamic "
                                                  "registration)");
    login.attr("add_argument")("--client-secret", "help"_a = "that client's secret");
    login.attr("add_argument")("--hostname", "help"_a = "host name of the local callback (default: localhost)");
    login.attr("add_argument")("--callback-port", "type"_a = rt::builtin("int"),
                               "help"_a = "port of the local callback (default: a free one)");
    login.attr("add_argument")(
        "--device", "action"_a = "store_true",
        "help"_a = rt::text({"log in with a code entered on any device, no browser here (default: when no browser "
                             "is usable, or $",
                             c.g("ENV_OIDC_DEVICE_LOGIN"), ")"}));
    py::object logout = commands.attr("add_parser")("logout", "help"_a = "remove the kept logins",
                                                    "description"_a = "Remove the logins kept for the next runs.");
    logout.attr("add_argument")("--issuer", "help"_a = "only this provider's (default: every login)");
    commands.attr("add_parser")("whoami", "help"_a = "say who the kept logins are (never a token)");
    // A usage error (or --help) is an exit status like the others: the
    // caller exits with it (the console script does), not this function.
    py::object args;
    try {
        args = parser.attr("parse_args")(argv);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_SystemExit)) throw;
        py::object code = e.value().attr("code");
        return code.is_none() ? py::int_(0) : py::int_(code);
    }
    py::str command = args.attr("command");
    if (rt::equal(command, py::str("sync"))) return py::int_(run_sync(c, args));
    if (rt::equal(command, py::str("login"))) return py::int_(run_login(c, args));
    if (rt::equal(command, py::str("logout"))) return py::int_(run_logout(c, args));
    return py::int_(run_whoami(c));
}

constexpr const char *MAIN_DOC =
    R"(The command line; ``argv`` without the program's name (None: ``sys.argv[1:]``).

``sync [--server URL] [PATH]`` sends the journals and offline stores meant for
the server (see tracking.sync.sync()) with a progress bar on a terminal and a
summary; ``login`` logs in through the
browser (or, with ``--device``, a code entered on any device) and keeps the
login for the next runs; ``logout [--issuer URL]``
removes kept logins; ``whoami`` says whose they are. Returns the exit status:
0 when all went well, 1 when something was kept back, a login failed or nobody is logged in,
2 for a usage error.)";

}  // namespace

RT_MODULE(cli, m) {
    rt::Module mod(m);
    mod.import("argparse");
    mod.import("os");
    mod.import("sys");
    mod.from("typing", {"List", "Optional"});
    mod.from("tavro_experiment_tracking", {"__version__"});
    mod.from("tqdm", {"tqdm"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_OIDC_ISSUER_URL", "ENV_OIDC_CLIENT_ID", "ENV_OIDC_CLIENT_SECRET", "ENV_OIDC_KEEP_LOGIN",
              "ENV_OIDC_DEVICE_LOGIN", "ENV_MLFLOW_TRACKING_URI"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.from("tavro_experiment_tracking.config", {"journal_folder", "sync_command"});
    mod.from("tavro_experiment_tracking.auth.store", {"forget_logins", "login_folder", "stored_logins"});

    mod.def("main", {arg("argv").def_none().ann("Optional[List[str]]"), arg("prog").def_none().ann("Optional[str]")},
            command_line, rt::doc(MAIN_DOC), rt::returns("int"));
}
