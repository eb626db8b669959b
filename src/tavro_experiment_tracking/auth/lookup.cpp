// Deciding which authenticator a session uses, logging in with it, and
// publishing its token and user name where the tracking library reads them.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

constexpr const char *CHECK_AUTHENTICATION_DOC = R"(
    Check for authenticator configurations. If available, sets token and username.
    1. If authenticator is passed, then authenticate
    2. If not specified, check for previous authenticator, or else check for env variables
    3. At last, If authenticator is available, retrieve new token and username
    )";

py::object check_authentication(rt::Call &c) {
    auto [authenticator] = c.args<1>();
    if (!rt::truthy(authenticator)) authenticator = c.g("check_auth_env_configs")();
    // No authenticator anywhere: the session talks to the server openly.
    if (!rt::truthy(authenticator)) return authenticator;
    py::object logger = c.g("logger");
    py::object kind = authenticator.attr("__class__").attr("__name__");
    logger.attr("debug")(rt::text({"Using ", kind}));
    if (!rt::truthy(authenticator.attr("is_authenticated"))) {
        logger.attr("debug")(rt::text({"Authenticating using ", kind}));
        authenticator.attr("authenticate")();
    }
    py::object username = authenticator.attr("user").attr("username");
    // A fresh token on every call, even without a new login: the one
    // published last time may have run out.
    py::object environ = c.g("os").attr("environ");
    environ.attr("__setitem__")(c.g("ENV_MLFLOW_TRACKING_TOKEN"), authenticator.attr("token")());
    environ.attr("__setitem__")(c.g("ENV_LOGNAME"), username);
    logger.attr("debug")(rt::text({"Using username:", username, " using ", kind}));
    return authenticator;
}

}  // namespace

RT_MODULE(lookup, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("os");
    mod.from("typing", {"Optional"});
    mod.from("tavro_experiment_tracking.auth.authenticator", {"Authenticator"});
    mod.from("tavro_experiment_tracking.config", {"check_auth_env_configs"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_MLFLOW_TRACKING_TOKEN", "ENV_LOGNAME"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    mod.def("check_authentication", {arg("authenticator")}, check_authentication, rt::doc(CHECK_AUTHENTICATION_DOC),
            rt::returns("Optional[Authenticator]"));
}
