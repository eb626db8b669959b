// Hugging Face transformers: a Trainer callback that logs training into an
// iteration through the iteration's own calls (so background logging, its
// journal and the logins work under it): what the Trainer logs, at its
// global step; the training arguments once, whole (see hyperparameters.hpp);
// the checkpoints when asked. It never starts a second run: a Trainer
// training again logs into the same one.
#include "hyperparameters.hpp"
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

bool world_zero(py::handle state) {
    return rt::truthy(py::getattr(state, "is_world_process_zero", py::bool_(true)));
}

py::object init(rt::Call &c) {
    auto [self, iteration, checkpoint] = c.args<3>();
    self.attr("iteration") = iteration;
    self.attr("checkpoint") = py::bool_(rt::truthy(checkpoint));
    self.attr("_owned") = py::bool_(false);
    self.attr("_skipped") = py::set();
    self.attr("_whole") = py::dict();
    self.attr("_args_logged") = py::bool_(false);
    return py::none();
}

// The Trainer reporting to MLflow on its own as well (its report_to, "all"
// by default in many versions) would make a second run of every training.
py::object on_init_end(rt::Call &c) {
    auto [self, args, state, control, kwargs] = c.args<5>();
    (void)self;
    (void)state;
    (void)control;
    (void)kwargs;
    py::object report_to = py::getattr(args, "report_to", py::none());
    if (!report_to.is_none() && rt::contains(report_to, py::str("mlflow")))
        c.g("logger").attr("warning")(
            "The Trainer also reports to MLflow by itself (its report_to includes 'mlflow'), which starts a second "
            "run: give it report_to='none' (or set DISABLE_MLFLOW_INTEGRATION=TRUE)");
    return py::none();
}

py::object on_train_begin(rt::Call &c) {
    auto [self, args, state, control, kwargs] = c.args<5>();
    (void)control;
    (void)kwargs;
    py::object iteration = tavro_integrations::logging_into(self, world_zero(state));
    if (iteration.is_none() || rt::truthy(self.attr("_args_logged"))) return py::none();
    self.attr("_args_logged") = py::bool_(true);
    py::object given = py::hasattr(args, "to_dict") ? args.attr("to_dict")() : py::object(args);
    py::dict params;
    tavro_integrations::flatten(given, py::str(""), params, true);
    tavro_integrations::log_hyperparameters(iteration, params, self.attr("_whole"), c.g("logger"));
    return py::none();
}

py::object on_log(rt::Call &c) {
    auto [self, args, state, control, logs, kwargs] = c.args<6>();
    (void)args;
    (void)control;
    (void)kwargs;
    bool zero = world_zero(state);
    py::object iteration = tavro_integrations::logging_into(self, zero);
    if (iteration.is_none()) return py::none();
    py::str prefix =
        zero ? py::str("") : py::str("rank_{}/").format(py::getattr(args, "process_index", py::str("unknown")));
    py::dict values = tavro_integrations::numbers(self, logs, prefix, "Trainer log", c.g("logger"));
    if (!values.empty()) iteration.attr("log_metrics")(values, "step"_a = state.attr("global_step"));
    return py::none();
}

py::object on_save(rt::Call &c) {
    auto [self, args, state, control, kwargs] = c.args<5>();
    (void)control;
    (void)kwargs;
    if (!rt::truthy(self.attr("checkpoint")) || !world_zero(state)) return py::none();
    py::str name = py::str("checkpoint-{}").format(state.attr("global_step"));
    py::object folder = c.g("os").attr("path").attr("join")(args.attr("output_dir"), name);
    if (!rt::truthy(c.g("os").attr("path").attr("isdir")(folder))) return py::none();
    tavro_integrations::logging_into(self, true).attr("log_artifacts")(folder, rt::text({"checkpoints/", name}));
    return py::none();
}

py::object on_train_end(rt::Call &c) {
    auto [self, args, state, control, kwargs] = c.args<5>();
    (void)args;
    (void)control;
    (void)kwargs;
    if (world_zero(state) && rt::truthy(self.attr("_owned"))) self.attr("iteration").attr("end")("FINISHED");
    return py::none();
}

constexpr const char *CALLBACK_DOC = R"(Logs a Hugging Face Trainer's training into ``iteration``.

    trainer = Trainer(model, args, callbacks=[TransformersCallback(iteration)])

What the Trainer logs is logged as metrics at its global step (a value that
is no number is left out, said once). The training arguments are logged once
as parameters, whole; one longer than the server takes is logged cut and
whole in the artifact ``hyperparameters.json``. With ``checkpoint``, each
checkpoint folder the Trainer saves goes up as ``checkpoints/checkpoint-<step>``.

When the iteration has no run, the callback starts one and ends it when
training ends (an error leaves it to the end of the program: FAILED, or
KILLED after Ctrl-C); training again logs into the same run. A run the
caller started is ended by the caller. The main process logs; another only
into a run it started itself, as ``rank_<r>/<name>``. Give the Trainer
``report_to="none"`` so that it does not also start a run of its own.)";

}  // namespace

RT_MODULE(transformers, m) {
    rt::Module mod(m);
    py::object callbacks;
    try {
        callbacks = rt::import_module("transformers.trainer_callback");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        rt::raise(PyExc_ImportError,
                  py::str("The Hugging Face integration needs transformers and torch: pip install transformers "
                          "accelerate torch (they are not dependencies of tavro_experiment_tracking) ({})")
                      .format(py::str(e.value())));
    }
    mod.import("logging");
    mod.import("os");
    mod.from("typing", {"Any"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    // A Trainer event's parameters: the Trainer passes the rest by keyword.
    auto event = [] {
        return std::vector<rt::Param>{arg("self"), arg("args"), arg("state"), arg("control"), rt::varkw("kwargs")};
    };
    rt::ClassDef(mod, "TransformersCallback", {callbacks.attr("TrainerCallback")}, CALLBACK_DOC)
        .method("__init__",
                {arg("self"), arg("iteration").ann("Any"), rt::kwonly("checkpoint").def(py::bool_(false)).ann("bool")},
                init)
        .method("on_init_end", event(), on_init_end, rt::returns("None"))
        .method("on_train_begin", event(), on_train_begin, rt::returns("None"))
        .method("on_log",
                {arg("self"), arg("args"), arg("state"), arg("control"), arg("logs").def_none(), rt::varkw("kwargs")},
                on_log, rt::returns("None"))
        .method("on_save", event(), on_save, rt::returns("None"))
        .method("on_train_end", event(), on_train_end, rt::returns("None"))
        .build();
}
