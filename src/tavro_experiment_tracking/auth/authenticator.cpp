// Logging a user in: the abstract authenticator every login kind derives
// from, which keeps the logged-in user and the source of access tokens and
// resets the environment an earlier login left behind; the browser login
// (OpenID Connect, authorization code through a local callback server); and
// the cloud platform's refresh-token login.
#include "runtime.hpp"

#include <string>

namespace py = pybind11;
using rt::arg;

namespace {

constexpr const char *USER_ATTR = "_Authenticator__user";
constexpr const char *PROVIDER_ATTR = "_Authenticator__token_provider";

// Seconds the browser login waits for each value the callback delivers, and
// for the callback server to stop serving afterwards.
constexpr int LOGIN_WAIT_SECONDS = 300;

void debug(rt::Call &c, const py::str &message) { c.g("logger").attr("debug")(message); }

py::object hand_over(rt::Call &c, py::object user, py::object provider) {
    py::handle self = c.self();
    py::dict kwargs;
    kwargs[self.attr("USER_KEY")] = std::move(user);
    kwargs[self.attr("TOKEN_PROVIDER_KEY")] = std::move(provider);
    return c.super().attr("authenticate")(**kwargs);
}

// Raises what the callback handler put into the queue in place of a value:
// the login ended without a result, and there is nothing left to wait for.
py::object delivered(py::object item) {
    if (PyExceptionInstance_Check(item.ptr())) {
        PyErr_SetObject((PyObject *)Py_TYPE(item.ptr()), item.ptr());
        throw py::error_already_set();
    }
    return item;
}

// After a failed login: end the serving loop, close the listening socket and
// wait for the serving thread, so nothing of the login outlives it. Errors
// here are dropped: the caller must see what made the login fail.
void stop_callback_server(rt::Call &c, py::handle server, py::handle thread) noexcept {
    try {
        // shutdown() waits for a running serve_forever(); when the loop has
        // ended (or never ran) there is nothing to wait for.
        if (thread && thread.attr("is_alive")().is(py::bool_(true))) server.attr("shutdown")();
        server.attr("server_close")();
        if (thread) thread.attr("join")();
    } catch (py::error_already_set &e) {
        try {
            debug(c, rt::text({"Stopping the login's callback server failed: ",
                               py::type::handle_of(e.value()).attr("__name__")}));
        } catch (...) {
        }
    } catch (...) {
    }
}

py::object oidc_init(rt::Call &c) {
    py::handle self = c.self();
    py::handle dcr_enabled = c[3], client_id = c[4], client_secret = c[5];
    self.attr("url") = c[1];
    self.attr("hostname") = c[2];
    // Only None counts as absent: an empty string is a value someone gave.
    if (rt::truthy(dcr_enabled)) {
        if (!client_id.is_none() || !client_secret.is_none())
            rt::raise(PyExc_ValueError, "When dcr_enabled is enabled, client_id and client_secret should be empty!");
    } else if (client_id.is_none() || client_secret.is_none()) {
        rt::raise(PyExc_ValueError, "When dcr_enabled is disabled, client_id and client_secret should not be empty!");
    }
    self.attr("dcr_enabled") = dcr_enabled;
    self.attr("client_id") = client_id;
    self.attr("client_secret") = client_secret;
    c.super().attr("__init__")(*c[6], **c[7]);
    return py::none();
}

// Steps after the callback server listens: discovery, registration, the
// browser, the two values from the callback. Returns (refresh token, user
// name, provider information).
py::tuple oidc_exchange(rt::Call &c, py::handle client, py::handle state, py::handle nonce, py::handle queue,
                        py::handle server, py::handle thread) {
    py::handle self = c.self();
    py::object hostname = self.attr("hostname");
    py::object port = server.attr("server_port");
    debug(c, rt::text({"Handler started listening 'http://", hostname, "':", port}));
    py::str redirect_uri = rt::text({"http://", hostname, ":", port, "/callback"});

    py::object provider_info = client.attr("provider_config")(self.attr("url"));
    py::list redirect_uris;
    redirect_uris.append(redirect_uri);
    if (rt::truthy(self.attr("dcr_enabled"))) {
        client.attr("register")(provider_info["registration_endpoint"], py::arg("redirect_uris") = redirect_uris);
    } else {
        client.attr("store_registration_info")(c.g("RegistrationResponse")(
            py::arg("client_id") = self.attr("client_id"), py::arg("client_secret") = self.attr("client_secret"),
            py::arg("redirect_uris") = redirect_uris));
    }

    py::dict request_args;
    request_args["client_id"] = client.attr("client_id");
    request_args["response_type"] = "code";
    py::list scope;
    scope.append("openid");
    request_args["scope"] = scope;
    request_args["nonce"] = nonce;
    request_args["redirect_uri"] = client.attr("registration_response")["redirect_uris"][py::int_(0)];
    request_args["state"] = state;
    py::object auth_req = client.attr("construct_AuthorizationRequest")(py::arg("request_args") = request_args);
    // The client library checks the ID token's nonce only against what it
    // recorded for the state, and building the request records nothing.
    client.attr("state2nonce")[state] = nonce;
    debug(c, rt::text({"auth_req: ", auth_req}));
    py::object login_url = auth_req.attr("request")(client.attr("authorization_endpoint"));

    // Without a usable browser (a remote machine, a container) the user opens
    // the address by hand. It carries the state and nonce of this login only;
    // no token and no client secret.
    py::object stderr_ = c.g("sys").attr("stderr");
    stderr_.attr("write")(
        rt::text({"Log in through your browser. If no browser window opens, open this address:\n", login_url, "\n"}));
    stderr_.attr("flush")();
    c.g("webbrowser").attr("open")(login_url, py::arg("new") = 0, py::arg("autoraise") = true);

    py::object refresh_token = delivered(queue.attr("get")(py::arg("timeout") = LOGIN_WAIT_SECONDS));
    py::object username = delivered(queue.attr("get")(py::arg("timeout") = LOGIN_WAIT_SECONDS));
    thread.attr("join")(LOGIN_WAIT_SECONDS);
    debug(c, rt::text({"Handler stopped listening '0.0.0.0':", port}));
    server.attr("shutdown")();
    server.attr("server_close")();
    return py::make_tuple(refresh_token, username, provider_info);
}

py::object oidc_authenticate(rt::Call &c) {
    py::handle self = c.self();
    self.attr("cleanup")();
    py::object client = c.g("Client")(py::arg("client_authn_method") = c.g("CLIENT_AUTHN_METHOD"));
    py::object state = c.g("rndstr")();
    py::object nonce = c.g("rndstr")();
    py::object queue = c.g("Queue")();
    py::object handler = c.g("get_disposable_handler")(client, state, queue);
    py::object server = c.g("HTTPServer")(py::make_tuple(self.attr("hostname"), 0), handler);

    py::object thread;
    try {
        server.attr("allow_reuse_address") = true;
        thread = c.g("Thread")(py::arg("target") = server.attr("serve_forever"));
        thread.attr("start")();
    } catch (...) {
        stop_callback_server(c, server, py::handle());
        throw;
    }
    py::object provider;
    py::tuple result;
    try {
        result = oidc_exchange(c, client, state, nonce, queue, server, thread);
        provider = c.g("tavro_authn").attr("TokenProvider")(
            py::arg("refresh_token") = result[0], py::arg("client_id") = client.attr("client_id"),
            py::arg("token_endpoint_url") = result[2]["token_endpoint"]);
    } catch (...) {
        stop_callback_server(c, server, thread);
        throw;
    }
    return hand_over(c, c.g("User")(result[1]), provider);
}

py::object kova_init(rt::Call &c) {
    py::handle self = c.self();
    self.attr("_access_token") = py::none();
    self.attr("_refresh_token") = c[1];
    self.attr("_token_endpoint") = c[2];
    self.attr("_userinfo_endpoint") = c[3];
    self.attr("_client_id") = c[4];
    c.super().attr("__init__")(*c[5], **c[6]);
    return py::none();
}

bool status_is_ok(py::handle response) {
    py::object status = response.attr("status_code");
    return status.equal(py::int_(200));
}

py::object kova_authenticate(rt::Call &c) {
    py::handle self = c.self();
    self.attr("cleanup")();
    py::object token_endpoint = self.attr("_token_endpoint");
    py::object userinfo_endpoint = self.attr("_userinfo_endpoint");
    py::object client_id = self.attr("_client_id");

    // Each value form-encoded: a token holding '&', '=' or '+' reaches the
    // platform as it is instead of adding or replacing fields. Tokens are
    // made of characters that encode as themselves, so their body reads
    // exactly "refresh_token=...&grant_type=refresh_token&client_id=...".
    py::list fields;
    fields.append(py::make_tuple("refresh_token", py::str(self.attr("_refresh_token"))));
    fields.append(py::make_tuple("grant_type", "refresh_token"));
    // No client id configured: the field is left out rather than sent as "None".
    if (!client_id.is_none()) fields.append(py::make_tuple("client_id", py::str(client_id)));
    py::object body = c.g("urlencode")(fields);

    py::dict headers;
    headers["Content-Type"] = "application/x-www-form-urlencoded";
    py::object requests = c.g("requests");
    py::object timeout = c.g("AUTH_REQUEST_TIMEOUT");
    py::object response = requests.attr("request")("POST", token_endpoint, py::arg("headers") = headers,
                                                   py::arg("data") = body, py::arg("timeout") = timeout);
    if (!status_is_ok(response))
        rt::raise(c.g("ExperimentTrackingException"),
                  rt::text({"Authentication failed for the endpoint: ", token_endpoint, ", status: ",
                                           response.attr("status_code"), "!"}));
    py::object tokens = response.attr("json")();
    // Kept as soon as they arrive: a platform that rotates refresh tokens has
    // already retired the old one, whatever happens next.
    self.attr("_access_token") = tokens["access_token"];
    self.attr("_refresh_token") = tokens["refresh_token"];

    headers["Authorization"] = py::str("Bearer ") + py::str(self.attr("_access_token"));
    py::object info_response =
        requests.attr("request")("GET", userinfo_endpoint, py::arg("headers") = headers, py::arg("timeout") = timeout);
    py::object status = info_response.attr("status_code");
    if (!status_is_ok(info_response))
        rt::raise(c.g("ExperimentTrackingException"),
                  rt::text({"User info request failed for the endpoint: ", userinfo_endpoint,
                                           ", status: ", status, "!"}));
    py::object info = info_response.attr("json")();
    py::object username;
    if (rt::truthy(info.attr("__contains__")("preferred_username")))
        username = info["preferred_username"];
    else if (rt::truthy(info.attr("__contains__")("email")))
        username = info["email"];
    else
        rt::raise(c.g("ExperimentTrackingException"),
                  rt::text({"Couldn't find 'preferred_username', 'email' attributes in the userinfo "
                                           "response for the endpoint: ",
                                           userinfo_endpoint, ", status: ", status}));

    py::object provider = c.g("tavro_authn").attr("TokenProvider")(
        py::arg("refresh_token") = self.attr("_refresh_token"), py::arg("client_id") = client_id,
        py::arg("token_endpoint_url") = token_endpoint);
    return hand_over(c, c.g("User")(username), provider);
}

}  // namespace

