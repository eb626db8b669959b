// The sender: one native thread per process, which takes what is due (a
// full batch, or values that waited the flush interval) from memory or reads
// it back from the journals, sends each run's share in `log_batch` requests,
// retries what failed on the way with back-off for as long as the process
// lives, and marks what the server took. Flushes wait for what was logged
// before them; the endings of runs (end(), leaving a `with` block, Ctrl-C,
// SIGTERM, the interpreter's exit) flush first, within their deadlines.
#include "parts.hpp"

#include <pthread.h>

namespace py = pybind11;
using namespace py::literals;

namespace background {

PyObject *module_globals = nullptr;

Settings &settings() {
    static Settings *the = new Settings();
    return *the;
}

namespace {

// Made once per process and never destroyed: the thread may still use it
// while the interpreter ends (the exit hook stops it before, but nothing
// else may depend on the order in which C++ statics are destroyed).
Process *current = nullptr;

}  // namespace

Process &process() {
    if (!current) current = new Process(100000);
    if (current->pid != getpid()) forget_parent(*current);
    return *current;
}

void forget_parent(Process &parent) {
    // The parent's journals stay the parent's: the child closes its copies
    // of their files (their locks are the parent's too), through no lock:
    // one may be held by a thread that is not here.
    for (auto &entry : parent.journals)
        for (const SegmentRef &segment : entry.second->segments) {
            if (segment->fd >= 0) ::close(segment->fd);
            segment->fd = -1;
        }
    for (auto &connection : parent.connections) connection->drop();
    forget_parent_spool(parent.spool);
    current = new Process(100000);
}

std::string utf8(py::handle text) {
    if (PyUnicode_Check(text.ptr())) {
        Py_ssize_t size = 0;
        if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
            return std::string(data, static_cast<size_t>(size));
        PyErr_Clear();  // lone surrogates: written as `surrogatepass` writes them
    }
    py::bytes encoded = py::str(text).attr("encode")("utf-8", "surrogatepass");
    return std::string(encoded);
}

int64_t as_int64(py::handle value) {
    return py::int_(py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()))).cast<int64_t>();
}

py::str text_of(const std::string &utf8_text) {
    return py::bytes(utf8_text).attr("decode")("utf-8", "surrogatepass");
}

bool is_offline(const std::string &uri) {
    const std::string &prefix = settings().offline_prefix;
    return !prefix.empty() && uri.compare(0, prefix.size(), prefix) == 0;
}

namespace {

// The back-off's pause before the next attempt at `uri`'s server, cut short
// when the server comes back: a server this module's client reaches is
// watched a few times a second, and once a connection it refused is
// accepted again the pause ends (a backlog waits for no back-off after an
// outage). A server that accepts connections all along (and answers 5xx)
// gets the whole pause. False when the exit's deadline passed meanwhile.
bool pause_until_back(Process &p, const std::string &uri, Clock::duration pause) {
    std::string host;
    int port = 0;
    if (!last_host(uri, host, port)) return p.queue.pause(pause);
    Clock::time_point end = Clock::now() + pause;
    bool refused = false;
    for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
        if (!p.queue.pause(std::min<Clock::duration>(end - now, std::chrono::milliseconds(250)))) return false;
        bool up = HttpConnection::accepted(host, port, p.queue);
        if (up && refused) return true;
        refused = refused || !up;
    }
    return true;
}

// Sends a batch until it is sent or refused, pausing between attempts
// (the journals catch up on the disk meanwhile).
Outcome send(Process &p, const Batch &batch, HttpConnection &connection) {
    Backoff backoff;
    Outcome outcome;
    while ((outcome = attempt(batch, nullptr, &connection)) == Outcome::Retry) {
        flush_journals_to_disk(p, false);
        auto pause = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(backoff.next()));
        if (!pause_until_back(p, *batch.tracking_uri, pause)) return Outcome::Abandoned;  // the exit's deadline
    }
    return outcome;
}

