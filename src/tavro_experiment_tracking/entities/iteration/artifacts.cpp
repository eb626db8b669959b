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

// Uploads through the tracking library's `method`, which names the local
// file or folder `path_keyword`, with the library's process-wide address set
// to the session's server meanwhile (artifacts the server keeps itself are
// resolved against it).
py::object upload(rt::Call &c, const char *method, const char *path_keyword) {
    auto [self, local_path, artifact_path, iteration_id] = c.args<4>();
    // In the background, the files are snapshotted and uploaded by the
    // background module's helper, unless it says to upload them now (no
    // journal, a file larger than its whole spool); the run is the one
    // values are queued for, with no request to the server.
    if (in_background(c)) {
        if (!rt::truthy(iteration_id) && !rt::truthy(self.attr("iteration_id"))) self.attr("start")();
        py::object run_id = rt::truthy(iteration_id) ? rt::own(iteration_id) : py::object(self.attr("iteration_id"));
        c.g("background").attr("raise_refusal")(run_id);
        if (rt::truthy(c.g("background")
                           .attr("spool_artifacts")(self.attr("client").attr("tracking_uri"), run_id, local_path,
                                                    artifact_path, py::bool_(std::string(method) == "log_artifacts"))))
            return py::none();
    }
    py::object run_id = artifact_run_id(c, iteration_id);
    py::object client = tracker(c);
    c.g("_with_tracking_uri")(self.attr("client").attr("tracking_uri"), client.attr(method), "run_id"_a = run_id,
                              py::arg(path_keyword) = local_path, "artifact_path"_a = artifact_path);
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
