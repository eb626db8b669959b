// Logging a user in: the abstract authenticator every login kind derives
// from, which keeps the logged-in user and the source of access tokens and
// resets the environment an earlier login left behind; the browser login
// (OpenID Connect, authorization code through a local callback server); and
// the cloud platform's refresh-token login.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

constexpr const char *USER_ATTR = "_Authenticator__user";
constexpr const char *PROVIDER_ATTR = "_Authenticator__token_provider";

// Seconds the browser login waits for each value the callback delivers, and
// for the callback server to stop serving afterwards.
constexpr int LOGIN_WAIT_SECONDS = 300;

py::object hand_over(rt::Call &c, py::object user, py::object provider) {
    py::handle self = c.self();
    py::dict kwargs;
    kwargs[self.attr("USER_KEY")] = std::move(user);
    kwargs[self.attr("TOKEN_PROVIDER_KEY")] = std::move(provider);
    return c.super().attr("authenticate")(**kwargs);
}

// The next value the callback handler delivers. What it put into the queue
// in place of a value is raised: the login ended without a result, and there
// is nothing left to wait for.
py::object delivered(rt::Call &c, py::handle queue) {
    py::object item;
    try {
        item = queue.attr("get")("timeout"_a = LOGIN_WAIT_SECONDS);
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("Empty"))) throw;
    }
    // Raised outside the handler: the bare timeout has nothing to add.
    if (!item) {
        py::str said = rt::text({"Nobody signed in within ", py::int_(LOGIN_WAIT_SECONDS / 60),
                                 " minutes: the browser login was given up. Run the script again and "
                                 "sign in at the address it writes to standard error."});
        // Said where the user looks for the address, before the error.
        py::object stderr_ = c.g("sys").attr("stderr");
        stderr_.attr("write")(rt::text({said, "\n"}));
        stderr_.attr("flush")();
        rt::raise(c.g("LoginAbandoned"), said);
    }
    if (rt::isinstance(item, rt::builtin("BaseException"))) rt::raise_instance(item);
    return item;
}

// After a failed login: cut the client library's exchanges under way (a
// code exchange on a connection's thread), end the serving loop, close the
// listening socket and the connections, and wait for the serving thread, so
// nothing of the login outlives it. Errors here are dropped: the caller must
// see what made the login fail.
void stop_callback_server(rt::Call &c, py::handle client, py::handle server, py::handle thread) noexcept {
    try {
        c.g("abort_exchanges")(client.attr("settings").attr("requests_session"));
    } catch (...) {
        // Dropped: the login failed already.
    }
    try {
        // shutdown() waits for a running serve_forever(); when the loop has
        // ended (or never ran) there is nothing to wait for.
        if (thread && thread.attr("is_alive")().is(py::bool_(true))) server.attr("shutdown")();
        server.attr("server_close")();
        if (thread) thread.attr("join")();
    } catch (py::error_already_set &e) {
        try {
            c.g("logger").attr("debug")(rt::text(
                {"Stopping the login's callback server failed: ", py::type::handle_of(e.value()).attr("__name__")}));
        } catch (...) {
            // Dropped: a log line that cannot be written.
        }
    } catch (...) {
        // Dropped: the login failed already.
    }
}

// ---- the base class --------------------------------------------------------------

// Implementations forward whatever extra arguments they were given; nothing
// is passed further up, since object() takes none.
py::object base_init(rt::Call &c) {
    c.self().attr(USER_ATTR) = py::none();
    c.self().attr(PROVIDER_ATTR) = py::none();
    return py::none();
}

// The backup holds the name the process had before the first login: the
// next login puts it back, so logins never stack names on top of each other.
py::object cleanup(rt::Call &c) {
    py::object environ = c.g("os").attr("environ");
    py::object logname = c.g("ENV_LOGNAME"), backup = c.g("ENV_BCK_LOGNAME"), token = c.g("ENV_MLFLOW_TRACKING_TOKEN");
    if (rt::contains(environ, logname)) {
        if (rt::contains(environ, backup)) {
            environ[logname] = environ[backup];
            environ.attr("__delitem__")(backup);
        } else {
            environ[backup] = environ[logname];
        }
    }
    if (rt::contains(environ, token)) environ.attr("__delitem__")(token);
    return py::none();
}

py::object is_authenticated(rt::Call &c) {
    return py::bool_(rt::truthy(c.self().attr(USER_ATTR)));
}

