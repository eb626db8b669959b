// The device login (OAuth 2.0 device authorization grant, RFC 8628), for a
// machine that cannot show the user a browser: a remote machine reached over
// SSH, a container. The provider hands out a user code; the user opens the
// provider's address on any device (a laptop, a phone) and enters it, while
// this process asks the token endpoint, at the pace the provider sets,
// whether the sign-in happened. The answer is read by the OpenID Connect
// client, which checks the ID token as it does for the browser login.
#include "runtime.hpp"

#include <algorithm>
#include <cmath>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

constexpr const char *DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code";

// Polling pace when the provider names none (RFC 8628, 3.2).
constexpr double DEFAULT_INTERVAL_SECONDS = 5;
// How long a code lasts when the provider does not say, and the longest wait
// whatever it says.
constexpr double DEFAULT_EXPIRES_SECONDS = 600;
constexpr double MAX_WAIT_SECONDS = 1800;
// Network failures in a row that end the wait (a single one is retried at
// the next poll: the user may be signing in right now).
constexpr int MAX_FAILED_POLLS = 3;

py::object environ_get(rt::Call &c, const char *name) {
    return c.g("os").attr("environ").attr("get")(name, "");
}

// Whether a browser opened here reaches the user: a desktop session, or a
// browser the user named. Over SSH the browser would open on the far machine
// (or nowhere), unless the session forwards a display.
py::object browser_usable(rt::Call &c) {
    if (rt::truthy(environ_get(c, "BROWSER"))) return py::bool_(true);
    py::str platform = c.g("sys").attr("platform");
    if (rt::equal(platform, py::str("darwin")) || rt::truthy(platform.attr("startswith")("win")))
        return py::bool_(!rt::truthy(environ_get(c, "SSH_CONNECTION")) && !rt::truthy(environ_get(c, "SSH_TTY")));
    return py::bool_(rt::truthy(environ_get(c, "DISPLAY")) || rt::truthy(environ_get(c, "WAYLAND_DISPLAY")));
}

py::object failed(rt::Call &c, const py::str &text) {
    return c.g("ExperimentTrackingException")(rt::text({"Device login failed: ", text}));
}

// A form POST as RFC 6749 has clients send it: the client's credentials in
// Basic form (each part form-encoded, 2.3.1) when it has a secret, and its
// id in the form. Never follows a redirect, which would carry the codes
// wherever it points.
py::object post(rt::Call &c, py::handle session, py::handle endpoint, py::list fields, py::handle client_id,
                py::handle secret) {
    py::dict headers("Content-Type"_a = "application/x-www-form-urlencoded", "Accept"_a = "application/json");
    if (rt::truthy(secret)) {
        py::object quote = c.g("quote_plus");
        py::str pair = rt::text({quote(client_id), ":", quote(secret)});
        headers["Authorization"] =
            rt::text({"Basic ", c.g("base64").attr("b64encode")(pair.attr("encode")()).attr("decode")()});
    }
    // Also in the form with a secret: some providers look for it there.
    fields.append(py::make_tuple("client_id", client_id));
    return session.attr("request")("POST", endpoint, "headers"_a = headers, "data"_a = c.g("urlencode")(fields),
                                   "allow_redirects"_a = false);
}

// The answer's JSON object, or an empty dict when it is something else.
py::dict answer_of(py::handle response) {
    py::object body;
    try {
        body = response.attr("json")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::dict();
    }
    return rt::isinstance(body, rt::builtin("dict")) ? py::dict(body) : py::dict();
}

// "error (description)" of a refusal, or its status when it says nothing;
// the provider's words as a terminal may show them.
py::str refusal(py::handle response, const py::dict &answer) {
    py::object error = answer.attr("get")("error");
    if (error.is_none()) return rt::text({"status ", response.attr("status_code")});
    py::object description = answer.attr("get")("error_description");
    return rt::printable(description.is_none() ? py::str(error) : rt::text({error, " (", description, ")"}));
}

// A positive number of seconds the provider gave, or the fallback.
double seconds(py::handle answer, const char *key, double fallback) {
    py::object value = answer.attr("get")(key);
    if (!rt::isinstance(value, py::make_tuple(rt::builtin("int"), rt::builtin("float"))) ||
        rt::isinstance(value, rt::builtin("bool")))
        return fallback;
    double number = value.cast<double>();
    return number > 0 && number < 1e9 ? number : fallback;
}

