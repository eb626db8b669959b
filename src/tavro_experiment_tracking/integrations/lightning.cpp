// PyTorch Lightning: a logger that logs a fit into an iteration through the
// iteration's own calls (so background logging, its journal and the logins
// work under it). Hyperparameters are flattened and kept whole (see
// hyperparameters.hpp), the fit's end gives the run its status (Ctrl-C
// KILLED, a failure FAILED), and checkpoints go up through the artifact
// store the server offers, proxied included. Rank 0 logs; another rank only
// into a run it started itself (ranks sharing one run), under its rank.
#include "hyperparameters.hpp"
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// The global rank as Lightning sets it for its own rank-zero-only calls.
long global_rank(rt::Call &c) {
    return py::int_(py::getattr(c.g("rank_zero_only"), "rank", py::int_(0))).cast<long>();
}

py::object logging_into(rt::Call &c, py::handle self) {
    return tavro_integrations::logging_into(self, global_rank(c) == 0);
}

py::object init(rt::Call &c) {
    auto [self, iteration, checkpoint] = c.args<3>();
    c.super().attr("__init__")();
    self.attr("iteration") = iteration;
    self.attr("checkpoint") = py::bool_(rt::truthy(checkpoint));
    self.attr("_owned") = py::bool_(false);
    self.attr("_skipped") = py::set();
    self.attr("_whole") = py::dict();
    self.attr("_uploaded") = py::none();
    return py::none();
}

py::object name(rt::Call &c) {
    py::object experiment = py::getattr(c.self().attr("iteration"), "experiment", py::none());
    return experiment.is_none() ? py::object(py::str("tavro")) : py::object(py::str(experiment.attr("name")));
}

py::object version(rt::Call &c) {
    py::object iteration = logging_into(c, c.self());
    return iteration.is_none() ? py::object(py::none()) : py::object(iteration.attr("iteration_id"));
}

py::object experiment(rt::Call &c) {
    py::object iteration = logging_into(c, c.self());
    return iteration.is_none() ? c.g("_DummyExperiment")() : iteration;
}

py::object log_hyperparams(rt::Call &c) {
    auto [self, params, args, kwargs] = c.args<4>();
    (void)args;
    (void)kwargs;
    // The ranks' hyperparameters are the same: rank 0's are the run's.
    if (global_rank(c) != 0) return py::none();
    py::object iteration = logging_into(c, self);
    py::dict flat;
    tavro_integrations::flatten(params, py::str(""), flat, true);
    tavro_integrations::log_hyperparameters(iteration, flat, self.attr("_whole"), c.g("logger"));
    return py::none();
}

py::object log_metrics(rt::Call &c) {
    auto [self, metrics, step] = c.args<3>();
    py::object iteration = logging_into(c, self);
    if (iteration.is_none()) return py::none();
    long rank = global_rank(c);
    py::str prefix = rank == 0 ? py::str("") : py::str("rank_{}/").format(rank);
    py::dict values = tavro_integrations::numbers(self, metrics, prefix, "Lightning metric", c.g("logger"));
    if (values.empty()) return py::none();
    if (step.is_none())
        iteration.attr("log_metrics")(values);
    else
        iteration.attr("log_metrics")(values, "step"_a = step);
    return py::none();
}

// How Lightning's "failed" ended: Ctrl-C reaches finalize while Lightning
// handles it (it then stops the fit, or exits), anything else is a failure.
const char *failed_status(rt::Call &c) {
    py::object current = c.g("sys").attr("exc_info")()[py::int_(0)];
    return !current.is_none() && rt::issubclass(current, rt::builtin("KeyboardInterrupt")) ? "KILLED" : "FAILED";
}

py::object finalize(rt::Call &c) {
    auto [self, status] = c.args<2>();
    py::object iteration = self.attr("iteration");
    if (!rt::truthy(iteration.attr("iteration_id"))) return py::none();
    bool success = rt::equal(status, py::str("success")) || rt::equal(status, py::str("finished"));
    const char *ending = success ? "FINISHED" : failed_status(c);
    if (rt::truthy(self.attr("_owned"))) {
        iteration.attr("end")(ending);
        return py::none();
    }
    // A run its caller started is ended by its caller: its block, or its
    // end(). Except after Ctrl-C, which Lightning does not let reach that
    // block as such: the run is KILLED here, and the block leaves it so.
    if (std::string(ending) == "KILLED") {
        py::object run_id = iteration.attr("iteration_id");
        iteration.attr("end")(ending);
        c.g("tracking_client").attr("_signalled").attr("add")(run_id);
    }
    return py::none();
}

