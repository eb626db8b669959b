// Sending journals later: what background logging kept because the tracking
// server did not take it (a process killed, a server unreachable at the
// exit), endings the server did not take, and offline iterations; the
// command line's `sync` (see cli).
//
// Nothing read from the journal folder is taken on trust: it may be a copy
// from a compute node or a colleague, or hold files someone else planted. So
// values go to one server only, the one the user's configuration (or the
// command line) names, logged in as `init` logs in for it; a journal or an
// offline store meant for another server is kept and reported, never sent
// with the user's credentials. A folder another user owns or may write in
// is refused; a symbolic link or another user's file is never read; and an
// offline run's artifacts are its own folder's regular files, whatever its
// metadata says.
#include "runtime.hpp"

#include <unistd.h>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// What was not sent, and why.
py::object failure(rt::Call &c, py::handle path, const py::str &error) {
    return c.g("SyncResult")(path, "error"_a = error);
}

// The journals at `path` (a journal, or a folder of them), oldest first (a
// run's journals in the order its processes wrote them). A symbolic link,
// what is not a regular file and another user's file are left unread, and
// said in `refused` (when given).
py::list journal_files(rt::Call &c, py::handle path, py::object refused = py::none()) {
    py::object os = c.g("os");
    py::object uid = os.attr("geteuid")();
    auto trusted = [&](py::handle where, py::handle st) {
        const char *why = nullptr;
        if (rt::truthy(c.g("stat").attr("S_ISLNK")(st.attr("st_mode"))))
            why = "a symbolic link: not followed";
        else if (!rt::truthy(c.g("stat").attr("S_ISREG")(st.attr("st_mode"))))
            why = "not a regular file: left as it is";
        if (why == nullptr && rt::equal(st.attr("st_uid"), uid)) return true;
        if (!refused.is_none())
            refused.attr("append")(failure(
                c, where,
                why ? py::str(why) : rt::text({"another user (uid ", st.attr("st_uid"), ") owns it: not read"})));
        return false;
    };
    py::list found;
    py::object st;
    try {
        st = os.attr("lstat")(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        return found;
    }
    if (!rt::truthy(c.g("stat").attr("S_ISDIR")(st.attr("st_mode")))) {
        if (trusted(path, st)) found.append(path);
        return found;
    }
    py::list entries;
    for (py::handle entry : py::list(os.attr("scandir")(path))) {
        py::str name = entry.attr("name");
        if (!rt::truthy(name.attr("endswith")(".journal"))) continue;
        py::object entry_st = entry.attr("stat")("follow_symlinks"_a = false);
        if (!trusted(entry.attr("path"), entry_st)) continue;
        entries.append(py::make_tuple(entry_st.attr("st_mtime_ns"), name, entry.attr("path")));
    }
    entries.attr("sort")();
    for (py::handle entry : entries) found.append(entry[py::int_(2)]);
    return found;
}

// A folder of the user's alone, or why not (None: it is).
py::object refused_folder(py::handle folder, const char *what) {
    py::object why = rt::folder_refusal(folder);
    if (why.is_none()) return why;
    return rt::text({"the ", what, " is refused: ", why, "; nothing in it was read"});
}

// One server's address in a form two spellings of it share: scheme and host
// in lower case, the default port made explicit, no trailing slash.
py::object server_key(rt::Call &c, py::handle uri) {
    if (uri.is_none()) return py::none();
    py::str text = py::str(uri).attr("strip")();
    try {
        py::object parts = c.g("urlsplit")(text);
        py::str scheme = parts.attr("scheme").attr("lower")();
        py::object host = parts.attr("hostname");
        if (host.is_none()) return rt::text({scheme, ":", py::str(parts.attr("path")).attr("rstrip")("/")});
        py::object port = parts.attr("port");
        if (port.is_none()) port = rt::equal(scheme, py::str("https")) ? py::int_(443) : py::int_(80);
        return rt::text(
            {scheme, "://", py::str(host).attr("lower")(), ":", port, py::str(parts.attr("path")).attr("rstrip")("/")});
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // a malformed port: only the same text is the same
        return text;
    }
}

bool same_server(rt::Call &c, py::handle a, py::handle b) {
    py::object ka = server_key(c, a), kb = server_key(c, b);
    return !ka.is_none() && !kb.is_none() && rt::equal(ka, kb);
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

// Every run of an offline store's experiment, deleted ones too, in the
// listing's order (newest first).
py::list offline_runs_of(rt::Call &c, py::handle local, py::handle experiment_id) {
    py::list found;
    py::object token = py::none();
    for (;;) {
        py::object page = local.attr("search_runs")(py::make_tuple(experiment_id), "filter_string"_a = "",
                                                    "run_view_type"_a = c.g("ViewType").attr("ALL"),
                                                    "max_results"_a = 1000, "page_token"_a = token);
        for (py::handle run : page) found.append(run);
        token = py::getattr(page, "token", py::none());
        if (!rt::truthy(token)) return found;
    }
}

// The server's run for an offline run: the one a sync already found or made,
// else the run of the same name (as start(iteration_name=...) finds it), else
// a new one with the offline run's start time and tags (its user among them).
py::object server_run(rt::Call &c, py::handle local, py::handle remote, py::handle run) {
    py::object run_id = run.attr("info").attr("run_id");
    py::dict tags(run.attr("data").attr("tags"));
    if (tags.contains(SYNCED_AS)) return tags[SYNCED_AS];
    py::object name = local.attr("get_experiment")(run.attr("info").attr("experiment_id")).attr("name");
    // Another sync or job may make it meanwhile.
    py::object partial = c.g("partial");
    py::object record = c.g("_get_or_create_experiment")(partial(remote.attr("get_experiment_by_name"), name),
                                                         partial(remote.attr("create_experiment"), name),
                                                         remote.attr("get_experiment"))[py::int_(0)];
    if (!rt::equal(record.attr("lifecycle_stage"), c.g("LifecycleStage").attr("ACTIVE")))
        rt::raise(c.g("MlflowException"), rt::text({"the experiment '", record.attr("name"),
                                                    "' is deleted on the tracking server (restore it, then sync "
                                                    "again)"}));
    py::object experiment_id = record.attr("experiment_id");
    py::object server_id = c.g("_find_run_tagged")(remote, experiment_id, OFFLINE_RUN, run_id);
    // What names the run on the server as start() would: its iteration name,
    // or the job whose ranks share it. Made on the server when there is none,
    // agreed on with a script or a sync that makes it at the same moment.
    py::object claim = c.g("_claim_run_tagged");
    py::object key = c.g("EXP_STORE_RUN_NAME");
    if (!tags.contains(key)) key = c.g("_JOB_RUN_TAG");
    bool named = tags.contains(key);
    if (server_id.is_none() && named) server_id = claim(remote, experiment_id, key, tags[key]);
    if (server_id.is_none()) {
        tags[OFFLINE_RUN] = run_id;
        if (named) tags[c.g("_CLAIM_TAG")] = key;
        server_id = remote
                        .attr("create_run")(experiment_id, "start_time"_a = run.attr("info").attr("start_time"),
                                            "tags"_a = tags)
                        .attr("info")
                        .attr("run_id");
        if (named) server_id = claim(remote, experiment_id, key, tags[key], server_id);
    }
    local.attr("set_tag")(run_id, SYNCED_AS, server_id);
    return server_id;
}

// An ID the tracking library's file store names a folder by: letters,
// digits, '-' and '_' (never a path of its own).
bool plain_id(py::handle id) {
    py::str text(id);
    if (!rt::truthy(text) || !rt::truthy(text.attr("isascii")())) return false;
    return rt::truthy(text.attr("replace")("-", "").attr("replace")("_", "").attr("isalnum")());
}

// The run's artifacts: the regular files of the run's own folder in the
// store (whatever its metadata says their location is), each with the
// folder it goes to (None: the top). A symbolic link, or anything but files
// and folders, is refused: what it names is not the run's.
py::list artifact_files(rt::Call &c, const py::object &artifacts) {
    py::object os = c.g("os");
    py::list found, folders;
    if (!rt::truthy(os.attr("path").attr("isdir")(artifacts))) return found;
    folders.append(py::make_tuple(artifacts, py::none()));
    while (!folders.empty()) {
        py::object next = folders.attr("pop")();
        py::object folder = next[py::int_(0)], relative = next[py::int_(1)];
        for (py::handle entry : rt::builtin("sorted")(os.attr("scandir")(folder), "key"_a = c.g("_entry_name"))) {
            py::object inside = relative.is_none() ? py::object(entry.attr("name"))
                                                   : os.attr("path").attr("join")(relative, entry.attr("name"));
            if (rt::truthy(entry.attr("is_symlink")()))
                rt::raise(c.g("MlflowException"),
                          rt::text({"its artifact ", entry.attr("path"),
                                    " is a symbolic link: refused, nothing of its artifacts was sent (put the file "
                                    "itself there, then sync again)"}));
            py::dict own_kind("follow_symlinks"_a = false);
            if (rt::truthy(entry.attr("is_dir")(**own_kind)))
                folders.append(py::make_tuple(entry.attr("path"), inside));
            else if (rt::truthy(entry.attr("is_file")(**own_kind)))
                found.append(py::make_tuple(entry.attr("path"), relative));
            else
                rt::raise(c.g("MlflowException"), rt::text({"its artifact ", entry.attr("path"),
                                                            " is not a regular file: refused, nothing of its "
                                                            "artifacts was sent"}));
        }
    }
    return found;
}

// One offline run to its server; `journals` are its journals' paths. Returns
// what happened, as sync_journal does.
py::object sync_offline_run(rt::Call &c, py::handle local, py::handle meant, const py::str &store, py::handle run,
                            const py::list &journals, py::handle progress) {
    py::object os = c.g("os");
    py::object run_id = run.attr("info").attr("run_id"), experiment_id = run.attr("info").attr("experiment_id");
    py::object folder = os.attr("path").attr("join")(store, experiment_id, run_id);
    py::object result = c.g("SyncResult")(folder, meant, run_id);
    // The run's own folder of this store, resolved: what its metadata names
    // (an experiment or run ID that is a path, a folder that is a link) is
    // neither read nor removed.
    py::object real = os.attr("path").attr("realpath");
    if (!plain_id(experiment_id) || !plain_id(run_id) ||
        !rt::equal(real(folder), os.attr("path").attr("join")(real(store), experiment_id, run_id))) {
        result.attr("error") = rt::text({"its metadata names a run folder outside the store (experiment ",
                                         py::repr(experiment_id), ", run ", py::repr(run_id), "): refused"});
        return result;
    }
    try {
        py::object remote = c.g("create_mlflow_client")(meant);
        py::list artifacts = artifact_files(c, os.attr("path").attr("join")(folder, "artifacts"));
        py::object server_id = server_run(c, local, remote, run);
        for (py::handle journal : journals) {
            py::object sent = c.g("sync_journal")(journal, progress, py::make_tuple(meant, server_id));
            result.attr("add")(sent);
            if (!sent.attr("error").is_none()) {
                result.attr("error") = rt::text({"its values (", journal, "): ", sent.attr("error")});
                return result;
            }
        }
        // The artifacts snapshotted when they were logged (kept in the
        // spool until the server has them); then those an earlier version
        // copied into the store. Sent again whole by a sync run again (the
        // same paths: nothing twice). Those the server
        // keeps itself are resolved against the library's process-wide
        // address, which names this server while they go.
        py::object journal_folder = os.attr("path").attr("dirname")(os.attr("path").attr("dirname")(store));
        for (py::handle snapshot : c.g("spool_snapshots")(journal_folder)) {
            if (!rt::equal(snapshot["tracking_uri"], rt::text({"file://", store})) ||
                !rt::equal(snapshot["run_id"], run_id))
                continue;
            py::tuple outcome = c.g("_upload_snapshot")(snapshot["folder"], py::make_tuple(meant, server_id), true);
            if (!rt::equal(outcome[0], py::str("sent"))) {
                result.attr("error") =
                    rt::text({"its artifacts (", snapshot["folder"], ", ", outcome[0], "): ", outcome[1]});
                return result;
            }
            result.attr("artifacts") = py::object(result.attr("artifacts")) + snapshot["files"];
        }
        for (py::handle item : artifacts)
            c.g("_with_tracking_uri")(meant, remote.attr("log_artifact"), server_id, item[py::int_(0)],
                                      "artifact_path"_a = item[py::int_(1)]);
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
        result.attr("error") = py::str(e.value());
    }
    return result;
}

// An offline store of the journal folder: its folder and the server it is
// meant for.
struct Store {
    py::object folder, meant;
};

// The offline stores in `path` (a journal folder), each read only when it is
// the user's own: the folder not open to others, the file naming the server
// a regular file of theirs.
std::vector<Store> offline_stores(rt::Call &c, py::handle path, py::list &failed) {
    std::vector<Store> stores;
    py::object os = c.g("os");
    py::object root = os.attr("path").attr("join")(path, "offline");
    if (!rt::truthy(os.attr("path").attr("isdir")(root))) return stores;
    py::object refused = refused_folder(root, "offline folder");
    if (!refused.is_none()) {
        failed.append(failure(c, root, refused));
        return stores;
    }
    for (py::handle name : rt::builtin("sorted")(os.attr("listdir")(root))) {
        py::str folder = os.attr("path").attr("join")(root, name);
        if (!rt::truthy(os.attr("path").attr("isdir")(folder))) continue;
        refused = refused_folder(folder, "offline store");
        if (!refused.is_none()) {
            failed.append(failure(c, folder, refused));
            continue;
        }
        py::object named = os.attr("path").attr("join")(folder, "tracking_uri");
        py::list readable = journal_files(c, named, failed);
        if (readable.empty()) continue;
        py::object file = rt::builtin("open")(named, "encoding"_a = "utf-8", "errors"_a = "surrogatepass",
                                              "opener"_a = c.g("_open_nofollow"));
        py::object meant = rt::finally([&] { return file.attr("read")(); }, [&] { file.attr("close")(); });
        stores.push_back({folder, meant});
    }
    return stores;
}

// Every run of an offline store, oldest first. Runs go while nothing works
// in the store: a process that works offline holds its lock.
void sync_store(rt::Call &c, const Store &store, const py::dict &journals, py::handle summary, py::set &runs,
                py::handle progress) {
    py::object named = c.g("os").attr("path").attr("join")(store.folder, "tracking_uri");
    py::object fd = c.g("_open_nofollow")(named, c.g("os").attr("O_RDONLY"));
    try {
        c.g("fcntl").attr("flock")(fd, py::int_(c.g("fcntl").attr("LOCK_EX")) | py::int_(c.g("fcntl").attr("LOCK_NB")));
    } catch (py::error_already_set &e) {
        c.g("os").attr("close")(fd);
        if (!e.matches(PyExc_OSError)) throw;
        py::object busy =
            failure(c, store.folder, py::str("in use: a process is working offline in it (sync once it has ended)"));
        busy.attr("tracking_uri") = store.meant;
        summary.attr("failed").attr("append")(busy);
        return;
    }
    rt::finally(
        [&] {
            py::object local = c.g("MlflowClient")(rt::text({"file://", store.folder}));
            py::list offline_runs;
            for (py::handle experiment : local.attr("list_experiments")("view_type"_a = c.g("ViewType").attr("ALL")))
                for (py::handle run : offline_runs_of(c, local, experiment.attr("experiment_id")))
                    offline_runs.append(py::make_tuple(run.attr("info").attr("start_time"), run));
            offline_runs.attr("sort")("key"_a = c.g("itemgetter")(0));
            for (py::handle entry : offline_runs) {
                py::object run = entry[py::int_(1)];
                py::list run_journals = journals.attr("get")(run.attr("info").attr("run_id"), py::list());
                py::object result =
                    sync_offline_run(c, local, store.meant, py::str(store.folder), run, run_journals, progress);
                summary.attr("journals") = py::object(summary.attr("journals")) + py::int_(py::len(run_journals));
                summary.attr("add")(result);
                if (!result.attr("error").is_none())
                    summary.attr("failed").attr("append")(result);
                else
                    runs.add(py::make_tuple(store.meant, result.attr("run_id")));
            }
        },
        [&] { c.g("os").attr("close")(fd); });
}

// ---- the server and the login ---------------------------------------------------------

// Logged in for `server` as `init` logs in when a script names no
// authenticator: the session's login, else the one the environment
// configures (a kept login included); its token is published before each
// request, so a long sync outlives it.
void log_in(rt::Call &c, py::handle server) {
    py::object context = c.g("context");
    py::object session = context.attr("current_client");
    if (rt::truthy(session) && rt::truthy(session.attr("authenticator"))) {
        c.g("check_authentication")(session.attr("authenticator"));
        return;
    }
    py::object authenticator = c.g("check_authentication")(py::none());
    if (!rt::truthy(authenticator)) return;
    py::object client = c.g("Client")(authenticator);
    client.attr("tracking_uri") = server;
    context.attr("current_client").attr("update")(client);
}

// What sending to `server` met: every journal and store meant for it
// waits, with one line that says why.
bool reachable(rt::Call &c, py::handle server, py::handle summary) {
    py::object why = c.g("server_problem")(py::str(server).attr("rstrip")("/"));
    if (why.is_none()) return true;
    summary.attr("unreachable") = why;
    return false;
}

py::object send_journals(rt::Call &c) {
    auto [path_arg, progress, server_arg] = c.args<3>();
    py::object os = c.g("os");
    py::object path = path_arg.is_none() ? c.g("journal_folder")() : os.attr("fspath")(path_arg);
    py::object server = server_arg.is_none() ? c.g("configured_server")() : rt::own(server_arg);
    py::object summary = c.g("SyncSummary")(path, server);
    py::list failed = summary.attr("failed"), elsewhere = summary.attr("elsewhere");
    py::set runs;
    bool folder = rt::truthy(os.attr("path").attr("isdir")(path));
    if (folder) {
        py::object refused = refused_folder(path, "journal folder");
        if (!refused.is_none()) {
            failed.append(failure(c, path, refused));
            return summary;
        }
    }
    // What is meant for the server, and what for others (kept, said).
    std::vector<Store> stores;
    for (Store &store : folder ? offline_stores(c, path, failed) : std::vector<Store>()) {
        if (same_server(c, store.meant, server))
            stores.push_back(store);
        else
            elsewhere.append(c.g("SyncResult")(store.folder, store.meant));
    }
    py::dict offline_journals;
    py::list journals;
    for (py::handle file : journal_files(c, path, failed)) {
        py::object info = c.g("journal_info")(file);
        // Not a journal, or its header is damaged: said without a server.
        if (info.is_none()) {
            py::object result = c.g("sync_journal")(file, progress);
            // A file that is no journal at all is said, not kept as one.
            if (rt::truthy(py::getattr(result, "not_journal", py::bool_(false))))
                summary.attr("not_journals").attr("append")(file);
            else if (!result.attr("error").is_none())
                failed.append(result);
            continue;
        }
        if (!info.is_none() && rt::truthy(info["offline"])) {
            // Its iteration's store sends it; one that no store of the folder
            // names is said with the stores.
            bool owned = false;
            for (const Store &store : stores)
                owned = owned || rt::equal(info["tracking_uri"], rt::text({"file://", store.folder}));
            if (owned) offline_journals.attr("setdefault")(info["run_id"], py::list()).attr("append")(file);
            continue;
        }
        if (same_server(c, info["tracking_uri"], server))
            journals.append(file);
        else
            elsewhere.append(c.g("SyncResult")(file, info["tracking_uri"], info["run_id"]));
    }
    // The artifacts' snapshots: those of offline runs go with their store;
    // the others as the journals do.
    py::list snapshots, spooled;
    if (folder) {
        py::object spool = os.attr("path").attr("join")(path, "artifacts");
        py::object refused = rt::truthy(os.attr("path").attr("lexists")(spool))
                                 ? refused_folder(spool, "artifact spool")
                                 : py::object(py::none());
        if (refused.is_none())
            spooled = c.g("spool_snapshots")(path);
        else
            failed.append(failure(c, spool, refused));
    }
    for (py::handle snapshot : spooled) {
        py::object uri = snapshot["tracking_uri"];
        if (uri.is_none()) {
            failed.append(c.g("SyncResult")(snapshot["folder"], py::none(), py::none(),
                                            "its manifest is damaged or of a newer version: kept"));
        } else if (rt::truthy(
                       uri.attr("startswith")(rt::text({"file://", os.attr("path").attr("join")(path, "offline")})))) {
            continue;
        } else if (same_server(c, uri, server)) {
            snapshots.append(snapshot);
        } else {
            elsewhere.append(c.g("SyncResult")(snapshot["folder"], uri, snapshot["run_id"]));
        }
    }
    if (stores.empty() && journals.empty() && snapshots.empty()) return summary;
    log_in(c, server);
    if (!reachable(c, server, summary)) {
        summary.attr("journals") = py::int_(py::len(journals));
        return summary;
    }
    // Offline iterations first: their values' journals go with them. Then
    // the artifacts, before the journals that may hold their runs' endings.
    for (const Store &store : stores) sync_store(c, store, offline_journals, summary, runs, progress);
    for (py::handle snapshot : snapshots) {
        py::tuple outcome = c.g("_upload_snapshot")(snapshot["folder"], py::none(), true);
        if (rt::equal(outcome[0], py::str("sent"))) {
            summary.attr("artifacts") = py::object(summary.attr("artifacts")) + snapshot["files"];
            runs.add(py::make_tuple(snapshot["tracking_uri"], snapshot["run_id"]));
            continue;
        }
        failed.append(
            c.g("SyncResult")(snapshot["folder"], snapshot["tracking_uri"], snapshot["run_id"],
                              rt::text({"its artifacts were not uploaded (", outcome[0], "): ", outcome[1]})));
        if (rt::equal(outcome[0], py::str("retry")) && !reachable(c, server, summary)) return summary;
    }
    for (py::handle file : journals) {
        py::object result = c.g("sync_journal")(file, progress);
        summary.attr("journals") = py::object(summary.attr("journals")) + py::int_(1);
        summary.attr("add")(result);
        if (rt::truthy(result.attr("damaged_bytes"))) summary.attr("damaged").attr("append")(result);
        if (!result.attr("error").is_none()) {
            failed.append(result);
            // The server went away meanwhile: the rest waits, said once.
            if (!result.attr("tracking_uri").is_none() && !reachable(c, server, summary)) break;
        } else if (rt::truthy(result.attr("sent")) || !result.attr("ended").is_none()) {
            runs.add(py::make_tuple(result.attr("tracking_uri"), result.attr("run_id")));
        }
    }
    summary.attr("runs") = py::int_(py::len(runs));
    return summary;
}

// ---- the summary -------------------------------------------------------------------

constexpr const char *SUMMARY_COUNTS[] = {"journals", "runs", "sent", "ended", "skipped", "artifacts", "damaged_bytes"};

py::object summary_init(rt::Call &c) {
    auto [self, path, server] = c.args<3>();
    self.attr("path") = path;
    self.attr("server") = server;
    for (const char *count : SUMMARY_COUNTS) self.attr(count) = py::int_(0);
    for (const char *results : {"failed", "damaged", "elsewhere", "not_journals"}) self.attr(results) = py::list();
    self.attr("unreachable") = py::none();
    return py::none();
}

// Counts a result in: its values, skips and damage, as one result adds
// another's, and its ending.
py::object summary_add(rt::Call &c) {
    auto [self, result] = c.args<2>();
    c.g("SyncResult").attr("add")(self, result);
    if (!result.attr("ended").is_none()) self.attr("ended") = py::object(self.attr("ended")) + py::int_(1);
    return py::none();
}

py::object summary_repr(rt::Call &c) {
    py::handle self = c.self();
    py::list fields;
    for (const char *name : {"path", "server", "journals", "runs", "sent", "ended", "skipped", "artifacts",
                             "damaged_bytes", "failed", "damaged", "elsewhere", "unreachable"})
        fields.append(rt::text({name, "=", py::repr(self.attr(name))}));
    return rt::text({py::type::handle_of(self).attr("__name__"), "(", py::str(", ").attr("join")(fields), ")"});
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

// os.open's opener for a file that must not be a symbolic link.
py::object open_nofollow(rt::Call &c) {
    auto [file, flags] = c.args<2>();
    py::object os = c.g("os");
    return os.attr("open")(file, py::int_(flags) | py::int_(os.attr("O_NOFOLLOW")) | py::int_(os.attr("O_CLOEXEC")));
}

py::object entry_name(rt::Call &c) {
    auto [entry] = c.args<1>();
    return entry.attr("name");
}

constexpr const char *SYNC_DOC =
    R"(Send what the journals at ``path`` (a journal, or a folder of them; None: the
journal folder of ``config.journal_folder()``) hold and the tracking server has
not acknowledged, journal by journal, each run's values in the order they were
logged, then the endings their processes could not set. A journal all on the
server is deleted; one that cannot be sent whole is kept, with why. Running it
again sends nothing twice. ``progress`` (a callable) is given the number of
values of each batch sent.

Only what is meant for ``server`` (None: ``config.configured_server()``, the
server ``init`` uses when a script names none) is sent, logged in as ``init``
logs in (the session's login, else the environment's); journals and offline
stores meant for another server are kept, and listed. A folder another user
owns or may write in, a symbolic link and another user's file are refused and
listed; an offline run's artifacts are the regular files of its own folder in
the store. A server that does not answer is said once: nothing is sent and
everything is kept.

Returns a SyncSummary.)";

constexpr const char *SYNC_SUMMARY_DOC =
    R"(What a sync did: ``path``, ``server``, ``journals``, ``runs`` (runs that got
values, artifacts or their ending), ``sent``, ``ended`` (endings set),
``artifacts`` (artifact files uploaded from the spool), ``skipped``
(parameters the runs had already), ``damaged_bytes``, ``failed`` and
``damaged`` (the SyncResults of those journals and runs), ``elsewhere``
(SyncResults of the journals and stores meant for another server, kept),
``not_journals`` (files named that are no journal, left as they are) and
``unreachable`` (why the server could not be reached, or None).)";

}  // namespace

