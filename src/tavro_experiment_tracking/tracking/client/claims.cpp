// Finding a run by one of its tags, and one run per name: processes that
// start one new name at the same moment (the jobs of a sweep, the ranks of a
// distributed job) agree on one run before any of them writes into it.
#include "parts.hpp"

namespace client_parts {

using namespace py::literals;

namespace {

// Both start(iteration_name=...) and sync look a run up this way, so that
// sync finds the run start() would.

// The listing of an experiment's runs comes in pages; every page is read, or
// an experiment with more runs than one page would not find its run and a
// duplicate would be created. `next_page(token)` fetches one page (the first
// for a null token); `visit` sees every entry in listing order.
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

// A run-search filter for runs whose tag `key` is `value`, or None when
// either is not plain text the search syntax can quote.
py::object tag_filter(py::handle key, py::handle value) {
    if (!PyUnicode_CheckExact(value.ptr()) || !PyUnicode_CheckExact(key.ptr())) return py::none();
    for (const char *unquotable : {"'", "\"", "`", "\\"})
        if (rt::truthy(value.attr("__contains__")(unquotable)) || rt::truthy(key.attr("__contains__")(unquotable)))
            return py::none();
    if (!rt::truthy(value.attr("isprintable")())) return py::none();
    try {
        value.attr("encode")("utf-8");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_UnicodeError)) throw;
        return py::none();
    }
    return rt::text({"tags.`", key, "` = '", value, "'"});
}

// The runs of `experiment_id` whose tag `key` equals `value`, in listing
// order (active runs only, as the listing gives them).
std::vector<py::object> runs_tagged(rt::Call &c, py::handle client, py::handle experiment_id, py::handle key,
                                    py::handle value) {
    std::vector<py::object> found;
    auto match = [&](py::handle run) {
        if (rt::equal(run.attr("data").attr("tags").attr("get")(key), value)) found.push_back(rt::own(run));
    };
    if (is_library_client(c, client)) {
        // The library's listing is a run search whose answer carries every
        // run's tags, which it then drops; fetching each run again costs one
        // round trip per run (seconds for a few thousand, far more across a
        // network). The same search, with the listing's own view type, page
        // size and order, gives the same runs in the same order, tags kept.
        //
        // The server also narrows the search to runs whose tag is the value:
        // its comparison may be looser than Python's (a case-insensitive
        // collation), never stricter, and the order is the listing's, so the
        // exact comparison above still picks the same run from fewer. A value
        // the search syntax cannot quote is searched for among all runs.
        py::object listing = c.g("_LIBRARY_CLIENT");
        py::list experiment_ids;
        experiment_ids.append(experiment_id);
        py::object filter = tag_filter(key, value);
        for_each_listed(
            [&](const py::object &token) {
                return client.attr("search_runs")(experiment_ids, filter, listing.attr("run_view_type"),
                                                  listing.attr("max_results"), listing.attr("order_by"),
                                                  token ? token : py::object(py::none()));
            },
            [&](py::handle run) { match(run); });
    } else {
        for_each_listed(
            [&](const py::object &token) {
                if (!token) return client.attr("list_run_infos")(experiment_id);
                return client.attr("list_run_infos")(experiment_id, "page_token"_a = token);
            },
            [&](py::handle entry) { match(client.attr("get_run")(entry.attr("run_id"))); });
    }
    return found;
}

// ---- one run per name ------------------------------------------------------------
//
// The tracking server has no atomic get-or-create of a run: two processes
// that look a new name up at the same moment both find nothing and both
// create a run. Run IDs are random and start times come from each client's
// clock, so no order of the runs themselves tells every process the same
// winner. What the server does make atomic is an experiment's name: of two
// creations of one name, exactly one succeeds, and the other is told the name
// exists (a unique column in the SQL stores). So a name's run is decided by a
// claim: an experiment named after the experiment and the tag, created with
// the winning run's ID as its tag, and deleted at once (a deleted experiment
// keeps its name, and the UI does not list it).
//
// A process creates its run first and then claims; whoever loses deletes its
// own run, never written to, and opens the winner's. A claim whose run was
// deleted since (or never made it) is stale: the next generation of the
// claim is tried, the same sequence for everyone.