// Each value is stored as soon as it is found: a missing provider leaves the
// user stored.
py::object base_authenticate(rt::Call &c) {
    auto [self, kwargs] = c.args<2>();
    self.attr(USER_ATTR) = kwargs[self.attr("USER_KEY")];
    self.attr(PROVIDER_ATTR) = kwargs[self.attr("TOKEN_PROVIDER_KEY")];
    return self.attr(USER_ATTR);
}

// Asked every time: the provider knows when its token runs out.
py::object token(rt::Call &c) {
    py::object provider = c.self().attr(PROVIDER_ATTR);
    if (provider.is_none()) rt::raise(PyExc_LookupError, "Token provider is not initialized!");
    return py::str(provider.attr("token")());
}

py::object user(rt::Call &c) {
    py::object found = c.self().attr(USER_ATTR);
    if (found.is_none()) rt::raise(PyExc_LookupError, "User is not found!, please login first!");
    return found;
}

// ---- the browser login --------------------------------------------------------------

// The provider's signing keys, fetched in one bounded exchange: what the
// client library's key bundle does (`do_remote`), whose own fetch waits for
// each read and not for the answer. A bundle lives for one login, so there
// is no earlier answer to revalidate.
py::object fetch_keys(rt::Call &c) {
    py::handle self = c.self();
    py::object source = self.attr("source");
    if (source.is_none()) return py::bool_(false);
    py::object session = c.g("bounded_session")(c.g("AUTH_REQUEST_TIMEOUT"));
    py::object answer = rt::finally([&] { return session.attr("get")(source, "verify"_a = self.attr("verify_ssl")); },
                                    [&] { session.attr("close")(); });
    py::object status = answer.attr("status_code");
    if (!rt::equal(status, py::int_(200)))
        rt::raise(c.g("UpdateFailed"),
                  rt::text({"The provider's keys could not be fetched from ", source, ": status ", status}));
    py::object now = c.g("time").attr("time");
    self.attr("time_out") = now() + self.attr("cache_time");
    py::object keys = self.attr("_parse_remote_response")(answer);
    self.attr("imp_jwks") = keys;
    if (!rt::isinstance(keys, rt::builtin("dict")) || !rt::contains(keys, py::str("keys")))
        rt::raise(c.g("UpdateFailed"), rt::text({"The provider's keys from ", source, " are not a key set"}));
    self.attr("do_keys")(keys["keys"]);
    self.attr("last_updated") = now();
    return py::bool_(true);
}

// The client library's key bundle with that fetch, made on first use (the
// library loads with the first browser login).
py::object guarded_key_bundle(rt::Call &c) {
    py::object made = c.g("_made");
    if (!rt::contains(made, py::str("GuardedKeyBundle"))) {
        py::dict ns;
        ns["__module__"] = c.g("__name__");
        ns["__qualname__"] = "GuardedKeyBundle";
        ns["__doc__"] = "A key bundle whose keys are fetched in one bounded exchange.";
        ns["do_remote"] = c.g("_fetch_keys");
        made["GuardedKeyBundle"] = rt::builtin("type")("GuardedKeyBundle", py::make_tuple(c.g("KeyBundle")), ns);
    }
    return made["GuardedKeyBundle"];
}

// The client library logs requests and answers with the code, the client's
// credentials and the tokens in them, and waits for each read, not for an
// exchange: its records lose their secrets, its exchanges (the key fetch
// included) get a deadline and a size cap.
void guard_client(rt::Call &c, py::handle client) {
    c.g("guard_library_logs")();
    c.g("remember_secret")(c.self().attr("client_secret"));
    client.attr("settings").attr("requests_session") = c.g("bounded_session")(c.g("AUTH_REQUEST_TIMEOUT"));
    client.attr("keyjar").attr("keybundle_cls") = guarded_key_bundle(c);
}