// Up to `max` values of `j` read back from where the sender left it, all
// from one segment; `backlog` when more were there than it took.
std::vector<Record> read_on(const JournalRef &j, size_t max, bool &backlog) {
    SegmentRef segment;
    uint64_t limit, last;
    bool newest;
    {
        std::scoped_lock lock(j->mutex);
        if (!j->reading) j->reading = j->segments.front();
        segment = j->reading;
        limit = segment->size;
        last = segment->last;
        newest = segment == j->segments.back();
    }
    std::vector<Record> out;
    jr::Reader reader(segment->fd, j->read_at, limit);
    std::string payload;
    if (j->read_at == 0) {
        if (!reader.is_journal() || !reader.next(payload)) return out;  // its header: whole from the start
        j->read_at = reader.whole();
    }
    while (out.size() < max && reader.next(payload)) {
        j->read_at = reader.whole();
        char kind = payload.empty() ? 0 : payload[0];
        if (kind != METRIC && kind != PARAM) continue;
        jr::Fields f(payload, 1);
        Record r;
        if (!read_value(kind, f, r) || r.jseq <= j->taken) continue;
        r.tracking_uri = j->tracking_uri;
        r.run_id = j->run_id;
        r.journal = j;
        r.segment = segment;
        j->taken = r.jseq;
        out.push_back(std::move(r));
    }
    backlog = out.size() >= max;
    if (backlog) return out;
    // The segment is read as far as it was written: what damage on the disk
    // hid is past, and a segment no longer written gives way to the next.
    if (last > j->taken) j->taken = last;
    if (!newest) {
        std::scoped_lock lock(j->mutex);
        auto at = std::find(j->segments.begin(), j->segments.end(), segment);
        if (at != j->segments.end()) ++at;
        if (at != j->segments.end()) {
            j->reading = *at;
            j->read_at = 0;
            backlog = true;
        }
    }
    return out;
}

// Sends what was taken. When it makes several batches, those that hold
// metrics alone go side by side, up to `requests_in_flight` at once, each on
// a connection of its own (the server has several workers); a batch that
// holds parameters goes alone, after those before it, so that each run's
// parameters reach the server in the order they were logged. Acknowledged
// in order; what the exit abandoned stays unacknowledged.
void send_all(Process &p, const std::vector<Record> &records) {
    std::vector<Batch> batches = batches_of(records);
    size_t width = std::max<size_t>(1, settings().requests_in_flight.load());
    while (p.connections.size() < width) p.connections.push_back(std::make_unique<HttpConnection>());
    for (size_t i = 0; i < batches.size() && !p.queue.abandoned();) {
        size_t end = i + 1;
        if (batches[i].param_count == 0)
            while (end < batches.size() && end - i < width && batches[end].param_count == 0) end++;
        std::vector<Outcome> outcomes(end - i, Outcome::Abandoned);
        std::vector<std::thread> others;
        for (size_t k = 1; k < end - i; k++) {
            try {
                others.emplace_back([&, k] { outcomes[k] = send(p, batches[i + k], *p.connections[k]); });
            } catch (const std::system_error &) {
                outcomes[k] = send(p, batches[i + k], *p.connections[k]);  // no thread to be had: in turn
            }
        }
        outcomes[0] = send(p, batches[i], *p.connections[0]);
        for (std::thread &t : others) t.join();
        // Only the first connection goes on being used for a wave of one
        // (a batch retried while the server is away, say).
        for (size_t k = 1; k < p.connections.size(); k++) p.connections[k]->drop();
        for (size_t k = 0; k < outcomes.size(); k++) {
            if (outcomes[k] != Outcome::Sent && outcomes[k] != Outcome::Refused) return;
            const Record &last = *batches[i + k].records.back();
            if (!last.journal) continue;
            acknowledged(*last.journal, last.segment, last.jseq);
            p.queue.acknowledged();
        }
        i = end;
    }
}

// The sender's connections stay open while something is due, from one
// batch to the next; before the sender waits they close (a server keeps an
// idle connection's worker, and a test server waits for it to close).
void drop_connections(Process &p) {
    for (auto &connection : p.connections) connection->drop();
}

void run_sender(Process *p) {
    // Named for top and debuggers (a thread it starts would take the name of its starter).
    pthread_setname_np(pthread_self(), "tavro-sender");
    bool busy = false;
    for (;;) {
        auto interval =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings().flush_interval));
        Queue::Due due = p->queue.take(TAKE_AT_ONCE, FULL_BATCH, interval, busy);
        busy = !due.idle;
        if (due.idle) {
            drop_connections(*p);
            continue;
        }
        if (due.empty()) {
            drop_connections(*p);
            return;
        }
        if (due.journal) {
            bool backlog = false;
            std::vector<Record> records = read_on(due.journal, TAKE_AT_ONCE, backlog);
            p->queue.read(due.journal, backlog);
            send_all(*p, records);
        } else {
            send_all(*p, due.records);
            p->queue.done(due.last);
        }
        flush_journals_to_disk(*p, false);
    }
}

}  // namespace

