// An iteration: one run on the tracking server inside an experiment, and the
// logging of parameters, metrics and artifacts into it.
//
// The object remembers a single run ID (its current iteration) and nothing
// else: every operation builds a fresh tracking client from the session
// client's address and fetches what it needs from the server again, so what a
// caller sees always reflects the server.
//
// Its parts: starting (by name or ID) and ending runs, logging, artifacts
// (entities/iteration/*.cpp); this file holds the module's namespace, the
// class and the docstrings.
#include "iteration/parts.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;
using namespace iteration;

namespace {

// ---- docstrings -----------------------------------------------------------------

constexpr const char *START_DOC = R"(
        Start an iteration and make it the current one.

        With ``iteration_name``, the experiment's runs are searched for one of that
        name (the last one listed wins) and it is opened again; with
        ``iteration_id``, that run is opened again. Otherwise a new run is created,
        tagged with the iteration name, the project and the descriptions.
        Processes that start one new name at the same moment all get one run:
        each makes a run, one of them is claimed for the name, and the others
        are deleted before anything is written into them.

        A rank of a distributed job (torchrun, MPI, Slurm) records itself in the
        run; a run its ranks share ends when the last of them ends, with the worst
        status any rank ended with.

        :param iteration_name: Name of the iteration to resume or create.
        :param iteration_id: ID of a run of the active experiment to resume.
        :param experiment_id: Experiment to search by name and to create the run in;
                              the bound experiment by default.
        :param tags: Tags of the run; values are stored as text.
        :param nested: Accepted for compatibility; iterations do not nest.
        :param per_job: Without a name or an ID, give every rank of this
                        distributed job the same run, found again by the job's
                        identity (None: as ``ENV_RUN_PER_JOB`` says; off by default).
        :return ActiveIteration: The started iteration, usable as a context manager.
        )";

constexpr const char *LOG_PARAM_DOC = R"(
        Log a parameter into the current iteration.

        A parameter cannot change once logged: logging the same key with another
        value raises ExperimentTrackingException (INVALID_PARAMETER_VALUE).

        :param str key: Parameter name.
        :param value: Parameter value, stored as text.
        )";

constexpr const char *LOG_PARAMS_DOC = R"(
        Log several parameters into the current iteration.

        The batch is checked against the parameters already logged: when any key
        would change its value, nothing is written and
        ExperimentTrackingException (INVALID_PARAMETER_VALUE) is raised. Keys
        already logged with the same value are accepted. What the server would
        refuse (a bad key, a value over 500 characters) is refused before anything
        is sent. The server takes 100 parameters per request: only a server that
        fails between two of them can leave part of a larger batch stored.

        :param params: Parameter names and values; values are stored as text.
        )";

constexpr const char *LOG_METRIC_DOC = R"(
        Log one metric value into the current iteration, stamped with the current
        time in milliseconds.

        :param str key: Metric name.
        :param float value: Metric value.
        :param step: Training step of the value.
        )";

constexpr const char *LOG_METRICS_DOC = R"(
        Log several metric values into the current iteration; all carry the same
        timestamp and step. What the server would refuse (a bad key, a value that
        is not a number) is refused before anything is sent. The server takes
        1,000 values per request: only a server that fails between two of them can
        leave part of a larger batch stored.

        :param metrics: Metric names and values.
        :param step: Training step of the values (0 when not given).
        )";

constexpr const char *LOG_ARTIFACT_DOC = R"(
        Upload a local file into the artifacts of an iteration.

        :param local_file: Path of the file to upload.
        :param artifact_path: Directory inside the run's artifacts to put it in.
        :param str iteration_id: Run to upload into instead of the current
                                 iteration; no iteration is started then.
        )";

constexpr const char *LOG_ARTIFACTS_DOC = R"(
        Upload the contents of a local directory into the artifacts of an
        iteration.

        :param local_dir: Directory whose files are uploaded.
        :param artifact_path: Directory inside the run's artifacts to put them in.
        :param str iteration_id: Run to upload into instead of the current
                                 iteration; no iteration is started then.
        )";

constexpr const char *END_DOC = R"(
        Mark the current iteration as ended on the server.

        The object keeps its ``iteration_id``: later logging still goes into the
        ended run.

        :param status: Final status name (FINISHED, FAILED, KILLED).
        )";

constexpr const char *FLUSH_DOC = R"(
        Wait until every value logged in the background so far is on the
        tracking server, then raise what the server refused of this iteration's
        values (ExperimentTrackingException). Returns at once when the
        iteration logs synchronously.

        :param timeout: Seconds to wait at most (None: as long as it takes);
                        TimeoutError then, the values still being sent.
        )";

constexpr const char *GET_OR_START_DOC = R"(
        The current iteration, fetched from the server; a new one is started when
        there is none.
        )";