py::object oidc_init(rt::Call &c) {
    auto [self, url, hostname, dcr_enabled, client_id, client_secret, args, callback_port, keep_login, device_login,
          kwargs] = c.args<11>();
    self.attr("url") = url;
    self.attr("hostname") = hostname;
    // A port of the user's choosing (a tunnel forwards it: ssh -L), or any free one.
    if (!callback_port.is_none()) {
        if (!PyLong_CheckExact(callback_port.ptr()))
            rt::raise(PyExc_TypeError, rt::text({"callback_port must be an int or None, not ",
                                                 py::type::handle_of(callback_port).attr("__name__")}));
        long port = PyLong_AsLong(callback_port.ptr());
        if (PyErr_Occurred()) PyErr_Clear();
        if (port < 1 || port > 65535)
            rt::raise(PyExc_ValueError,
                      rt::text({"callback_port must be a port number (1 to 65535), not ", py::repr(callback_port)}));
    }
    self.attr("callback_port") = callback_port;
    // Kept between runs: as asked, else as the environment says (off by default).
    if (keep_login.is_none()) {
        py::object value = c.g("os").attr("environ").attr("get")(c.g("ENV_OIDC_KEEP_LOGIN"), "");
        self.attr("keep_login") =
            py::bool_(!rt::contains(py::make_tuple("", "0", "false", "no"), value.attr("strip")().attr("lower")()));
    } else {
        self.attr("keep_login") = py::bool_(rt::truthy(keep_login));
    }
    // The device login: as asked, else as the environment says; None leaves
    // the choice to the login (see oidc_authenticate).
    if (device_login.is_none()) {
        py::object value = c.g("os").attr("environ").attr("get")(c.g("ENV_OIDC_DEVICE_LOGIN"), "");
        py::object word = value.attr("strip")().attr("lower")();
        if (rt::contains(py::make_tuple("", "auto"), word))
            self.attr("device_login") = py::none();
        else
            self.attr("device_login") = py::bool_(!rt::contains(py::make_tuple("0", "false", "no", "off"), word));
    } else {
        self.attr("device_login") = py::bool_(rt::truthy(device_login));
    }
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
    c.super().attr("__init__")(*args, **kwargs);
    return py::none();
}

// Why a dynamic registration cannot happen, and what to do instead.
py::str no_registration(rt::Call &c) {
    return rt::text({"registration_endpoint: the provider at ", c.self().attr("url"),
                     " does not register clients dynamically. Register a client there and pass "
                     "dcr_enabled=False with its client_id and client_secret (or set ",
                     c.g("ENV_OIDC_CLIENT_ID"), " and ", c.g("ENV_OIDC_CLIENT_SECRET"), ")."});
}

// Registers the client at the provider (dynamically, or from the given id and
// secret) with the callback's address.
void register_client(rt::Call &c, py::handle client, py::handle provider_info, const py::str &redirect_uri) {
    py::handle self = c.self();
    py::list redirect_uris;
    redirect_uris.append(redirect_uri);
    if (rt::truthy(self.attr("dcr_enabled"))) {
        if (!rt::truthy(provider_info.attr("__contains__")("registration_endpoint")))
            rt::raise(c.g("LoginAnswerMissing"), no_registration(c));
        client.attr("register")(provider_info["registration_endpoint"], "redirect_uris"_a = redirect_uris);
    } else {
        client.attr("store_registration_info")(c.g("RegistrationResponse")(
            "client_id"_a = self.attr("client_id"), "client_secret"_a = self.attr("client_secret"),
            "redirect_uris"_a = redirect_uris));
    }
}

// The address of the provider's login page for this login.
py::object login_address(rt::Call &c, py::handle client, py::handle state, py::handle nonce) {
    py::dict request_args;
    request_args["client_id"] = client.attr("client_id");
    request_args["response_type"] = "code";
    request_args["scope"] = py::list(py::make_tuple("openid"));
    request_args["nonce"] = nonce;
    request_args["redirect_uri"] = client.attr("registration_response")["redirect_uris"][py::int_(0)];
    request_args["state"] = state;
    py::object auth_req = client.attr("construct_AuthorizationRequest")("request_args"_a = request_args);
    // The client library checks the ID token's nonce only against what it
    // recorded for the state, and building the request records nothing.
    client.attr("state2nonce")[state] = nonce;
    c.g("logger").attr("debug")(rt::text({"auth_req: ", auth_req}));
    return auth_req.attr("request")(client.attr("authorization_endpoint"));
}

// Opens the login page. Without a usable browser (a remote machine, a
// container) the user opens the address by hand: it carries the state and
// nonce of this login only, no token and no client secret.
void open_in_browser(rt::Call &c, py::handle login_url) {
    py::object stderr_ = c.g("sys").attr("stderr");
    stderr_.attr("write")(rt::text({"Log in through your browser. If no browser window opens, open this address:\n",
                                    rt::printable(login_url), "\n"}));
    stderr_.attr("flush")();
    c.g("webbrowser").attr("open")(login_url, "new"_a = 0, "autoraise"_a = true);
}