// Step 1: the device and user codes, and where the user enters them.
py::dict start(rt::Call &c, py::handle session, py::handle endpoint, py::handle client_id, py::handle secret) {
    py::list fields;
    fields.append(py::make_tuple("scope", "openid"));
    py::object response = post(c, session, endpoint, fields, client_id, secret);
    py::dict answer = answer_of(response);
    if (!rt::equal(response.attr("status_code"), py::int_(200)))
        rt::raise_instance(failed(c, rt::text({"the provider refused to start it at ", rt::printable(endpoint), ": ",
                                               refusal(response, answer), "."})));
    for (const char *key : {"device_code", "user_code", "verification_uri"}) {
        py::object value = answer.attr("get")(key);
        if (!rt::isinstance(value, rt::builtin("str")) || !rt::truthy(value))
            rt::raise_instance(
                failed(c, rt::text({"the provider's answer from ", rt::printable(endpoint), " has no ", key, "."})));
    }
    // Neither code may show in a log record; the user code goes to the user
    // on standard error only.
    c.g("remember_secret")(answer["device_code"]);
    c.g("remember_secret")(answer["user_code"]);
    return answer;
}

// What the user must do, on standard error. The provider's address and code
// are shown without their control characters: they reach the terminal as
// text, never as its commands (a cleared screen, a forged line).
void announce(rt::Call &c, const py::dict &answer, double wait) {
    py::object stderr_ = c.g("sys").attr("stderr");
    py::str text =
        rt::text({"To log in, open ", rt::printable(answer["verification_uri"]),
                  " in a browser on any device and enter the code ", rt::printable(answer["user_code"]), "\n"});
    py::object complete = answer.attr("get")("verification_uri_complete");
    if (rt::isinstance(complete, rt::builtin("str")) && rt::truthy(complete))
        text = rt::text({text, "(or open ", rt::printable(complete), ", which carries the code)\n"});
    long minutes = std::max(1L, std::lround(wait / 60));
    text = rt::text(
        {text, "Waiting up to ", py::int_(minutes), minutes == 1 ? " minute" : " minutes", " for the sign-in.\n"});
    stderr_.attr("write")(text);
    stderr_.attr("flush")();
}

// Step 2: asks the token endpoint until the user signed in, refused, or the
// code ran out; returns the answer holding the tokens.
py::object poll(rt::Call &c, py::handle session, py::handle token_endpoint, const py::dict &started,
                py::handle client_id, py::handle secret) {
    double interval = seconds(started, "interval", DEFAULT_INTERVAL_SECONDS);
    double wait = std::min(seconds(started, "expires_in", DEFAULT_EXPIRES_SECONDS), MAX_WAIT_SECONDS);
    announce(c, started, wait);
    py::object monotonic = c.g("time").attr("monotonic"), sleep = c.g("time").attr("sleep");
    double deadline = monotonic().cast<double>() + wait;
    py::tuple transient = py::make_tuple(c.g("ConnectionError"), c.g("Timeout"));
    int failures = 0;
    while (monotonic().cast<double>() + interval < deadline) {
        sleep(interval);
        py::list fields;
        fields.append(py::make_tuple("grant_type", DEVICE_GRANT));
        fields.append(py::make_tuple("device_code", started["device_code"]));
        py::object response;
        try {
            response = post(c, session, token_endpoint, fields, client_id, secret);
        } catch (py::error_already_set &e) {
            if (!e.matches(transient) || ++failures >= MAX_FAILED_POLLS) throw;
            c.g("logger").attr("warning")(
                rt::text({"The token endpoint ", rt::printable(token_endpoint), " could not be reached (",
                          py::type::handle_of(e.value()).attr("__name__"), "): asking again."}));
            continue;
        }
        failures = 0;
        if (rt::equal(response.attr("status_code"), py::int_(200))) return response;
        py::dict answer = answer_of(response);
        py::object error = answer.attr("get")("error");
        if (rt::equal(error, py::str("authorization_pending"))) continue;
        // Asked too often: every later poll waits longer (RFC 8628, 3.5).
        if (rt::equal(error, py::str("slow_down"))) {
            interval += c.g("SLOW_DOWN_STEP").cast<double>();
            continue;
        }
        if (rt::equal(error, py::str("access_denied")))
            rt::raise_instance(failed(c, py::str("the sign-in was refused at the provider (access_denied).")));
        if (rt::equal(error, py::str("expired_token"))) break;
        rt::raise_instance(failed(c, rt::text({"the token endpoint ", rt::printable(token_endpoint), " answered ",
                                               refusal(response, answer), "."})));
    }
    rt::raise_instance(failed(c, py::str("the code expired before anyone signed in with it. Log in again for a "
                                         "new code.")));
}

