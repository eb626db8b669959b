// Logging in the background: metric values and parameters written into the
// run's journal by the logging calls (or, without a journal, queued in
// memory) as plain C++ records, and sent by one native thread per process in
// the tracking server's batches, in the order they were logged.
//
// The module's parts (tracking/background/*.cpp, see parts.hpp) hold the
// bodies; this file holds the module's namespace and its docstrings.
#include "background/parts.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

using namespace background;

namespace {

constexpr const char *QUEUE_METRICS_DOC =
    R"(Check metric values as the tracking library does and queue them for ``run_id``
(``metrics``: key -> value, all with ``timestamp`` and ``step``). With a journal,
they are written into the run's journal, which the sender reads back: the call
never waits for the sender. Without one, they are queued in memory, and the call
waits for room when the queue is full.)";

constexpr const char *QUEUE_PARAMS_DOC =
    R"(Check parameters (``params``: key -> value, stored as text) against those the
run is known to have and queue the new ones. A changed value raises
ExperimentTrackingException (INVALID_PARAMETER_VALUE), with the one-parameter
message when ``single``.)";

constexpr const char *FLUSH_DOC =
    R"(Wait until every value queued so far is on the tracking server (at most
``timeout`` seconds: TimeoutError then), then raise what the server refused for
``run_id``.)";

constexpr const char *BEFORE_ENDING_DOC =
    R"(Called before runs are ended (end(), leaving a ``with`` block, Ctrl-C, a
termination signal, the exit): flushes within ``timeout`` seconds (None: the
settings' exit timeout); at the interpreter's exit (``final``) stops the sender,
giving up what is left then with one warning. Returns the refusal kept for
``run_id`` (an ExperimentTrackingException), else what the caller should say
with the run's ending when the values were not all on the server in time (a
str), else None.)";

constexpr const char *JOURNAL_INFO_DOC =
    R"(What the journal at ``path`` says of itself: a dict with ``tracking_uri``,
``run_id``, ``offline`` (an offline iteration's), ``pending`` (values the
tracking server has not acknowledged), ``ending`` (it keeps an ending that no
attempt set) and ``understood`` (False when it holds a record this version does
not know); None for what is not a journal, a symbolic link, or a file another
user owns.)";

constexpr const char *KEEP_ENDING_DOC =
    R"(Keep the ending of ``run_id`` (``status``, ``end_time`` in milliseconds) that
could not reach the tracking server at ``tracking_uri``: written after the run's
values into this process's journal of the run, or into a journal of its own in
the journal folder (a run logging synchronously has none), where ``sync``
applies it once the values are on the server. Returns the journal's path;
raises OSError when it cannot be written.)";

constexpr const char *SETTLED_DOC =
    R"(The ending kept for ``run_id`` was set after all (by the exit's attempt): its
journal says so, and goes when it holds nothing else the server lacks.)";

constexpr const char *PREPARE_DOC =
    R"(Read the background logging settings for a run about to start, and make
the journal folder (readable by its owner alone); raises OSError, with what to
do, when it cannot be made or written.)";

constexpr const char *SYNC_RESULT_DOC =
    R"(What a sync did with one journal, or with one offline run: ``path``,
``tracking_uri`` and ``run_id`` (the server and run its values went to, None
when the journal named none), the counts ``sent``, ``skipped``,
``artifacts`` (files uploaded) and ``damaged_bytes``, ``ended`` (the status applied from a kept ending, or None)
and ``error`` (None, or why what is there was kept).)";

constexpr const char *SYNC_JOURNAL_DOC =
    R"(Send what the journal at ``path`` holds and the tracking server has not
acknowledged, run order kept, marking each batch acknowledged as it goes; the
journal is deleted once everything is on the server. ``progress`` (a callable)
is given the number of values of each batch sent. ``target`` (a tracking URI
and a run ID) sends the values there instead: an offline iteration's, once its
run is found or made on the server.

The ending the journal keeps (a run's status and end time that its process
could not set) is applied after the values, unless the run is no longer
running. The journal is read a window at a time: memory stays bounded whatever
its size. It is opened only as the user's own regular file, never through a
symbolic link.

Returns a SyncResult: ``path``, ``tracking_uri``, ``run_id``, ``sent``,
``skipped`` (parameters the run already had), ``damaged_bytes`` (bytes in no
whole record, skipped: damage inside the journal, and a torn or damaged end,
cut off), ``ended`` (the status applied, when it kept an ending) and ``error``
(None, or why the journal, kept, was not sent whole: in use by a live process
or another sync, a record this version does not know, the run deleted on the
server, a parameter the run has with another value, the server unreachable or
refusing).)";

constexpr const char *SPOOL_ARTIFACTS_DOC =
    R"(Snapshot the file ``local_path`` (with ``folder``, every file below the folder
