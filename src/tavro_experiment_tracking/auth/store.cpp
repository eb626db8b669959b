// Logins kept between runs (opt-in): per issuer and client, the refresh
// token a browser login got, the user's name and the token endpoint, so that
// the next process logs in without a browser. One JSON file per login in a
// folder only its owner may enter, readable by its owner alone; a file that
// is not so (another user's, group- or world-readable, not a regular file)
// is refused, never read. The access token is never kept.
#include "runtime.hpp"

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

py::object folder(rt::Call &c) {
    py::object os = c.g("os");
    py::object named = os.attr("environ").attr("get")(c.g("ENV_LOGIN_DIR"), "");
    if (rt::truthy(named)) return os.attr("path").attr("abspath")(os.attr("path").attr("expanduser")(named));
    py::object config = os.attr("environ").attr("get")("XDG_CONFIG_HOME", "");
    if (!rt::truthy(config) || !rt::truthy(os.attr("path").attr("isabs")(config)))
        config = os.attr("path").attr("join")(os.attr("path").attr("expanduser")("~"), ".config");
    return os.attr("path").attr("join")(config, "tavro_experiment_tracking", "logins");
}

py::object login_folder(rt::Call &c) {
    return folder(c);
}

// Why the login folder may not hold logins (another user owns it, or may
// write in it: they could plant a login of theirs, or take this one), or None.
py::object folder_refused(rt::Call &c, py::handle where) {
    py::object why = rt::folder_refusal(where);
    if (why.is_none()) return why;
    return rt::text({"The login folder ", where, " is refused: ", why, ". Name a folder of your own in ",
                     c.g("ENV_LOGIN_DIR"), "."});
}

// A file this module wrote: named by its digest, and a login when read.
bool login_file_name(py::handle name) {
    py::str text(name);
    if (py::len(text) != 29 || !rt::truthy(text.attr("endswith")(".json"))) return false;
    py::str digest = text[py::slice(0, 24, 1)];
    return rt::truthy(digest.attr("isascii")()) && rt::truthy(digest.attr("isalnum")()) &&
           rt::equal(digest.attr("lower")(), digest);
}

// The file of the login at `issuer` with `client_id` (None: a client the
// login registers itself).
py::object path_of(rt::Call &c, py::handle issuer, py::handle client_id) {
    py::str key =
        rt::text({py::str(issuer).attr("rstrip")("/"), "\n", client_id.is_none() ? py::str("") : py::str(client_id)});
    py::object digest = c.g("hashlib").attr("sha256")(key.attr("encode")("utf-8", "surrogatepass")).attr("hexdigest")();
    return c.g("os").attr("path").attr("join")(folder(c), rt::text({digest[py::slice(0, 24, 1)], ".json"}));
}

void warn(rt::Call &c, const py::str &message) {
    c.g("logger").attr("warning")(message);
}

// The contents of one stored login, or None: missing, or refused with a
// warning naming the file (not its owner's alone, not a regular file,
// damaged).
py::object read_file(rt::Call &c, py::handle path) {
    py::object os = c.g("os");
    py::object fd;
    try {
        fd = os.attr("open")(
            path, py::int_(os.attr("O_RDONLY")) | py::int_(os.attr("O_NOFOLLOW")) | py::int_(os.attr("O_CLOEXEC")));
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_FileNotFoundError)) return py::none();
        if (!e.matches(PyExc_OSError)) throw;
        warn(c, rt::text({"The stored login ", path, " cannot be opened (", py::str(e.value()),
                          "): it is not used; a fresh login takes its place."}));
        return py::none();
    }
    py::object file = c.g("os").attr("fdopen")(fd, "r", "encoding"_a = "utf-8");
    try {
        py::object st = os.attr("fstat")(fd);
        py::object mode = st.attr("st_mode");
        bool regular = rt::truthy(c.g("stat").attr("S_ISREG")(mode));
        bool own = rt::equal(st.attr("st_uid"), os.attr("getuid")());
        bool private_ = !rt::truthy(py::int_(mode) & py::int_(0077));
        if (!regular || !own || !private_) {
            file.attr("close")();
            const char *why = "others may read it (it must be 0600)";
            if (!own) why = "another user owns it";
            if (!regular) why = "it is not a regular file";
            warn(c, rt::text({"The stored login ", path, " is refused and was not read: ", why,
                              ". Remove it (logout), or make it yours alone."}));
            return py::none();
        }
        py::object entry = c.g("json").attr("load")(file);
        file.attr("close")();
        for (const char *key : {"issuer", "refresh_token", "username", "token_endpoint"})
            if (!rt::isinstance(entry, rt::builtin("dict")) ||
                !rt::isinstance(entry.attr("get")(key), rt::builtin("str")))
                rt::raise(PyExc_ValueError, rt::text({"no ", key}));
        return entry;
    } catch (py::error_already_set &e) {
        file.attr("close")();
        if (!e.matches(PyExc_ValueError)) throw;  // json's errors are ValueErrors
        warn(c, rt::text({"The stored login ", path, " is damaged (", py::str(e.value()),
                          "): it is not used; a fresh login replaces it."}));
        return py::none();
    }
}

py::object load_login(rt::Call &c) {
    auto [issuer, client_id] = c.args<2>();
    py::object refused = folder_refused(c, folder(c));
    if (!refused.is_none()) {
        warn(c, rt::text({refused, " No kept login is used; a fresh login takes its place."}));
        return py::none();
    }
    return read_file(c, path_of(c, issuer, client_id));
}

