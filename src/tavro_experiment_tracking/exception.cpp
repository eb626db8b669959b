// The package's own exceptions and refusal messages.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// Error codes are kept by name, as the tracking library keeps them; a number
// from its protobuf enum is translated to its name.
py::object code_name(py::handle code) {
    if (rt::isinstance(code, rt::builtin("int")) && !rt::isinstance(code, rt::builtin("bool"))) {
        py::object ErrorCode = rt::import_module("mlflow.protos.databricks_pb2").attr("ErrorCode");
        try {
            return ErrorCode.attr("Name")(code);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            return py::str(code);  // not a code the tracking library knows: keep the number
        }
    }
    return rt::own(code);
}

py::object tracking_init(rt::Call &c) {
    auto [self, message, error_code] = c.args<3>();
    py::object text = py::str(message);
    c.super().attr("__init__")(text);
    self.attr("message") = text;
    self.attr("error_code") = code_name(error_code);
    return py::none();
}

py::object tracking_str(rt::Call &c) {
    return py::str(c.self().attr("message"));
}

py::object tracking_reduce(rt::Call &c) {
    py::handle self = c.self();
    return py::make_tuple(py::type::handle_of(self), py::make_tuple(self.attr("message"), self.attr("error_code")));
}

py::object not_accessible_init(rt::Call &c) {
    auto [self, message, error_code] = c.args<3>();
    c.super().attr("__init__")(message, error_code);
    return py::none();
}

// The server's error body: its code and message when it is the usual
// mapping, else the body's text as the message.
py::object rest_init(rt::Call &c) {
    auto [self, body] = c.args<2>();
    py::object code = py::str("INTERNAL_ERROR");
    py::object message;
    if (rt::isinstance(body, rt::builtin("dict"))) {
        py::dict d(body);
        if (d.contains("error_code")) code = d["error_code"];
        message = d.contains("message") ? py::str(d["message"]) : py::str(body);
    } else {
        message = py::str(body);
    }
    code = code_name(code);
    c.super().attr("__init__")(py::str("{}: {}").format(code, message), code);
    self.attr("json") = body;
    return py::none();
}

py::object rest_reduce(rt::Call &c) {
    py::handle self = c.self();
    return py::make_tuple(py::type::handle_of(self), py::make_tuple(self.attr("json")));
}

}  // namespace

RT_MODULE(exception, m) {
    rt::Module mod(m);

    py::object ETE =
        rt::ClassDef(mod, "ExperimentTrackingException", {rt::builtin("Exception")},
                     R"(A refusal by the experiment-tracking client.

``error_code`` is the tracking library's error-code name (for example
``INVALID_PARAMETER_VALUE``); a numeric code is stored by its name.)")
            .method("__init__", {arg("self"), arg("message"), arg("error_code").def(py::str("INTERNAL_ERROR"))},
                    tracking_init)
            .method("__str__", {arg("self")}, tracking_str)
            .method("__reduce__", {arg("self")}, tracking_reduce)
            .build();

    rt::ClassDef(mod, "ServerNotAccessibleException", {ETE},
                 "The tracking server did not answer at the address the session uses.")
        .method("__init__", {arg("self"), arg("message"), arg("error_code").def(py::str("TEMPORARILY_UNAVAILABLE"))},
                not_accessible_init)
        .build();

    rt::ClassDef(mod, "RestException", {ETE},
                 "The tracking server refused a request; ``json`` is the server's error body.")
        .method("__init__", {arg("self"), arg("json")}, rest_init)
        .method("__reduce__", {arg("self")}, rest_reduce)
        .build();

    // A login that could not be completed: what the command line says in a
    // line. Each kind is also the standard type a caller already catches.
    py::object login_failed = rt::ClassDef(mod, "LoginFailed", {ETE},
                                           "A login that could not be completed (said in one line by the command "
                                           "line).")
                                  .build();
    rt::ClassDef(mod, "LoginAnswerMissing", {login_failed, rt::builtin("KeyError")},
                 "The identity provider's discovery or answer lacks what the login needs (a registration endpoint, "
                 "an access token); a KeyError too.")
        .build();
    rt::ClassDef(mod, "LoginAbandoned", {login_failed, rt::import_module("queue").attr("Empty")},
                 "Nobody signed in before the login gave up waiting; a queue.Empty too.")
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
