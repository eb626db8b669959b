// Uploading files and folders into an iteration's run.
#include "parts.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace iteration {

namespace {

// Artifacts go to the given run when one is named, without touching the
// current iteration; otherwise to the current one.
py::object artifact_run_id(rt::Call &c, py::handle iteration_id) {
    if (rt::truthy(iteration_id)) return rt::own(iteration_id);
    return current_run_id(c);
}

// Runs `upload` with the tracking library's process-wide tracking address set
// to the session's server, and puts the previous setting (often none) back
// afterwards. The library resolves artifact locations served by the tracking
// server itself ("mlflow-artifacts:") against that process-wide address, not
// against the client's: without this, a team server's artifacts would be
// refused ("scheme 'file' is invalid") or sent to whatever other server the
// address names. The setting is the process's, so this is no safer across
// threads than the library's own global.
template <typename Upload>
void with_session_tracking_uri(rt::Call &c, Upload upload) {
    py::object utils = c.g("_tracking_service_utils");
    py::object previous = utils.attr("_tracking_uri");
    utils.attr("_tracking_uri") = c.self().attr("client").attr("tracking_uri");
    rt::finally(upload, [&] { utils.attr("_tracking_uri") = previous; });
}

// Uploads through the tracking library's `method`, which names the local
// file or folder `path_keyword`.
py::object upload(rt::Call &c, const char *method, const char *path_keyword) {
    auto [self, local_path, artifact_path, iteration_id] = c.args<4>();
    py::object run_id = artifact_run_id(c, iteration_id);
    py::object client = tracker(c);
    with_session_tracking_uri(c, [&] {
        client.attr(method)("run_id"_a = run_id, py::arg(path_keyword) = local_path, "artifact_path"_a = artifact_path);
    });
    return py::none();
}

}  // namespace

py::object log_artifact(rt::Call &c) {
    return upload(c, "log_artifact", "local_path");
}

py::object log_artifacts(rt::Call &c) {
    return upload(c, "log_artifacts", "local_dir");
}

}  // namespace iteration
