// Finding an iteration's run by its name: every page of the experiment's run
// listing, read through the tracking library's own search when the client is
// the library's (the listing's answer carries every run's tags), else listed
// and fetched run by run.
#include "parts.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace iteration {

namespace {

// The listing of an experiment's runs comes in pages; every page is read, or
// an experiment with more runs than one page would not find its iteration and
// a duplicate would be created. `next_page(token)` fetches one page (the
// first for a null token); `visit` sees every entry in listing order.
template <typename NextPage, typename Visit>
void for_each_listed(NextPage next_page, Visit visit) {
    py::object page = next_page(py::object());
    while (true) {
        for (py::handle entry : page) visit(entry);
        py::object token = py::getattr(page, "token", py::none());
        // The SQL stores hand out a token before an empty last page; an empty
        // page with a token is read like any other and ends the loop.
        if (!rt::truthy(token)) break;
        page = next_page(token);
    }
}

// True when `client` is the tracking library's own client, with the listing
// and the run fetch its class had when this module was imported: not a fake,
// not a subclass, nothing replaced on the class or on the instance. Only then
// is it known what its listing does underneath.
bool is_library_client(rt::Call &c, py::handle client) {
    py::object library = c.g("_LIBRARY_CLIENT");
    py::object cls = library.attr("cls");
    if (!py::type::handle_of(client).is(cls)) return false;
    py::object listing = cls.attr("list_run_infos"), fetch = cls.attr("get_run");
    if (!listing.is(library.attr("list_run_infos")) || !fetch.is(library.attr("get_run"))) return false;
    py::object own = py::getattr(client, "__dict__", py::none());
    if (own.is_none()) return true;
    return !rt::truthy(own.attr("__contains__")("list_run_infos")) && !rt::truthy(own.attr("__contains__")("get_run"));
}

// A run-search filter for runs whose tag `key` is `name`, or None when the
// name is not plain text the search syntax can quote.
py::object name_filter(rt::Call &c, py::handle key, py::handle name) {
    if (!PyUnicode_CheckExact(name.ptr()) || !PyUnicode_CheckExact(key.ptr())) return py::none();
    for (const char *unquotable : {"'", "\"", "`", "\\"})
        if (rt::truthy(name.attr("__contains__")(unquotable)) || rt::truthy(key.attr("__contains__")(unquotable)))
            return py::none();
    if (!rt::truthy(name.attr("isprintable")())) return py::none();
    try {
        name.attr("encode")("utf-8");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_UnicodeError)) throw;
        return py::none();
    }
    (void)c;
    return rt::text({"tags.`", key, "` = '", name, "'"});
}

}  // namespace

// The run of `experiment_id` whose name tag equals `name`, the last one in
// listing order wins; a null object when there is none.
py::object find_run_by_name(rt::Call &c, py::handle client, py::handle experiment_id, py::handle name) {
    py::object found;
    py::object tag_key = c.g("EXP_STORE_RUN_NAME");
    auto match = [&](py::handle run_id, py::handle run) {
        py::object run_name = run.attr("data").attr("tags").attr("get")(tag_key);
        if (rt::equal(run_name, name)) found = rt::own(run_id);
    };
    if (is_library_client(c, client)) {
        // The library's listing is a run search whose answer carries every
        // run's tags, which it then drops; fetching each run again costs one
        // round trip per run (seconds for a few thousand, far more across a
        // network). The same search, with the listing's own view type, page
        // size and order, gives the same runs in the same order, tags kept.
        //
        // The server also narrows the search to runs whose name tag is the name:
        // its comparison may be looser than Python's (a case-insensitive
        // collation), never stricter, and the order is the listing's, so the
        // exact comparison below still picks the same run from fewer. A name
        // the search syntax cannot quote is searched for among all runs.
        py::object listing = c.g("_LIBRARY_CLIENT");
        py::list experiment_ids;
        experiment_ids.append(experiment_id);
        py::object filter = name_filter(c, tag_key, name);
        for_each_listed(
            [&](const py::object &token) {
                return client.attr("search_runs")(experiment_ids, filter, listing.attr("run_view_type"),
                                                  listing.attr("max_results"), listing.attr("order_by"),
                                                  token ? token : py::object(py::none()));
            },
            [&](py::handle run) { match(run.attr("info").attr("run_id"), run); });
    } else {
        for_each_listed(
            [&](const py::object &token) {
                if (!token) return client.attr("list_run_infos")(experiment_id);
                return client.attr("list_run_infos")(experiment_id, "page_token"_a = token);
            },
            [&](py::handle entry) {
                py::object run_id = entry.attr("run_id");
                match(run_id, client.attr("get_run")(run_id));
            });
    }
    return found;
}

}  // namespace iteration