// Written whole or not at all (a file beside it, then renamed over it), so
// two processes logging in at once leave one of their logins, never a mix.
py::object save_login(rt::Call &c) {
    auto [issuer, client_id, entry] = c.args<3>();
    py::object os = c.g("os");
    py::object where = folder(c);
    py::object refused = folder_refused(c, where);
    if (!refused.is_none()) rt::raise(PyExc_PermissionError, refused);
    os.attr("makedirs")(where, 0700, "exist_ok"_a = true);
    os.attr("chmod")(where, 0700);
    py::object path = path_of(c, issuer, client_id);
    py::object temporary = rt::text({path, ".", os.attr("getpid")(), ".tmp"});
    py::object fd =
        os.attr("open")(temporary,
                        py::int_(os.attr("O_WRONLY")) | py::int_(os.attr("O_CREAT")) | py::int_(os.attr("O_TRUNC")) |
                            py::int_(os.attr("O_NOFOLLOW")) | py::int_(os.attr("O_CLOEXEC")),
                        0600);
    py::object file = os.attr("fdopen")(fd, "w", "encoding"_a = "utf-8");
    try {
        os.attr("fchmod")(fd, 0600);
        c.g("json").attr("dump")(entry, file);
        file.attr("flush")();
        os.attr("fsync")(fd);
        file.attr("close")();
        os.attr("replace")(temporary, path);
    } catch (...) {
        file.attr("close")();
        try {
            os.attr("unlink")(temporary);
        } catch (py::error_already_set &) {
            // Dropped: the write's own failure is the one to raise.
        }
        throw;
    }
    return path;
}

// The stored logins: issuer, client and user of each, never a token.
py::object stored_logins(rt::Call &c) {
    py::object os = c.g("os");
    py::list found;
    py::object where = folder(c);
    if (!rt::truthy(os.attr("path").attr("isdir")(where))) return found;
    py::object refused = folder_refused(c, where);
    if (!refused.is_none()) {
        warn(c, refused);
        return found;
    }
    for (py::handle name : rt::builtin("sorted")(os.attr("listdir")(where))) {
        if (!login_file_name(name)) continue;
        py::object path = os.attr("path").attr("join")(where, name);
        py::object entry = read_file(c, path);
        if (entry.is_none()) continue;
        found.append(py::dict("issuer"_a = entry["issuer"], "client_id"_a = entry.attr("get")("client_id"),
                              "username"_a = entry["username"], "path"_a = path));
    }
    return found;
}

// Removes what is stored for `issuer` (every client), or everything: the
// login files this module wrote, nothing else the folder holds (it may be
// one the user also keeps other files in); returns the files removed.
py::object forget_logins(rt::Call &c) {
    auto [issuer] = c.args<1>();
    py::object os = c.g("os");
    py::list removed;
    py::object where = folder(c);
    if (!rt::truthy(os.attr("path").attr("isdir")(where))) return removed;
    py::object refused = folder_refused(c, where);
    if (!refused.is_none()) rt::raise(PyExc_PermissionError, rt::text({refused, " Nothing was removed."}));
    py::object wanted = issuer.is_none() ? py::object(py::none()) : py::object(py::str(issuer).attr("rstrip")("/"));
    for (py::handle name : rt::builtin("sorted")(os.attr("listdir")(where))) {
        if (!login_file_name(name)) continue;
        py::object path = os.attr("path").attr("join")(where, name);
        py::object entry = read_file(c, path);
        if (entry.is_none()) continue;
        if (!wanted.is_none() && !rt::equal(py::str(entry["issuer"]).attr("rstrip")("/"), wanted)) continue;
        os.attr("unlink")(path);
        removed.append(path);
    }
    return removed;
}

constexpr const char *LOGIN_FOLDER_DOC =
    R"(The folder logins are kept in: the one the variable named by
``ENV_LOGIN_DIR`` names, or ``tavro_experiment_tracking/logins`` in the user's
configuration folder (``$XDG_CONFIG_HOME``, else ``~/.config``).)";

constexpr const char *LOAD_LOGIN_DOC =
    R"(The login stored for ``issuer`` and ``client_id`` (None: a client the login
registers itself), as a dict, or None: none stored, or a file refused with a
warning that names it (not its owner's alone, damaged).)";

constexpr const char *SAVE_LOGIN_DOC =
    R"(Store ``entry`` (``issuer``, ``client_id``, ``refresh_token``, ``username``,
``token_endpoint``) for ``issuer`` and ``client_id``, readable by the user alone,
replacing what was there; returns the file's path.)";

}  // namespace

RT_MODULE(store, m) {
    rt::Module mod(m);
    mod.import("hashlib");
    mod.import("json");
    mod.import("logging");
    mod.import("os");
    mod.import("stat");
    mod.from("typing", {"Any", "Dict", "List", "Optional"});
    mod.from("tavro_experiment_tracking.constants", {"ENV_LOGIN_DIR"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));

    mod.def("login_folder", {}, login_folder, rt::doc(LOGIN_FOLDER_DOC), rt::returns("str"));
    mod.def("load_login", {arg("issuer"), arg("client_id").def_none()}, load_login, rt::doc(LOAD_LOGIN_DOC),
            rt::returns("Optional[Dict[str, Any]]"));
    mod.def("save_login", {arg("issuer"), arg("client_id"), arg("entry")}, save_login, rt::doc(SAVE_LOGIN_DOC),
            rt::returns("str"));
    mod.def("stored_logins", {}, stored_logins,
            rt::doc("The stored logins (issuer, client_id, username, path of each), never a token."),
            rt::returns("List[Dict[str, Any]]"));
    mod.def("forget_logins", {arg("issuer").def_none()}, forget_logins,
            rt::doc("Remove the logins stored for ``issuer`` (None: every login), and nothing else the folder "
                    "holds; returns the files removed. Raises PermissionError for a folder another user owns or "
                    "may write in."),
            rt::returns("List[str]"));
}