// The settings in force, for the sender.
void apply_settings(rt::Call &c) {
    // Synchronous runs send nothing here but their system metrics, which
    // are journaled as background logging would journal them.
    py::object chosen = c.g("async_logging")();
    if (chosen.is_none()) chosen = c.g("_background_settings")();
    Settings &s = settings();
    s.flush_interval = chosen["flush_interval"].cast<double>();
    process().queue.set_capacity(chosen["max_queued_records"].cast<size_t>());
    py::object folder = chosen.attr("get")("journal");
    s.journal_folder = folder.is_none() ? std::string() : utf8(folder);
    s.offline_prefix = folder.is_none() ? std::string() : "file://" + s.journal_folder + "/offline/";
    py::object segment_bytes = chosen.attr("get")("journal_segment_bytes");
    if (!segment_bytes.is_none()) s.segment_bytes = segment_bytes.cast<uint64_t>();
    py::object in_flight = chosen.attr("get")("requests_in_flight");
    if (!in_flight.is_none()) s.requests_in_flight = in_flight.cast<size_t>();
    py::object spool_bytes = chosen.attr("get")("artifact_spool_bytes");
    if (!spool_bytes.is_none()) s.artifact_spool_bytes = spool_bytes.cast<uint64_t>();
    if (rt::truthy(chosen.attr("get")("offline"))) s.offline_used = true;
}

// The sender of this process, its thread started on first use.
Process &running_sender(rt::Call &c) {
    Process &p = process();
    if (!p.thread) {
        apply_settings(c);
        p.queue.restart();
        p.thread = new std::thread(run_sender, &p);
    }
    return p;
}

// ---- flushes and the end --------------------------------------------------------------