constexpr int CLAIM_GENERATIONS = 1000;
// The experiment tag of a claim: the ID of the run that holds the name.
constexpr const char *HOLDER_TAG = "tavro_experiment_tracking.holder";

bool failed_with(rt::Call &c, py::error_already_set &e, const char *code) {
    return e.matches(c.g("MlflowException")) && rt::equal(e.value().attr("error_code"), py::str(code));
}

// ".tavro-claims/<experiment>/<digest of key and value>/<generation>": short
// whatever the name, and never a name a user gives an experiment.
py::str claim_name(rt::Call &c, py::handle experiment_id, py::handle key, py::handle value, int generation) {
    py::object digest = c.g("hashlib").attr("sha256")();
    for (py::handle part : {key, value}) {
        digest.attr("update")(py::str(part).attr("encode")("utf-8", "surrogatepass"));
        digest.attr("update")(py::bytes("\0", 1));
    }
    py::str hex = digest.attr("hexdigest")();
    return rt::text(
        {".tavro-claims/", py::str(experiment_id), "/", hex[py::slice(0, 40, 1)], "/", py::str(py::int_(generation))});
}

// The run a claim names: None with `exists` false when there is no claim,
// None with `exists` true for a claim that names none.
py::object holder_of(py::handle client, const py::str &name, bool &exists) {
    py::object record = client.attr("get_experiment_by_name")(name);
    exists = !record.is_none();
    if (!exists) return py::none();
    py::object holder = py::dict(record.attr("tags")).attr("get")(HOLDER_TAG);
    return rt::truthy(holder) ? holder : py::object(py::none());
}

// Claims `name` for `candidate`: the run that holds it afterwards (the
// candidate, or the one another process claimed it for first), or None for a
// claim that names none.
py::object make_claim(rt::Call &c, py::handle client, const py::str &name, py::handle candidate) {
    py::dict tags;
    tags[HOLDER_TAG] = candidate;
    py::object claim_id;
    try {
        claim_id = client.attr("create_experiment")(name, "tags"_a = tags);
    } catch (py::error_already_set &e) {
        if (!failed_with(c, e, "RESOURCE_ALREADY_EXISTS")) throw;
        bool exists = false;
        return holder_of(client, name, exists);
    }
    try {
        client.attr("delete_experiment")(claim_id);
    } catch (py::error_already_set &e) {
        // Only its being listed depends on this: the claim holds either way.
        if (!e.matches(c.g("MlflowException"))) throw;
        c.g("logger").attr("debug")(py::str("The claim {} stays listed: {}").format(name, e.value()));
    }
    return rt::own(candidate);
}

// True when the run a claim names can be opened in `experiment_id`: it
// exists, in that experiment, and is not deleted.
bool usable(rt::Call &c, py::handle client, py::handle run_id, py::handle experiment_id) {
    py::object run;
    try {
        run = client.attr("get_run")(run_id);
    } catch (py::error_already_set &e) {
        if (!failed_with(c, e, "RESOURCE_DOES_NOT_EXIST")) throw;
        return false;
    }
    py::object info = run.attr("info");
    return rt::equal(py::str(info.attr("experiment_id")), py::str(experiment_id)) &&
           !rt::equal(info.attr("lifecycle_stage"), c.g("LifecycleStage").attr("DELETED"));
}

// A run that lost its claim, never written to, deleted. Another process may
// have deleted it first; one that cannot be deleted now stays, empty, and
// the claim still names the winner.
void delete_loser(rt::Call &c, py::handle client, py::handle run_id, py::handle holder) {
    try {
        client.attr("delete_run")(run_id);
        c.g("logger").attr("debug")(py::str("Deleted run {}: run {} holds its name").format(run_id, holder));
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("MlflowException"))) throw;
        c.g("logger").attr("debug")(py::str("Run {} was not deleted: {}").format(run_id, e.value()));
    }
}

