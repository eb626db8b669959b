// The uploader: one thread per process that hands each snapshot of the
// spool (spool.cpp) to a helper process, a Python of its own started on
// first use, and waits for its word. The training loop's interpreter never
// carries an upload, and the exit can cut one short by ending the helper. A
// snapshot goes once the server has it; a refused one is kept for the
// iteration's next call; flushes and the exit wait for the snapshots.
#include "parts.hpp"

#include <pthread.h>
#include "spool_files.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace py = pybind11;
using namespace py::literals;

namespace background {

// The helper process's loop: a snapshot's folder and the environment to
// upload it in, as one JSON line on standard input; the outcome and its text,
// tab-separated, on one line of standard output. Ends with its parent.
py::object upload_worker(rt::Call &c) {
    auto [parent] = c.args<1>();
    if (getppid() != as_int64(parent)) return py::none();  // not the helper of that process
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != as_int64(parent)) return py::none();  // the parent died meanwhile
    py::object os = c.g("os"), sys = c.g("sys");
    py::object in = sys.attr("stdin").attr("buffer"), out = sys.attr("stdout").attr("buffer");
    for (;;) {
        py::object line = in.attr("readline")();
        if (!rt::truthy(line)) return py::none();
        py::object job = c.g("json").attr("loads")(line);
        os.attr("environ").attr("clear")();
        os.attr("environ").attr("update")(job["environ"]);
        // One attempt per job: the uploader retries, with its back-off.
        os.attr("environ")["MLFLOW_HTTP_REQUEST_MAX_RETRIES"] = "0";
        py::tuple outcome;
        try {
            outcome = c.g("_upload_snapshot")(job["snapshot"]);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            outcome = py::make_tuple("retry", py::str(e.value()));
        }
        py::str text = py::str(outcome[1]).attr("replace")("\n", " ").attr("replace")("\t", " ");
        try {
            out.attr("write")(rt::text({outcome[0], "\t", text, "\n"}).attr("encode")("utf-8", "replace"));
            out.attr("flush")();
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_OSError)) return py::none();  // the parent is gone: `sync` takes what is left
            throw;
        }
    }
}

// ---- the uploader -------------------------------------------------------------------

namespace {

// The helper started (the GIL held), in a session of its own (a Ctrl-C at
// the terminal is the script's to handle, not an upload's).
void start_helper(Spool &s, py::dict &globals) {
    py::object subprocess = globals["subprocess"];
    py::list command;
    command.append(globals["sys"].attr("executable"));
    command.append("-c");
    command.append("from tavro_experiment_tracking.tracking.background import _upload_worker; _upload_worker(" +
                   std::to_string(getpid()) + ")");
    py::object helper = subprocess.attr("Popen")(command, "stdin"_a = subprocess.attr("PIPE"),
                                                 "stdout"_a = subprocess.attr("PIPE"), "start_new_session"_a = true);
    globals["_uploaders"][py::int_(helper.attr("pid"))] = helper;
    s.helper = helper.attr("pid").cast<pid_t>();
    s.to_helper = ::dup(helper.attr("stdin").attr("fileno")().cast<int>());
    s.from_helper = ::dup(helper.attr("stdout").attr("fileno")().cast<int>());
}

// The helper gone: ended (`kill`: at once), its pipes closed, reaped.
void end_helper(Spool &s, bool kill) {
    if (s.helper < 0) return;
    if (s.to_helper >= 0) ::close(s.to_helper);
    if (kill) ::kill(s.helper, SIGKILL);
    if (s.from_helper >= 0) ::close(s.from_helper);
    s.to_helper = s.from_helper = -1;
    pid_t helper = s.helper;
    s.helper = -1;
    WithGil gil;
    try {
        py::dict globals(rt::own(module_globals));
        py::object popen = globals["_uploaders"].attr("pop")(py::int_(helper), py::none());
        if (!popen.is_none()) {
            popen.attr("stdin").attr("close")();
            popen.attr("stdout").attr("close")();
            popen.attr("wait")();
        }
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("background logging: ending the artifact uploader");
    }
}

// One snapshot through the helper: its outcome, and the helper's words.
Outcome upload_in_helper(Spool &s, const Snapshot &snap, std::string &text) {
    std::string job;
    {
        if (_Py_IsFinalizing()) return Outcome::Abandoned;
        WithGil gil;
        try {
            py::dict globals(rt::own(module_globals));
            // The login's current token, where the tracking library reads it.
            globals["create_mlflow_client"](text_of(snap.tracking_uri));
            if (s.helper < 0) start_helper(s, globals);
            py::dict request("snapshot"_a = text_of(snap.folder),
                             "environ"_a = py::dict(globals["os"].attr("environ")));
            job = utf8(globals["json"].attr("dumps")(request)) + "\n";
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("background logging: handing an artifact to its uploader");
            return Outcome::Retry;
        }
    }
    for (size_t done = 0; done < job.size();) {
        ssize_t n = ::write(s.to_helper, job.data() + done, job.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            end_helper(s, true);
            text = "the uploader ended";
            return Outcome::Retry;
        }
        done += static_cast<size_t>(n);
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        size_t newline = answer.find('\n');
        if (newline != std::string::npos) {
            answer.resize(newline);
            break;
        }
        bool abandoned;
        {
            std::scoped_lock lock(s.mutex);
            abandoned = s.abandoned;
        }
        if (abandoned) {  // the helper ends without the lock: ending it takes the GIL
            end_helper(s, true);
            return Outcome::Abandoned;
        }
        pollfd p{s.from_helper, POLLIN, 0};
        int ready = ::poll(&p, 1, 100);
        if (ready <= 0) continue;
        ssize_t n = ::read(s.from_helper, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            end_helper(s, true);
            text = "the uploader ended";
            return Outcome::Retry;
        }
        answer.append(buffer, static_cast<size_t>(n));
    }
    size_t tab = answer.find('\t');
    std::string outcome = answer.substr(0, tab);
    text = tab == std::string::npos ? std::string() : answer.substr(tab + 1);
    if (outcome == "sent") return Outcome::Sent;
    if (outcome == "retry") return Outcome::Retry;
    if (outcome == "damaged") text = "the snapshot in " + snap.folder + " is damaged (" + text + "): it is kept";
    return Outcome::Refused;
}

void run_uploader(Process *p) {
    // Named for top and debuggers (a thread it starts would take the name of its starter).
    pthread_setname_np(pthread_self(), "tavro-uploader");
    Spool &s = p->spool;
    Backoff backoff;
    for (;;) {
        Snapshot snap;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.changed.wait(lock, [&] { return s.abandoned || s.stopping || !s.due.empty(); });
            if (s.abandoned || s.due.empty()) break;
            snap = s.due.front();
        }
        std::string text;
        Outcome outcome = Outcome::Retry;
        bool checksummed = false;
        try {
            bool ok = false;
            spool::Manifest m = spool::read_manifest(*snap.manifest, ok);
            checksummed = ok && (m.checksummed || spool::add_checksums(*snap.manifest, snap.folder, m));
            if (!checksummed) text = "the snapshot in " + snap.folder + " is damaged (a copy is missing): it is kept";
        } catch (const std::system_error &e) {
            text = "the snapshot in " + snap.folder + " is damaged (" + e.what() + "): it is kept";
        }
        outcome = checksummed ? upload_in_helper(s, snap, text) : Outcome::Refused;
        if (outcome == Outcome::Abandoned) break;
        if (outcome == Outcome::Retry) {
            auto pause = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(backoff.next()));
            std::unique_lock<std::mutex> lock(s.mutex);
            if (s.changed.wait_for(lock, pause, [&] { return s.abandoned; })) break;
            continue;
        }
        backoff = Backoff();
        if (outcome == Outcome::Refused) {
            if (_Py_IsFinalizing()) break;
            WithGil gil;
            try {
                py::dict globals(rt::own(module_globals));
                globals["_artifacts_refused"](text_of(snap.run_id), text_of(snap.folder), text_of(text));
            } catch (py::error_already_set &e) {
                e.discard_as_unraisable("background logging of an artifact");
            }
        }
        // Sent or refused, it is done with; a damaged one stays on the disk.
        if (text.find("is damaged") == std::string::npos) spool::remove_tree(snap.folder);
        {
            std::scoped_lock lock(s.mutex);
            s.due.pop_front();
            s.bytes -= snap.bytes;
        }
        s.room.notify_all();
    }
    end_helper(s, true);
}

}  // namespace