Clock::time_point deadline_after(py::handle timeout) {
    if (timeout.is_none()) return Clock::time_point::max();
    double seconds = py::float_(rt::own(timeout)).cast<double>();
    if (!(seconds < 1e9)) return Clock::time_point::max();
    if (!(seconds > 0)) seconds = 0;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits until every value logged so far is on the server; false at `timeout`.
bool flushed(py::handle timeout) {
    Process &p = process();
    Clock::time_point until = deadline_after(timeout);
    if (p.thread && !p.queue.flush(p.queue.last_queued(), flush_targets(p), until)) return false;
    return artifacts_flushed(p, until);
}

namespace {

void flush_journals_to_disk_now(Process &p) {
    WithoutGil released;
    flush_journals_to_disk(p, true);
}

uint64_t unsent(Process &p) {
    return p.queue.pending() + unsent_in_journals(p);
}

py::str still_being_sent(Process &p, py::handle timeout) {
    auto [files, bytes] = artifacts_waiting(p);
    py::str said = rt::text({py::int_(unsent(p)), " values logged in the background were not on the tracking server ",
                             "after ", timeout, " s; they are still being sent."});
    if (files == 0) return said;
    return rt::text({said, " So are ", py::int_(files), " artifact files (",
                     py::str("{:,}").attr("format")(py::int_(bytes)), " bytes)."});
}

}  // namespace

py::object flush(rt::Call &c) {
    auto [run_id, timeout] = c.args<2>();
    bool done = flushed(timeout);
    flush_journals_to_disk_now(process());
    if (!done) rt::raise(rt::builtin("TimeoutError"), still_being_sent(process(), timeout));
    if (!run_id.is_none()) c.g("raise_refusal")(run_id);
    return py::none();
}

namespace {

// Where values the server has not taken are kept, and the command that sends
// them: the end of a warning.
py::str kept_in_journal(rt::Call &c, const py::list &servers) {
    const std::string &folder = settings().journal_folder;
    if (folder.empty()) return py::str("");
    py::str line = rt::text({" They are kept in the journal folder ", text_of(folder), "; send them with: "});
    py::list commands;
    for (py::handle server : servers) commands.append(c.g("sync_command")(server, text_of(folder)));
    if (commands.empty()) commands.append(c.g("sync_command")(py::none(), text_of(folder)));
    return rt::text({line, py::str(" and ").attr("join")(commands)});
}

// Stops the sender: what is still unsent after `timeout` is given up (memory's
// values lost, the journals' kept, with one warning that counts them), an
// exchange under way is cut, the thread ends; the journals close, and the
// files that hold what the server lacks stay.
void stop_sender(rt::Call &c, py::handle timeout) {
    Process &p = process();
    if (!p.thread && !p.spool.thread) return;
    uint64_t dropped = 0;
    bool done = flushed(timeout);
    if (!done && p.thread) {
        dropped = p.queue.abandon();
        py::object session = c.g("_sessions").attr("get")(c.g("os").attr("getpid")());
        if (!session.is_none()) c.g("abort_exchanges")(session);
    }
    // The servers of the artifacts still waiting, before the uploader stops.
    py::list artifact_servers;
    {
        std::scoped_lock lock(p.spool.mutex);
        for (const Snapshot &snap : p.spool.due)
            if (!rt::contains(artifact_servers, text_of(snap.tracking_uri)))
                artifact_servers.append(text_of(snap.tracking_uri));
    }
    auto [files, bytes] = stop_uploader(p, done ? Clock::time_point::max() : Clock::now());
    uint64_t kept = 0;
    py::list servers;
    if (p.thread) {
        p.queue.stop();
        {
            WithoutGil released;
            p.thread->join();
        }
        delete p.thread;
        p.thread = nullptr;
        servers = journal_servers(p);
        WithoutGil released;
        kept = close_journals(p);
    }
    if (files > 0)
        c.g("logger").attr("warning")(
            rt::text({py::int_(files), " artifact files (", py::str("{:,}").attr("format")(py::int_(bytes)),
                      " bytes) logged in the background were not uploaded: the tracking "
                      "server did not take them within ",
                      timeout, " s.", kept_in_journal(c, artifact_servers)}));
    if (dropped == 0 && kept == 0) return;
    py::str said =
        rt::text({py::int_(dropped + kept), " values logged in the background were not sent: the tracking server ",
                  "did not take them within ", timeout, " s.", kept > 0 ? kept_in_journal(c, servers) : py::str("")});
    // A warning at the end of a run already said where they are, unless
    // values were logged after it.
    bool new_since = p.logged > p.said_kept_up_to;
    c.g("logger").attr(new_since || kept == 0 ? "warning" : "info")(said);
}

// At the exit of a process that worked offline: its journals close, and one
// line says where its iterations are kept and how to send them.
void keep_offline(rt::Call &c, Process &p) {
    if (!settings().offline_used || p.offline_said) return;
    p.offline_said = true;
    {
        WithoutGil released;
        close_journals(p);
    }
    const std::string &folder = settings().journal_folder;
    py::list commands;
    for (py::handle server : c.g("offline_servers")()) commands.append(c.g("sync_command")(server, text_of(folder)));
    if (commands.empty()) commands.append(c.g("sync_command")(py::none(), text_of(folder)));
    c.g("logger").attr("warning")(
        rt::text({"Iterations logged offline are kept in ", text_of(folder),
                  "; send them to their tracking server with: ", py::str(" and ").attr("join")(commands)}));
}

}  // namespace

// What the endings of runs call first (see tracking.client): everything
// logged goes to the server within `timeout` (None: the exit timeout of the
// settings); at the interpreter's exit (`final`) the sender stops. A run that
// ends with all its values on the server leaves no journal. Returns the
// refusal kept for `run_id`, for the ending to raise, or None.
py::object before_ending(rt::Call &c) {
    auto [run_id, timeout, final] = c.args<3>();
    if (timeout.is_none()) {
        py::object chosen = c.g("async_logging")();
        timeout = chosen.is_none() ? c.g("ASYNC_EXIT_TIMEOUT") : py::object(chosen["exit_timeout"]);
    }
    Process &p = process();
    py::object note = py::none();
    if (rt::truthy(final)) {
        stop_sender(c, timeout);
        keep_offline(c, p);
    } else {
        bool done = flushed(timeout);
        flush_journals_to_disk_now(p);
        // Said by whoever ends the run, with what became of the ending.
        if (!done) note = still_being_sent(p, timeout);
        // The run (None: every run, a termination signal ends them all) ends
        // with its values on the server: its journal goes.
        if (done) retire_journals(p, run_id.is_none() ? std::string() : utf8(run_id));
    }
    if (run_id.is_none()) return note;
    try {
        c.g("raise_refusal")(run_id);
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("ExperimentTrackingException"))) throw;
        if (!note.is_none()) c.g("logger").attr("warning")(note);
        return e.value();
    }
    return note;
}

// A child process just forked: the parent's queue, thread, journals, kept
// endings and refusals are not its own. It starts its own sender when it logs.
py::object forget_parent_sender(rt::Call &c) {
    if (current && current->pid != getpid()) {
        forget_parent(*current);
        c.g("_refusals").attr("clear")();
    }
    return py::none();
}

// Before a run starts logging in the background: the settings read, and the
// journal folder made and writable (a folder it cannot write is said now,
// not at the first value).
py::object prepare(rt::Call &c) {
    apply_settings(c);
    const std::string &folder = settings().journal_folder;
    if (!folder.empty()) prepare_folder(c, folder);
    return py::none();
}

py::object pending(rt::Call &) {
    return py::int_(unsent(process()));
}

}  // namespace background
