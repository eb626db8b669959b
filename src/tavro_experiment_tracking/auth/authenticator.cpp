// Logging a user in: the abstract authenticator every login kind derives
// from. It keeps the logged-in user and the source of access tokens, and
// resets the environment an earlier login left behind.
#include "runtime.hpp"

namespace py = pybind11;
using rt::arg;

namespace {

constexpr const char *USER_ATTR = "_Authenticator__user";
constexpr const char *PROVIDER_ATTR = "_Authenticator__token_provider";

}  // namespace

PYBIND11_MODULE(authenticator, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("os");
    mod.import("webbrowser");
    mod.from("abc", {"ABC", "abstractmethod"});
    mod.from("http.server", {"HTTPServer"});
    mod.from("queue", {"Queue"});
    mod.from("threading", {"Thread"});
    mod.import("tavro_authn");
    mod.import("requests");
    mod.from("oic", {"rndstr"});
    mod.from("oic.oic", {"Client"});
    mod.from("oic.oic.message", {"RegistrationResponse"});
    mod.from("oic.utils.authn.client", {"CLIENT_AUTHN_METHOD"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.auth.utils", {"get_disposable_handler"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_LOGNAME", "ENV_MLFLOW_TRACKING_TOKEN", "ENV_BCK_LOGNAME"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    rt::ClassDef(mod, "Authenticator", {mod.get("ABC")}, "Abstract class for Authentication.")
        .attr("USER_KEY", py::str("USER_KEY"))
        .attr("TOKEN_PROVIDER_KEY", py::str("TOKEN_PROVIDER_KEY"))
        // Implementations forward whatever extra arguments they were given;
        // nothing is passed further up, since object() takes none.
        .method("__init__", {arg("self"), rt::varargs("args"), rt::varkw("kwargs")}, nullptr, nullptr,
                [](rt::Call &c) -> py::object {
                    c.self().attr(USER_ATTR) = py::none();
                    c.self().attr(PROVIDER_ATTR) = py::none();
                    return py::none();
                })
        .staticmethod("cleanup", {}, "Clearing-up previous authentication envs.", nullptr,
                      [](rt::Call &c) -> py::object {
                          py::object environ = c.g("os").attr("environ");
                          py::object logname = c.g("ENV_LOGNAME");
                          py::object backup = c.g("ENV_BCK_LOGNAME");
                          py::object token = c.g("ENV_MLFLOW_TRACKING_TOKEN");
                          // The backup holds the name the process had before the
                          // first login: the next login puts it back, so logins
                          // never stack names on top of each other.
                          if (rt::truthy(environ.attr("__contains__")(logname))) {
                              if (rt::truthy(environ.attr("__contains__")(backup))) {
                                  environ.attr("__setitem__")(logname, environ.attr("__getitem__")(backup));
                                  environ.attr("__delitem__")(backup);
                              } else {
                                  environ.attr("__setitem__")(backup, environ.attr("__getitem__")(logname));
                              }
                          }
                          if (rt::truthy(environ.attr("__contains__")(token))) environ.attr("__delitem__")(token);
                          return py::none();
                      })
        .property("is_authenticated", "\n        Returns True if authenticated. False, otherwise.\n        ", "bool",
                  [](rt::Call &c) -> py::object { return py::bool_(rt::truthy(c.self().attr(USER_ATTR))); },
                  "Cannot change is_authenticated value!")
        .abstractmethod("authenticate", {arg("self"), rt::varkw("kwargs")},
                        "\n        Start authentication flow.\n"
                        "        Implementations MUST call this method once authentication is successful\n        ",
                        "User",
                        [](rt::Call &c) -> py::object {
                            py::handle self = c.self();
                            py::handle kwargs = c[1];
                            // Each value is stored as soon as it is found: a missing
                            // provider leaves the user stored.
                            self.attr(USER_ATTR) = kwargs.attr("__getitem__")(self.attr("USER_KEY"));
                            self.attr(PROVIDER_ATTR) = kwargs.attr("__getitem__")(self.attr("TOKEN_PROVIDER_KEY"));
                            return self.attr(USER_ATTR);
                        })
        .method("token", {arg("self")}, "\n        Retrieve access token.\n        ", nullptr,
                [](rt::Call &c) -> py::object {
                    py::object provider = c.self().attr(PROVIDER_ATTR);
                    if (provider.is_none()) rt::raise(PyExc_LookupError, "Token provider is not initialized!");
                    // Asked every time: the provider knows when its token runs out.
                    return py::str(provider.attr("token")());
                })
        .property("user", "\n        Retrieve user name.\n        ", nullptr,
                  [](rt::Call &c) -> py::object {
                      py::object user = c.self().attr(USER_ATTR);
                      if (user.is_none()) rt::raise(PyExc_LookupError, "User is not found!, please login first!");
                      return user;
                  },
                  "Assigning user not allowed!")
        .build();
}