// Every address of the provider a login sends a secret to (or takes its
// keys, or the user's password, from) must be https, or this machine: the
// login is refused before anything is sent otherwise.
void check_provider(rt::Call &c, py::handle provider_info) {
    const char *const endpoints[][2] = {{"token_endpoint", "token endpoint"},
                                        {"authorization_endpoint", "login page"},
                                        {"registration_endpoint", "registration endpoint"},
                                        {"jwks_uri", "address of the provider's keys"},
                                        {"device_authorization_endpoint", "device authorization endpoint"}};
    for (const auto &endpoint : endpoints) {
        py::object url = provider_info.attr("get")(endpoint[0]);
        if (!url.is_none()) c.g("check_endpoint")(url, endpoint[1]);
    }
}

// What a login got: the refresh token, the user's name, and the token
// endpoint that refreshes it.
struct Granted {
    py::object refresh_token, username, token_endpoint;
};

// Steps after the callback server listens: discovery, registration, the
// browser, the two values from the callback.
Granted oidc_exchange(rt::Call &c, py::handle client, py::object provider_info, py::handle state, py::handle nonce,
                      py::handle queue, py::handle server, py::handle thread) {
    py::object hostname = c.self().attr("hostname");
    py::object port = server.attr("server_port");
    c.g("logger").attr("debug")(rt::text({"Handler started listening 'http://", hostname, "':", port}));
    py::str redirect_uri = rt::text({"http://", hostname, ":", port, "/callback"});
    if (provider_info.is_none()) provider_info = client.attr("provider_config")(c.self().attr("url"));
    check_provider(c, provider_info);
    register_client(c, client, provider_info, redirect_uri);
    open_in_browser(c, login_address(c, client, state, nonce));

    py::object refresh_token = delivered(c, queue);
    py::object username = delivered(c, queue);
    thread.attr("join")(LOGIN_WAIT_SECONDS);
    // The published line: it names 0.0.0.0 whatever host the server listens on.
    c.g("logger").attr("debug")(rt::text({"Handler stopped listening '0.0.0.0':", port}));
    server.attr("shutdown")();
    server.attr("server_close")();
    return {refresh_token, username, provider_info["token_endpoint"]};
}

// The login kept from an earlier run, when it still works: its refresh
// token gives an access token now. None when there is none, or the provider
// refuses it (a fresh login then replaces it).
py::object kept_login(rt::Call &c) {
    py::handle self = c.self();
    py::object client_key = rt::truthy(self.attr("dcr_enabled")) ? py::object(py::none()) : self.attr("client_id");
    py::object kept = c.g("load_login")(self.attr("url"), client_key);
    if (kept.is_none()) return py::none();
    c.g("remember_secret")(kept["refresh_token"]);
    c.g("check_endpoint")(kept["token_endpoint"], "token endpoint of the kept login");
    py::object provider = c.g("tavro_authn")
                              .attr("TokenProvider")("refresh_token"_a = kept["refresh_token"],
                                                     "client_id"_a = kept.attr("get")("client_id"),
                                                     "token_endpoint_url"_a = kept["token_endpoint"]);
    try {
        c.g("remember_secret")(provider.attr("token")());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        c.g("logger").attr("info")(rt::text({"The login kept for ", self.attr("url"), " no longer works (",
                                             py::str(e.value()), "): logging in again."}));
        return py::none();
    }
    c.g("logger").attr("info")(
        rt::text({"Logged in as ", kept["username"], " with the login kept for ", self.attr("url"), "."}));
    return hand_over(c, c.g("User")(kept["username"]), provider);
}

void keep(rt::Call &c, py::handle client, py::handle refresh_token, py::handle username, py::handle token_endpoint) {
    py::handle self = c.self();
    py::object client_key = rt::truthy(self.attr("dcr_enabled")) ? py::object(py::none()) : self.attr("client_id");
    try {
        c.g("save_login")(
            self.attr("url"), client_key,
            py::dict("issuer"_a = self.attr("url"), "client_id"_a = client.attr("client_id"),
                     "refresh_token"_a = refresh_token, "username"_a = username, "token_endpoint"_a = token_endpoint));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        // The login itself worked: this run goes on, the next logs in again.
        c.g("logger").attr("warning")(rt::text({"The login could not be kept for the next run: ", py::str(e.value())}));
    }
}

py::object new_client(rt::Call &c) {
    py::object client = c.g("Client")("client_authn_method"_a = c.g("CLIENT_AUTHN_METHOD"));
    guard_client(c, client);
    return client;
}

