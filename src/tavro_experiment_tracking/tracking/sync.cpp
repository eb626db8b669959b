// Sending journals later: what background logging kept because the tracking
// server did not take it (a process killed, a server unreachable at the
// exit), and offline iterations; the command line's `sync` (see cli).
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

// ---- offline iterations -------------------------------------------------------------
//
// An offline store (config.offline_store) is a store of the tracking library
// of its own, in the journal folder, for one server: its experiments and runs
// hold everything but the values, which are in journals. A sync gets or
// creates each experiment by name on the server, reopens the run of the same
// name as start(iteration_name=...) would or creates the run with its
// original tags, user and start time, sends the values with their original
// time stamps, the artifacts, then the end (status and time), and removes the
// run from the store. The local run records which server run it became, and
// a run made on the server carries the local ID until its sync ends, so that
// a sync stopped half-way and run again makes nothing twice.

constexpr const char *SYNCED_AS = "tavro_experiment_tracking.sync.serverRunId";
constexpr const char *OFFLINE_RUN = "tavro_experiment_tracking.sync.offlineRunId";

// Every run of `experiment_ids` on `client` matching `filter` (None: all), in
// the listing's order (newest first), deleted ones too when `all`.
py::list runs_of(rt::Call &c, py::handle client, py::handle experiment_id, const py::object &filter, bool all) {
    py::list found;
    py::object token = py::none();
    py::object view = all ? c.g("ViewType").attr("ALL") : c.g("ViewType").attr("ACTIVE_ONLY");
    for (;;) {
        py::object page =
            client.attr("search_runs")(py::make_tuple(experiment_id), "filter_string"_a = filter,
                                       "run_view_type"_a = view, "max_results"_a = 1000, "page_token"_a = token);
        for (py::handle run : page) found.append(run);
        token = py::getattr(page, "token", py::none());
        if (!rt::truthy(token)) return found;
    }
}

// A search filter for tag `key` equal to `value`, or "" when the search
// syntax cannot quote it (then every run is looked at).
py::str tag_filter(py::handle key, py::handle value) {
    for (const char *unquotable : {"'", "\"", "`", "\\"})
        if (rt::truthy(value.attr("__contains__")(unquotable))) return py::str("");
    if (!rt::truthy(value.attr("isprintable")())) return py::str("");
    return rt::text({"tags.`", key, "` = '", value, "'"});
}

// The run of the server's experiment whose tag `key` is `value`: the last in
// listing order, as start(iteration_name=...) picks; None when there is none.
py::object server_run_tagged(rt::Call &c, py::handle remote, py::handle experiment_id, py::handle key,
                             py::handle value) {
    py::str filter = tag_filter(key, value);
    py::object found = py::none();
    for (py::handle run :
         runs_of(c, remote, experiment_id, rt::truthy(filter) ? py::object(filter) : py::none(), false))
        if (rt::equal(run.attr("data").attr("tags").attr("get")(key), value)) found = rt::own(run);
    return found;
}

// The server's experiment of that name, made when there is none (another
// sync or job may make it meanwhile).
py::object server_experiment(rt::Call &c, py::handle remote, py::handle name) {
    py::object record = remote.attr("get_experiment_by_name")(name);
    if (rt::truthy(record)) return record;
    try {
        return remote.attr("get_experiment")(remote.attr("create_experiment")(name));
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("MlflowException")) ||
            !rt::equal(e.value().attr("error_code"), py::str("RESOURCE_ALREADY_EXISTS")))
            throw;
        return remote.attr("get_experiment_by_name")(name);
    }
}

// The server's run for an offline run: the one a sync already found or made,
// else the run of the same name (as start(iteration_name=...) finds it), else
// a new one with the offline run's start time and tags (its user among them).
py::object server_run(rt::Call &c, py::handle local, py::handle remote, py::handle run) {
    py::object run_id = run.attr("info").attr("run_id");
    py::dict tags(run.attr("data").attr("tags"));
    if (tags.contains(SYNCED_AS)) return tags[SYNCED_AS];
    py::object experiment = local.attr("get_experiment")(run.attr("info").attr("experiment_id"));
    py::object record = server_experiment(c, remote, experiment.attr("name"));
    if (!rt::equal(record.attr("lifecycle_stage"), c.g("LifecycleStage").attr("ACTIVE")))
        rt::raise(c.g("MlflowException"), rt::text({"the experiment '", record.attr("name"),
                                                    "' is deleted on the tracking server (restore it, then sync "
                                                    "again)"}));
    py::object experiment_id = record.attr("experiment_id");
    py::object found = server_run_tagged(c, remote, experiment_id, py::str(OFFLINE_RUN), run_id);
    py::object name = tags.attr("get")(c.g("EXP_STORE_RUN_NAME"));
    if (found.is_none() && !name.is_none())
        found = server_run_tagged(c, remote, experiment_id, c.g("EXP_STORE_RUN_NAME"), name);
    if (found.is_none()) {
        tags[OFFLINE_RUN] = run_id;
        found = remote.attr("create_run")(experiment_id, "start_time"_a = run.attr("info").attr("start_time"),
                                          "tags"_a = tags);
    }
    py::object server_id = found.attr("info").attr("run_id");
    local.attr("set_tag")(run_id, SYNCED_AS, server_id);
    return server_id;
}

