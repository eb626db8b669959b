// What keeps a login's secrets in: the log records of the OpenID Connect
// libraries with the credentials they quote taken out, and whether an ID
// token may log anyone in. (The logins' bounded HTTP exchanges and the
// plain-http rule are the exchanges module's.)
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

const char *const REDACTED = "<redacted>";

// Values `remember_secret` keeps: a few logins' codes, tokens and secrets.
constexpr size_t REMEMBERED_SECRETS = 64;

// The libraries whose records can quote a credential: the OpenID Connect
// client and its JOSE library.
const char *const GUARDED_LOGGERS[] = {"oic", "jwkest"};

// `key=value`, `"key": "value"`, `'Authorization': 'Basic ...'` for the keys
// that carry credentials; `authorization_code` is a grant type, not a code.
const char *const KEYED_SECRET = R"((?i)(?<![\w-])((?:client_secret|client_assertion|assertion|password|passwd|)"
                                 R"(code|access_token|refresh_token|id_token|token|authorization|cookie)["']?\s*)"
                                 R"([:=]\s*[(\[]?\s*[bu]?["']?\s*(?:(?:basic|bearer)\s+)?)[^\s"'&,;)\]}]+)";
// A credential after its scheme, wherever it stands.
const char *const SCHEMED_SECRET = R"((?i)\b(basic|bearer)\s+[A-Za-z0-9._~+/=-]{6,})";
// A JSON Web Token (an ID token, a signed assertion): three base64url parts.
const char *const WEB_TOKEN = R"(\beyJ[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]*)";

// ---- redaction ----------------------------------------------------------------------

py::object redact(rt::Call &c) {
    auto [text] = c.args<1>();
    py::object out = py::str(text);
    for (py::handle secret : py::list(c.g("_remembered"))) out = out.attr("replace")(secret, REDACTED);
    out = c.g("_KEYED_SECRET").attr("sub")(rt::text({"\\1", REDACTED}), out);
    out = c.g("_SCHEMED_SECRET").attr("sub")(rt::text({"\\1 ", REDACTED}), out);
    return c.g("_WEB_TOKEN").attr("sub")(REDACTED, out);
}

// Remembered, most recent last, up to a bound: a long process logging in
// again and again keeps only the secrets of its latest logins.
void remember(py::handle remembered, py::handle value) {
    remembered.attr("pop")(value, py::none());
    remembered[value] = py::none();
    if (py::len(remembered) > REMEMBERED_SECRETS)
        remembered.attr("pop")(remembered.attr("__iter__")().attr("__next__")());
}

py::object remember_secret(rt::Call &c) {
    auto [value] = c.args<1>();
    // Short values would take ordinary words out of every message.
    if (!rt::isinstance(value, rt::builtin("str")) || py::len(value) < 8) return py::none();
    py::object remembered = c.g("_remembered");
    remember(remembered, value);
    // As it stands in a query string or a form body, too.
    remember(remembered, c.g("quote")(value, "safe"_a = ""));
    return py::none();
}

// The record keeps its logger, level and place: what failed still shows;
// only the secrets in its text (and in its traceback) are gone.
py::object filter_record(rt::Call &c) {
    auto [self, record] = c.args<2>();
    py::object redact_ = c.g("redact");
    py::object message;
    try {
        message = record.attr("getMessage")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        message = rt::text({record.attr("msg"), " ", record.attr("args")});
    }
    record.attr("msg") = redact_(message);
    record.attr("args") = py::tuple();
    py::object exc_info = record.attr("exc_info");
    if (rt::truthy(exc_info) && !py::object(exc_info[py::int_(0)]).is_none())
        record.attr("exc_text") = redact_(c.g("logging").attr("Formatter")().attr("formatException")(exc_info));
    py::object stack = record.attr("stack_info");
    if (rt::truthy(stack)) record.attr("stack_info") = redact_(stack);
    return py::bool_(true);
}

py::object guard_library_logs(rt::Call &c) {
    py::object filter = c.g("_FILTER");
    py::object loggers = c.g("logging").attr("root").attr("manager").attr("loggerDict");
    py::object logger_type = c.g("logging").attr("Logger");
    for (py::handle item : py::list(loggers.attr("items")())) {
        auto [name, logger] = rt::unpack2(item);
        py::object top = name.attr("split")(".")[py::int_(0)];
        bool guarded = false;
        for (const char *library : GUARDED_LOGGERS) guarded = guarded || rt::equal(top, py::str(library));
        if (!guarded || !rt::isinstance(logger, logger_type)) continue;
        if (!rt::contains(logger.attr("filters"), filter)) logger.attr("addFilter")(filter);
    }
    return py::none();
}

