// Authentication configured through the environment, for scripts that pass
// no authenticator to `init` (the variable names are in constants).
#include "runtime.hpp"

#include <vector>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

using Names = std::vector<const char *>;  // names of constants naming variables

// A variable counts as set when it holds more than blanks: `export X=` is how
// people unset things in shell profiles.
py::object read(rt::Call &c, const char *constant) {
    py::object value = c.g("os").attr("environ").attr("get")(c.g(constant));
    if (value.is_none() || !rt::truthy(value.attr("strip")())) return py::none();
    return value;
}

py::str names(rt::Call &c, const Names &constants) {
    py::list out;
    for (const char *constant : constants) out.append(c.g(constant));
    return py::str(", ").attr("join")(out);
}

[[noreturn]] void refuse(rt::Call &c, const py::str &message) {
    rt::raise(c.g("ExperimentTrackingException"), "message"_a = message,
              "error_code"_a = c.g("INVALID_PARAMETER_VALUE"));
}

[[noreturn]] void incomplete(rt::Call &c, const char *kind, const Names &missing, const Names &present) {
    refuse(c, rt::text({"Incomplete ", kind, " configuration in the environment: ", names(c, missing),
                        " not set (found ", names(c, present), ")."}));
}

// What the environment says of one login kind: the variables set, and the
// values read.
struct Login {
    Names present;
    std::vector<py::object> values;
};

Login read_all(rt::Call &c, const Names &constants) {
    Login login;
    for (const char *constant : constants) {
        login.values.push_back(read(c, constant));
        if (!login.values.back().is_none()) login.present.push_back(constant);
    }
    return login;
}

// The browser login: the issuer is required; a client id and secret come
// together (a static registration) or not at all (a dynamic one).
Login browser_login(rt::Call &c) {
    Login login =
        read_all(c, {"ENV_OIDC_ISSUER_URL", "ENV_OIDC_HOSTNAME", "ENV_OIDC_CLIENT_ID", "ENV_OIDC_CLIENT_SECRET"});
    if (login.present.empty()) return login;
    const py::object &issuer = login.values[0], &client_id = login.values[2], &secret = login.values[3];
    Names missing;
    if (issuer.is_none()) missing.push_back("ENV_OIDC_ISSUER_URL");
    if (client_id.is_none() && !secret.is_none()) missing.push_back("ENV_OIDC_CLIENT_ID");
    if (!client_id.is_none() && secret.is_none()) missing.push_back("ENV_OIDC_CLIENT_SECRET");
    if (!missing.empty()) incomplete(c, "browser login (OpenID Connect)", missing, login.present);
    return login;
}

// The cloud platform login: three variables required, the client id optional.
Login platform_login(rt::Call &c) {
    Login login = read_all(
        c, {"ENV_KOVA_REFRESH_TOKEN", "ENV_KOVA_TOKEN_ENDPOINT", "ENV_KOVA_USERINFO_ENDPOINT", "ENV_KOVA_CLIENT_ID"});
    Names missing;
    const Names required = {"ENV_KOVA_REFRESH_TOKEN", "ENV_KOVA_TOKEN_ENDPOINT", "ENV_KOVA_USERINFO_ENDPOINT"};
    for (size_t i = 0; i < required.size(); i++)
        if (login.values[i].is_none()) missing.push_back(required[i]);
    if (login.present.empty() || missing.empty()) return login;
    // Gone because a login used it: say so, not merely that it is missing.
    py::object used_by = read(c, "ENV_KOVA_REFRESH_TOKEN_USED");
    if (login.values[0].is_none() && !used_by.is_none())
        refuse(c, rt::text({"The cloud platform login's refresh token (", c.g("ENV_KOVA_REFRESH_TOKEN"),
                            ") was already used by process ", used_by,
                            ", whose environment this process inherited, and the platform accepts each refresh "
                            "token once. Give this process a refresh token of its own in ",
                            c.g("ENV_KOVA_REFRESH_TOKEN"), ", or pass init() an authenticator."}));
    incomplete(c, "cloud platform login", missing, login.present);
}

// The authenticator class of that name, imported only now: `config` stays a
// light module, and the authenticator's own importers import this one.
py::object authenticator_class(const char *name) {
    return py::module_::import("tavro_experiment_tracking.auth.authenticator").attr(name);
}

py::object check_auth_env_configs(rt::Call &c) {
    Login browser = browser_login(c);
    Login platform = platform_login(c);
    if (!browser.present.empty() && !platform.present.empty())
        refuse(c, rt::text({"The environment configures both a browser login (OpenID Connect) and a cloud platform "
                            "login (",
                            names(c, browser.present), "; ", names(c, platform.present), "): keep only one."}));
    if (!browser.present.empty()) {
        const auto &v = browser.values;
        py::dict kwargs;
        if (!v[1].is_none()) kwargs["hostname"] = v[1];
        kwargs["dcr_enabled"] = py::bool_(v[2].is_none());
        kwargs["client_id"] = v[2];
        kwargs["client_secret"] = v[3];
        return authenticator_class("OIDCAuthenticator")(v[0], **kwargs);
    }
    if (!platform.present.empty()) {
        const auto &v = platform.values;
        return authenticator_class("KOVAAuthenticator")(v[0], v[1], v[2], "client_id"_a = v[3]);
    }
    return py::none();
}

constexpr const char *CHECK_AUTH_ENV_CONFIGS_DOC =
    R"(The authenticator the environment configures, or None when it configures none.

A browser login (OpenID Connect) needs ``ENV_OIDC_ISSUER_URL``; ``ENV_OIDC_HOSTNAME``
is optional, and ``ENV_OIDC_CLIENT_ID`` with ``ENV_OIDC_CLIENT_SECRET`` (both or
neither) select a static client registration instead of a dynamic one. A cloud
platform login needs ``ENV_KOVA_REFRESH_TOKEN``, ``ENV_KOVA_TOKEN_ENDPOINT`` and
``ENV_KOVA_USERINFO_ENDPOINT``; ``ENV_KOVA_CLIENT_ID`` is optional. A variable
that is empty counts as unset. A refresh token that a login of this process,
or of the process it inherited the environment from, already traded is gone
from the environment (``ENV_KOVA_REFRESH_TOKEN_USED`` names that process).

Raises ExperimentTrackingException when a login is configured only in part
(naming what is missing, or saying which process used the refresh token), or
when both kinds are configured.)";

}  // namespace

RT_MODULE(config, m) {
    rt::Module mod(m);
    mod.import("os");
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_OIDC_ISSUER_URL", "ENV_OIDC_HOSTNAME", "ENV_OIDC_CLIENT_ID", "ENV_OIDC_CLIENT_SECRET",
              "ENV_KOVA_REFRESH_TOKEN", "ENV_KOVA_TOKEN_ENDPOINT", "ENV_KOVA_USERINFO_ENDPOINT", "ENV_KOVA_CLIENT_ID",
              "ENV_KOVA_REFRESH_TOKEN_USED"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});

    mod.def("check_auth_env_configs", {}, check_auth_env_configs, rt::doc(CHECK_AUTH_ENV_CONFIGS_DOC));
}
