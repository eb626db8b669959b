// Starting an iteration (a new run with its tags, or an existing one opened
// again), ending it, and fetching its run.
#include "parts.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace iteration {

namespace {

// An existing run opened again: refused when it belongs to another
// experiment or is deleted; running again with the end time it had (a
// resumed run keeps the record of when it was last ended), tagged with
// `tags` when given.
py::object reopen_run(rt::Call &c, py::handle client, py::handle iteration_id, py::handle tags) {
    py::handle self = c.self();
    py::object run = client.attr("get_run")(iteration_id);
    py::object bound_id = self.attr("experiment").attr("experiment_id");
    if (!bound_id.is_none() && !rt::equal(bound_id, run.attr("info").attr("experiment_id")))
        // The published text, "{}does" included: callers match on it.
        rt::raise(c.g("ExperimentTrackingException"),
                  py::str("Cannot start iteration with ID {} because active experiment ID {}does not match with it. "
                          "Make sure iteration_id matches experiment set with init()")
                      .format(iteration_id, bound_id));
    if (rt::equal(run.attr("info").attr("lifecycle_stage"), c.g("LifecycleStage").attr("DELETED")))
        rt::raise(c.g("ExperimentTrackingException"),
                  py::str("Cannot start run with ID {} because it is in the deleted state.").format(iteration_id));
    c.g("_get_store")("store_uri"_a = self.attr("client").attr("tracking_uri"))
        .attr("update_run_info")(iteration_id, "run_status"_a = c.g("RunStatus").attr("RUNNING"),
                                 "end_time"_a = run.attr("info").attr("end_time"));
    if (rt::truthy(tags)) {
        py::list run_tags;
        for (py::handle item : tags.attr("items")()) {
            auto [key, value] = rt::unpack2(item);
            run_tags.append(c.g("RunTag")(key, py::str(value)));
        }
        client.attr("log_batch")("run_id"_a = iteration_id, "tags"_a = run_tags);
    }
    run = client.attr("get_run")(iteration_id);
    c.g("logger").attr("info")(rt::text({"Reusing Iteration with ID: ", run.attr("info").attr("run_id"),
                                         ", under Experiment ID: ", run.attr("info").attr("experiment_id")}));
    return run;
}

// The tags of a new run: the caller's (never modified), the iteration name,
// the project and the descriptions where they are not None.
py::object new_run_tags(rt::Call &c, py::handle experiment, py::handle iteration_name, py::handle tags,
                        py::handle record) {
    py::object user_tags = c.g("deepcopy")(tags);
    if (!rt::truthy(user_tags)) user_tags = py::dict();
    // The repository's commit, branch and remote, where the caller set none.
    if (!record.is_none())
        for (py::handle item : c.g("system").attr("_git_tags")(record).attr("items")()) {
            auto [key, value] = rt::unpack2(item);
            if (!rt::contains(user_tags, key)) user_tags[key] = value;
        }
    if (!iteration_name.is_none()) {
        user_tags[c.g("MLFLOW_RUN_NAME")] = iteration_name;
        user_tags[c.g("EXP_STORE_RUN_NAME")] = iteration_name;
    }
    py::object project_name = experiment.attr("project").attr("name");
    if (!project_name.is_none()) user_tags[c.g("EXP_STORE_PROJECT_NAME")] = project_name;
    py::object experiment_description = experiment.attr("description");
    if (!experiment_description.is_none()) user_tags[c.g("EXP_STORE_EXPERIMENT_DESCRIPTION")] = experiment_description;
    py::object project_description = experiment.attr("project").attr("description");
    if (!project_description.is_none()) user_tags[c.g("EXP_STORE_PROJECT_DESCRIPTION")] = project_description;
    return user_tags;
}

py::object create_run(rt::Call &c, py::handle client, py::handle iteration_name, py::handle experiment_id,
                      py::handle tags, py::handle record, const py::dict &marks = py::dict()) {
    py::object experiment = c.self().attr("experiment");
    py::object target = experiment_id.is_none() ? py::object(experiment.attr("experiment_id")) : rt::own(experiment_id);
    // The run context (user, source) is resolved together with our tags, so
    // the run records the logged-in user.
    py::object resolved =
        c.g("context_registry").attr("resolve_tags")(new_run_tags(c, experiment, iteration_name, tags, record));
    // The tracking client sends tag values as they are and refuses anything
    // but text, so values become text only now: context providers still see
    // the caller's values.
    py::dict text_tags;
    for (py::handle item : resolved.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        text_tags[key] = py::str(value);
    }
    for (auto item : marks) text_tags[item.first] = item.second;
    return client.attr("create_run")("experiment_id"_a = target, "tags"_a = text_tags);
}

void said_new(rt::Call &c, py::handle run) {
    c.g("logger").attr("info")(rt::text({"New Iteration created with ID: ", run.attr("info").attr("run_id"),
                                         ", under Experiment ID: ", run.attr("info").attr("experiment_id")}));
}

// The run that holds `key` = `value` in `experiment_id` (see the client's
// _claim_run_tagged): found, or made now and agreed on with every process
// that starts it at the same moment. Returns the new run's record when this
// process's run holds it, else None with `found` set to the holder.
py::object claimed_run(rt::Call &c, py::handle client, py::handle experiment_id, py::handle key, py::handle value,
                       py::handle iteration_name, py::handle tags, py::handle record, py::object &found) {
    py::object claim = c.g("_claim_run_tagged");
    py::dict marks;
    marks[key] = value;
    marks[c.g("_CLAIM_TAG")] = key;
    py::object run = create_run(c, client, iteration_name, experiment_id, tags, record, marks);
    py::object run_id = run.attr("info").attr("run_id");
    found = claim(client, experiment_id, key, value, run_id);
    if (rt::equal(found, run_id)) return run;
    c.g("logger").attr("debug")(
        rt::text({"Iteration ", value, " was started by another process meanwhile: run ", found, " holds it"}));
    return py::none();
}

}  // namespace

