// What the integrations share. Metrics: the values that are numbers, each
// other one said once. Runs: rank 0 starts one when the iteration has none.
// Hyperparameters as the integrations log them: nested mappings flattened
// to "a.b", each value as text and whole where the server takes it. A value
// longer than the server's limit is logged cut (ending in "…") and kept
// whole in the artifact hyperparameters.json; a parameter the server refuses
// (a changed value in a reopened run, a key it cannot store) is said, and the
// others are logged all the same: nothing is left out without a word.
#pragma once

#include "runtime.hpp"

namespace tavro_integrations {

namespace py = pybind11;
using namespace py::literals;

// The values of `logs` that are numbers (NaN and infinities included: a
// diverged loss is worth seeing) under `prefix`; each other key is said once
// per `self` (its `_skipped` set) and left out.
inline py::dict numbers(py::handle self, py::handle logs, const py::str &prefix, const char *what, py::handle logger) {
    py::dict out;
    if (logs.is_none()) return out;
    for (py::handle item : logs.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        try {
            out[rt::text({prefix, py::str(key)})] = rt::builtin("float")(value);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
            py::object said = self.attr("_skipped");
            if (rt::contains(said, key)) continue;
            said.attr("add")(key);
            logger.attr("warning")(
                py::str("{} {} is not a number ({}): not logged").format(what, py::repr(key), py::repr(value)));
        }
    }
    return out;
}

// `self.iteration` with a run to log into, or None where this process does
// not log. Rank 0 starts the run when the iteration has none, and owns it
// (`self._owned`: it ends it). Another rank logs only into a run it started
// itself (ranks sharing one run): starting one there would make a run per
// rank.
inline py::object logging_into(py::handle self, bool rank_zero) {
    py::object iteration = self.attr("iteration");
    bool has_run = rt::truthy(iteration.attr("iteration_id"));
    if (!rank_zero) return has_run && !rt::truthy(self.attr("_owned")) ? iteration : py::object(py::none());
    if (!has_run) {
        iteration.attr("start")();
        self.attr("_owned") = py::bool_(true);
    }
    return iteration;
}

// `config` (a mapping, or an object with attributes such as a Namespace)
// flattened into `out` under `prefix`: walked with a list of what is left,
// not by recursion, since a configuration is the user's. None is kept as
// "None" when `keep_none`, else left out.
inline void flatten(py::handle config, const py::str &prefix, py::dict &out, bool keep_none) {
    py::object mapping = rt::import_module("collections.abc").attr("Mapping");
    py::list left;
    py::object top = py::reinterpret_borrow<py::object>(config);
    if (!rt::isinstance(top, mapping) && py::hasattr(top, "__dict__")) top = rt::builtin("vars")(top);
    left.append(py::make_tuple(prefix, top));
    while (!left.empty()) {
        py::object next = left.attr("pop")();
        py::str at = next[py::int_(0)];
        for (py::handle item : next[py::int_(1)].attr("items")()) {
            auto [key, value] = rt::unpack2(item);
            py::str name = rt::text({at, py::str(key)});
            if (rt::isinstance(value, mapping))
                left.append(py::make_tuple(rt::text({name, "."}), value));
            else if (keep_none || !value.is_none())
                out[name] = py::str(value);
        }
    }
}

// Why the server would not take one parameter, in a few words.
inline py::str reason(const py::error_already_set &e) {
    py::str text(e.value());
    return py::str(text.attr("splitlines")()[py::int_(0)]);
}

// `params` (already text) logged into `iteration`. `whole` collects the long
// values across calls, so the artifact holds all of them.
inline void log_hyperparameters(py::handle iteration, const py::dict &params, py::dict whole, py::handle logger) {
    if (params.empty()) return;
    py::object refused_types =
        py::make_tuple(rt::import_module("tavro_experiment_tracking.exception").attr("ExperimentTrackingException"),
                       rt::import_module("mlflow.exceptions").attr("MlflowException"));
    Py_ssize_t limit = rt::import_module("mlflow.utils.validation").attr("MAX_PARAM_VAL_LENGTH").cast<Py_ssize_t>();
    py::dict sent;
    py::list cut;
    for (auto item : params) {
        py::str value(item.second);
        if (PyUnicode_GetLength(value.ptr()) <= limit) {
            sent[item.first] = value;
            continue;
        }
        whole[item.first] = value;
        cut.append(item.first);
        sent[item.first] = rt::text({py::str(value[py::slice(0, limit - 1, 1)]), "\u2026"});
    }
    if (!cut.empty()) {
        py::object folder = rt::import_module("tempfile").attr("mkdtemp")("prefix"_a = "tavro-hparams-");
        py::object path = rt::import_module("os").attr("path").attr("join")(folder, "hyperparameters.json");
        rt::finally(
            [&] {
                py::object file = rt::builtin("open")(path, "w", "encoding"_a = "utf-8");
                rt::finally([&] { return rt::import_module("json").attr("dump")(whole, file, "indent"_a = 1); },
                            [&] { file.attr("close")(); });
                iteration.attr("log_artifact")(path);
                return py::none();
            },
            [&] { rt::import_module("shutil").attr("rmtree")(folder, "ignore_errors"_a = true); });
        logger.attr("warning")(py::str("Hyperparameters longer than the server's {} characters are logged cut (ending "
                                       "in '\u2026') and whole in the artifact hyperparameters.json: {}")
                                   .format(limit, py::str(", ").attr("join")(cut)));
    }
    try {
        iteration.attr("log_params")(sent);
        return;
    } catch (py::error_already_set &e) {
        if (!e.matches(refused_types)) throw;
    }
    // Something in the batch was refused, so nothing of it was logged: each
    // on its own, and what is refused said.
    py::list refused;
    for (auto item : sent) {
        try {
            iteration.attr("log_param")(item.first, item.second);
        } catch (py::error_already_set &e) {
            if (!e.matches(refused_types)) throw;
            refused.append(py::str("{} ({})").format(item.first, reason(e)));
        }
    }
    if (!refused.empty())
        logger.attr("warning")(py::str("Hyperparameters not logged: {}").format(py::str("; ").attr("join")(refused)));
}

}  // namespace tavro_integrations