RT_MODULE(sync, m) {
    rt::Module mod(m);
    mod.import("fcntl");
    mod.import("os");
    mod.import("shutil");
    mod.import("stat");
    mod.from("functools", {"partial"});
    mod.from("operator", {"itemgetter"});
    mod.from("typing", {"Any", "Callable", "Dict", "Optional"});
    mod.from("urllib.parse", {"urlsplit"});
    mod.from("tavro_experiment_tracking.config", {"configured_server", "journal_folder"});
    mod.import("tavro_experiment_tracking.context", "context");
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus", "ViewType"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.tracking", {"MlflowClient", "_get_store"});
    mod.from("tavro_experiment_tracking.auth.lookup", {"check_authentication"});
    mod.from("tavro_experiment_tracking.model.tags", {"EXP_STORE_RUN_NAME"});
    mod.from("tavro_experiment_tracking.tracking.background",
             {"SyncResult", "journal_info", "spool_snapshots", "sync_journal", "_upload_snapshot"});
    mod.from("tavro_experiment_tracking.tracking.client",
             {"Client", "_CLAIM_TAG", "_JOB_RUN_TAG", "_claim_run_tagged", "_find_run_tagged",
              "_get_or_create_experiment", "_with_tracking_uri", "create_mlflow_client"});
    mod.from("tavro_experiment_tracking.utils.validation", {"server_problem"});

    rt::ClassDef(mod, "SyncSummary", {}, SYNC_SUMMARY_DOC)
        .method("__init__", {arg("self"), arg("path"), arg("server")}, summary_init)
        .method("add", {arg("self"), arg("result")}, summary_add,
                rt::doc("Count a SyncResult in: its ``sent``, ``skipped`` and ``damaged_bytes``, and its ending."),
                rt::returns("None"))
        .method("__repr__", {arg("self")}, summary_repr)
        .build();
    mod.def("_open_nofollow", {arg("file"), arg("flags")}, open_nofollow,
            rt::doc("An opener (see open()) that never follows a symbolic link."), rt::returns("int"));
    mod.def("_entry_name", {arg("entry")}, entry_name, rt::doc("A folder entry's name (a sort key)."),
            rt::returns("str"));
    mod.def("sync",
            {arg("path").def_none().ann("Optional[str]"),
             rt::kwonly("progress").def_none().ann("Optional[Callable[[int], object]]"),
             rt::kwonly("server").def_none().ann("Optional[str]")},
            send_journals, rt::doc(SYNC_DOC), rt::returns("SyncSummary"));
    mod.def("pending_values", {arg("path").def_none().ann("Optional[str]")}, pending_values,
            rt::doc("Values the journals at ``path`` (None: the journal folder) hold that no server acknowledged."),
            rt::returns("int"));
}