py::object init(rt::Call &c) {
    auto [self, experiment] = c.args<2>();
    self.attr("iteration_id") = py::none();
    self.attr("experiment") = experiment;
    // The experiment's client as it is now, like the experiment copies its project's.
    self.attr("client") = rt::truthy(experiment) ? py::object(experiment.attr("client")) : py::object(py::none());
    return py::none();
}

py::object start(rt::Call &c) {
    auto [self, iteration_name, iteration_id, experiment_id, tags, nested, per_job] = c.args<7>();
    (void)nested;
    py::object client = tracker(c);
    // Logging in the background or not is decided now, for this run; its
    // journal folder must be writable before the run starts.
    bool background = !c.g("async_logging")().is_none();
    if (background) c.g("background").attr("prepare")();
    // A system metrics setting that cannot be read is refused before the run exists.
    c.g("system").attr("system_metrics")();
    // What names the run: its iteration name, or (asked for, without a name
    // or an ID) the distributed job this process is a rank of.
    py::object key = py::none(), value = py::none();
    if (rt::truthy(iteration_name)) {
        if (!rt::truthy(experiment_id)) experiment_id = self.attr("experiment").attr("experiment_id");
        key = c.g("EXP_STORE_RUN_NAME");
        value = rt::own(iteration_name);
    } else if (!rt::truthy(iteration_id) && c.g("run_per_job")(per_job).cast<bool>()) {
        py::object job = c.g("_job_rank")();
        py::object identity = job.is_none() ? py::object(py::none()) : py::object(job["job"]);
        if (!identity.is_none()) {
            key = c.g("_JOB_RUN_TAG");
            value = std::move(identity);
        } else if (!job.is_none()) {
            c.g("logger").attr("warning")(
                py::str(
                    "One run per job was asked for, but this {} job has no ID that tells it apart from the next one: "
                    "each rank starts a run of its own (start the same iteration name in every rank instead)")
                    .format(job["launcher"]));
        }
    }
    py::object target =
        experiment_id.is_none() ? py::object(self.attr("experiment").attr("experiment_id")) : rt::own(experiment_id);
    if (!key.is_none()) {
        py::object found = c.g("_claim_run_tagged")(client, target, key, value);
        if (!found.is_none())
            iteration_id = found;
        else if (rt::truthy(iteration_name))
            c.g("logger").attr("debug")(
                rt::text({"No iteration with name ", iteration_name, ", creating new iteration!"}));
    }
    // A new run records where it runs (when the record is on).
    py::object record = rt::truthy(iteration_id) ? py::object(py::none()) : c.g("system").attr("_record_for_new_run")();
    py::object run = py::none(), created = py::none();
    if (!rt::truthy(iteration_id) && !key.is_none()) {
        // A new name: made, then agreed on with whoever made it at the same moment.
        py::object holder = py::none();
        run = claimed_run(c, client, target, key, value, iteration_name, tags, record, holder);
        if (run.is_none()) {
            iteration_id = holder;
            record = py::none();
        }
    }
    if (run.is_none()) {
        if (rt::truthy(iteration_id)) {
            run = reopen_run(c, client, iteration_id, tags);
        } else {
            run = create_run(c, client, iteration_name, experiment_id, tags, record);
            said_new(c, run);
            created = run;
        }
    } else {
        said_new(c, run);
        created = run;
    }
    bool reopened = !run.is(created);
    py::object iteration = c.g("ActiveIteration")(self.attr("client"), run);
    self.attr("iteration_id") = iteration.attr("info").attr("run_id");
    self.attr("_run_experiment_id") = run.attr("info").attr("experiment_id");
    c.g("_say_started")(self.attr("client").attr("tracking_uri"), run,
                        rt::truthy(iteration_name) ? rt::own(iteration_name) : py::object(py::none()),
                        py::bool_(reopened));
    self.attr("_in_background") = py::bool_(background);
    // A rank of a distributed job says so in the run, which then ends with its last rank.
    c.g("_join_as_rank")(client, self.attr("iteration_id"));
    if (background) c.g("background").attr("track_run")(self.attr("iteration_id"), run.attr("data").attr("params"));
    // Running now: if the script never ends it, the exit does.
    c.g("_iteration_opened")(self.attr("iteration_id"), self.attr("client").attr("tracking_uri"));
    c.g("system").attr("_run_started")(self.attr("client").attr("tracking_uri"), self.attr("iteration_id"), record);
    return iteration;
}

