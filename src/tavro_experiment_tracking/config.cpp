// Authentication configured through the environment, for scripts that pass
// no authenticator to `init` (the variable names are in constants).
#include "runtime.hpp"

#include <string>
#include <vector>

namespace py = pybind11;
using rt::arg;

namespace {

// A variable counts as set when it holds more than blanks: `export X=` is how
// people unset things in shell profiles.
py::object read(rt::Call &c, const char *constant) {
    py::object value = c.g("os").attr("environ").attr("get")(c.g(constant));
    if (value.is_none() || !rt::truthy(value.attr("strip")())) return py::none();
    return value;
}

std::string names(rt::Call &c, const std::vector<const char *> &constants) {
    std::string out;
    for (const char *constant : constants) {
        if (!out.empty()) out += ", ";
        out += rt::str(c.g(constant));
    }
    return out;
}

[[noreturn]] void incomplete(rt::Call &c, const std::string &kind, const std::vector<const char *> &missing,
                             const std::vector<const char *> &present) {
    py::dict kwargs;
    kwargs["message"] = py::str("Incomplete " + kind + " configuration in the environment: " + names(c, missing) +
                                " not set (found " + names(c, present) + ").");
    kwargs["error_code"] = c.g("INVALID_PARAMETER_VALUE");
    rt::raise(c.g("ExperimentTrackingException"), py::tuple(), kwargs);
}

// The authenticator class of that name, imported only now: the authenticator
// module imports the modules that import this one.
py::object authenticator_class(const char *name) {
    return py::module_::import("tavro_experiment_tracking.auth.authenticator").attr(name);
}

}  // namespace

RT_MODULE(config, m) {
    rt::Module mod(m);
    mod.import("os");
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_OIDC_ISSUER_URL", "ENV_OIDC_HOSTNAME", "ENV_OIDC_CLIENT_ID", "ENV_OIDC_CLIENT_SECRET",
              "ENV_KOVA_REFRESH_TOKEN", "ENV_KOVA_TOKEN_ENDPOINT", "ENV_KOVA_USERINFO_ENDPOINT",
              "ENV_KOVA_CLIENT_ID"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});

    mod.def("check_auth_env_configs", {},
            "The authenticator the environment configures, or None when it configures none.\n\n"
            "A browser login (OpenID Connect) needs ``ENV_OIDC_ISSUER_URL``; ``ENV_OIDC_HOSTNAME``\n"
            "is optional, and ``ENV_OIDC_CLIENT_ID`` with ``ENV_OIDC_CLIENT_SECRET`` (both or\n"
            "neither) select a static client registration instead of a dynamic one. A cloud\n"
            "platform login needs ``ENV_KOVA_REFRESH_TOKEN``, ``ENV_KOVA_TOKEN_ENDPOINT`` and\n"
            "``ENV_KOVA_USERINFO_ENDPOINT``; ``ENV_KOVA_CLIENT_ID`` is optional. A variable\n"
            "that is empty counts as unset.\n\n"
            "Raises ExperimentTrackingException when a login is configured only in part\n"
            "(naming what is missing), or when both kinds are configured.",
            nullptr, [](rt::Call &c) -> py::object {
                py::object issuer = read(c, "ENV_OIDC_ISSUER_URL");
                py::object hostname = read(c, "ENV_OIDC_HOSTNAME");
                py::object client_id = read(c, "ENV_OIDC_CLIENT_ID");
                py::object client_secret = read(c, "ENV_OIDC_CLIENT_SECRET");
                std::vector<const char *> oidc_present, oidc_missing;
                if (!issuer.is_none()) oidc_present.push_back("ENV_OIDC_ISSUER_URL");
                if (!hostname.is_none()) oidc_present.push_back("ENV_OIDC_HOSTNAME");
                if (!client_id.is_none()) oidc_present.push_back("ENV_OIDC_CLIENT_ID");
                if (!client_secret.is_none()) oidc_present.push_back("ENV_OIDC_CLIENT_SECRET");
                if (!oidc_present.empty()) {
                    if (issuer.is_none()) oidc_missing.push_back("ENV_OIDC_ISSUER_URL");
                    // A client id without its secret (or the reverse) is neither a
                    // static nor a dynamic registration.
                    if (client_id.is_none() && !client_secret.is_none()) oidc_missing.push_back("ENV_OIDC_CLIENT_ID");
                    if (!client_id.is_none() && client_secret.is_none())
                        oidc_missing.push_back("ENV_OIDC_CLIENT_SECRET");
                    if (!oidc_missing.empty()) incomplete(c, "browser login (OpenID Connect)", oidc_missing, oidc_present);
                }

                const std::vector<const char *> kova_required = {"ENV_KOVA_REFRESH_TOKEN", "ENV_KOVA_TOKEN_ENDPOINT",
                                                                 "ENV_KOVA_USERINFO_ENDPOINT"};
                std::vector<const char *> kova_present, kova_missing;
                for (const char *constant : kova_required) {
                    if (read(c, constant).is_none())
                        kova_missing.push_back(constant);
                    else
                        kova_present.push_back(constant);
                }
                py::object kova_client_id = read(c, "ENV_KOVA_CLIENT_ID");
                if (!kova_client_id.is_none()) kova_present.push_back("ENV_KOVA_CLIENT_ID");
                if (!kova_present.empty() && !kova_missing.empty())
                    incomplete(c, "cloud platform login", kova_missing, kova_present);

                if (!oidc_present.empty() && !kova_present.empty()) {
                    py::dict kwargs;
                    kwargs["message"] = py::str(
                        "The environment configures both a browser login (OpenID Connect) and a cloud platform "
                        "login (" + names(c, oidc_present) + "; " + names(c, kova_present) + "): keep only one.");
                    kwargs["error_code"] = c.g("INVALID_PARAMETER_VALUE");
                    rt::raise(c.g("ExperimentTrackingException"), py::tuple(), kwargs);
                }
                if (!oidc_present.empty()) {
                    py::object cls = authenticator_class("OIDCAuthenticator");
                    py::dict kwargs;
                    if (!hostname.is_none()) kwargs["hostname"] = hostname;
                    kwargs["dcr_enabled"] = py::bool_(client_id.is_none());
                    kwargs["client_id"] = client_id;
                    kwargs["client_secret"] = client_secret;
                    return cls(issuer, **kwargs);
                }
                if (!kova_present.empty()) {
                    py::object cls = authenticator_class("KOVAAuthenticator");
                    return cls(read(c, "ENV_KOVA_REFRESH_TOKEN"), read(c, "ENV_KOVA_TOKEN_ENDPOINT"),
                               read(c, "ENV_KOVA_USERINFO_ENDPOINT"), py::arg("client_id") = kova_client_id);
                }
                return py::none();
            });
}
