// The ranks of one distributed job in one run. Launchers start every rank of
// a job with the same script; ranks that start the same iteration share its
// run, and the run is ended once, by the last of its ranks to end, with the
// worst status any rank ended with. Each rank keeps its state in a tag of the
// run ("RUNNING", then its status and end time), which is also what the run
// shows when a rank never ends.
#include "parts.hpp"

namespace client_parts {

using namespace py::literals;

namespace {

constexpr const char *RANK_TAGS = "tavro_experiment_tracking.rank.";
constexpr const char *JOB_TAGS = "tavro_experiment_tracking.job.";
constexpr const char *RUNNING = "RUNNING";

struct Launcher {
    const char *name, *rank, *size, *job, *node;
};

// In the order they are believed: torchrun inside a Slurm allocation sets
// both, and its RANK is the training's; an MPI launch under Slurm numbers its
// ranks as Slurm does.
constexpr Launcher LAUNCHERS[] = {
    {"torch", "RANK", "WORLD_SIZE", "TORCHELASTIC_RUN_ID", "GROUP_RANK"},
    {"Open MPI", "OMPI_COMM_WORLD_RANK", "OMPI_COMM_WORLD_SIZE", "OMPI_MCA_orte_ess_jobid", nullptr},
    {"MPI", "PMI_RANK", "PMI_SIZE", "PMIX_NAMESPACE", nullptr},
    {"Slurm", "SLURM_PROCID", "SLURM_NTASKS", "SLURM_JOB_ID", "SLURM_NODEID"},
};

py::object env(rt::Call &c, const char *name) {
    if (name == nullptr) return py::none();
    py::object value = c.g("os").attr("environ").attr("get")(name);
    if (value.is_none()) return value;
    py::object stripped = value.attr("strip")();
    return rt::truthy(stripped) ? stripped : py::object(py::none());
}

// A whole number of at most 9 digits, else -1.
long count_of(py::handle text) {
    if (text.is_none() || !rt::truthy(text.attr("isascii")()) || !rt::truthy(text.attr("isdigit")()) ||
        py::len(text) > 9)
        return -1;
    return py::int_(rt::own(text)).cast<long>();
}

// Said once per process: the environment does not change its mind.
void warn_once(rt::Call &c, const py::str &message) {
    py::object said = c.g("_rank_warnings");
    if (rt::contains(said, message)) return;
    said.attr("add")(message);
    c.g("logger").attr("warning")(message);
}

py::object job_rank_of(rt::Call &c) {
    for (const Launcher &l : LAUNCHERS) {
        py::object rank_text = env(c, l.rank);
        if (rank_text.is_none()) continue;
        py::object size_text = env(c, l.size);
        long rank = count_of(rank_text), size = count_of(size_text);
        if (size_text.is_none()) {
            warn_once(c, py::str("{} is set but {} is not: this process is not taken for a rank of a job, and its "
                                 "iteration is its own")
                             .format(l.rank, l.size));
            return py::none();
        }
        if (rank < 0 || size < 1 || rank >= size) {
            warn_once(c, py::str("{}={} with {}={} is not a rank of a job: this process's iteration is its own")
                             .format(l.rank, py::repr(rank_text), l.size, py::repr(size_text)));
            return py::none();
        }
        if (size == 1) return py::none();
        py::object job = env(c, l.job);
        if (!job.is_none() && rt::equal(job.attr("lower")(), py::str("none"))) job = py::none();
        if (!job.is_none() && std::string(l.name) == "Slurm" && !env(c, "SLURM_STEP_ID").is_none())
            job = rt::text({job, ".", env(c, "SLURM_STEP_ID")});
        // Jobs that run at the same time never share a rendezvous address:
        // enough to tell their ranks apart in one run, though not to find a
        // job again later (the next job may take the same address).
        py::object instance = job;
        if (instance.is_none() && !env(c, "MASTER_ADDR").is_none() && !env(c, "MASTER_PORT").is_none())
            instance = rt::text({env(c, "MASTER_ADDR"), ":", env(c, "MASTER_PORT")});
        return py::dict(
            "launcher"_a = l.name, "rank"_a = rank, "size"_a = size,
            "job"_a = job.is_none() ? py::object(py::none()) : py::object(rt::text({l.name, " ", job})),
            "instance"_a = instance.is_none() ? py::object(py::none()) : py::object(rt::text({l.name, " ", instance})),
            "node"_a = env(c, l.node));
    }
    return py::none();
}

// "<status> <end time in ms>" of a rank that ended, or the status alone.
std::pair<std::string, long long> rank_state(py::handle value) {
    std::string text = py::str(value).cast<std::string>();
    size_t space = text.find(' ');
    if (space == std::string::npos) return {text, 0};
    try {
        return {text.substr(0, space), std::stoll(text.substr(space + 1))};
    } catch (const std::exception &) {
        return {text.substr(0, space), 0};
    }
}

int severity(const std::string &status) {
    if (status == "FAILED") return 3;
    if (status == "KILLED") return 2;
    if (status == "FINISHED") return 1;
    return 0;
}

}  // namespace

py::object job_rank(rt::Call &c) {
    return job_rank_of(c);
}

// Records this process as a rank of the run `run_id`, when it is one;
// returns its rank (None when it is not one).
py::object join_as_rank(rt::Call &c) {
    auto [client, run_id] = c.args<2>();
    py::object rank = job_rank_of(c);
    if (rank.is_none()) return rank;
    py::object instance = rank["instance"];
    if (instance.is_none())
        warn_once(c, py::str("This {} job has no ID of its own ({} is not set): another job whose ranks start the "
                             "same iteration at the same time cannot be told apart from this one")
                         .format(rank["launcher"], rt::equal(rank["launcher"], py::str("torch"))
                                                       ? "TORCHELASTIC_RUN_ID, nor MASTER_ADDR and MASTER_PORT,"
                                                       : "its job ID"));
    py::object digest = c.g("hashlib").attr("sha256")(
        py::str(instance.is_none() ? rank["launcher"] : instance).attr("encode")("utf-8", "surrogatepass"));
    py::str job = digest.attr("hexdigest")()[py::slice(0, 8, 1)];
    py::str key = rt::text({RANK_TAGS, job, ".", py::str(rank["rank"])});
    py::list tags;
    tags.append(c.g("RunTag")(
        rt::text({JOB_TAGS, job}),
        py::str("{} job {}: {} ranks")
            .format(rank["launcher"], instance.is_none() ? py::str("without an ID") : instance, rank["size"])));
    tags.append(c.g("RunTag")(key, RUNNING));
    client.attr("log_batch")("run_id"_a = run_id, "tags"_a = tags);
    c.g("_rank_runs")[run_id] = py::make_tuple(key, rank["rank"], rank["size"]);
    return rank["rank"];
}

// Ends the run `run_id` with `status`: at once, unless this process is one
// of its ranks; then once every rank that started it has ended, with the
// worst status any rank ended with and the end time of the last.
py::object terminate(rt::Call &c) {
    auto [client, run_id, status] = c.args<3>();
    py::object joined = c.g("_rank_runs").attr("get")(run_id);
    if (joined.is_none()) {
        client.attr("set_terminated")(run_id, status);
        return py::none();
    }
    py::object key = joined[py::int_(0)];
    long long now = py::int_(c.g("time").attr("time")() * py::int_(1000)).cast<long long>();
    client.attr("set_tag")(run_id, key, py::str("{} {}").format(status, now));
    c.g("_rank_runs").attr("pop")(run_id, py::none());
    py::dict tags(client.attr("get_run")(run_id).attr("data").attr("tags"));
    std::string worst = py::str(status).cast<std::string>();
    long long last = now;
    std::vector<std::string> running;
    size_t ranks = 0;
    for (auto item : tags) {
        std::string name = py::str(item.first).cast<std::string>();
        if (name.rfind(RANK_TAGS, 0) != 0) continue;
        ranks++;
        auto [state, ended] = rank_state(item.second);
        if (state == RUNNING) {
            running.push_back(name.substr(std::string(RANK_TAGS).size()));
            continue;
        }
        if (severity(state) > severity(worst)) worst = state;
        last = std::max(last, ended);
    }
    py::object logger = c.g("logger");
    if (!running.empty()) {
        std::string waiting;
        for (const std::string &r : running) waiting += (waiting.empty() ? "" : ", ") + r;
        logger.attr("info")(py::str("Rank {} ended iteration {} as {}; it stays RUNNING until its other ranks end "
                                    "(job.rank: {})")
                                .format(joined[py::int_(1)], run_id, status, waiting));
        return py::none();
    }
    client.attr("set_terminated")(run_id, worst, "end_time"_a = last);
    long size = joined[py::int_(2)].cast<long>();
    // A run one rank started alone is that rank's own, unless it is the job's run.
    bool shared = ranks > 1 || tags.contains(c.g("_JOB_RUN_TAG"));
    if (shared && ranks < static_cast<size_t>(size))
        logger.attr("warning")(py::str("Iteration {} ended as {} after {} of its job's {} ranks: the others never "
                                       "started it")
                                   .format(run_id, worst, ranks, size));
    return py::none();
}

}  // namespace client_parts