py::object end(rt::Call &c) {
    auto [self, status] = c.args<2>();
    py::object iteration_id = self.attr("iteration_id");
    // The system metrics' last interval, then values still queued (the
    // figures go through the queue whatever the mode): the run's status is
    // written after them.
    bool sampled = rt::truthy(iteration_id) && rt::truthy(c.g("system").attr("_stop_sampling")(iteration_id));
    bool background = rt::truthy(iteration_id) && (in_background(c) || sampled);
    py::object refusal =
        background ? c.g("background").attr("_before_ending")(iteration_id, py::none(), false) : py::object(py::none());
    // Values not all on the server in time: said, and they go on being sent.
    if (rt::isinstance(refusal, rt::builtin("str"))) {
        c.g("logger").attr("warning")(refusal);
        refusal = py::none();
    }
    c.g("_terminate")(tracker(c), iteration_id, status);
    c.g("_iteration_ended")(iteration_id);
    c.g("_say_ended")(iteration_id, status);
    // The closing parenthesis belongs to the published line.
    c.g("logger").attr("debug")(rt::text({"Terminated Iteration with ID: ", self.attr("iteration_id"), ")"}));
    if (!refusal.is_none()) rt::raise_instance(refusal);
    return py::none();
}

py::object flush(rt::Call &c) {
    auto [self, timeout] = c.args<2>();
    py::object iteration_id = self.attr("iteration_id");
    if (rt::truthy(iteration_id) && in_background(c)) c.g("background").attr("flush")(iteration_id, timeout);
    return py::none();
}

py::object get_or_start_iteration(rt::Call &c) {
    py::handle self = c.self();
    py::object iteration_id = self.attr("iteration_id");
    if (rt::truthy(iteration_id)) return self.attr("get_iteration")(iteration_id);
    return self.attr("start")();
}

py::object url(rt::Call &c) {
    py::handle self = c.self();
    py::object run_id = self.attr("iteration_id");
    if (!rt::truthy(run_id) || self.attr("client").is_none()) return py::none();
    py::object experiment_id = py::getattr(self, "_run_experiment_id", py::none());
    if (experiment_id.is_none() && !self.attr("experiment").is_none())
        experiment_id = self.attr("experiment").attr("experiment_id");
    return c.g("_ui_url")(self.attr("client").attr("tracking_uri"), experiment_id, run_id);
}

// A notebook's view of the iteration: its name, status and link, its
// parameters and last metrics, as the server has them now (asked with a
// short bound: a notebook without a server says so at once).
py::object repr_html(rt::Call &c) {
    py::handle self = c.self();
    py::object escape = c.g("html").attr("escape");
    py::object run_id = self.attr("iteration_id");
    if (!rt::truthy(run_id)) return py::str("<div><b>Iteration</b>: not started</div>");
    py::object run;
    try {
        run = c.g("_bounded")(py::int_(5), c.g("partial")(tracker(c).attr("get_run"), run_id));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return rt::text({"<div><b>Iteration</b> <code>", escape(run_id), "</code>: the tracking server at ",
                         escape(self.attr("client").attr("tracking_uri")), " did not answer (",
                         escape(c.g("_failure_reason")(e.value())), ")</div>"});
    }
    py::dict tags(run.attr("data").attr("tags"));
    py::object name = tags.attr("get")(c.g("EXP_STORE_RUN_NAME"), run_id);
    py::list html;
    html.append(
        rt::text({"<div><b>Iteration</b> <code>", escape(name), "</code> ", escape(run.attr("info").attr("status"))}));
    py::object link = self.attr("url");
    if (!link.is_none())
        html.append(rt::text({R"( <a href=")", escape(link), R"(" target="_blank">open in the tracking UI</a>)"}));
    for (const char *section : {"params", "metrics"}) {
        py::dict values(run.attr("data").attr(section));
        if (values.empty()) continue;
        html.append(rt::text({R"(<table><tr><th colspan="2">)",
                              std::string(section) == "params" ? "parameters" : "last metrics", "</th></tr>"}));
        for (py::handle key : rt::builtin("sorted")(values)) {
            html.append(rt::text({"<tr><td>", escape(key), "</td><td>", escape(py::str(values[key])), "</td></tr>"}));
        }
        html.append(py::str("</table>"));
    }
    html.append(py::str("</div>"));
    return py::str("").attr("join")(html);
}

py::object get_iteration(rt::Call &c) {
    auto [self, iteration_id] = c.args<2>();
    py::object run = tracker(c).attr("get_run")(iteration_id);
    return c.g("ActiveIteration")(self.attr("client"), run);
}

}  // namespace iteration