// The tail both logins share: the token provider, the login kept when asked,
// the user handed over.
py::object logged_in(rt::Call &c, py::handle client, const Granted &granted) {
    py::object provider =
        c.g("tavro_authn")
            .attr("TokenProvider")("refresh_token"_a = granted.refresh_token, "client_id"_a = client.attr("client_id"),
                                   "token_endpoint_url"_a = granted.token_endpoint);
    if (rt::truthy(c.self().attr("keep_login")))
        keep(c, client, granted.refresh_token, granted.username, granted.token_endpoint);
    return hand_over(c, c.g("User")(granted.username), provider);
}

py::object browser_login(rt::Call &c, py::handle client, const py::object &provider_info);

// The device login: a code the user enters on any device. Registration
// needs no callback (the registration form still takes a redirect address:
// the loopback one, never used). Asked for, a provider without it is an
// error; chosen because no browser is usable, the browser login takes over.
py::object device_authenticate(rt::Call &c, bool asked) {
    py::handle self = c.self();
    py::object client = new_client(c);
    py::object provider_info = client.attr("provider_config")(self.attr("url"));
    if (!asked && !rt::truthy(provider_info.attr("__contains__")("device_authorization_endpoint")))
        return browser_login(c, client, provider_info);
    check_provider(c, provider_info);
    py::object secret = self.attr("client_secret");
    if (rt::truthy(self.attr("dcr_enabled"))) {
        if (!rt::truthy(provider_info.attr("__contains__")("registration_endpoint")))
            rt::raise(c.g("LoginAnswerMissing"), no_registration(c));
        py::list redirect_uris, grant_types;
        redirect_uris.append(rt::text({"http://", self.attr("hostname"), "/callback"}));
        grant_types.append(c.g("DEVICE_GRANT"));
        grant_types.append("refresh_token");
        client.attr("register")(provider_info["registration_endpoint"], "redirect_uris"_a = redirect_uris,
                                "grant_types"_a = grant_types);
        secret = client.attr("client_secret");
        c.g("remember_secret")(secret);
    } else {
        client.attr("store_registration_info")(
            c.g("RegistrationResponse")("client_id"_a = self.attr("client_id"), "client_secret"_a = secret));
    }
    auto [refresh_token, id_token] = rt::unpack2(c.g("device_login")(client, provider_info, secret));
    py::object username = c.g("id_token_user")(id_token);
    if (username.is_none())
        rt::raise(c.g("ExperimentTrackingException"), "Device login failed: the ID token names no user.");
    return logged_in(c, client, {refresh_token, username, provider_info["token_endpoint"]});
}

// Which login: the device login when asked, or (asked for neither) when no
// browser opened here would reach the user; else the browser login.
py::object oidc_authenticate(rt::Call &c) {
    py::handle self = c.self();
    self.attr("cleanup")();
    if (rt::truthy(self.attr("keep_login"))) {
        py::object user = kept_login(c);
        if (!user.is_none()) return user;
    }
    py::object device = self.attr("device_login");
    if (device.is(py::bool_(true))) return device_authenticate(c, true);
    if (device.is_none() && !rt::truthy(c.g("browser_usable")())) return device_authenticate(c, false);
    return browser_login(c, new_client(c), py::none());
}

py::object browser_login(rt::Call &c, py::handle client, const py::object &provider_info) {
    py::handle self = c.self();
    py::object state = c.g("rndstr")();
    py::object nonce = c.g("rndstr")();
    py::object queue = c.g("Queue")();
    py::object handler = c.g("get_disposable_handler")(client, state, queue);
    py::object port = self.attr("callback_port");
    py::object server;
    try {
        server = c.g("HTTPServer")(py::make_tuple(self.attr("hostname"), port.is_none() ? py::int_(0) : port), handler);
    } catch (py::error_already_set &e) {
        if (port.is_none() || !e.matches(PyExc_OSError) ||
            !rt::equal(e.value().attr("errno"), c.g("errno").attr("EADDRINUSE")))
            throw;
        rt::raise_while_handling(e, PyExc_OSError, c.g("errno").attr("EADDRINUSE"),
                                 rt::text({"The browser login's callback port ", port, " on ", self.attr("hostname"),
                                           " is in use by another program: choose another (callback_port, ",
                                           c.g("ENV_OIDC_CALLBACK_PORT"), "), or leave it unset for a free one."}));
    }

    py::object thread;
    try {
        server.attr("allow_reuse_address") = true;
        thread = c.g("Thread")("target"_a = server.attr("serve_forever"));
        thread.attr("start")();
    } catch (...) {
        stop_callback_server(c, client, server, py::handle());
        throw;
    }
    Granted granted;
    try {
        granted = oidc_exchange(c, client, provider_info, state, nonce, queue, server, thread);
    } catch (...) {
        stop_callback_server(c, client, server, thread);
        throw;
    }
    return logged_in(c, client, granted);
}

