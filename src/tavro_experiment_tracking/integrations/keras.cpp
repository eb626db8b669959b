// Keras 3: a callback that logs a fit into an iteration, through the
// iteration's own calls (so background logging, its journal and the logins
// work under it): each epoch's logs, every N batches when asked, the
// optimizer's configuration and the model's parameter count once as
// parameters, and the best model so far as an artifact when asked.
#include <cmath>

#include "hyperparameters.hpp"
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

py::dict numeric(rt::Call &c, py::handle self, py::handle logs, const char *prefix) {
    return tavro_integrations::numbers(self, logs, py::str(prefix), "Keras log", c.g("logger"));
}

py::object init(rt::Call &c) {
    auto [self, iteration, log_every_n_batches, checkpoint, monitor, mode] = c.args<6>();
    c.super().attr("__init__")();
    if (!log_every_n_batches.is_none() &&
        (!PyLong_Check(log_every_n_batches.ptr()) || PyBool_Check(log_every_n_batches.ptr()) ||
         !rt::truthy(log_every_n_batches.attr("__ge__")(1))))
        rt::raise(PyExc_ValueError, "log_every_n_batches must be a positive count, or None");
    if (!rt::contains(py::make_tuple("min", "max"), mode)) rt::raise(PyExc_ValueError, "mode must be 'min' or 'max'");
    self.attr("iteration") = iteration;
    self.attr("log_every_n_batches") = log_every_n_batches;
    self.attr("checkpoint") = py::bool_(rt::truthy(checkpoint));
    self.attr("monitor") = monitor;
    self.attr("mode") = mode;
    self.attr("best") = py::none();
    self.attr("_batches") = py::int_(0);
    self.attr("_skipped") = py::set();
    self.attr("_params_logged") = py::bool_(false);
    self.attr("_whole") = py::dict();
    return py::none();
}

py::object on_train_begin(rt::Call &c) {
    auto [self, logs] = c.args<2>();
    (void)logs;
    if (rt::truthy(self.attr("_params_logged"))) return py::none();
    self.attr("_params_logged") = py::bool_(true);
    py::object model = self.attr("model");
    py::dict params;
    params["model.parameters"] = py::str(model.attr("count_params")());
    py::object optimizer = py::getattr(model, "optimizer", py::none());
    if (!optimizer.is_none())
        tavro_integrations::flatten(optimizer.attr("get_config")(), py::str("optimizer."), params, false);
    // A second fit into the run with another configuration: the run keeps
    // the first, that is said, and the fit goes on.
    tavro_integrations::log_hyperparameters(self.attr("iteration"), params, self.attr("_whole"), c.g("logger"));
    return py::none();
}

py::object on_train_batch_end(rt::Call &c) {
    auto [self, batch, logs] = c.args<3>();
    (void)batch;
    py::object done = py::object(self.attr("_batches")).attr("__add__")(1);
    self.attr("_batches") = done;
    py::object every = self.attr("log_every_n_batches");
    if (every.is_none() || rt::truthy(done.attr("__mod__")(every))) return py::none();
    py::dict values = numeric(c, self, logs, "batch/");
    if (!values.empty()) self.attr("iteration").attr("log_metrics")(values, "step"_a = done);
    return py::none();
}

py::object on_epoch_end(rt::Call &c) {
    auto [self, epoch, logs] = c.args<3>();
    py::dict values = numeric(c, self, logs, "");
    if (!values.empty()) self.attr("iteration").attr("log_metrics")(values, "step"_a = epoch);
    if (!rt::truthy(self.attr("checkpoint"))) return py::none();
    py::object monitor = self.attr("monitor");
    if (!values.contains(monitor)) {
        // Said once: the monitored value is not in the logs.
        py::object said = self.attr("_skipped");
        if (!rt::contains(said, monitor)) {
            said.attr("add")(monitor);
            c.g("logger").attr("warning")(
                py::str("Keras log {} is not in this epoch's logs: no best checkpoint").format(py::repr(monitor)));
        }
        return py::none();
    }
    double now = py::float_(values[monitor]).cast<double>();
    py::object best = self.attr("best");
    bool lower = rt::equal(self.attr("mode"), py::str("min"));
    double before = best.is_none() ? 0.0 : rt::builtin("float")(best).cast<double>();
    if (!std::isfinite(now) || (!best.is_none() && (lower ? now >= before : now <= before))) return py::none();
    self.attr("best") = py::float_(now);
    py::object folder = c.g("tempfile").attr("mkdtemp")("prefix"_a = "tavro-keras-");
    py::object path = c.g("os").attr("path").attr("join")(folder, "best.keras");
    rt::finally(
        [&] {
            self.attr("model").attr("save")(path);
            self.attr("iteration").attr("log_artifact")(path, "checkpoints");
            return py::none();
        },
        [&] { c.g("shutil").attr("rmtree")(folder, "ignore_errors"_a = true); });
    return py::none();
}

constexpr const char *CALLBACK_DOC = R"(Logs a Keras fit into ``iteration`` (started first when it has no run).

    model.fit(x, y, epochs=10, callbacks=[KerasCallback(iteration)])

Each epoch's logs are metrics at the epoch as step (a log that is no number
is left out, said once); with ``log_every_n_batches`` also every N batches, as
``batch/<name>`` at the count of batches as step. The optimizer's
configuration (``optimizer.<key>``, nested keys joined with dots) and the
model's parameter count (``model.parameters``) are logged once, as
parameters. With ``checkpoint``, the model is saved as the artifact
``checkpoints/best.keras`` whenever ``monitor`` improves (``mode`` "min" or
"max"). The iteration is ended by whoever started it: the ``with`` block, or
its ``end()``; Ctrl-C during the fit leaves the block as KILLED.)";

}  // namespace

RT_MODULE(keras, m) {
    rt::Module mod(m);
    py::object callbacks;
    try {
        callbacks = rt::import_module("keras").attr("callbacks");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        rt::raise(PyExc_ImportError,
                  py::str("The Keras integration needs Keras 3 and a backend: pip install keras jax, with "
                          "KERAS_BACKEND=jax (or torch, tensorflow) ({})")
                      .format(py::str(e.value())));
    }
    mod.import("logging");
    mod.import("os");
    mod.import("shutil");
    mod.import("tempfile");
    mod.from("typing", {"Any", "Optional"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    rt::ClassDef(mod, "KerasCallback", {callbacks.attr("Callback")}, CALLBACK_DOC)
        .method("__init__",
                {arg("self"), arg("iteration").ann("Any"),
                 rt::kwonly("log_every_n_batches").def_none().ann("Optional[int]"),
                 rt::kwonly("checkpoint").def(py::bool_(false)).ann("bool"),
                 rt::kwonly("monitor").def(py::str("val_loss")).checked_str(),
                 rt::kwonly("mode").def(py::str("min")).checked_str()},
                init)
        .method("on_train_begin", {arg("self"), arg("logs").def_none()}, on_train_begin, rt::returns("None"))
        .method("on_train_batch_end", {arg("self"), arg("batch"), arg("logs").def_none()}, on_train_batch_end,
                rt::returns("None"))
        .method("on_epoch_end", {arg("self"), arg("epoch"), arg("logs").def_none()}, on_epoch_end, rt::returns("None"))
        .build();
}