void start_uploader(Process &p) {
    std::scoped_lock lock(p.spool.mutex);
    if (p.spool.thread) return;
    p.spool.stopping = p.spool.abandoned = false;
    p.spool.thread = new std::thread(run_uploader, &p);
}

// ---- flushes, the exit, forks ---------------------------------------------------------

bool artifacts_flushed(Process &p, Clock::time_point until) {
    Spool &s = p.spool;
    for (;;) {
        bool done;
        {
            WithoutGil released;
            std::unique_lock<std::mutex> lock(s.mutex);
            Clock::time_point step = std::min(until, Clock::now() + std::chrono::milliseconds(100));
            done = s.room.wait_until(lock, step, [&] { return s.due.empty() || s.abandoned || !s.thread; });
        }
        if (done) return true;
        if (!run_pending_signal_handlers()) throw py::error_already_set();
        if (Clock::now() >= until) return false;
    }
}

std::pair<size_t, uint64_t> artifacts_waiting(Process &p) {
    std::scoped_lock lock(p.spool.mutex);
    size_t files = 0;
    for (const Snapshot &snap : p.spool.due) files += snap.files;
    return {files, p.spool.bytes};
}

std::pair<size_t, uint64_t> stop_uploader(Process &p, Clock::time_point until) {
    Spool &s = p.spool;
    if (!s.thread) return {0, 0};
    bool done = artifacts_flushed(p, until);
    {
        std::scoped_lock lock(s.mutex);
        s.stopping = true;
        if (!done) s.abandoned = true;
    }
    s.changed.notify_all();
    {
        WithoutGil released;
        s.thread->join();
    }
    delete s.thread;
    s.thread = nullptr;
    std::pair<size_t, uint64_t> left = artifacts_waiting(p);
    std::scoped_lock lock(s.mutex);
    s.due.clear();  // their manifests close: `sync` may take them now
    s.bytes = 0;
    return left;
}

void forget_parent_spool(Spool &parent) {
    for (Snapshot &snap : parent.due)
        if (snap.manifest && *snap.manifest >= 0) {
            ::close(*snap.manifest);
            *snap.manifest = -1;
        }
    for (int *fd : {&parent.to_helper, &parent.from_helper})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

}  // namespace background