RT_MODULE(authenticator, m) {
    rt::Module mod(m);
    mod.import("logging");
    mod.import("os");
    mod.import("sys");
    mod.import("webbrowser");
    mod.from("abc", {"ABC", "abstractmethod"});
    mod.from("http.server", {"HTTPServer"});
    mod.from("queue", {"Queue"});
    mod.from("threading", {"Thread"});
    mod.from("urllib.parse", {"urlencode"});
    mod.import("tavro_authn");
    mod.import("requests");
    mod.from("oic", {"rndstr"});
    // The OpenID Connect client and what comes with it (JOSE, pydantic) take
    // a quarter of a second to load: only a browser login needs them.
    mod.lazy_from("oic.oic", {"Client"});
    mod.lazy_from("oic.oic.message", {"RegistrationResponse"});
    mod.lazy_from("oic.utils.authn.client", {"CLIENT_AUTHN_METHOD"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.auth.utils", {"get_disposable_handler"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_LOGNAME", "ENV_MLFLOW_TRACKING_TOKEN", "ENV_BCK_LOGNAME", "AUTH_REQUEST_TIMEOUT"});
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

    rt::ClassDef(mod, "OIDCAuthenticator", {mod.get("Authenticator")}, "Implementation for OIDC Authentication")
        .method("__init__",
                {arg("self"), arg("url"), arg("hostname").def(py::str("localhost")), arg("dcr_enabled").def(py::bool_(true)),
                 arg("client_id").def_none(), arg("client_secret").def_none(), rt::varargs("args"),
                 rt::varkw("kwargs")},
                nullptr, nullptr, oidc_init)
        .method("authenticate", {arg("self"), rt::varkw("kwargs")},
                "\n        Log in through the user's browser (authorization code flow).\n\n"
                "        Starts a callback server on ``hostname`` at a free port, discovers the\n"
                "        provider at ``url``, registers there (dynamically, or with the given\n"
                "        client id and secret), opens the provider's login page in the browser\n"
                "        (its address is also written to standard error) and waits up to 300\n"
                "        seconds for the redirect. A refused or failed login raises at once;\n"
                "        the callback server never outlives the call.\n        ",
                "User", oidc_authenticate)
        .build();

    rt::ClassDef(mod, "KOVAAuthenticator", {mod.get("Authenticator")},
                 "Implementation for Tavro KOVA Cloud Authentication")
        .method("__init__",
                {arg("self"), arg("refresh_token"), arg("token_endpoint"), arg("userinfo_endpoint"),
                 arg("client_id").def_none(), rt::varargs("args"), rt::varkw("kwargs")},
                nullptr, nullptr, kova_init)
        .method("authenticate", {arg("self"), rt::varkw("kwargs")},
                "\n        Log in to the cloud platform with the refresh token, no browser.\n\n"
                "        Trades the refresh token for an access token and a new refresh token\n"
                "        at the token endpoint, then asks the user-information endpoint for the\n"
                "        user's name. A refusal by either raises ExperimentTrackingException;\n"
                "        the new refresh token is kept even when the second request fails.\n        ",
                "User", kova_authenticate)
        .build();
}