// One offline run to its server; `journals` are its journals' paths. Returns
// what happened, as sync_journal does.
py::dict sync_offline_run(rt::Call &c, py::handle local, py::handle meant, const py::str &store, py::handle run,
                          const py::list &journals, py::handle progress) {
    py::object os = c.g("os");
    py::object run_id = run.attr("info").attr("run_id");
    py::object folder = os.attr("path").attr("join")(store, run.attr("info").attr("experiment_id"), run_id);
    py::dict result("path"_a = folder, "tracking_uri"_a = meant, "run_id"_a = run_id, "sent"_a = 0, "skipped"_a = 0,
                    "damaged_bytes"_a = 0, "error"_a = py::none());
    try {
        py::object remote = c.g("create_mlflow_client")(meant);
        py::object server_id = server_run(c, local, remote, run);
        for (py::handle journal : journals) {
            py::dict sent = c.g("sync_journal")(journal, progress, py::make_tuple(meant, server_id));
            for (const char *count : {"sent", "skipped", "damaged_bytes"})
                result[count] = py::int_(result[count]) + py::int_(sent[count]);
            if (!sent["error"].is_none()) {
                result["error"] = rt::text({"its values (", journal, "): ", sent["error"]});
                return result;
            }
        }
        // The artifacts, copied when they were logged; sent again whole by a
        // sync run again (the same paths: nothing twice).
        py::object artifacts = c.g("local_file_uri_to_path")(run.attr("info").attr("artifact_uri"));
        if (rt::truthy(os.attr("path").attr("isdir")(artifacts)) && rt::truthy(os.attr("listdir")(artifacts))) {
            // Artifacts the server keeps itself ("mlflow-artifacts:") are
            // resolved against the library's process-wide address, whatever
            // the client's: it names this server while they go.
            py::object utils = c.g("_tracking_service_utils");
            py::object previous = utils.attr("_tracking_uri");
            utils.attr("_tracking_uri") = meant;
            rt::finally([&] { remote.attr("log_artifacts")(server_id, artifacts); },
                        [&] { utils.attr("_tracking_uri") = previous; });
        }
        // The end as the offline run had it; one that never ended (its
        // process killed) is running, with the end time it had, as start()
        // leaves a run it opens again.
        py::object status = run.attr("info").attr("status");
        if (!rt::equal(status, py::str("RUNNING")))
            remote.attr("set_terminated")(server_id, status, "end_time"_a = run.attr("info").attr("end_time"));
        else
            c.g("_get_store")("store_uri"_a = meant)
                .attr("update_run_info")(
                    server_id, "run_status"_a = c.g("RunStatus").attr("RUNNING"),
                    "end_time"_a = remote.attr("get_run")(server_id).attr("info").attr("end_time"));
        // Made by a sync: the mark that kept a second sync from making it
        // again goes, and the run is as it would be had it been logged online.
        if (rt::truthy(remote.attr("get_run")(server_id).attr("data").attr("tags").attr("__contains__")(OFFLINE_RUN)))
            remote.attr("delete_tag")(server_id, OFFLINE_RUN);
        c.g("shutil").attr("rmtree")(folder);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        result["error"] = py::str(e.value());
    }
    return result;
}