// ---- the cloud platform login -------------------------------------------------------

py::object kova_init(rt::Call &c) {
    auto [self, refresh_token, token_endpoint, userinfo_endpoint, client_id, args, kwargs] = c.args<7>();
    self.attr("_access_token") = py::none();
    self.attr("_refresh_token") = refresh_token;
    self.attr("_token_endpoint") = token_endpoint;
    self.attr("_userinfo_endpoint") = userinfo_endpoint;
    self.attr("_client_id") = client_id;
    c.super().attr("__init__")(*args, **kwargs);
    return py::none();
}

// Each value form-encoded: a token holding '&', '=' or '+' reaches the
// platform as it is instead of adding or replacing fields. Tokens are made of
// characters that encode as themselves, so their body reads exactly
// "refresh_token=...&grant_type=refresh_token&client_id=...". No client id
// configured: the field is left out rather than sent as "None".
py::object token_request_body(rt::Call &c) {
    py::list fields;
    fields.append(py::make_tuple("refresh_token", py::str(c.self().attr("_refresh_token"))));
    fields.append(py::make_tuple("grant_type", "refresh_token"));
    py::object client_id = c.self().attr("_client_id");
    if (!client_id.is_none()) fields.append(py::make_tuple("client_id", py::str(client_id)));
    return c.g("urlencode")(fields);
}

// The answer's status must be exactly 200; anything else is the platform's refusal.
void expect_ok(rt::Call &c, py::handle response, const char *what, py::handle endpoint) {
    py::object status = response.attr("status_code");
    if (!rt::equal(status, py::int_(200)))
        rt::raise(c.g("ExperimentTrackingException"),
                  rt::text({what, " for the endpoint: ", endpoint, ", status: ", status, "!"}));
}

// The user's name from the user-information answer.
py::object user_name(rt::Call &c, py::handle response, py::handle endpoint) {
    py::object info = response.attr("json")();
    if (rt::contains(info, py::str("preferred_username"))) return info["preferred_username"];
    if (rt::contains(info, py::str("email"))) return info["email"];
    rt::raise(c.g("ExperimentTrackingException"),
              rt::text({"Couldn't find 'preferred_username', 'email' attributes in the userinfo response for the "
                        "endpoint: ",
                        endpoint, ", status: ", response.attr("status_code")}));
}

// The answer's access token: text, and not empty (a null one would be sent
// on as "Bearer None").
py::object access_token_of(py::handle tokens, py::handle endpoint) {
    py::object token = rt::isinstance(tokens, rt::builtin("dict")) ? py::object(tokens.attr("get")("access_token"))
                                                                   : py::object(py::none());
    if (!rt::isinstance(token, rt::builtin("str")) || !rt::truthy(token))
        rt::raise(PyExc_KeyError,
                  rt::text({"The token endpoint ", endpoint, " answered without an access token (access_token)"}));
    return token;
}

// A refresh token the platform retired (it sent a new one) leaves the
// environment it came from: a child process inheriting the environment must
// not present it again. What is left says why it is gone.
void retire_from_environment(rt::Call &c, py::handle spent) {
    py::object os = c.g("os");
    py::object environ = os.attr("environ");
    py::object name = c.g("ENV_KOVA_REFRESH_TOKEN");
    if (!rt::equal(environ.attr("get")(name), spent)) return;
    environ.attr("__delitem__")(name);
    environ[c.g("ENV_KOVA_REFRESH_TOKEN_USED")] = py::str(os.attr("getpid")());
}

