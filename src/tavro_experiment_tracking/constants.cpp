// Names and defaults shared by the whole package. Every environment variable
// the package reads or writes is named here (see the README's table).
#include "runtime.hpp"

namespace py = pybind11;

RT_MODULE(constants, m) {
    rt::Module mod(m);
    mod.import("os");
    // Where MLflow users already keep their tracking server's address.
    mod.set("ENV_MLFLOW_TRACKING_URI", py::str("MLFLOW_TRACKING_URI"));
    // The server a script talks to unless it names one: the address MLflow
    // itself would use when that variable is set (read once, at import),
    // else a tracking server on this machine at the usual port. An empty or
    // blank value counts as unset.
    py::object from_environment = mod.get("os").attr("environ").attr("get")(mod.get("ENV_MLFLOW_TRACKING_URI"));
    bool configured = !from_environment.is_none() && rt::truthy(from_environment.attr("strip")());
    mod.set("DEFAULT_TRACK_SERVER", configured ? from_environment : py::str("http://localhost:5000"));
    // `init` with this experiment name returns the project and touches no experiment.
    mod.set("DEFAULT_EXPERIMENT_NAME", py::str("Default"));
    // Set by the cloud platform: the tracking server of the workspace.
    mod.set("ENV_EXP_TRACKING_SERVER_URI", py::str("TAVRO_EXPERIMENT_TRACKING_URI"));
    // Set by the cloud platform (to any value but "", "0", "false", "no"):
    // the process runs on the platform.
    mod.set("ENV_KOVA_CLOUD", py::str("TAVRO_KOVA_CLOUD"));
    // Read by the tracking library on every request: the bearer token.
    mod.set("ENV_MLFLOW_TRACKING_TOKEN", py::str("MLFLOW_TRACKING_TOKEN"));
    // Read by the tracking library (through getpass) as the user of new runs.
    mod.set("ENV_LOGNAME", py::str("LOGNAME"));
    // Keeps the login name the process had before a login replaced it.
    mod.set("ENV_BCK_LOGNAME", py::str("TAVRO_BACKUP_LOGNAME"));
    // Browser login configured from the environment.
    mod.set("ENV_OIDC_ISSUER_URL", py::str("TAVRO_OIDC_ISSUER_URL"));
    mod.set("ENV_OIDC_HOSTNAME", py::str("TAVRO_OIDC_HOSTNAME"));
    mod.set("ENV_OIDC_CLIENT_ID", py::str("TAVRO_OIDC_CLIENT_ID"));
    mod.set("ENV_OIDC_CLIENT_SECRET", py::str("TAVRO_OIDC_CLIENT_SECRET"));
    // The browser login's callback port (optional; a free one when unset).
    mod.set("ENV_OIDC_CALLBACK_PORT", py::str("TAVRO_OIDC_CALLBACK_PORT"));
    // Keep the browser login between runs (as ENV_KOVA_CLOUD is read; off
    // when unset), in the folder ENV_LOGIN_DIR names or the user's config.
    mod.set("ENV_OIDC_KEEP_LOGIN", py::str("TAVRO_OIDC_KEEP_LOGIN"));
    mod.set("ENV_LOGIN_DIR", py::str("TAVRO_LOGIN_DIR"));
    // The device login instead of the browser login: 1 asks for it, 0 never
    // uses it; unset (or "auto"), it is used where no browser is usable.
    mod.set("ENV_OIDC_DEVICE_LOGIN", py::str("TAVRO_OIDC_DEVICE_LOGIN"));
    // Cloud platform login configured from the environment.
    mod.set("ENV_KOVA_REFRESH_TOKEN", py::str("TAVRO_KOVA_REFRESH_TOKEN"));
    mod.set("ENV_KOVA_TOKEN_ENDPOINT", py::str("TAVRO_KOVA_TOKEN_ENDPOINT"));
    mod.set("ENV_KOVA_USERINFO_ENDPOINT", py::str("TAVRO_KOVA_USERINFO_ENDPOINT"));
    mod.set("ENV_KOVA_CLIENT_ID", py::str("TAVRO_KOVA_CLIENT_ID"));
    // Set by a cloud platform login that traded the refresh token it found in
    // the environment for a new one (and removed it from there): the ID of
    // the process that used it. A child process inheriting the environment
    // learns from it why it has no refresh token.
    mod.set("ENV_KOVA_REFRESH_TOKEN_USED", py::str("TAVRO_KOVA_REFRESH_TOKEN_USED"));
    // Logging in the background (any value but "", "0", "false", "no", as
    // ENV_KOVA_CLOUD): read when an iteration starts, unless the script chose
    // with config.use_async_logging().
    mod.set("ENV_ASYNC_LOGGING", py::str("TAVRO_ASYNC_LOGGING"));
    // Background logging's defaults: seconds a queued value may wait for
    // others to share its request; values queued at most (a logging call
    // waits for room beyond); seconds the exit waits for the queue to empty.
    mod.set("ASYNC_FLUSH_INTERVAL", py::float_(1.0));
    mod.set("ASYNC_MAX_QUEUED_RECORDS", py::int_(100000));
    mod.set("ASYNC_EXIT_TIMEOUT", py::float_(30.0));
    // Bytes past which a run's journal goes on in a new segment (a segment
    // the server has whole is removed while the run goes on).
    mod.set("ASYNC_JOURNAL_SEGMENT_BYTES", py::int_(4U << 20U));
    // Requests the sender has under way at once when a backlog makes several batches.
    mod.set("ASYNC_REQUESTS_IN_FLIGHT", py::int_(4));
    // Bytes of artifacts logged in the background that may wait for the
    // server in the spool (a logging call waits for room beyond; a file
    // larger than the whole spool is uploaded at the call); the variable
    // that sets it, when the script does not.
    mod.set("ASYNC_ARTIFACT_SPOOL_BYTES", py::int_(4ULL << 30U));
    mod.set("ENV_ARTIFACT_SPOOL_BYTES", py::str("TAVRO_ARTIFACT_SPOOL_BYTES"));
    // Background logging's journal: off when this is "0", "false" or "no"
    // (on by default); the folder it is kept in, when not the per-user cache.
    mod.set("ENV_JOURNAL", py::str("TAVRO_JOURNAL"));
    mod.set("ENV_JOURNAL_DIR", py::str("TAVRO_JOURNAL_DIR"));
    // Offline (as ENV_KOVA_CLOUD is read): init and iterations contact no
    // server; everything is kept in the journal folder until `sync`.
    mod.set("ENV_OFFLINE", py::str("TAVRO_OFFLINE"));
    // System metrics (as ENV_KOVA_CLOUD is read): a sampler thread reads the
    // machine, the process tree and the GPUs once a second while a run is
    // going and logs each interval's figures (seconds, default below) under
    // `system/`. The environment record (the repository, the command, the
    // packages, the host) is taken when a new run starts: on with system
    // metrics unless its own variable says otherwise.
    mod.set("ENV_SYSTEM_METRICS", py::str("TAVRO_SYSTEM_METRICS"));
    mod.set("ENV_SYSTEM_METRICS_INTERVAL", py::str("TAVRO_SYSTEM_METRICS_INTERVAL"));
    // Off (0, false, no, off): no line on standard error when a run starts or ends.
    mod.set("ENV_CONSOLE", py::str("TAVRO_CONSOLE"));
    // On: start() without a name gives every rank of a distributed job one run.
    mod.set("ENV_RUN_PER_JOB", py::str("TAVRO_RUN_PER_JOB"));
    mod.set("SYSTEM_METRICS_INTERVAL", py::float_(10.0));
    mod.set("ENV_ENVIRONMENT_RECORD", py::str("TAVRO_ENVIRONMENT_RECORD"));
    // Read by the tracking library on every request: how often a failed
    // request is retried.
    mod.set("ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES", py::str("MLFLOW_HTTP_REQUEST_MAX_RETRIES"));
    // Read by the tracking library on every request: seconds to wait for an
    // answer (whole seconds).
    mod.set("ENV_MLFLOW_HTTP_REQUEST_TIMEOUT", py::str("MLFLOW_HTTP_REQUEST_TIMEOUT"));
    // Seconds the reachability probe waits for the tracking server's answer.
    mod.set("SERVER_PROBE_TIMEOUT", py::float_(3.0));
    // Seconds each request of a login (and of the token refresh) may take as
    // a whole: connecting, sending and receiving the complete answer.
    mod.set("AUTH_REQUEST_TIMEOUT", py::float_(60.0));
    // Bytes a login's answer may hold: token, discovery and key answers are a
    // few kilobytes; anything far larger is refused while it arrives.
    mod.set("AUTH_MAX_ANSWER_BYTES", py::int_(1U << 20U));
    // Seconds one attempt to end a run may take when the ending is not the
    // script's own call (leaving a `with` block, Ctrl-C, a termination signal,
    // the interpreter's exit): one request, no retries. Whole seconds, as the
    // tracking library reads its timeout.
    mod.set("RUN_END_TIMEOUT", py::int_(5));
    // Seconds a termination signal gives the values still queued in the
    // background before the runs are ended (within the 10 s it takes in all).
    mod.set("SIGNAL_FLUSH_TIMEOUT", py::float_(4.0));
}