// Every offline store in `path` (a journal folder), its runs oldest first.
// Runs go while nothing works in the store: a process that works offline
// holds its lock.
void sync_offline(rt::Call &c, py::handle path, const py::dict &summary, py::set &runs, py::handle progress) {
    py::object os = c.g("os");
    py::object root = os.attr("path").attr("join")(path, "offline");
    if (!rt::truthy(os.attr("path").attr("isdir")(root))) return;
    // Journals by offline run.
    py::dict journals;
    for (py::handle file : journal_files(c, path)) {
        py::object info = c.g("journal_info")(file);
        if (info.is_none() || !rt::truthy(info["offline"])) continue;
        journals.attr("setdefault")(info["run_id"], py::list()).attr("append")(file);
    }
    py::list names = rt::builtin("sorted")(os.attr("listdir")(root));
    for (py::handle name : names) {
        py::str store = os.attr("path").attr("join")(root, name);
        py::object named = os.attr("path").attr("join")(store, "tracking_uri");
        if (!rt::truthy(os.attr("path").attr("isfile")(named))) continue;
        py::object file = rt::builtin("open")(named, "encoding"_a = "utf-8", "errors"_a = "surrogatepass");
        py::object meant = file.attr("read")();
        py::object fd = file.attr("fileno")();
        try {
            c.g("fcntl").attr("flock")(fd,
                                       py::int_(c.g("fcntl").attr("LOCK_EX")) | py::int_(c.g("fcntl").attr("LOCK_NB")));
        } catch (py::error_already_set &e) {
            file.attr("close")();
            if (!e.matches(PyExc_OSError)) throw;
            summary["failed"].attr("append")(
                py::dict("path"_a = store, "tracking_uri"_a = meant, "run_id"_a = py::none(),
                         "error"_a = "in use: a process is working offline in it (sync once it has ended)"));
            continue;
        }
        rt::finally(
            [&] {
                py::object local = c.g("MlflowClient")(rt::text({"file://", store}));
                py::list offline_runs;
                for (py::handle experiment :
                     local.attr("list_experiments")("view_type"_a = c.g("ViewType").attr("ALL")))
                    for (py::handle run : runs_of(c, local, experiment.attr("experiment_id"), py::none(), true))
                        offline_runs.append(py::make_tuple(run.attr("info").attr("start_time"), run));
                offline_runs.attr("sort")("key"_a = py::module_::import("operator").attr("itemgetter")(0));
                for (py::handle entry : offline_runs) {
                    py::object run = entry[py::int_(1)];
                    py::object run_journals = journals.attr("get")(run.attr("info").attr("run_id"), py::list());
                    py::dict result = sync_offline_run(c, local, meant, store, run, run_journals, progress);
                    summary["journals"] = py::int_(summary["journals"]) + py::int_(py::len(run_journals));
                    for (const char *count : {"sent", "skipped", "damaged_bytes"})
                        summary[count] = py::int_(summary[count]) + py::int_(result[count]);
                    if (!result["error"].is_none())
                        summary["failed"].attr("append")(result);
                    else
                        runs.add(py::make_tuple(meant, result["run_id"]));
                }
            },
            [&] { file.attr("close")(); });
    }
}

py::object sync_journals(rt::Call &c) {
    auto [path_arg, progress] = c.args<2>();
    py::object path = path_arg.is_none() ? c.g("journal_folder")() : c.g("os").attr("fspath")(path_arg);
    py::dict summary("path"_a = path, "journals"_a = 0, "runs"_a = 0, "sent"_a = 0, "skipped"_a = 0,
                     "damaged_bytes"_a = 0, "failed"_a = py::list(), "damaged"_a = py::list());
    py::set runs;
    // Offline iterations first: their values' journals go with them.
    if (rt::truthy(c.g("os").attr("path").attr("isdir")(path))) sync_offline(c, path, summary, runs, progress);
    for (py::handle file : journal_files(c, path)) {
        py::object info = c.g("journal_info")(file);
        if (!info.is_none() && rt::truthy(info["offline"])) continue;  // its iteration's sync said why it is kept
        py::dict result = c.g("sync_journal")(file, progress);
        summary["journals"] = py::int_(summary["journals"]) + py::int_(1);
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

// What the journals at `path` hold that the servers have not acknowledged
// (a progress bar's total).
py::object pending_values(rt::Call &c) {
    auto [path_arg] = c.args<1>();
    py::object path = path_arg.is_none() ? c.g("journal_folder")() : c.g("os").attr("fspath")(path_arg);
    int64_t total = 0;
    for (py::handle file : journal_files(c, path)) {
        py::object info = c.g("journal_info")(file);
        if (!info.is_none()) total += info["pending"].cast<int64_t>();
    }
    return py::int_(total);
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

}  // namespace

RT_MODULE(sync, m) {
    rt::Module mod(m);
    mod.import("fcntl");
    mod.import("os");
    mod.import("shutil");
    mod.from("typing", {"Any", "Callable", "Dict", "Optional"});
    mod.from("tavro_experiment_tracking.config", {"journal_folder"});
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus", "ViewType"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.tracking", {"MlflowClient", "_get_store"});
    mod.import("mlflow.tracking._tracking_service.utils", "_tracking_service_utils");
    mod.from("mlflow.utils.file_utils", {"local_file_uri_to_path"});
    mod.from("tavro_experiment_tracking.model.tags", {"EXP_STORE_RUN_NAME"});
    mod.from("tavro_experiment_tracking.tracking.background", {"journal_info", "sync_journal"});
    mod.from("tavro_experiment_tracking.tracking.client", {"create_mlflow_client"});

    mod.def("sync",
            {arg("path").def_none().ann("Optional[str]"),
             rt::kwonly("progress").def_none().ann("Optional[Callable[[int], object]]")},
            sync_journals, rt::doc(SYNC_DOC), rt::returns("Dict[str, Any]"));
    mod.def("pending_values", {arg("path").def_none().ann("Optional[str]")}, pending_values,
            rt::doc("Values the journals at ``path`` (None: the journal folder) hold that no server acknowledged."),
            rt::returns("int"));
}