// Why the ID token of a token answer may not log anyone in, or None: it
// must be signed, with an algorithm the provider's discovery announces
// (RS256 when it announces none), never "none". The client library checks
// the signature, issuer, audience and expiry of a signed one; an unsigned
// one it takes as it is.
py::object id_token_refusal(rt::Call &c) {
    auto [id_token, provider_info] = c.args<2>();
    py::object header = py::getattr(id_token, "jws_header", py::none());
    py::object alg =
        rt::isinstance(header, rt::builtin("dict")) ? py::object(header.attr("get")("alg")) : py::object(py::none());
    py::object announced = provider_info.attr("get")("id_token_signing_alg_values_supported");
    py::list accepted;
    if (rt::isinstance(announced, py::make_tuple(rt::builtin("list"), rt::builtin("tuple"))))
        for (py::handle name : announced)
            if (rt::isinstance(name, rt::builtin("str")) && !rt::equal(py::str(name).attr("lower")(), py::str("none")))
                accepted.append(name);
    if (announced.is_none()) accepted.append("RS256");
    if (alg.is_none() || rt::equal(py::str(alg).attr("lower")(), py::str("none")))
        return py::str("its ID token is not signed (alg none)");
    if (!rt::contains(accepted, alg))
        return rt::text({"its ID token is signed with ", rt::printable(py::repr(alg)),
                         ", which the provider's discovery does not announce (",
                         rt::printable(py::str(", ").attr("join")(rt::builtin("map")(rt::builtin("str"), accepted))),
                         ")"});
    return py::none();
}

constexpr const char *REDACT_DOC =
    R"(``text`` with the credentials it quotes replaced by ``<redacted>``: values of
credential keys (code, tokens, secrets, Authorization), Basic and Bearer
credentials, JSON Web Tokens, and every value given to ``remember_secret``.)";

// The names of two failures the logins raise, published here and kept
// here; they live in the exchanges module, below this one.
py::object module_getattr(rt::Call &c) {
    auto [name] = c.args<1>();
    for (const char *moved : {"AnswerTooLarge", "PlainHttpRefused"})
        if (rt::equal(name, py::str(moved)))
            return c.g("importlib").attr("import_module")("tavro_experiment_tracking.exchanges").attr(moved);
    rt::raise(PyExc_AttributeError,
              rt::text({"module 'tavro_experiment_tracking.auth.guard' has no attribute ", py::repr(name)}));
}

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("importlib");
    mod.import("logging");
    mod.import("re");
    mod.from("typing", {"Optional"});
    mod.from("urllib.parse", {"quote"});
}

RT_MODULE(guard, m) {
    rt::Module mod(m);
    import_names(mod);
    py::object re = mod.get("re");
    mod.set("_KEYED_SECRET", re.attr("compile")(KEYED_SECRET));
    mod.set("_SCHEMED_SECRET", re.attr("compile")(SCHEMED_SECRET));
    mod.set("_WEB_TOKEN", re.attr("compile")(WEB_TOKEN));
    // Secrets this process's logins handled, taken out wherever they show
    // (a dict: ordered, oldest first).
    mod.set("_remembered", py::dict());

    mod.def("redact", {arg("text")}, redact, rt::doc(REDACT_DOC), rt::returns("str"));
    mod.def("remember_secret", {arg("value")}, remember_secret,
            rt::doc("Take ``value`` (a code, token or secret a login handles) out of every guarded record."),
            rt::returns("None"));
    rt::ClassDef(mod, "SecretFilter", {mod.get("logging").attr("Filter")},
                 R"(Takes credentials out of the records of the logger it is added to (see ``redact``).)")
        .method("filter", {arg("self"), arg("record")}, filter_record)
        .build();
    mod.set("_FILTER", mod.get("SecretFilter")());
    mod.def("guard_library_logs", {}, guard_library_logs,
            rt::doc(R"(Add the ``SecretFilter`` to every logger of the OpenID Connect libraries
loaded so far (``oic``, ``jwkest``): their records quote requests, answers and
tokens. Records still say what failed; only the credentials are gone.)"),
            rt::returns("None"));

    mod.def("__getattr__", {arg("name")}, module_getattr,
            rt::doc("``AnswerTooLarge`` and ``PlainHttpRefused``, from the exchanges module."));
    mod.def("id_token_refusal", {arg("id_token"), arg("provider_info")}, id_token_refusal,
            rt::doc("Why the ID token (as the OpenID Connect client verified it) may not log anyone in: not "
                    "signed, or signed with an algorithm the provider's discovery does not announce; None when "
                    "it may."),
            rt::returns("Optional[str]"));
}
