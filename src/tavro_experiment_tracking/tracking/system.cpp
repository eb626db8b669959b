// What the machine did during a run, and where the run ran: the sampler
// (one native thread a process, reading the kernel's files and the GPUs
// without the GIL, its figures journaled and sent by background logging)
// and the environment record taken when a new run starts.
//
// The module's parts (tracking/system/*.cpp, see parts.hpp) hold the
// bodies; this file holds the module's namespace, the glue the iteration
// calls, and the docstrings.
#include "system/parts.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

using namespace sysmetrics;

namespace {

constexpr const char *ENVIRONMENT_RECORD_DOC =
    R"(The record of where this process runs, as a dict: ``git`` (the repository
holding ``folder``, None: the main script's folder, else the working folder:
``commit``, ``branch``, ``remote_url`` without credentials, ``dirty`` (None when
git could not say within ``RECORD_BOUND`` seconds, 0.1) and ``diff``, the
uncommitted changes of tracked files, cut at 1 MB), ``command`` (the command
line, arguments that name a secret masked), ``python``, ``distributions`` (name
-> version, read from the installed metadata's folders), ``host`` (name,
system, CPU model and count, memory), ``gpus`` and ``gpu_driver`` (through
NVML, when the machine has it) and ``record_seconds``.)";

// The main script's folder, else the working folder.
py::object script_folder(rt::Call &c) {
    py::object os = c.g("os");
    py::object argv = c.g("sys").attr("argv");
    if (py::len(argv) > 0) {
        py::object script = argv[py::int_(0)];
        if (rt::isinstance(script, rt::builtin("str")) && rt::truthy(script) &&
            rt::truthy(os.attr("path").attr("isfile")(script)))
            return os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(script));
    }
    return os.attr("getcwd")();
}

py::object record_of(rt::Call &c) {
    auto [folder] = c.args<1>();
    return c.g("_environment_record")(folder.is_none() ? script_folder(c) : rt::own(folder));
}

// The record for a new run, when it is on: None when off, or when it could
// not be taken (said; the run starts all the same).
py::object record_for_new_run(rt::Call &c) {
    if (!rt::truthy(c.g("environment_record_enabled")())) return py::none();
    py::object record;
    try {
        record = c.g("environment_record")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        c.g("logger").attr("warning")(py::str("The environment record was not taken: {}").format(e.value()));
        return py::none();
    }
    py::object git = record.attr("get")("git");
    if (!git.is_none() && !git.attr("get")("note").is_none() && !rt::truthy(c.g("_said")["bound"])) {
        c.g("_said")["bound"] = true;
        c.g("logger").attr("warning")(
            rt::text({"The environment record says nothing of uncommitted changes: ", git["note"], ". (",
                      c.g("ENV_ENVIRONMENT_RECORD"), "=0 turns the record off.)"}));
    }
    return record;
}

// A run just started: its environment record uploaded (in the background
// when its values are: the spool takes it), its sampler started when
// system metrics are on. A failure here is said; the run goes on.
py::object run_started(rt::Call &c) {
    auto [tracking_uri, run_id, record] = c.args<3>();
    if (!record.is_none()) {
        try {
            py::object folder = c.g("tempfile").attr("mkdtemp")("prefix"_a = "tavro-environment-");
            py::object path = c.g("os").attr("path").attr("join")(folder, "environment.json");
            rt::finally(
                [&] {
                    py::object file = rt::builtin("open")(path, "w", "encoding"_a = "utf-8");
                    rt::finally(
                        [&] {
                            c.g("json").attr("dump")(record, file, "indent"_a = 1, "default"_a = rt::builtin("str"));
                        },
                        [&] { file.attr("close")(); });
                    bool spooled = !c.g("async_logging")().is_none() &&
                                   rt::truthy(c.g("spool_artifacts")(tracking_uri, run_id, path));
                    // (Through the tracking URI: a server may proxy artifacts.)
                    if (!spooled)
                        c.g("_with_tracking_uri")(
                            tracking_uri, c.g("create_mlflow_client")(tracking_uri).attr("log_artifact"), run_id, path);
                },
                [&] { c.g("shutil").attr("rmtree")(folder, "ignore_errors"_a = true); });
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            c.g("logger").attr("warning")(
                py::str("The environment record of iteration {} was not uploaded: {}").format(run_id, e.value()));
        }
    }
    py::object settings = c.g("system_metrics")();
    if (settings.is_none()) return py::none();
    // The ranks of a job sharing a run each log their own figures, under
    // their rank (and node, where the launcher says).
    py::object job = c.g("_job_rank")();
    py::str names("");
    if (!job.is_none())
        names = job["node"].is_none() ? py::str("rank_{}/").format(job["rank"])
                                      : py::str("node_{}/rank_{}/").format(job["node"], job["rank"]);
    c.g("_start_sampling")(tracking_uri, run_id, settings["interval"], names);
    return py::none();
}

}  // namespace