// Trades the refresh token for an access token (and, on a platform that
// rotates them, a new refresh token); returns the access token.
py::object trade_refresh_token(rt::Call &c, py::handle session, py::handle headers) {
    py::handle self = c.self();
    py::object endpoint = self.attr("_token_endpoint");
    py::object response = session.attr("request")("POST", endpoint, "headers"_a = headers,
                                                  "data"_a = token_request_body(c), "allow_redirects"_a = false);
    expect_ok(c, response, "Authentication failed", endpoint);
    py::object tokens = response.attr("json")();
    py::object access_token = access_token_of(tokens, endpoint);
    // Kept as soon as they arrive: a platform that rotates refresh tokens has
    // already retired the old one, whatever happens next. One that does not
    // rotate sends none, and the old one stays good.
    self.attr("_access_token") = access_token;
    py::object spent = self.attr("_refresh_token");
    py::object renewed = tokens.attr("get")("refresh_token");
    if (rt::isinstance(renewed, rt::builtin("str")) && rt::truthy(renewed) && !rt::equal(renewed, spent)) {
        self.attr("_refresh_token") = renewed;
        retire_from_environment(c, spent);
    }
    return access_token;
}

py::object kova_authenticate(rt::Call &c) {
    py::handle self = c.self();
    self.attr("cleanup")();
    py::object userinfo_endpoint = self.attr("_userinfo_endpoint");
    // The refresh token goes to one, the access token to the other.
    c.g("check_endpoint")(self.attr("_token_endpoint"), "cloud platform's token endpoint");
    c.g("check_endpoint")(userinfo_endpoint, "cloud platform's user-information endpoint");
    py::dict headers;
    headers["Content-Type"] = "application/x-www-form-urlencoded";
    // Each exchange bounded as a whole; neither follows a redirect, which
    // would send the refresh token (or the access token) wherever it points.
    py::object session = c.g("bounded_session")(c.g("AUTH_REQUEST_TIMEOUT"));
    py::object username = rt::finally(
        [&] {
            py::object access_token = trade_refresh_token(c, session, headers);
            headers["Authorization"] = rt::text({"Bearer ", access_token});
            py::object info =
                session.attr("request")("GET", userinfo_endpoint, "headers"_a = headers, "allow_redirects"_a = false);
            expect_ok(c, info, "User info request failed", userinfo_endpoint);
            return user_name(c, info, userinfo_endpoint);
        },
        [&] { session.attr("close")(); });
    py::object provider = c.g("tavro_authn")
                              .attr("TokenProvider")("refresh_token"_a = self.attr("_refresh_token"),
                                                     "client_id"_a = self.attr("_client_id"),
                                                     "token_endpoint_url"_a = self.attr("_token_endpoint"));
    return hand_over(c, c.g("User")(username), provider);
}

// ---- docstrings ---------------------------------------------------------------------

constexpr const char *OIDC_AUTHENTICATE_DOC = R"(
        Log in through the user's browser (authorization code flow).

        Starts a callback server on ``hostname`` at a free port, discovers the
        provider at ``url``, registers there (dynamically, or with the given
        client id and secret), opens the provider's login page in the browser
        (its address is also written to standard error) and waits up to 300
        seconds for the redirect. A refused or failed login raises at once;
        the callback server never outlives the call.

        With ``device_login`` (or when it is left unset, no browser opened
        here would reach the user and the provider offers it), the device
        login instead: a code to enter at the provider's address on any
        device, both written to standard error.
        )";

