// Sending journals later: what background logging kept because the tracking
// server did not take it (a process killed, a server unreachable at the
// exit), from the command line (`python -m tavro_experiment_tracking sync`,
// `tavro-experiment-tracking sync`) or from code.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// The journals at `path`: the file itself, or a folder's journals, oldest
// first (a run's journals in the order its processes wrote them).
py::list journal_files(rt::Call &c, py::handle path) {
    py::object os = c.g("os");
    if (rt::truthy(os.attr("path").attr("isfile")(path))) return py::list(py::make_tuple(path));
    py::list found;
    if (!rt::truthy(os.attr("path").attr("isdir")(path))) return found;
    py::list entries;
    for (py::handle entry : py::list(os.attr("scandir")(path))) {
        py::str name = entry.attr("name");
        if (!rt::truthy(name.attr("endswith")(".journal")) || !rt::truthy(entry.attr("is_file")())) continue;
        entries.append(py::make_tuple(entry.attr("stat")().attr("st_mtime_ns"), name, entry.attr("path")));
    }
    entries.attr("sort")();
    for (py::handle entry : entries) found.append(entry[py::int_(2)]);
    return found;
}

py::object sync_journals(rt::Call &c) {
    auto [path_arg, progress] = c.args<2>();
    py::object path = path_arg.is_none() ? c.g("journal_folder")() : c.g("os").attr("fspath")(path_arg);
    py::list files = journal_files(c, path);
    py::dict summary("path"_a = path, "journals"_a = py::int_(py::len(files)), "runs"_a = 0, "sent"_a = 0,
                     "skipped"_a = 0, "damaged_bytes"_a = 0, "failed"_a = py::list(), "damaged"_a = py::list());
    py::set runs;
    for (py::handle file : files) {
        py::dict result = c.g("sync_journal")(file, progress);
        for (const char *count : {"sent", "skipped", "damaged_bytes"})
            summary[count] = py::int_(summary[count]) + py::int_(result[count]);
        if (rt::truthy(result["damaged_bytes"])) summary["damaged"].attr("append")(result);
        if (!result["error"].is_none()) {
            summary["failed"].attr("append")(result);
        } else if (rt::truthy(result["sent"])) {
            runs.add(py::make_tuple(result["tracking_uri"], result["run_id"]));
        }
    }
    summary["runs"] = py::int_(py::len(runs));
    return summary;
}

// "1 run", "2 runs".
py::str counted(py::handle count, const char *noun) {
    return rt::text({count, " ", noun, rt::equal(count, py::int_(1)) ? "" : "s"});
}

// What the command prints: each journal kept (on standard error, with why),
// each damaged end skipped, then one line of totals.
void report(rt::Call &c, const py::dict &summary) {
    py::object print = rt::builtin("print");
    py::object stderr_ = c.g("sys").attr("stderr");
    for (py::handle damaged : summary["damaged"])
        print(rt::text({"Skipped ", damaged["damaged_bytes"], " damaged bytes at the end of ", damaged["path"],
                        " (a write torn by a crash): every whole record before them was read."}),
              "file"_a = stderr_);
    for (py::handle failed : summary["failed"]) {
        py::object where = failed["run_id"].is_none()
                               ? py::str("")
                               : rt::text({" (run ", failed["run_id"], " on ", failed["tracking_uri"], ")"});
        print(rt::text({"Not sent: ", failed["path"], where, ": ", failed["error"]}), "file"_a = stderr_);
    }
    if (!rt::truthy(summary["journals"])) {
        print(rt::text({"Nothing to send: no journal in ", summary["path"], "."}));
        return;
    }
    py::str line = rt::text({"Sent ", counted(summary["sent"], "value"), " into ", counted(summary["runs"], "run"),
                             " from ", counted(summary["journals"], "journal"), " in ", summary["path"]});
    if (rt::truthy(summary["skipped"]))
        line = rt::text({line, "; ", counted(summary["skipped"], "parameter"), " already on the runs"});
    if (rt::truthy(summary["failed"]))
        line = rt::text({line, ". Kept (see above): ", counted(py::int_(py::len(summary["failed"])), "journal"),
                         "; run this again once that is mended"});
    print(rt::text({line, "."}));
}

