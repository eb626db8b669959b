// The parts of the iteration module (entities/iteration.cpp holds the module
// itself: its namespace, the class, the docstrings): what they share, and the
// method bodies each gives the class.
#pragma once

#include "runtime.hpp"

namespace iteration {

namespace py = pybind11;

// A tracking-library client for the iteration's session.
inline py::object tracker(rt::Call &c) {
    return c.g("create_mlflow_client")(c.self().attr("client").attr("tracking_uri"));
}

// The run an operation writes into: the current iteration, started first
// when there is none.
inline py::object current_run_id(rt::Call &c) {
    return c.self().attr("_get_or_start_iteration")().attr("info").attr("run_id");
}

// Milliseconds since the epoch, truncated as int() truncates.
inline py::object now_millis(rt::Call &c) {
    py::object seconds = c.g("time").attr("time")();
    return py::int_(seconds * py::int_(1000));
}

// runs.cpp: starting (a new run, or one opened again), ending, fetching.
py::object init(rt::Call &c);
py::object start(rt::Call &c);
py::object end(rt::Call &c);
py::object flush(rt::Call &c);
py::object get_or_start_iteration(rt::Call &c);
py::object get_iteration(rt::Call &c);
py::object url(rt::Call &c);
py::object repr_html(rt::Call &c);

// logging.cpp: parameters and metrics, sent at once or queued in the background.
bool in_background(rt::Call &c);
py::object log_param(rt::Call &c);
py::object log_params(rt::Call &c);
py::object log_metric(rt::Call &c);
py::object log_metrics(rt::Call &c);
py::object set_tag(rt::Call &c);
py::object set_tags(rt::Call &c);
py::object set_note(rt::Call &c);

// history.cpp: what this process logged, for the console's summary.
void remember(py::handle run_id, py::handle key, py::handle value);
py::object metric_history(rt::Call &c);

// artifacts.cpp: files and folders uploaded into a run.
py::object log_artifact(rt::Call &c);
py::object log_artifacts(rt::Call &c);

}  // namespace iteration