constexpr const char *KOVA_AUTHENTICATE_DOC = R"(
        Log in to the cloud platform with the refresh token, no browser.

        Trades the refresh token for an access token (and a new refresh token,
        where the platform rotates them) at the token endpoint, then asks the
        user-information endpoint for the user's name. A refusal by either (a
        redirect included) raises ExperimentTrackingException; the new refresh
        token is kept even when the second request fails. Each request must be
        answered whole within AUTH_REQUEST_TIMEOUT seconds. A refresh token
        taken from the environment and retired by the platform is removed
        from there.
        )";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("errno");
    mod.import("logging");
    mod.import("os");
    mod.import("sys");
    mod.import("time");
    mod.import("webbrowser");
    mod.from("abc", {"ABC", "abstractmethod"});
    mod.from("typing", {"Optional"});
    mod.from("queue", {"Empty", "Queue"});
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
    mod.lazy_from("oic.utils.keyio", {"KeyBundle", "UpdateFailed"});
    mod.from("tavro_experiment_tracking.auth.user", {"User"});
    mod.from("tavro_experiment_tracking.auth.guard", {"guard_library_logs", "remember_secret"});
    mod.from("tavro_experiment_tracking.exchanges", {"abort_exchanges", "bounded_session", "check_endpoint"});
    // The login's local server: one thread per connection, none waited for.
    mod.from("tavro_experiment_tracking.auth.utils",
             {"CallbackServer as HTTPServer", "get_disposable_handler", "id_token_user"});
    mod.from("tavro_experiment_tracking.constants",
             {"ENV_LOGNAME", "ENV_MLFLOW_TRACKING_TOKEN", "ENV_BCK_LOGNAME", "ENV_KOVA_REFRESH_TOKEN",
              "ENV_KOVA_REFRESH_TOKEN_USED", "AUTH_REQUEST_TIMEOUT", "ENV_OIDC_CLIENT_ID", "ENV_OIDC_CLIENT_SECRET",
              "ENV_OIDC_CALLBACK_PORT", "ENV_OIDC_KEEP_LOGIN", "ENV_OIDC_DEVICE_LOGIN"});
    mod.from("tavro_experiment_tracking.auth.device", {"browser_usable", "device_login"});
    mod.from("tavro_experiment_tracking.auth.store", {"load_login", "save_login"});
    mod.from("tavro_experiment_tracking.exception",
             {"ExperimentTrackingException", "LoginAbandoned", "LoginAnswerMissing"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    // The grant a client registered for the device login asks for (RFC 8628).
    mod.set("DEVICE_GRANT", py::str("urn:ietf:params:oauth:grant-type:device_code"));
}

RT_MODULE(authenticator, m) {
    rt::Module mod(m);
    import_names(mod);
    // Classes made on first use, by name.
    mod.set("_made", py::dict());
    mod.def("_fetch_keys", {arg("self")}, fetch_keys,
            rt::doc("Fetch a key bundle's keys from its source in one bounded exchange (the bundle's do_remote)."),
            rt::returns("bool"));

    rt::ClassDef(mod, "Authenticator", {mod.get("ABC")}, "Abstract class for Authentication.")
        .attr("USER_KEY", py::str("USER_KEY"))
        .attr("TOKEN_PROVIDER_KEY", py::str("TOKEN_PROVIDER_KEY"))
        .method("__init__", {arg("self"), rt::varargs("args"), rt::varkw("kwargs")}, base_init)
        .staticmethod("cleanup", {}, cleanup, rt::doc("Clearing-up previous authentication envs."))
        .property("is_authenticated", is_authenticated, rt::returns("bool"),
                  rt::refuse_assignment("Cannot change is_authenticated value!"), rt::doc(R"(
        Returns True if authenticated. False, otherwise.
        )"))
        .abstractmethod("authenticate", {arg("self"), rt::varkw("kwargs")}, base_authenticate, rt::returns("User"),
                        rt::doc(R"(
        Start authentication flow.
        Implementations MUST call this method once authentication is successful
        )"))
        .method("token", {arg("self")}, token, rt::doc(R"(
        Retrieve access token.
        )"))
        .property("user", user, rt::refuse_assignment("Assigning user not allowed!"), rt::doc(R"(
        Retrieve user name.
        )"))
        .build();

    rt::ClassDef(mod, "OIDCAuthenticator", {mod.get("Authenticator")}, "Implementation for OIDC Authentication")
        .method("__init__",
                {arg("self"), arg("url"), arg("hostname").def(py::str("localhost")),
                 arg("dcr_enabled").def(py::bool_(true)), arg("client_id").def_none(), arg("client_secret").def_none(),
                 rt::varargs("args"), rt::kwonly("callback_port").def_none().ann("Optional[int]"),
                 rt::kwonly("keep_login").def_none().ann("Optional[bool]"),
                 rt::kwonly("device_login").def_none().ann("Optional[bool]"), rt::varkw("kwargs")},
                oidc_init)
        .method("authenticate", {arg("self"), rt::varkw("kwargs")}, oidc_authenticate, rt::doc(OIDC_AUTHENTICATE_DOC),
                rt::returns("User"))
        .build();

    rt::ClassDef(mod, "KOVAAuthenticator", {mod.get("Authenticator")},
                 "Implementation for Tavro KOVA Cloud Authentication")
        .method("__init__",
                {arg("self"), arg("refresh_token"), arg("token_endpoint"), arg("userinfo_endpoint"),
                 arg("client_id").def_none(), rt::varargs("args"), rt::varkw("kwargs")},
                kova_init)
        .method("authenticate", {arg("self"), rt::varkw("kwargs")}, kova_authenticate, rt::doc(KOVA_AUTHENTICATE_DOC),
                rt::returns("User"))
        .build();
}