// The whole login on a client the caller set up (discovered, registered,
// guarded): returns (refresh token, ID token).
py::object device_login(rt::Call &c) {
    auto [client, provider_info, secret] = c.args<3>();
    py::object endpoint = provider_info.attr("get")("device_authorization_endpoint");
    if (!rt::truthy(endpoint))
        rt::raise_instance(failed(c, rt::text({"the provider at ", provider_info.attr("get")("issuer"),
                                               " does not offer it (its discovery document names no "
                                               "device_authorization_endpoint). Log in through the browser "
                                               "instead: on a remote machine, with a fixed callback port "
                                               "forwarded by ssh -L."})));
    py::object token_endpoint = provider_info["token_endpoint"];
    // The client's secret and the device code go to both.
    c.g("check_endpoint")(endpoint, "device authorization endpoint");
    c.g("check_endpoint")(token_endpoint, "token endpoint");
    py::object client_id = client.attr("client_id");
    py::object session = c.g("bounded_session")(c.g("AUTH_REQUEST_TIMEOUT"));
    py::object response = rt::finally(
        [&] {
            py::dict started = start(c, session, endpoint, client_id, secret);
            return poll(c, session, token_endpoint, started, client_id, secret);
        },
        [&] { session.attr("close")(); });
    // The client library checks the ID token (signature, issuer, audience,
    // expiry) when it is signed; that it is signed, as the provider
    // announces, is checked here.
    py::object tokens;
    try {
        tokens = client.attr("parse_response")(c.g("AccessTokenResponse"), "info"_a = response.attr("text"),
                                               "sformat"_a = "json");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        rt::raise_instance(
            failed(c, rt::text({"the provider's answer was refused (", py::type::handle_of(e.value()).attr("__name__"),
                                ": ", rt::printable(c.g("redact")(e.value())), ")."})));
    }
    for (const char *key : {"access_token", "refresh_token"}) c.g("remember_secret")(tokens.attr("get")(key));
    py::object refresh_token = tokens.attr("get")("refresh_token");
    if (!rt::truthy(refresh_token))
        rt::raise_instance(failed(c, py::str("the identity provider issued no refresh token.")));
    py::object id_token = tokens.attr("get")("id_token");
    if (id_token.is_none()) rt::raise_instance(failed(c, py::str("the identity provider issued no ID token.")));
    c.g("remember_secret")(py::getattr(id_token, "jwt", py::none()));
    py::object unsigned_ = c.g("id_token_refusal")(id_token, provider_info);
    if (!unsigned_.is_none())
        rt::raise_instance(failed(c, rt::text({"the provider's answer was refused: ", unsigned_, "."})));
    return py::make_tuple(refresh_token, id_token);
}

constexpr const char *DEVICE_LOGIN_DOC =
    R"(Log ``client`` in with the device authorization grant; returns (refresh token, ID token).

``client`` is the OpenID Connect client, discovered (``provider_info``) and
registered; ``client_secret`` (None for a public client) authenticates it in
Basic form. Writes the verification address and the user code to standard
error, then asks the token endpoint at the provider's interval (longer after
each ``slow_down``) until the user signs in. A refusal, an expired code, or a
provider without a ``device_authorization_endpoint`` raises
ExperimentTrackingException; each exchange is bounded by AUTH_REQUEST_TIMEOUT.
The ID token must be signed with an algorithm the provider announces, and is
checked by the client (signature, issuer, audience, expiry) and returned as its
claims; a token refused or a malformed answer raises
ExperimentTrackingException. An endpoint over plain http on another machine
raises PlainHttpRefused before anything is sent. What the provider says is
written without its control characters.)";

constexpr const char *BROWSER_USABLE_DOC =
    R"(Whether a browser opened by this process reaches its user: ``$BROWSER`` is set,
or (Linux and other Unix systems) a display is (``$DISPLAY``, ``$WAYLAND_DISPLAY``),
or (macOS, Windows) the session is not over SSH.)";

}  // namespace

RT_MODULE(device, m) {
    rt::Module mod(m);
    mod.import("base64");
    mod.import("logging");
    mod.import("os");
    mod.import("sys");
    mod.import("time");
    mod.from("typing", {"Any", "Dict", "Optional", "Tuple"});
    mod.from("urllib.parse", {"quote_plus", "urlencode"});
    mod.from("requests.exceptions", {"ConnectionError", "Timeout"});
    mod.lazy_from("oic.oic.message", {"AccessTokenResponse"});
    mod.from("tavro_experiment_tracking.auth.guard", {"id_token_refusal", "redact", "remember_secret"});
    mod.from("tavro_experiment_tracking.exchanges", {"bounded_session", "check_endpoint"});
    mod.from("tavro_experiment_tracking.constants", {"AUTH_REQUEST_TIMEOUT"});
    mod.from("tavro_experiment_tracking.exception", {"ExperimentTrackingException"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
    // Seconds added to the polling interval by each slow_down (RFC 8628, 3.5).
    mod.set("SLOW_DOWN_STEP", py::float_(5.0));

    mod.def("browser_usable", {}, browser_usable, rt::doc(BROWSER_USABLE_DOC), rt::returns("bool"));
    mod.def("device_login",
            {arg("client").ann("Any"), arg("provider_info").ann("Dict[str, Any]"),
             arg("client_secret").def_none().ann("Optional[str]")},
            device_login, rt::doc(DEVICE_LOGIN_DOC), rt::returns("Tuple[str, Any]"));
}
