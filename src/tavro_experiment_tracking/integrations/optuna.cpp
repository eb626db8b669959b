// Optuna: each finished trial of a study one iteration of the experiment,
// named after the study and the trial's number, whichever worker (thread or
// process, through the study's shared storage) ran it: the name is claimed
// once, so a trial is one run however many workers share the study.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// The run status a trial's state ends its iteration with.
const char *status_of(py::handle state) {
    if (rt::equal(state, py::str("COMPLETE"))) return "FINISHED";
    if (rt::equal(state, py::str("FAIL"))) return "FAILED";
    // Pruned: stopped early from outside, as a run is KILLED.
    return "KILLED";
}

py::object init(rt::Call &c) {
    auto [self, experiment, metric_name] = c.args<3>();
    self.attr("experiment") = experiment;
    self.attr("metric_name") = metric_name;
    return py::none();
}

py::object call(rt::Call &c) {
    auto [self, study, trial] = c.args<3>();
    py::object name = py::str("{}-trial-{}").format(study.attr("study_name"), trial.attr("number"));
    py::str state = trial.attr("state").attr("name");
    py::dict tags;
    tags["optuna.study"] = study.attr("study_name");
    tags["optuna.trial"] = py::str(trial.attr("number"));
    tags["optuna.state"] = state;
    py::object iteration = self.attr("experiment").attr("get_iteration")();
    iteration.attr("start")("iteration_name"_a = name, "tags"_a = tags);
    py::str status(status_of(state));
    // Whatever a logging call meets, the iteration ends, as the trial did.
    try {
        py::dict params;
        for (auto item : py::dict(trial.attr("params"))) params[item.first] = item.second;
        try {
            if (!params.empty()) iteration.attr("log_params")(params);
        } catch (py::error_already_set &e) {
            // Another study of that name ran in this experiment before: its
            // trial keeps what it had, and this study goes on.
            if (!e.matches(c.g("ExperimentTrackingException"))) throw;
            c.g("logger").attr("warning")(
                py::str("Trial {} of study {} was not logged: iteration {} holds a trial of an earlier study of that "
                        "name, with other parameters (give the study a name of its own). {}")
                    .format(trial.attr("number"), py::repr(study.attr("study_name")), py::repr(name), e.value()));
            iteration.attr("end")(status);
            return py::none();
        }
        py::object values = trial.attr("values");
        if (!values.is_none()) {
            py::list all(values);
            py::dict metrics;
            if (all.size() == 1)
                metrics[self.attr("metric_name")] = all[0];
            else
                for (size_t i = 0; i < all.size(); ++i)
                    metrics[py::str("{}_{}").format(self.attr("metric_name"), i)] = all[i];
            iteration.attr("log_metrics")(metrics, "step"_a = trial.attr("number"));
        }
        py::dict intermediate(trial.attr("intermediate_values"));
        for (py::handle step : rt::builtin("sorted")(intermediate)) {
            py::dict one;
            one["intermediate_value"] = intermediate[step];
            iteration.attr("log_metrics")(one, "step"_a = step);
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        iteration.attr("end")("FAILED");
        throw;
    }
    iteration.attr("end")(status);
    return py::none();
}

constexpr const char *CALLBACK_DOC = R"(A study callback: each finished trial becomes one iteration of ``experiment``.

    study.optimize(objective, n_trials=50, callbacks=[OptunaCallback(experiment)])

The iteration is named ``<study name>-trial-<number>`` and tagged
``optuna.study``, ``optuna.trial`` and ``optuna.state``; it holds the trial's
parameters, its value as the metric ``metric_name`` (``metric_name_0``, ...
for several objectives) at the trial's number as step, and its intermediate
values as ``intermediate_value`` by step. It ends FINISHED for a complete
trial, FAILED for a failed one and KILLED for a pruned one. Safe with
``n_jobs > 1`` and with worker processes sharing one study through Optuna's
database storage: a trial is one iteration whichever worker ran it.)";

}  // namespace

RT_MODULE(optuna, m) {
    rt::Module mod(m);
    try {
        rt::import_module("optuna");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        rt::raise(PyExc_ImportError,
                  "The Optuna integration needs Optuna: pip install optuna (it is not a dependency of "
                  "tavro_experiment_tracking)");
    }
    mod.import("logging");
    mod.from("typing", {"Any"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    rt::ClassDef(mod, "OptunaCallback", {}, CALLBACK_DOC)
        .method(
            "__init__",
            {arg("self"), arg("experiment").ann("Any"), rt::kwonly("metric_name").def(py::str("value")).checked_str()},
            init)
        .method("__call__", {arg("self"), arg("study").ann("Any"), arg("trial").ann("Any")}, call, rt::returns("None"))
        .build();
}