py::object after_save_checkpoint(rt::Call &c) {
    auto [self, checkpoint_callback] = c.args<2>();
    if (!rt::truthy(self.attr("checkpoint")) || global_rank(c) != 0) return py::none();
    // The best so far (without a monitored value, the newest).
    py::object path = py::getattr(checkpoint_callback, "best_model_path", py::str(""));
    if (!rt::truthy(path)) path = py::getattr(checkpoint_callback, "_last_checkpoint_saved", py::str(""));
    py::object os_path = c.g("os").attr("path");
    if (!rt::truthy(path) || !rt::truthy(os_path.attr("isfile")(path))) return py::none();
    // Saved again under the same name (a "last" checkpoint) counts as new.
    py::tuple seen = py::make_tuple(path, os_path.attr("getmtime")(path));
    if (rt::equal(seen, self.attr("_uploaded"))) return py::none();
    logging_into(c, self).attr("log_artifact")(path, "checkpoints");
    self.attr("_uploaded") = seen;
    return py::none();
}

constexpr const char *LOGGER_DOC = R"(Logs a Lightning fit into ``iteration``.

    trainer = Trainer(logger=LightningLogger(iteration, checkpoint=True))

Metrics are logged at Lightning's step (a value that is no number is left
out, said once). Hyperparameters are flattened (nested keys joined with
dots) and logged whole; one longer than the server takes is logged cut and
whole in the artifact ``hyperparameters.json``, and a refused one is said.
With ``checkpoint``, the best checkpoint so far goes up as
``checkpoints/<file name>`` each time the checkpoint callback saves it.

When the iteration has no run, the logger starts one and ends it when the fit
does: FINISHED, KILLED after Ctrl-C, FAILED after an error. A run started by
the caller is ended by the caller (its block or ``end()``), except that
Ctrl-C makes it KILLED here. Rank 0 logs; another rank of a job only into a
run it started itself (the ranks sharing one run), its metrics as
``rank_<r>/<name>``.)";

}  // namespace

RT_MODULE(lightning, m) {
    rt::Module mod(m);
    // The unified package first, then the older standalone one.
    py::object loggers;
    py::object rank_zero;
    try {
        loggers = rt::import_module("lightning.pytorch.loggers.logger");
        rank_zero = rt::import_module("lightning.pytorch.utilities.rank_zero");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        try {
            loggers = rt::import_module("pytorch_lightning.loggers.logger");
            rank_zero = rt::import_module("pytorch_lightning.utilities.rank_zero");
        } catch (py::error_already_set &) {
            rt::raise(PyExc_ImportError,
                      py::str("The Lightning integration needs PyTorch Lightning 2: pip install lightning (it is not "
                              "a dependency of tavro_experiment_tracking) ({})")
                          .format(py::str(e.value())));
        }
    }
    mod.import("logging");
    mod.import("os");
    mod.import("sys");
    mod.from("typing", {"Any", "Optional"});
    mod.set("rank_zero_only", rank_zero.attr("rank_zero_only"));
    mod.set("_DummyExperiment", loggers.attr("DummyExperiment"));
    mod.set("tracking_client", rt::import_module("tavro_experiment_tracking.tracking.client"));
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    rt::ClassDef(mod, "LightningLogger", {loggers.attr("Logger")}, LOGGER_DOC)
        .method("__init__",
                {arg("self"), arg("iteration").ann("Any"), rt::kwonly("checkpoint").def(py::bool_(false)).ann("bool")},
                init)
        .property("name", name, rt::doc("The iteration's experiment's name."), rt::returns("str"))
        .property("version", version, rt::doc("The run's ID (the run started when there is none, on rank 0)."),
                  rt::returns("Optional[str]"))
        .property("experiment", experiment, rt::doc("The iteration, with its run started."), rt::returns("Any"))
        .method("log_hyperparams", {arg("self"), arg("params"), rt::varargs("args"), rt::varkw("kwargs")},
                log_hyperparams, rt::returns("None"))
        .method("log_metrics", {arg("self"), arg("metrics"), arg("step").def_none()}, log_metrics, rt::returns("None"))
        .method("finalize", {arg("self"), arg("status")}, finalize, rt::returns("None"))
        .method("after_save_checkpoint", {arg("self"), arg("checkpoint_callback")}, after_save_checkpoint,
                rt::returns("None"))
        .build();
}