py::object command_line(rt::Call &c) {
    auto [argv, prog] = c.args<2>();
    py::object argparse = c.g("argparse");
    py::object parser =
        argparse.attr("ArgumentParser")("prog"_a = prog, "description"_a = "Tools of the experiment tracking client.");
    py::object commands = parser.attr("add_subparsers")("dest"_a = "command", "metavar"_a = "COMMAND");
    commands.attr("required") = true;
    py::object sync_command = commands.attr("add_parser")(
        "sync", "help"_a = "send what background logging kept in its journals to the tracking server",
        "description"_a =
            "Send what background logging kept in its journals (the values the tracking server "
            "had not taken when a process ended) to the servers they were meant for, in order, run "
            "by run. Running it again sends nothing twice.");
    sync_command.attr("add_argument")(
        "path", "nargs"_a = "?", "default"_a = py::none(),
        "help"_a = rt::text({"a journal, or a folder of journals (default: ", c.g("journal_folder")(), ")"}));
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
    py::object path = args.attr("path");
    if (!path.is_none() && !rt::truthy(c.g("os").attr("path").attr("exists")(path))) {
        rt::builtin("print")(rt::text({"No journal at ", path, "."}), "file"_a = c.g("sys").attr("stderr"));
        return py::int_(1);
    }
    py::object files = journal_files(c, path.is_none() ? c.g("journal_folder")() : path);
    int64_t total = 0;
    for (py::handle file : files) total += c.g("journal_pending")(file).cast<int64_t>();
    // A bar on a terminal; nothing where standard error is a file.
    py::object bar = c.g("tqdm")("total"_a = total, "unit"_a = " values", "disable"_a = py::none(),
                                 "file"_a = c.g("sys").attr("stderr"), "dynamic_ncols"_a = true);
    py::dict summary;
    try {
        summary = c.g("sync")(path, "progress"_a = bar.attr("update"));
    } catch (...) {
        bar.attr("close")();
        throw;
    }
    bar.attr("close")();
    report(c, summary);
    return py::int_(rt::truthy(summary["failed"]) ? 1 : 0);
}

constexpr const char *SYNC_DOC =
    R"(Send what the journals at ``path`` (a journal, or a folder of them; None: the
journal folder of ``config.journal_folder()``) hold and the tracking server has
not acknowledged, journal by journal, each run's values in the order they were
logged. A journal all on the server is deleted; one that cannot be sent whole
is kept, with why. Running it again sends nothing twice. ``progress`` (a
callable) is given the number of values of each batch sent.

Returns a dict: ``path``, ``journals``, ``runs`` (runs that got values),
``sent``, ``skipped`` (parameters the runs had already), ``damaged_bytes``,
``failed`` and ``damaged`` (the results of those journals, each a dict with
``path``, ``tracking_uri``, ``run_id`` and ``error``).)";

constexpr const char *MAIN_DOC =
    R"(The command line: ``sync [PATH]`` sends the journals (see sync()) with a
progress bar on a terminal and a summary at the end. Returns the exit status: 0
when everything was sent, 1 when a journal is kept.)";

}  // namespace

RT_MODULE(sync, m) {
    rt::Module mod(m);
    mod.import("argparse");
    mod.import("os");
    mod.import("sys");
    mod.from("typing", {"Any", "Callable", "Dict", "List", "Optional"});
    mod.from("tqdm", {"tqdm"});
    mod.from("tavro_experiment_tracking.config", {"journal_folder"});
    mod.from("tavro_experiment_tracking.tracking.background", {"journal_pending", "sync_journal"});

    mod.def("sync",
            {arg("path").def_none().ann("Optional[str]"),
             rt::kwonly("progress").def_none().ann("Optional[Callable[[int], object]]")},
            sync_journals, rt::doc(SYNC_DOC), rt::returns("Dict[str, Any]"));
    mod.def("main", {arg("argv").def_none().ann("Optional[List[str]]"), arg("prog").def_none().ann("Optional[str]")},
            command_line, rt::doc(MAIN_DOC), rt::returns("int"));
}