``local_path``) into the spool of the journal folder for ``run_id`` at
``tracking_uri``, and return True: a helper process uploads the snapshot into
``artifact_path`` of the run, and the server gets the files as they were now.
Raises what the upload would raise at the call for a path that is missing or of
the wrong kind, and OSError when the snapshot cannot be written (nothing of it
is kept then). Waits for room while the spool is full. Returns False, with
nothing done, when the files should be uploaded at the call instead: without a
journal, or larger than the whole spool.)";

constexpr const char *UPLOAD_SNAPSHOT_DOC =
    R"(Upload the snapshot in ``folder`` into its run (``target``, a tracking URI and
a run ID: there instead) through the tracking library's artifact repository,
once its files are checked against their checksums. Returns (outcome, text):
"sent" (with the count of files), "retry", "refused", "damaged" (never
uploaded) or "in use". With ``take`` (a sync), the snapshot is locked first and
removed once sent.)";

constexpr const char *SPOOL_SNAPSHOTS_DOC =
    R"(The snapshots in the spool of the journal folder ``folder``, oldest first: dicts of
``folder``, ``tracking_uri``, ``run_id`` (None when its manifest cannot be
read), ``files`` and ``bytes``.)";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("base64");
    mod.import("json");
    mod.import("logging");
    mod.import("os");
    mod.import("posixpath");
    mod.import("shlex");
    mod.import("subprocess");
    mod.import("sys");
    mod.import("time");
    mod.from("typing", {"Any", "Dict", "Optional"});
    mod.from("mlflow.entities", {"Metric", "Param"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("mlflow.store.artifact.artifact_repo", {"verify_artifact_path"});
    mod.from("mlflow.store.artifact.artifact_repository_registry", {"get_artifact_repository"});
    mod.from("mlflow.tracking", {"MlflowClient"});
    mod.from("mlflow.store.tracking.rest_store", {"RestStore"});
    mod.from("mlflow.tracking", {"_get_store"});
    mod.from("mlflow.tracking.request_header.registry", {"resolve_request_headers"});
    mod.from("mlflow.utils.rest_utils", {"verify_rest_response"});
    mod.import("mlflow.utils.validation", "mlflow_validation");
    mod.from("requests.exceptions", {"RequestException"});
    mod.from("requests.utils", {"get_environ_proxies"});
    mod.from("types", {"SimpleNamespace"});
    mod.from("urllib.parse", {"urlsplit"});

    mod.from("tavro_experiment_tracking.config",
             {"async_logging", "_background_settings", "journal_folder", "offline_servers", "sync_command"});
    mod.from("tavro_experiment_tracking.constants", {"ASYNC_EXIT_TIMEOUT"});
    mod.from("tavro_experiment_tracking.exchanges", {"abort_exchanges", "bounded_session"});
    mod.from("tavro_experiment_tracking.exception",
             {"ExperimentTrackingException", "CHANGING_LOGGED_PARAM_MESSAGE", "CHANGING_LOGGED_PARAMS_MESSAGE"});
    mod.from(
        "tavro_experiment_tracking.tracking.client",
        {"create_mlflow_client", "_ending_hooks", "_keep_ending_hooks", "_settled_ending_hooks", "_with_tracking_uri"});
    mod.from("tavro_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
}

RT_MODULE(background, m) {
    rt::Module mod(m);
    import_names(mod);
    // Seconds one `log_batch` exchange may take as a whole.
    mod.set("SEND_TIMEOUT", py::float_(30.0));
    // Run ID -> its parameters as known here; -> what the server refused of
    // it, not yet raised; this process's sending session, by process ID.
    mod.set("_known_params", py::dict());
    mod.set("_refusals", py::dict());
    mod.set("_sessions", py::dict());
    mod.set("_checked_names", py::set());
    // Run ID -> what the server refused of its artifacts, not yet raised;
    // the artifact uploaders' helper processes, by process ID.
    mod.set("_artifact_refusals", py::dict());
    mod.set("_uploaders", py::dict());

    mod.def("queue_metrics",
            {arg("tracking_uri"), arg("run_id"), arg("metrics"), arg("timestamp"), arg("step").def(py::int_(0))},
            queue_metrics, rt::doc(QUEUE_METRICS_DOC), rt::returns("None"));
    mod.def("queue_params", {arg("tracking_uri"), arg("run_id"), arg("params"), arg("single").def(py::bool_(false))},
            queue_params, rt::doc(QUEUE_PARAMS_DOC), rt::returns("None"));
    mod.def("track_run", {arg("run_id"), arg("params")}, track_run,
            rt::doc("Remember the parameters a run has as this process starts or reopens it."), rt::returns("None"));
    mod.def("raise_refusal", {arg("run_id")}, raise_refusal,
            rt::doc("Raise (once) what the tracking server refused of the values queued for ``run_id``."),
            rt::returns("None"));
    mod.def("flush", {arg("run_id").def_none(), arg("timeout").def_none()}, flush, rt::doc(FLUSH_DOC),
            rt::returns("None"));
    mod.def("pending", {}, pending, rt::doc("Values queued and not yet sent (or refused)."), rt::returns("int"));
    mod.def("_before_ending", {arg("run_id"), arg("timeout"), arg("final")}, before_ending, rt::doc(BEFORE_ENDING_DOC));
    mod.def("_send_batch", {arg("tracking_uri"), arg("run_id"), arg("body")}, send_batch,
            rt::doc("Send one batch, its `log_batch` request body given (called by the sender thread): None when "
                    "it is on the server, \"retry\" when it may go through later; raises the server's refusal."));
    mod.def("_request_target", {arg("tracking_uri")}, request_target,
            rt::doc("Where the module's own HTTP client sends a batch for ``tracking_uri`` (host, port, path, header "
                    "lines, deadline in seconds), or None: the tracking library's client carries it (called by the "
                    "sender thread)."));
    mod.def("_answered", {arg("status"), arg("text")}, answered,
            rt::doc("What an answer to a batch means: None (on the server), \"retry\" (it may go through later); "
                    "raises the server's refusal."));
    mod.def("_refused", {arg("run_id"), arg("keys"), arg("error")}, refused,
            rt::doc("Keep a refused batch for the run's iteration (called by the sender thread)."),
            rt::returns("None"));
    mod.def("prepare", {}, prepare, rt::doc(PREPARE_DOC), rt::returns("None"));
    mod.def("spool_artifacts",
            {arg("tracking_uri"), arg("run_id"), arg("local_path"), arg("artifact_path").def_none(),
             arg("folder").def(py::bool_(false))},
            spool_artifacts, rt::doc(SPOOL_ARTIFACTS_DOC), rt::returns("bool"));
    mod.def("_upload_snapshot", {arg("folder"), arg("target").def_none(), arg("take").def(py::bool_(false))},
            upload_snapshot, rt::doc(UPLOAD_SNAPSHOT_DOC));
    mod.def("_upload_worker", {arg("parent")}, upload_worker,
            rt::doc("The artifact uploader's helper process: uploads the snapshots its parent names on standard "
                    "input, one a line, and says what became of each on standard output; ends with its parent (the "
                    "process ID ``parent``)."),
            rt::returns("None"));
    mod.def("_artifacts_refused", {arg("run_id"), arg("snapshot"), arg("reason")}, artifacts_refused,
            rt::doc("Keep a refused artifact upload for the run's iteration (called by the uploader thread)."),
            rt::returns("None"));
    mod.def("spool_snapshots", {arg("folder")}, spool_snapshots, rt::doc(SPOOL_SNAPSHOTS_DOC));
    rt::ClassDef(mod, "SyncResult", {}, SYNC_RESULT_DOC)
        .method("__init__",
                {arg("self"), arg("path"), arg("tracking_uri").def_none(), arg("run_id").def_none(),
                 arg("error").def_none()},
                result_init)
        .method("add", {arg("self"), arg("other")}, result_add,
                rt::doc("Add ``other``'s ``sent``, ``skipped`` and ``damaged_bytes`` to this result's."),
                rt::returns("None"))
        .method("__repr__", {arg("self")}, result_repr)
        .build();
    mod.def("sync_journal", {arg("path"), arg("progress").def_none(), arg("target").def_none()}, sync_journal,
            rt::doc(SYNC_JOURNAL_DOC), rt::returns("SyncResult"));
    mod.def("journal_info", {arg("path")}, journal_info, rt::doc(JOURNAL_INFO_DOC),
            rt::returns("Optional[Dict[str, Any]]"));
    mod.def("_keep_ending", {arg("run_id"), arg("tracking_uri"), arg("status"), arg("end_time")}, keep_ending,
            rt::doc(KEEP_ENDING_DOC), rt::returns("str"));
    mod.def("_ending_settled", {arg("run_id")}, ending_settled, rt::doc(SETTLED_DOC), rt::returns("None"));
    mod.def("_forget_parent_sender", {}, forget_parent_sender,
            rt::doc("In a forked child: the parent's queue and sender are not the child's."), rt::returns("None"));

    module_globals = py::object(m.attr("__dict__")).inc_ref().ptr();
    mod.get("os").attr("register_at_fork")("after_in_child"_a = mod.get("_forget_parent_sender"));
    mod.get("_ending_hooks").attr("append")(mod.get("_before_ending"));
    mod.get("_keep_ending_hooks").attr("append")(mod.get("_keep_ending"));
    mod.get("_settled_ending_hooks").attr("append")(mod.get("_ending_settled"));
}