constexpr const char *GET_ITERATION_DOC = R"(
        Fetch a run from the server, without starting it or making it current.

        :param iteration_id: ID of the run.
        :return ActiveIteration: The run as it is on the server.
        )";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("logging");
    mod.import("os");
    mod.import("time");
    mod.from("copy", {"deepcopy"});
    mod.from("typing", {"Any", "Optional", "Dict", "Union"});
    mod.from("mlflow.entities", {"LifecycleStage", "RunStatus", "RunTag", "Param", "Metric"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.tracking", {"_get_store"});
    mod.from("mlflow.tracking.context", {"registry as context_registry"});
    mod.from("mlflow.utils.mlflow_tags", {"MLFLOW_PARENT_RUN_ID", "MLFLOW_RUN_NAME", "MLFLOW_RUN_NOTE"});
    mod.import("mlflow.utils.validation", "mlflow_validation");
    mod.from("tavro_experiment_tracking.entities.experiment", {"Experiment"});
    mod.from("tavro_experiment_tracking.exception",
             {"ExperimentTrackingException", "CHANGING_LOGGED_PARAM_MESSAGE", "CHANGING_LOGGED_PARAMS_MESSAGE"});
    mod.from("tavro_experiment_tracking.model.tags",
             {"EXP_STORE_PARENT_RUN_ID", "EXP_STORE_RUN_NAME", "EXP_STORE_PROJECT_NAME",
              "EXP_STORE_PROJECT_DESCRIPTION", "EXP_STORE_EXPERIMENT_DESCRIPTION"});
    mod.from("tavro_experiment_tracking.tracking.client",
             {"Client", "ActiveIteration", "create_mlflow_client", "_claim_run_tagged", "_CLAIM_TAG", "_JOB_RUN_TAG",
              "_job_rank", "_join_as_rank", "_terminate", "_say_started", "_say_ended", "_ui_url", "_bounded",
              "_failure_reason", "_iteration_opened", "_iteration_ended", "_with_tracking_uri"});
    mod.from("tavro_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});
    mod.from("tavro_experiment_tracking.config", {"async_logging", "run_per_job"});
    mod.import("tavro_experiment_tracking.tracking.background", "background");
    mod.import("tavro_experiment_tracking.tracking.system", "system");
    mod.import("html");
    mod.from("functools", {"partial"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
}

RT_MODULE(iteration, m) {
    rt::Module mod(m);
    import_names(mod);

    rt::ClassDef(mod, "Iteration", {}, R"(One run of an experiment on the tracking server.

The object remembers the ID of its current run (``iteration_id``). Every
logging method writes into that run and starts a new one first when there
is none.)")
        .method("__init__", {arg("self"), arg("experiment").def_none().ann("Optional[Experiment]")}, init)
        .method(
            "start",
            {arg("self"), arg("iteration_name").def_none().ann("Optional[str]"),
             arg("iteration_id").def_none().ann("Optional[str]"), arg("experiment_id").def_none().ann("Optional[str]"),
             arg("tags").def_none().ann("Optional[Dict[str, Any]]"), arg("nested").def(py::bool_(false)),
             rt::kwonly("per_job").def_none().ann("Optional[bool]")},
            start, rt::doc(START_DOC), rt::returns("ActiveIteration"))
        .method("log_param", {arg("self"), arg("key").checked_str(), arg("value").ann("Any")}, log_param,
                rt::doc(LOG_PARAM_DOC))
        .method("log_params", {arg("self"), arg("params").ann("Dict[str, Any]")}, log_params, rt::doc(LOG_PARAMS_DOC))
        .method("log_metric",
                {arg("self"), arg("key").checked_str(), arg("value").checked_float(), arg("step").def(py::int_(0))},
                log_metric, rt::doc(LOG_METRIC_DOC))
        .method("log_metrics",
                {arg("self"), arg("metrics").ann("Dict[str, float]"), arg("step").def_none().ann("Optional[int]")},
                log_metrics, rt::doc(LOG_METRICS_DOC))
        .method("log_artifact",
                {arg("self"), arg("local_file").ann("Union[str, os.PathLike]"),
                 arg("artifact_path").def_none().ann("Union[str, os.PathLike]"),
                 arg("iteration_id").def_none().checked_str()},
                log_artifact, rt::doc(LOG_ARTIFACT_DOC))
        .method("log_artifacts",
                {arg("self"), arg("local_dir").ann("Union[str, os.PathLike]"),
                 arg("artifact_path").def_none().ann("Union[str, os.PathLike]"),
                 arg("iteration_id").def_none().checked_str()},
                log_artifacts, rt::doc(LOG_ARTIFACTS_DOC))
        .method("set_tag", {arg("self"), arg("key").checked_str(), arg("value").ann("Any")}, set_tag,
                rt::doc("Set a tag of the current iteration (its value stored as text); the package's own tags "
                        "(``tavro_experiment_tracking.*``) are refused."),
                rt::returns("None"))
        .method("set_tags", {arg("self"), arg("tags").ann("Dict[str, Any]")}, set_tags,
                rt::doc("Set several tags of the current iteration in one request; refused whole when one is the "
                        "package's own."),
                rt::returns("None"))
        .method("set_note", {arg("self"), arg("text").checked_str()}, set_note,
                rt::doc("Set the current iteration's description, as the UI shows it (Markdown)."), rt::returns("None"))
        .method("end",
                {arg("self"), arg("status").def_expr("RunStatus.to_string(RunStatus.FINISHED)").ann("Optional[str]")},
                end, rt::doc(END_DOC), rt::returns("None"))
        .method("flush", {arg("self"), arg("timeout").def_none().ann("Optional[float]")}, flush, rt::doc(FLUSH_DOC),
                rt::returns("None"))
        .method("_get_or_start_iteration", {arg("self")}, get_or_start_iteration, rt::doc(GET_OR_START_DOC))
        .method("get_iteration", {arg("self"), arg("iteration_id")}, get_iteration, rt::doc(GET_ITERATION_DOC))
        .method("_repr_html_", {arg("self")}, repr_html,
                rt::doc("The iteration as a notebook shows it: name, status, link, parameters and last metrics."),
                rt::returns("str"))
        .property("url", url,
                  rt::doc("The current run's address in the tracking server's UI; None before a run starts, and for "
                          "a store that is no server (offline)."),
                  rt::returns("Optional[str]"))
        .build();
    mod.def("_metric_history", {arg("run_id")}, metric_history,
            rt::doc("What this process logged into the run, for the console's summary (and forgotten): (key, last "
                    "value, course) of its first few metrics."));
    rt::import_module("tavro_experiment_tracking.tracking.client")
        .attr("_console_histories")
        .attr("append")(mod.get("_metric_history"));
}