static void import_names(rt::Module &mod) {
    mod.import("json");
    mod.import("logging");
    mod.import("os");
    mod.import("shutil");
    mod.import("sys");
    mod.import("tempfile");
    mod.from("typing", {"Any", "Dict", "Optional"});
    mod.from("mlflow.utils.mlflow_tags", {"MLFLOW_GIT_BRANCH", "MLFLOW_GIT_COMMIT", "MLFLOW_GIT_REPO_URL"});
    mod.from("tavro_experiment_tracking.auth.guard", {"redact"});
    mod.from("tavro_experiment_tracking.config", {"async_logging", "environment_record_enabled", "system_metrics"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_ENVIRONMENT_RECORD"});
    mod.from("tavro_experiment_tracking.tracking.background", {"spool_artifacts"});
    mod.from("tavro_experiment_tracking.tracking.client",
             {"create_mlflow_client", "_ending_hooks", "_job_rank", "_with_tracking_uri"});
    mod.set("_queue_metrics", rt::import_module("tavro_experiment_tracking.tracking.background").attr("queue_metrics"));
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
}

RT_MODULE(system, m) {
    rt::Module mod(m);
    import_names(mod);
    mod.set("_said", py::dict("bound"_a = false));
    // Seconds the environment record may take (git's diff runs meanwhile;
    // what it has not said by then is left out).
    mod.set("RECORD_BOUND", py::float_(0.1));
    mod.def("_environment_record", {arg("folder")}, environment_record);
    mod.def("environment_record", {arg("folder").def_none().ann("Optional[str]")}, record_of,
            rt::doc(ENVIRONMENT_RECORD_DOC), rt::returns("Dict[str, Any]"));
    mod.def("_git_tags", {arg("record")}, git_tags,
            rt::doc("The tracking library's run tags for the repository an environment record names."),
            rt::returns("Dict[str, str]"));
    mod.def("_record_for_new_run", {}, record_for_new_run,
            rt::doc("The environment record for a run about to be made, or None (off, or not taken: said)."));
    mod.def("_run_started", {arg("tracking_uri"), arg("run_id"), arg("record")}, run_started,
            rt::doc("A run started: its environment record (a dict, or None) uploaded as ``environment.json``, its "
                    "system metrics sampled when they are on."),
            rt::returns("None"));
    mod.def("_start_sampling",
            {arg("tracking_uri"), arg("run_id"), arg("interval"), arg("names").def(py::str("")).checked_str()},
            start_sampling,
            rt::doc("Sample the system for ``run_id``, logging every ``interval`` seconds under ``system/`` followed "
                    "by ``names``; False when it is sampled already."),
            rt::returns("bool"));
    mod.def("_stop_sampling", {arg("run_id")}, stop_sampling,
            rt::doc("Stop sampling ``run_id``, its last interval logged first; whether it was sampled."),
            rt::returns("bool"));
    mod.def("_before_ending", {arg("run_id"), arg("timeout"), arg("final")}, before_ending,
            rt::doc("Before runs end: their sampling stops (``run_id`` None: every run's), the last interval "
                    "logged; at the exit (``final``) the sampler's thread ends."),
            rt::returns("None"));
    mod.def("_forget_parent_sampler", {}, forget_parent_sampler,
            rt::doc("In a forked child: the parent's sampler is not the child's."), rt::returns("None"));
    mod.def("_sampler_cpu", {}, sampler_cpu, rt::doc("Seconds of CPU the sampler's thread has used (for benchmarks)."),
            rt::returns("float"));

    module_globals = py::object(m.attr("__dict__")).inc_ref().ptr();
    mod.get("os").attr("register_at_fork")("after_in_child"_a = mod.get("_forget_parent_sampler"));
    // First: the last interval is logged before background logging flushes.
    mod.get("_ending_hooks").attr("insert")(0, mod.get("_before_ending"));
}
