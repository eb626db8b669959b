// Reserved run-tag keys: the package's vocabulary as stored on the server.
// This module imports nothing, so it can be loaded on its own.
#include "runtime.hpp"

namespace py = pybind11;

RT_MODULE(tags, m) {
    rt::Module mod(m);
    mod.set("EXP_STORE_RUN_NAME", py::str("tavro_experiment_tracking.runName"));
    mod.set("EXP_STORE_PARENT_RUN_ID", py::str("tavro_experiment_tracking.parentRunId"));
    mod.set("EXP_STORE_PROJECT_NAME", py::str("tavro_experiment_tracking.projectName"));
    mod.set("EXP_STORE_PROJECT_DESCRIPTION", py::str("tavro_experiment_tracking.projectDescription"));
    mod.set("EXP_STORE_EXPERIMENT_DESCRIPTION", py::str("tavro_experiment_tracking.experimentDescription"));
}
