// The package's own exceptions and refusal messages.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

// Error codes are kept by name, as the tracking library keeps them; a number
// from its protobuf enum is translated to its name.
py::object code_name(py::handle code) {
    if (PyLong_Check(code.ptr()) && !PyBool_Check(code.ptr())) {
        py::object ErrorCode = py::module_::import("mlflow.protos.databricks_pb2").attr("ErrorCode");
        try {
            return ErrorCode.attr("Name")(code);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            return py::str(code);  // not a code the tracking library knows: keep the number
        }
    }
    return py::reinterpret_borrow<py::object>(code);
}

}  // namespace

RT_MODULE(exception, m) {
    rt::Module mod(m);
    py::object base = py::reinterpret_borrow<py::object>(PyExc_Exception);

    py::object ETE =
        rt::ClassDef(mod, "ExperimentTrackingException", {base},
                     "A refusal by the experiment-tracking client.\n\n"
                     "``error_code`` is the tracking library's error-code name (for example\n"
                     "``INVALID_PARAMETER_VALUE``); a numeric code is stored by its name.")
            .method("__init__",
                    {arg("self"), arg("message"), arg("error_code").def(py::str("INTERNAL_ERROR"))}, nullptr,
                    nullptr,
                    [](rt::Call &c) -> py::object {
                        py::handle self = c.self();
                        py::object message = py::str(c[1]);
                        py::object code = code_name(c[2]);
                        c.super().attr("__init__")(message);
                        self.attr("message") = message;
                        self.attr("error_code") = code;
                        return py::none();
                    })
            .method("__str__", {arg("self")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object { return py::str(c.self().attr("message")); })
            .method("__reduce__", {arg("self")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object {
                        py::handle self = c.self();
                        return py::make_tuple(py::type::handle_of(self),
                                              py::make_tuple(self.attr("message"), self.attr("error_code")));
                    })
            .build();

    rt::ClassDef(mod, "ServerNotAccessibleException", {ETE},
                 "The tracking server did not answer at the address the session uses.")
        .method("__init__", {arg("self"), arg("message"), arg("error_code").def(py::str("TEMPORARILY_UNAVAILABLE"))},
                nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    c.super().attr("__init__")(c[1], c[2]);
                    return py::none();
                })
        .build();

    rt::ClassDef(mod, "RestException", {ETE},
                 "The tracking server refused a request; ``json`` is the server's error body.")
        .method("__init__", {arg("self"), arg("json")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    py::handle self = c.self();
                    py::handle body = c[1];
                    py::object code = py::str("INTERNAL_ERROR");
                    py::object message;
                    if (PyDict_Check(body.ptr())) {
                        py::dict d = py::reinterpret_borrow<py::dict>(body);
                        if (d.contains("error_code")) code = d["error_code"];
                        message = d.contains("message") ? py::str(d["message"]) : py::str(body);
                    } else {
                        message = py::str(body);
                    }
                    code = code_name(code);
                    c.super().attr("__init__")(py::str("{}: {}").format(code, message), code);
                    self.attr("json") = body;
                    return py::none();
                })
            .method("__reduce__", {arg("self")}, nullptr, nullptr,
                    [](rt::Call &c) -> py::object {
                        py::handle self = c.self();
                        return py::make_tuple(py::type::handle_of(self), py::make_tuple(self.attr("json")));
                    })
        .build();

    // Filled with: key, value already logged, iteration ID, refused new value.
    mod.set("CHANGING_LOGGED_PARAM_MESSAGE",
            py::str("Changing param values is not allowed. Param with key='{}' was already logged with "
                    "value='{}' for iteration ID='{}'. Attempted logging new value '{}'."));
    // Filled with: the conflicting keys (logged and new values), iteration ID.
    mod.set("CHANGING_LOGGED_PARAMS_MESSAGE",
            py::str("Changing param values is not allowed. These params were already logged with other "
                    "values: {}; for iteration ID='{}'. Nothing of the batch was logged."));
}