// Runs made to be claimed that lost (still running, nothing in them: a
// loser is never written to) deleted. A run that ended or holds anything is
// left alone, whatever its claim says: it may have held an earlier claim of
// the name.
void delete_losers(rt::Call &c, py::handle client, const std::vector<py::object> &runs, py::handle holder) {
    py::object claim_tag = c.g("_CLAIM_TAG");
    py::object running = c.g("RunStatus").attr("to_string")(c.g("RunStatus").attr("RUNNING"));
    for (const py::object &run : runs) {
        py::object run_id = run.attr("info").attr("run_id");
        py::object data = run.attr("data");
        if (rt::equal(run_id, holder) || !rt::contains(data.attr("tags"), claim_tag)) continue;
        if (!rt::equal(run.attr("info").attr("status"), running)) continue;
        if (rt::truthy(data.attr("params")) || rt::truthy(data.attr("metrics"))) continue;
        delete_loser(c, client, run_id, holder);
    }
}

}  // namespace

py::object find_run_tagged(rt::Call &c) {
    auto [client, experiment_id, key, value] = c.args<4>();
    std::vector<py::object> runs = runs_tagged(c, client, experiment_id, key, value);
    if (runs.empty()) return py::none();
    return runs.back().attr("info").attr("run_id");
}

// The run of `experiment_id` that holds the tag `key` = `value`. Without
// `new_run`: the run a claim names, or (no claim yet) the last one listed
// with that tag, claimed now; None when there is none, and the caller makes
// one. With `new_run` (the caller's, just made with that tag and
// `_CLAIM_TAG`): claimed for it unless another run holds the tag already, in
// which case the new run is deleted.
py::object claim_run_tagged(rt::Call &c) {
    auto [client, experiment_id, key, value, new_run] = c.args<5>();
    py::object candidate = rt::own(new_run);
    // Without a new run, the runs of the name first: none, and no claim can
    // name an active one (a new run is made); some, and the claim decides.
    std::vector<py::object> runs;
    if (new_run.is_none()) {
        runs = runs_tagged(c, client, experiment_id, key, value);
        if (runs.empty()) return py::none();
        candidate = runs.back().attr("info").attr("run_id");
    }
    auto listed = [&](py::handle run_id) {
        for (const py::object &run : runs)
            if (rt::equal(run.attr("info").attr("run_id"), run_id)) return true;
        return false;
    };
    for (int generation = 0; generation < CLAIM_GENERATIONS; ++generation) {
        py::str name = claim_name(c, experiment_id, key, value, generation);
        bool exists = false;
        // A new run is claimed for straight away: the creation says whether
        // the claim was there.
        py::object holder = new_run.is_none() ? holder_of(client, name, exists) : py::object(py::none());
        if (!exists) {
            if (candidate.is_none()) return py::none();
            holder = make_claim(c, client, name, candidate);
        }
        if (holder.is_none()) continue;
        bool mine = !new_run.is_none() && rt::equal(holder, new_run);
        // A run just listed is active in the experiment: not fetched again.
        if (mine || listed(holder) || usable(c, client, holder, experiment_id)) {
            if (!new_run.is_none() && !mine) {
                // Lost: so may others have, made at the same moment.
                delete_loser(c, client, new_run, holder);
                delete_losers(c, client, runs_tagged(c, client, experiment_id, key, value), holder);
            } else if (mine) {
                // Won: a creation the tracking library sent again (its
                // retries resend a request the server may have carried out)
                // leaves a run of the name that no one holds.
                delete_losers(c, client, runs_tagged(c, client, experiment_id, key, value), holder);
            } else if (runs.size() > 1) {
                delete_losers(c, client, runs, holder);
            }
            return holder;
        }
        // Stale: its run was deleted, or is not this experiment's.
        if (rt::equal(holder, candidate)) candidate = py::none();
    }
    rt::raise(c.g("ExperimentTrackingException"),
              rt::text({"Cannot tell which run holds ", py::str(key), " = ", py::repr(value), ": its ",
                        py::str(py::int_(CLAIM_GENERATIONS)), " latest runs were deleted"}));
}

}  // namespace client_parts
