// Logging in the background: metric values and parameters queued by the
// logging calls as plain C++ records, sent by one native thread per process
// in MLflow's batches, in the order they were logged.
//
// What a logging call does here is check its values (the tracking library's
// own checks, a changed parameter against the parameters the run is known to
// have) and queue them: no request on the caller's thread. The sender takes
// what is due (a full batch, or values that waited the flush interval),
// sends each run's share in `log_batch` requests within the server's limits,
// retries what failed on the way (no connection, a timeout, 408, 429, 5xx)
// with back-off for as long as the process lives, and keeps what the server
// refused (4xx) for the iteration's next call to raise. Flushes wait for
// what was queued before them; the endings of runs (end(), leaving a `with`
// block, Ctrl-C, SIGTERM, the interpreter's exit) flush first, within their
// deadlines.
#include "journal.hpp"
#include "outbox.hpp"
#include "runtime.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;
using namespace py::literals;
using rt::arg;

namespace {

// ---- the records and their queue ----------------------------------------------------

// A run's journal in this process: every value queued for the run is in it
// before the logging call returns, and what the server took is marked in it
// as the sender goes (see the journal part below).
struct Journal {
    std::mutex mutex;  // appends (the write(2) runs under it); never held while waiting for the GIL
    int fd = -1;       // closed when the last reference goes
    std::string path, run_id;
    uint64_t size = 0, last_seq = 0;
    std::atomic<uint64_t> acked{0};
    std::atomic<bool> dirty{false};
    bool retired = false;  // deleted (or given up): nothing more is written
    bool offline = false;  // an offline iteration's: kept until `sync`, never sent from here
    bool ending = false;   // holds an ending the server did not take: kept until `sync` applies it
    ~Journal() {
        if (fd >= 0) ::close(fd);
    }
};
using JournalRef = std::shared_ptr<Journal>;

// A journal file open (and locked) for a while; closed, the lock with it, at
// the end of its scope.
struct Locked {
    int fd = -1;
    Locked() = default;
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    ~Locked() {
        if (fd >= 0) ::close(fd);
    }
};

// One logged value, held without Python objects: text as UTF-8 (lone
// surrogates kept, as `surrogatepass` writes them); where it is journaled.
struct Record {
    bool is_param = false;
    std::string tracking_uri, run_id, key, text;
    double value = 0;
    int64_t timestamp = 0, step = 0;
    JournalRef journal;
    uint64_t jseq = 0;
};

using Outbox = rt::Outbox<Record>;
using Clock = Outbox::Clock;

// What one `log_batch` request may hold (the server's limits, as in
// mlflow.utils.validation), with room to spare in the request's size.
constexpr size_t MAX_METRICS = 1000, MAX_PARAMS = 100, MAX_ENTITIES = 1000, MAX_REQUEST_BYTES = 900000;
// Records taken from the queue at once; a full batch of metrics wakes the sender.
constexpr size_t TAKE_AT_ONCE = 10000, FULL_BATCH = MAX_METRICS;
// Back-off between attempts at a batch that could not be sent.
constexpr double FIRST_PAUSE = 0.5, LONGEST_PAUSE = 30.0;

// The process's sender: its queue, its thread, the module namespace its
// thread looks names up in (the thread has no call to look them up through),
// and the settings it reads while it runs.
struct Journals {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, JournalRef> open;  // by tracking URI and run
};

struct Sender {
    Outbox outbox{100000};
    std::thread *thread = nullptr;  // not joined after a fork: the thread is not the child's
    pid_t owner = 0;
    PyObject *globals = nullptr;  // the module's namespace: owned, for the life of the process
    std::atomic<double> flush_interval{1.0};
    // The journal folder in force ("" when values are not journaled) and
    // this process's journals; replaced, not cleared, in a forked child.
    std::string journal_folder, offline_prefix;  // offline stores' URIs start with the prefix
    bool offline_used = false;
    pid_t owner_offline = 0;   // the process that said where its offline iterations are
    pid_t journals_owner = 0;  // the process whose journals `journals` holds
    Journals *journals = new Journals();
    Clock::time_point last_sync;
    // Run ID -> the journal that keeps its ending, once that journal is
    // closed (or was made only for it: a run logging synchronously).
    std::map<std::string, std::string> kept_endings;
    // The last value a warning already said was kept: the exit says it
    // again only for values queued since.
    uint64_t said_kept_up_to = 0;
};

Sender &sender() {
    // Made once and never destroyed: the thread may still use it while the
    // interpreter ends (the exit hook stops it before, but nothing else may
    // depend on the order in which C++ statics are destroyed).
    static Sender *the = new Sender();
    return *the;
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

// ---- the journal ---------------------------------------------------------------------
//
// One file per run and process, in the journal folder: a header naming the
// tracking server and the run, then each value as the logging call queues it
// (written before the call returns: a process killed afterwards loses
// nothing), and "acknowledged up to" marks as the sender gets answers. The
// disk catches up every JOURNAL_SYNC_INTERVAL while sending, and at every
// flush and end. A run that ends with everything on the server leaves no
// file; `sync` sends what the others hold. A run whose ending could not reach
// the server (its status and end time) has it written after its values, and
// "ended" once a later attempt set it: `sync` applies an ending still open
// after the values.

constexpr char HEADER = 'H', METRIC = 'M', PARAM = 'P', ACKED = 'A', ENDING = 'E', ENDED = 'D';
constexpr uint32_t JOURNAL_VERSION = 1;
constexpr auto JOURNAL_SYNC_INTERVAL = std::chrono::seconds(2);
constexpr const char *JOURNAL_SUFFIX = ".journal";

namespace jr = rt::journal;

void append_frame(std::string &frames, const Record &r) {
    size_t at = jr::begin_frame(frames);
    frames += r.is_param ? PARAM : METRIC;
    jr::put<uint64_t>(frames, r.jseq);
    jr::put_text(frames, r.key);
    if (r.is_param) {
        jr::put_text(frames, r.text);
    } else {
        jr::put<double>(frames, r.value);
        jr::put<int64_t>(frames, r.timestamp);
        jr::put<int64_t>(frames, r.step);
    }
    jr::end_frame(frames, at);
}

// What one pass over a journal found: its run, what was acknowledged, the
// ending it keeps, and whether every record was one this version knows.
struct Scan {
    bool is_journal = false, has_header = false, offline = false;
    std::string tracking_uri, run_id;
    int64_t pid = 0;
    uint64_t acked = 0, last_value = 0;  // the last value's sequence number
    uint64_t whole = 0, damaged = 0, tail = 0;
    size_t frames = 0;
    std::string not_understood;  // why the journal cannot be read whole ("" when it can)
    bool ending = false;         // an ending no attempt has set yet
    std::string ending_status;
    int64_t ending_time = 0;
};

std::string hex_kind(char kind) {
    char text[8];
    snprintf(text, sizeof text, "0x%02x", unsigned{static_cast<unsigned char>(kind)});
    return text;
}

// Reads the journal open as `fd` in order, calling `visit(record)` for each
// value (a metric or a parameter) after the header, until it returns false.
// A record this version does not know (a newer writer's kind or layout, a
// second header) ends the reading: what follows it is not guessed at, and
// `not_understood` says where it is.
template <typename Visit>
Scan scan(int fd, Visit visit) {
    Scan out;
    jr::Reader reader(fd);
    out.is_journal = reader.is_journal();
    if (!out.is_journal) return out;
    std::string payload;
    while (reader.next(payload)) {
        out.frames++;
        jr::Fields f(payload, 1);
        char kind = payload.empty() ? 0 : payload[0];
        auto unknown = [&](const std::string &what) {
            out.not_understood = what + " at byte " + std::to_string(reader.whole() - payload.size() - 8);
        };
        if (kind == HEADER) {
            if (out.has_header) {
                unknown("a second header");
                break;
            }
            uint32_t version = f.get<uint32_t>();
            if (version != JOURNAL_VERSION) {
                unknown("a header of journal version " + std::to_string(version) + " (this version reads " +
                        std::to_string(JOURNAL_VERSION) + ")");
                break;
            }
            out.tracking_uri = f.text();
            out.run_id = f.text();
            out.pid = f.get<int64_t>();
            out.offline = f.get<uint8_t>() != 0;
            if (!f.ok()) {
                unknown("a header of a layout this version does not know");
                break;
            }
            out.has_header = true;
            continue;
        }
        if (!out.has_header) break;  // the first record, which names the run, is damaged
        if (kind == ACKED) {
            uint64_t seq = f.get<uint64_t>();
            if (f.ok() && seq > out.acked) out.acked = seq;
        } else if (kind == ENDING) {
            out.ending_status = f.text();
            out.ending_time = f.get<int64_t>();
            out.ending = f.ok();
        } else if (kind == ENDED) {
            out.ending = false;
        } else if (kind == METRIC || kind == PARAM) {
            Record r;
            r.is_param = kind == PARAM;
            r.tracking_uri = out.tracking_uri;
            r.run_id = out.run_id;
            r.jseq = f.get<uint64_t>();
            r.key = f.text();
            if (r.is_param) {
                r.text = f.text();
            } else {
                r.value = f.get<double>();
                r.timestamp = f.get<int64_t>();
                r.step = f.get<int64_t>();
            }
            if (!f.ok()) {
                unknown(std::string("a ") + (r.is_param ? "parameter" : "metric") +
                        " record of a layout this version does not know");
                break;
            }
            out.last_value = std::max(out.last_value, r.jseq);
            if (!visit(r)) break;
        } else {
            unknown("a record of a kind this version does not know (" + hex_kind(kind) + ")");
            break;
        }
    }
    out.whole = reader.whole();
    out.damaged = reader.damaged();
    out.tail = reader.tail();
    return out;
}

[[noreturn]] void journal_failed(const std::string &path, int error, const char *doing) {
    rt::raise(PyExc_OSError, py::int_(error),
              rt::text({"Background logging cannot ", doing, " its journal ", text_of(path), " (",
                        py::str(std::strerror(error)), "): the values of this call were not logged; everything ",
                        "logged before is kept. Free some space there, name a folder it can write in ",
                        "TAVRO_JOURNAL_DIR, or log without a journal (TAVRO_JOURNAL=0)."}));
}

// A file name of its own for this run and process: the run ID's safe part,
// the process, a counter (a name is never reused: O_EXCL).
std::string journal_name(const std::string &run_id, uint64_t n) {
    std::string safe;
    for (char ch : run_id.substr(0, 64)) safe += (std::isalnum(static_cast<unsigned char>(ch)) || ch == '-') ? ch : '_';
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return safe + "." + std::to_string(getpid()) + "." + std::to_string(now) + "." + std::to_string(n) + JOURNAL_SUFFIX;
}

// The folder made (only its owner may enter it) and writable, or OSError;
// refused when another user owns it or may write in it (they could delete
// values the calls accepted, or plant journals).
void prepare_folder(rt::Call &c, const std::string &folder) {
    py::object refusal = rt::folder_refusal(text_of(folder));
    if (!refusal.is_none())
        rt::raise(PyExc_PermissionError, py::int_(EPERM),
                  rt::text({"Background logging refuses the journal folder ", text_of(folder), ": ", refusal,
                            ". Name a folder of your own in TAVRO_JOURNAL_DIR (it is made for you alone), or log "
                            "without a journal (TAVRO_JOURNAL=0)."}));
    try {
        c.g("os").attr("makedirs")(text_of(folder), 0700, "exist_ok"_a = true);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        int error =
            py::getattr(e.value(), "errno", py::none()).is_none() ? EACCES : e.value().attr("errno").cast<int>();
        journal_failed(folder, error, "make the folder of");
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) journal_failed(folder, errno, "write the folder of");
}

bool is_offline(const Sender &s, const std::string &uri) {
    return !s.offline_prefix.empty() && uri.compare(0, s.offline_prefix.size(), s.offline_prefix) == 0;
}

JournalRef open_journal(rt::Call &c, Sender &s, const std::string &uri, const std::string &run_id) {
    static std::atomic<uint64_t> made{0};
    prepare_folder(c, s.journal_folder);
    auto j = std::make_shared<Journal>();
    j->run_id = run_id;
    j->offline = is_offline(s, uri);
    std::string header(1, HEADER);
    jr::put<uint32_t>(header, JOURNAL_VERSION);
    jr::put_text(header, uri);
    jr::put_text(header, run_id);
    jr::put<int64_t>(header, getpid());
    jr::put<uint8_t>(header, j->offline ? 1 : 0);
    for (;;) {
        j->path = s.journal_folder + "/" + journal_name(run_id, ++made);
        try {
            j->fd = jr::File::create(j->path, header, j->size);
            break;
        } catch (const std::system_error &e) {
            if (e.code().value() != EEXIST) journal_failed(j->path, e.code().value(), "write");
        }
    }
    std::scoped_lock lock(s.journals->mutex);
    s.journals->open[{uri, run_id}] = j;
    s.journals_owner = getpid();
    return j;
}

// Writes the records (one run's) into its journal before they are queued.
void journal_records(rt::Call &c, Sender &s, std::vector<Record> &records) {
    const Record &first = records.front();
    JournalRef j;
    {
        std::scoped_lock lock(s.journals->mutex);
        auto found = s.journals->open.find({first.tracking_uri, first.run_id});
        if (found != s.journals->open.end() && !found->second->retired) j = found->second;
    }
    // A reader takes a longer frame for damage: refused at the call (the
    // fields beside key and text take 45 bytes at most).
    for (const Record &r : records)
        if (r.key.size() + r.text.size() + 64 > jr::MAX_PAYLOAD)
            rt::raise(PyExc_ValueError, rt::text({"The ", r.is_param ? "parameter " : "metric ", "logged as ",
                                                  py::repr(text_of(r.key)[py::slice(0, 40, 1)]),
                                                  "... is too long to be "
                                                  "journaled (the tracking server takes keys of 250 characters at "
                                                  "most)"}));
    std::string frames;
    if (!j) j = open_journal(c, s, first.tracking_uri, first.run_id);
    std::scoped_lock lock(j->mutex);
    uint64_t seq = j->last_seq;
    for (Record &r : records) {
        r.jseq = ++seq;
        append_frame(frames, r);
    }
    try {
        jr::File::write_whole(j->fd, frames, j->size);
    } catch (const std::system_error &e) {
        journal_failed(j->path, e.code().value(), "write");
    }
    j->last_seq = seq;
    j->dirty = true;
    for (Record &r : records) r.journal = j;
}

// The server has every record of `j` up to `seq` (or refused it, which was
// said to the script): marked in the file. A mark that cannot be written
// costs nothing but a duplicate a sync would send, which the server ignores.
void mark_acknowledged(Journal &j, uint64_t seq) {
    std::string frame, p(1, ACKED);
    jr::put<uint64_t>(p, seq);
    jr::frame(frame, p);
    std::scoped_lock lock(j.mutex);
    if (j.retired || seq <= j.acked) return;
    try {
        jr::File::write_whole(j.fd, frame, j.size);
        j.dirty = true;
    } catch (const std::system_error &) {
        // Dropped: an acknowledgement that cannot be written is written with the next one.
    }
    j.acked = seq;
}

void acknowledge(const std::vector<const Record *> &records) {
    const Record *last = records.empty() ? nullptr : records.back();
    if (last && last->journal) mark_acknowledged(*last->journal, last->jseq);
}

// Journals written since they were last flushed go to the disk with
// fdatasync (every JOURNAL_SYNC_INTERVAL, or at once when `now`). Called
// without the GIL.
void flush_journals_to_disk(Sender &s, bool now) {
    std::vector<JournalRef> dirty;
    {
        std::scoped_lock lock(s.journals->mutex);
        Clock::time_point at = Clock::now();
        if (!now && at < s.last_sync + JOURNAL_SYNC_INTERVAL) return;
        s.last_sync = at;
        for (auto &entry : s.journals->open)
            if (entry.second->dirty.exchange(false)) dirty.push_back(entry.second);
    }
    for (const JournalRef &j : dirty) (void)fdatasync(j->fd);
}

void flush_journals_to_disk_now(Sender &s) {
    rt::WithoutGil released;
    flush_journals_to_disk(s, true);
}

// When a run ends, its journals that hold nothing the server lacks are
// deleted. An empty `run_id` stands for every run.
void retire_journals(Sender &s, const std::string &run_id) {
    std::scoped_lock lock(s.journals->mutex);
    for (auto it = s.journals->open.begin(); it != s.journals->open.end();) {
        Journal &j = *it->second;
        std::scoped_lock jlock(j.mutex);
        if ((run_id.empty() || j.run_id == run_id) && j.acked >= j.last_seq && !j.offline && !j.ending) {
            ::unlink(j.path.c_str());
            j.retired = true;
            it = s.journals->open.erase(it);
        } else {
            ++it;
        }
    }
}

// The sender stopped: every journal closes; those that hold values the
// server lacks stay for `sync` (offline ones all do). Returns how many values
// they hold.
uint64_t close_journals(Sender &s) {
    uint64_t unsent = 0;
    std::scoped_lock lock(s.journals->mutex);
    for (auto &entry : s.journals->open) {
        Journal &j = *entry.second;
        std::scoped_lock jlock(j.mutex);
        if (j.offline)
            ;  // the offline iteration's store says the rest
        else if (j.acked >= j.last_seq && !j.ending)
            ::unlink(j.path.c_str());
        else
            unsent += j.last_seq - j.acked;
        if (j.ending) s.kept_endings[j.run_id] = j.path;  // closed: settled, if it is, through its path
        if (j.fd >= 0) (void)fdatasync(j.fd);
        j.retired = true;
    }
    s.journals->open.clear();
    return unsent;
}

// ---- endings the server did not take -------------------------------------------------

std::string ending_frame(const std::string &status, int64_t end_time) {
    std::string frame, payload(1, ENDING);
    jr::put_text(payload, status);
    jr::put<int64_t>(payload, end_time);
    jr::frame(frame, payload);
    return frame;
}

std::string ended_frame() {
    std::string frame;
    jr::frame(frame, std::string(1, ENDED));
    return frame;
}

// This process's open journal of the run, if it has one.
JournalRef open_journal_of(Sender &s, const std::string &run_id) {
    std::scoped_lock lock(s.journals->mutex);
    for (auto &entry : s.journals->open)
        if (entry.second->run_id == run_id && !entry.second->retired && !entry.second->offline) return entry.second;
    return nullptr;
}

// A run's ending (status, end time in milliseconds) that could not reach the
// server, kept where `sync` applies it after the run's values: in this
// process's journal of the run, or in a journal of its own. Returns the
// journal's path.
py::object keep_ending(rt::Call &c) {
    auto [run_id, tracking_uri, status, end_time] = c.args<4>();
    Sender &s = sender();
    std::string run = utf8(run_id), frame = ending_frame(utf8(status), as_int64(end_time));
    // The warning that says where the ending is says where the values are:
    // the exit need not say it again for these.
    s.said_kept_up_to = s.outbox.last_queued();
    if (JournalRef j = open_journal_of(s, run)) {
        std::scoped_lock lock(j->mutex);
        try {
            jr::File::write_whole(j->fd, frame, j->size);
        } catch (const std::system_error &e) {
            journal_failed(j->path, e.code().value(), "write");
        }
        (void)fdatasync(j->fd);
        j->ending = true;
        return text_of(j->path);
    }
    auto kept = s.kept_endings.find(run);
    if (kept != s.kept_endings.end()) {
        Locked f;
        try {
            f.fd = jr::File::open_locked(kept->second);
            if (f.fd >= 0) {
                uint64_t size = static_cast<uint64_t>(lseek(f.fd, 0, SEEK_END));
                jr::File::write_whole(f.fd, frame, size);
                (void)fdatasync(f.fd);
                return text_of(kept->second);
            }
        } catch (const std::system_error &) {
            // Dropped: gone (a sync applied it meanwhile): a journal of its own follows.
        }
    }
    // A run logging synchronously has no journal: one of its own, in the
    // journal folder of the configuration.
    std::string folder = utf8(c.g("journal_folder")());
    prepare_folder(c, folder);
    std::string header(1, HEADER);
    jr::put<uint32_t>(header, JOURNAL_VERSION);
    jr::put_text(header, utf8(tracking_uri));
    jr::put_text(header, run);
    jr::put<int64_t>(header, getpid());
    jr::put<uint8_t>(header, 0);
    static std::atomic<uint64_t> made{0};
    for (;;) {
        std::string path = folder + "/" + journal_name(run, ++made);
        Locked f;
        uint64_t size = 0;
        try {
            f.fd = jr::File::create(path, header, size);
            jr::File::write_whole(f.fd, frame, size);
        } catch (const std::system_error &e) {
            if (e.code().value() == EEXIST) continue;
            journal_failed(path, e.code().value(), "write");
        }
        (void)fdatasync(f.fd);
        s.kept_endings[run] = path;
        return text_of(path);
    }
}

// A kept ending that a later attempt set after all: marked so, and a
// journal that then holds nothing the server lacks goes.
py::object ending_settled(rt::Call &c) {
    auto [run_id] = c.args<1>();
    Sender &s = sender();
    std::string run = utf8(run_id), frame = ended_frame();
    if (JournalRef j = open_journal_of(s, run)) {
        std::scoped_lock lock(j->mutex);
        if (j->ending) {
            try {
                jr::File::write_whole(j->fd, frame, j->size);
                j->ending = false;
            } catch (const std::system_error &) {
                // Dropped: a sync finds the run ended and leaves it so.
            }
        }
        return py::none();
    }
    auto kept = s.kept_endings.find(run);
    if (kept == s.kept_endings.end()) return py::none();
    std::string path = kept->second;
    s.kept_endings.erase(kept);
    Locked f;
    try {
        f.fd = jr::File::open_locked(path);
        if (f.fd < 0) return py::none();
        Scan read = scan(f.fd, [](const Record &) { return true; });
        if (!read.has_header || !read.not_understood.empty()) return py::none();
        if (read.last_value <= read.acked) {
            ::unlink(path.c_str());
        } else {
            uint64_t size = static_cast<uint64_t>(lseek(f.fd, 0, SEEK_END));
            jr::File::write_whole(f.fd, frame, size);
        }
    } catch (const std::system_error &) {
        // Dropped: a sync finds the run ended and leaves it so.
    }
    return py::none();
}

// ---- the sender thread ------------------------------------------------------------

// ---- a batch as the tracking server reads it ------------------------------------

// JSON text of UTF-8 written with `surrogatepass`: a lone surrogate (three
// bytes ED A0..BF ..) becomes its \u escape, as Python's json writes it.
void append_json_string(std::string &out, const std::string &text) {
    char escape[8];
    out += '"';
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            snprintf(escape, sizeof escape, "\\u%04x", ch);
            out += escape;
        } else if (ch == 0xED && i + 2 < text.size() &&
                   (unsigned{static_cast<unsigned char>(text[i + 1])} & 0xE0U) == 0xA0U) {
            unsigned code = ((unsigned{ch} & 0x0FU) << 12U) |
                            ((unsigned{static_cast<unsigned char>(text[i + 1])} & 0x3FU) << 6U) |
                            (unsigned{static_cast<unsigned char>(text[i + 2])} & 0x3FU);
            snprintf(escape, sizeof escape, "\\u%04x", code);
            out += escape;
            i += 2;
        } else {
            out += static_cast<char>(ch);
        }
    }
    out += '"';
}

// A double as protobuf's JSON writes it: NaN and the infinities as strings.
void append_json_double(std::string &out, double value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char text[32];
        snprintf(text, sizeof text, "%.17g", value);
        out += text;
    }
}

std::string json_of(const Record &r) {
    std::string out = "{\"key\": ";
    append_json_string(out, r.key);
    if (r.is_param) {
        out += ", \"value\": ";
        append_json_string(out, r.text);
    } else {
        out += ", \"value\": ";
        append_json_double(out, r.value);
        out += ", \"timestamp\": " + std::to_string(r.timestamp) + ", \"step\": " + std::to_string(r.step);
    }
    return out + "}";
}

// A run's share of what was taken, in logged order, as one `log_batch`
// request body within the server's limits.
struct Batch {
    const std::string *tracking_uri = nullptr, *run_id = nullptr;
    std::vector<const Record *> records;
    std::string metrics, params;  // the JSON arrays' items
    size_t metric_count = 0, param_count = 0;

    bool takes(const std::string &json, bool is_param) const {
        if (is_param ? param_count >= MAX_PARAMS : metric_count >= MAX_METRICS) return false;
        if (metric_count + param_count >= MAX_ENTITIES) return false;
        return metrics.size() + params.size() + json.size() + 256 + run_id->size() <= MAX_REQUEST_BYTES;
    }
    void add(const Record *r, const std::string &json) {
        std::string &items = r->is_param ? params : metrics;
        if (!items.empty()) items += ", ";
        items += json;
        (r->is_param ? param_count : metric_count)++;
        records.push_back(r);
    }
    std::string body() const {
        std::string out = "{\"run_id\": ";
        append_json_string(out, *run_id);
        return out + ", \"metrics\": [" + metrics + "], \"params\": [" + params + "], \"tags\": []}";
    }
};

std::vector<Batch> batches_of(const std::vector<Outbox::Entry> &taken) {
    // Runs in the order they first appear; each run's records in logged order.
    std::map<std::pair<std::string, std::string>, size_t> index;
    std::vector<std::vector<const Record *>> by_run;
    for (const auto &entry : taken) {
        auto key = std::make_pair(entry.item.tracking_uri, entry.item.run_id);
        auto found = index.find(key);
        if (found == index.end()) {
            found = index.emplace(key, by_run.size()).first;
            by_run.emplace_back();
        }
        by_run[found->second].push_back(&entry.item);
    }
    std::vector<Batch> batches;
    for (const auto &records : by_run) {
        bool first = true;
        for (const Record *r : records) {
            std::string json = json_of(*r);
            if (first || !batches.back().takes(json, r->is_param)) {
                batches.emplace_back();
                batches.back().tracking_uri = &r->tracking_uri;
                batches.back().run_id = &r->run_id;
                first = false;
            }
            batches.back().add(r, json);
        }
    }
    return batches;
}

enum class Outcome : std::uint8_t { Sent, Retry, Refused, Abandoned };

// One attempt at a batch, the GIL taken for it: `_send_batch` of the module
// sends its JSON body (looked up now, so a patch of it takes effect); what it
// raises is the server's refusal, kept for the run's iteration (or, for a
// sync, put into `refusal`).
Outcome attempt(Sender &s, const Batch &batch, std::string *refusal_text = nullptr) {
    if (_Py_IsFinalizing()) return Outcome::Abandoned;
    std::string body = batch.body();
    rt::WithGil gil;
    try {
        py::object uri = text_of(*batch.tracking_uri), run_id = text_of(*batch.run_id);
        py::dict globals(rt::own(s.globals));
        try {
            py::object outcome = globals["_send_batch"](uri, run_id, py::str(body.data(), body.size()));
            return outcome.is_none() ? Outcome::Sent : Outcome::Retry;
        } catch (py::error_already_set &refusal) {
            py::list keys;
            for (const Record *r : batch.records) keys.append(text_of(r->key));
            if (refusal_text) {
                if (!refusal.matches(PyExc_Exception)) throw;
                *refusal_text = utf8(py::str(refusal.value()));
                return Outcome::Refused;
            }
            globals["_refused"](run_id, keys, refusal.value());
            return Outcome::Refused;
        }
    } catch (py::error_already_set &e) {
        if (refusal_text) throw;  // a sync runs on the caller's thread: Ctrl-C and the like are its own
        // Even reporting failed (out of memory, say): the batch is given up
        // rather than retried for ever; the interpreter shows what happened.
        e.discard_as_unraisable("background logging of a batch");
        return Outcome::Refused;
    } catch (...) {
        return Outcome::Refused;
    }
}

Outcome send(Sender &s, const Batch &batch) {
    double pause = FIRST_PAUSE;
    Outcome outcome;
    while ((outcome = attempt(s, batch)) == Outcome::Retry) {
        flush_journals_to_disk(s, false);
        if (!s.outbox.pause(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pause))))
            return Outcome::Abandoned;  // the exit's deadline passed
        pause = std::min(pause * 2, LONGEST_PAUSE);
    }
    return outcome;
}

void run_sender(Sender *s) {
    for (;;) {
        auto interval =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s->flush_interval.load()));
        std::vector<Outbox::Entry> taken = s->outbox.take(TAKE_AT_ONCE, FULL_BATCH, interval);
        if (taken.empty()) return;
        for (const Batch &batch : batches_of(taken)) {
            if (s->outbox.abandoned()) break;
            Outcome outcome = send(*s, batch);
            if (outcome == Outcome::Sent || outcome == Outcome::Refused) acknowledge(batch.records);
        }
        flush_journals_to_disk(*s, false);
        s->outbox.done(taken.back().seq);
    }
}

// The settings in force, for the sender (read when an iteration starts and
// when the sender does, not at every value).
void apply_settings(rt::Call &c) {
    py::object settings = c.g("async_logging")();
    if (settings.is_none()) return;
    Sender &s = sender();
    s.flush_interval = settings["flush_interval"].cast<double>();
    s.outbox.set_capacity(settings["max_queued_records"].cast<size_t>());
    py::object folder = settings.attr("get")("journal");
    s.journal_folder = folder.is_none() ? std::string() : utf8(folder);
    s.offline_prefix = folder.is_none() ? std::string() : "file://" + s.journal_folder + "/offline/";
    if (rt::truthy(settings.attr("get")("offline"))) s.offline_used = true;
}

// The sender of this process, its thread started on first use; a child
// process just forked starts afresh (see forget_parent_sender).
Sender &running_sender(rt::Call &c) {
    Sender &s = sender();
    if (s.owner != getpid() || !s.thread) {
        apply_settings(c);
        s.owner = getpid();
        s.outbox.restart();
        s.thread = new std::thread(run_sender, &s);
    }
    return s;
}

// ---- what the logging calls queue --------------------------------------------------

void queue_checked(rt::Call &c, std::vector<Record> &&records) {
    if (records.empty()) return;
    // An offline iteration's values stay in its journal: no sender, no server.
    if (is_offline(sender(), records.front().tracking_uri)) {
        journal_records(c, sender(), records);
        return;
    }
    Sender &s = running_sender(c);
    if (!s.journal_folder.empty()) journal_records(c, s, records);
    s.outbox.push(std::move(records), FULL_BATCH);
}

// Metric names the tracking library's check accepted: a name's check never
// changes, so a training loop's names are checked once (a bounded memory).
constexpr size_t REMEMBERED_NAMES = 10000;

// The tracking library's check of one metric value, skipped for what it is
// known to accept: a name it accepted before, a float (or int) value, an
// int step and time stamp.
void check_metric(rt::Call &c, py::handle key, py::handle value, py::handle timestamp, py::handle step) {
    py::set names = c.g("_checked_names");
    bool plain = (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) && PyLong_CheckExact(step.ptr()) &&
                 PyLong_CheckExact(timestamp.ptr());
    if (plain && PyUnicode_CheckExact(key.ptr()) && names.contains(key)) return;
    c.g("mlflow_validation").attr("_validate_metric")(key, value, timestamp, step);
    if (PyUnicode_CheckExact(key.ptr())) {
        if (py::len(names) >= REMEMBERED_NAMES) names.clear();
        names.add(key);
    }
}

py::object queue_metrics(rt::Call &c) {
    auto [tracking_uri, run_id, metrics, timestamp, step] = c.args<5>();
    std::string uri = utf8(tracking_uri), run = utf8(run_id);
    std::vector<Record> records;
    for (py::handle item : metrics.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        check_metric(c, key, value, timestamp, step);
        Record r;
        r.tracking_uri = uri;
        r.run_id = run;
        r.key = utf8(key);
        r.value = py::float_(value).cast<double>();
        r.timestamp = as_int64(timestamp);
        r.step = as_int64(step);
        records.push_back(std::move(r));
    }
    queue_checked(c, std::move(records));
    return py::none();
}

// The parameters the run is known to have: those it had when this process
// started or reopened it, and those logged since. A run never seen is asked
// for them once.
py::dict known_params(rt::Call &c, py::handle tracking_uri, py::handle run_id) {
    py::dict known = c.g("_known_params");
    if (!known.contains(run_id))
        known[run_id] =
            py::dict(c.g("create_mlflow_client")(tracking_uri).attr("get_run")(run_id).attr("data").attr("params"));
    return known[run_id];
}

[[noreturn]] void refuse_change(rt::Call &c, const py::str &message) {
    rt::refuse(c, message);
}

py::object queue_params(rt::Call &c) {
    auto [tracking_uri, run_id, params, single] = c.args<4>();
    py::object validation = c.g("mlflow_validation");
    py::list batch;
    for (py::handle item : params.attr("items")()) {
        auto [key, value] = rt::unpack2(item);
        batch.append(c.g("Param")(key, py::str(value)));
    }
    py::dict known = known_params(c, tracking_uri, run_id);
    if (rt::truthy(single)) {
        py::object param = batch[0];
        py::object key = param.attr("key"), logged = known.attr("get")(key);
        if (!logged.is_none() && !rt::equal(logged, param.attr("value")))
            refuse_change(c, c.g("CHANGING_LOGGED_PARAM_MESSAGE").attr("format")(key, logged, run_id, params[key]));
    } else {
        py::object conflicts = c.g("_validate_keys_already_exists")(batch, known);
        if (rt::truthy(conflicts))
            refuse_change(c, c.g("CHANGING_LOGGED_PARAMS_MESSAGE").attr("format")(conflicts, run_id));
        validation.attr("_validate_param_keys_unique")(batch);
    }
    std::string uri = utf8(tracking_uri), run = utf8(run_id);
    std::vector<Record> records;
    for (py::handle param : batch) {
        try {
            validation.attr("_validate_param")(param.attr("key"), param.attr("value"));
        } catch (py::error_already_set &e) {
            // log_param reports the tracking library's refusals as its own
            // (log_params passes them on), as when it logs synchronously.
            if (!rt::truthy(single) || !e.matches(c.g("MlflowException"))) throw;
            rt::raise_while_handling(e, c.g("ExperimentTrackingException"), "message"_a = e.value().attr("message"),
                                     "error_code"_a = e.value().attr("error_code"));
        }
        // Already on the run with this value: nothing to send (a batch
        // repeating a logged parameter can be refused).
        if (known.contains(param.attr("key"))) continue;
        Record r;
        r.is_param = true;
        r.tracking_uri = uri;
        r.run_id = run;
        r.key = utf8(param.attr("key"));
        r.text = utf8(param.attr("value"));
        records.push_back(std::move(r));
    }
    for (py::handle param : batch) known[param.attr("key")] = param.attr("value");
    queue_checked(c, std::move(records));
    return py::none();
}

py::object track_run(rt::Call &c) {
    auto [run_id, params] = c.args<2>();
    c.g("_known_params")[run_id] = py::dict(params);
    apply_settings(c);
    return py::none();
}

// ---- refusals -----------------------------------------------------------------------

// Called by the sender (the GIL taken) with a batch the server refused: said
// once as an error, kept for the run's iteration.
py::object refused(rt::Call &c) {
    auto [run_id, keys, error] = c.args<3>();
    size_t count = py::len(keys);
    py::object kept =
        c.g("_refusals")
            .attr("setdefault")(run_id, py::dict("count"_a = 0, "keys"_a = py::list(), "reason"_a = py::str(error)));
    kept["count"] = py::int_(kept["count"]) + py::int_(count);
    py::list kept_keys = kept["keys"];
    for (py::handle key : keys)
        if (!rt::contains(kept_keys, key)) kept_keys.append(key);
    if (py::hasattr(error, "error_code")) kept["error_code"] = error.attr("error_code");
    c.g("logger").attr("error")(rt::text({"The tracking server refused ", py::int_(count),
                                          " values logged in the background into iteration ", run_id, " (keys: ",
                                          py::str(", ").attr("join")(py::list(rt::builtin("map")(
                                              rt::builtin("str"), rt::builtin("sorted")(rt::builtin("set")(keys))))),
                                          "): ", py::str(error)}));
    return py::none();
}

py::object raise_refusal(rt::Call &c) {
    auto [run_id] = c.args<1>();
    py::object kept = c.g("_refusals").attr("pop")(run_id, py::none());
    if (kept.is_none()) return py::none();
    py::str keys = py::str(", ").attr("join")(rt::builtin("map")(rt::builtin("str"), kept["keys"]));
    rt::raise(c.g("ExperimentTrackingException"),
              "message"_a = rt::text({"The tracking server refused ", kept["count"],
                                      " values logged in the background into iteration ", run_id, " (keys: ", keys,
                                      "): ", kept["reason"]}),
              "error_code"_a = kept.attr("get")("error_code", c.g("INVALID_PARAMETER_VALUE")));
}

// ---- flushes and the end --------------------------------------------------------------

Clock::time_point deadline_after(py::handle timeout) {
    if (timeout.is_none()) return Clock::time_point::max();
    double seconds = py::float_(rt::own(timeout)).cast<double>();
    if (!(seconds < 1e9)) return Clock::time_point::max();
    if (!(seconds > 0)) seconds = 0;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits until every value queued so far is on the server; false at `timeout`.
bool flushed(py::handle timeout) {
    Sender &s = sender();
    if (s.owner != getpid() || !s.thread) return true;
    return s.outbox.flush(s.outbox.last_queued(), deadline_after(timeout));
}

py::object flush(rt::Call &c) {
    auto [run_id, timeout] = c.args<2>();
    bool done = flushed(timeout);
    flush_journals_to_disk_now(sender());
    if (!done)
        rt::raise(rt::builtin("TimeoutError"),
                  rt::text({py::int_(sender().outbox.pending()), " values logged in the background were not on the ",
                            "tracking server after ", timeout, " s; they are still being sent."}));
    if (!run_id.is_none()) c.g("raise_refusal")(run_id);
    return py::none();
}

// The tracking servers of this process's open journals, by their URI.
py::list journal_servers(Sender &s) {
    std::vector<std::string> uris;
    {
        std::scoped_lock lock(s.journals->mutex);
        for (auto &entry : s.journals->open)
            if (!entry.second->offline && std::find(uris.begin(), uris.end(), entry.first.first) == uris.end())
                uris.push_back(entry.first.first);
    }
    py::list out;
    for (const std::string &uri : uris) out.append(text_of(uri));
    return out;
}

// Where values the server has not taken are kept, and the command that sends
// them: the end of a warning.
py::str kept_in_journal(rt::Call &c, const Sender &s, const py::list &servers) {
    if (s.journal_folder.empty()) return py::str("");
    py::str line = rt::text({" They are kept in the journal folder ", text_of(s.journal_folder), "; send them with: "});
    py::list commands;
    for (py::handle server : servers) commands.append(c.g("sync_command")(server, text_of(s.journal_folder)));
    if (commands.empty()) commands.append(c.g("sync_command")(py::none(), text_of(s.journal_folder)));
    return rt::text({line, py::str(" and ").attr("join")(commands)});
}

// Stops the sender: what is still queued after `timeout` is given up (with
// one warning that counts it), an exchange under way is cut, the thread ends;
// the journals close, and those holding what the server lacks stay.
void stop_sender(rt::Call &c, py::handle timeout) {
    Sender &s = sender();
    if (s.owner != getpid() || !s.thread) return;
    uint64_t dropped = 0;
    if (!flushed(timeout)) {
        dropped = s.outbox.abandon();
        py::object session = c.g("_sessions").attr("get")(c.g("os").attr("getpid")());
        if (!session.is_none()) c.g("abort_exchanges")(session);
    }
    s.outbox.stop();
    {
        rt::WithoutGil released;
        s.thread->join();
    }
    delete s.thread;
    s.thread = nullptr;
    py::list servers = journal_servers(s);
    uint64_t kept;
    {
        rt::WithoutGil released;
        kept = close_journals(s);
    }
    if (dropped == 0 && kept == 0) return;
    py::str said = rt::text(
        {py::int_(std::max(dropped, kept)), " values logged in the background were not sent: the tracking server ",
         "did not take them within ", timeout, " s.", kept > 0 ? kept_in_journal(c, s, servers) : py::str("")});
    // A warning at the end of a run already said where they are, unless
    // values were logged after it.
    bool new_since = s.outbox.last_queued() > s.said_kept_up_to;
    c.g("logger").attr(new_since || kept == 0 ? "warning" : "info")(said);
}

// At the exit of a process that worked offline: its journals close, and one
// line says where its iterations are kept and how to send them.
void keep_offline(rt::Call &c, Sender &s) {
    if (!s.offline_used || s.owner_offline == getpid()) return;
    s.owner_offline = getpid();
    {
        rt::WithoutGil released;
        close_journals(s);
    }
    py::list commands;
    for (py::handle server : c.g("offline_servers")())
        commands.append(c.g("sync_command")(server, text_of(s.journal_folder)));
    if (commands.empty()) commands.append(c.g("sync_command")(py::none(), text_of(s.journal_folder)));
    c.g("logger").attr("warning")(
        rt::text({"Iterations logged offline are kept in ", text_of(s.journal_folder),
                  "; send them to their tracking server with: ", py::str(" and ").attr("join")(commands)}));
}

// What the endings of runs call first (see tracking.client): everything
// queued goes to the server within `timeout` (None: the exit timeout of the
// settings); at the interpreter's exit (`final`) the sender stops. A run that
// ends with all its values on the server leaves no journal. Returns the
// refusal kept for `run_id`, for the ending to raise, or None.
py::object before_ending(rt::Call &c) {
    auto [run_id, timeout, final] = c.args<3>();
    if (timeout.is_none()) {
        py::object settings = c.g("async_logging")();
        timeout = settings.is_none() ? c.g("ASYNC_EXIT_TIMEOUT") : py::object(settings["exit_timeout"]);
    }
    Sender &s = sender();
    py::object note = py::none();
    if (rt::truthy(final)) {
        stop_sender(c, timeout);
        keep_offline(c, s);
    } else {
        bool done = flushed(timeout);
        flush_journals_to_disk_now(s);
        // Said by whoever ends the run, with what became of the ending.
        if (!done)
            note = rt::text({py::int_(s.outbox.pending()), " values logged in the background were not on the ",
                             "tracking server after ", timeout, " s; they are still being sent."});
        // The run (None: every run, a termination signal ends them all) ends
        // with its values on the server: its journal goes.
        if (done) retire_journals(s, run_id.is_none() ? std::string() : utf8(run_id));
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

// A child process just forked: the parent's queue, thread, journals and
// refusals are not its own. It starts its own sender when it logs.
py::object forget_parent_sender(rt::Call &c) {
    Sender &s = sender();
    s.kept_endings.clear();  // the parent's runs: the parent settles them
    // The parent's journals stay the parent's (an offline process has
    // journals and no sender): the child closes its copies (their locks are
    // the parent's too) and leaves their state, whose locks may be held by a
    // thread that is not here, untouched.
    if (s.journals_owner != 0 && s.journals_owner != getpid()) {
        for (auto &entry : s.journals->open) {
            if (entry.second->fd >= 0) ::close(entry.second->fd);
            entry.second->fd = -1;
            entry.second->retired = true;
        }
        s.journals = new Journals();
        s.journals_owner = 0;
    }
    // Only in a child of the process whose sender it is.
    if (s.owner == 0 || s.owner == getpid()) return py::none();
    s.outbox.forget_after_fork();
    s.thread = nullptr;  // the parent's thread does not exist here
    s.owner = 0;
    c.g("_refusals").attr("clear")();
    return py::none();
}

// Before a run starts logging in the background: the settings read, and the
// journal folder made and writable (a folder it cannot write is said now,
// not at the first value).
py::object prepare(rt::Call &c) {
    apply_settings(c);
    const std::string &folder = sender().journal_folder;
    if (!folder.empty()) prepare_folder(c, folder);
    return py::none();
}

py::object pending(rt::Call &) {
    Sender &s = sender();
    if (s.owner != getpid()) return py::int_(0);
    return py::int_(s.outbox.pending());
}

// ---- sending a batch (called by the sender thread) -----------------------------------

// The sender's HTTP session for this process: each exchange bounded, and cut
// at once when the exit gives up on the queue.
py::object session_for_sending(rt::Call &c) {
    py::object pid = c.g("os").attr("getpid")();
    py::dict sessions = c.g("_sessions");
    // The tracking server the user named, however it is reached.
    if (!sessions.contains(pid)) sessions[pid] = c.g("bounded_session")(c.g("SEND_TIMEOUT"), "plain_http"_a = true);
    return sessions[pid];
}

constexpr const char *const LOG_BATCH_ENDPOINT = "/api/2.0/mlflow/runs/log-batch";

// Whether an answer other than 200 may go through later. Beside 408, 429
// and 5xx: 401 (the next attempt takes the login's renewed token) and a 400
// whose error code is BAD_REQUEST, the tracking library's SQL store's word
// for any database error (a database stopped or restarting, a lock): a
// refusal of the values says INVALID_PARAMETER_VALUE, RESOURCE_DOES_NOT_EXIST
// or the like.
bool transient(int status, py::handle response) {
    if (status == 401 || status == 408 || status == 429 || status >= 500) return true;
    if (status != 400) return false;
    try {
        py::object answer = response.attr("json")();
        return rt::isinstance(answer, rt::builtin("dict")) &&
               rt::equal(answer.attr("get")("error_code"), py::str("BAD_REQUEST"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // not JSON: a proxy's page, not the store's word
        return false;
    }
}

// One `log_batch` request for a tracking server, as the tracking library
// makes it, but one attempt only: retries are the sender's, with back-off,
// and they must never hold the GIL while they wait.
py::object send_over_http(rt::Call &c, py::handle store, py::handle body) {
    py::object creds = store.attr("get_host_creds")();
    py::dict headers(c.g("resolve_request_headers")());
    headers["Content-Type"] = "application/json";
    if (rt::truthy(creds.attr("username")) && rt::truthy(creds.attr("password"))) {
        py::object pair = rt::text({creds.attr("username"), ":", creds.attr("password")}).attr("encode")("utf-8");
        headers["Authorization"] =
            rt::text({"Basic ", c.g("base64").attr("standard_b64encode")(pair).attr("decode")("utf-8")});
    } else if (rt::truthy(creds.attr("token"))) {
        headers["Authorization"] = rt::text({"Bearer ", creds.attr("token")});
    }
    py::object verify = creds.attr("server_cert_path").is_none()
                            ? py::object(py::bool_(!rt::truthy(creds.attr("ignore_tls_verification"))))
                            : py::object(creds.attr("server_cert_path"));
    py::object host = creds.attr("host").attr("rstrip")("/");
    py::object response;
    try {
        response = session_for_sending(c).attr("post")(
            rt::text({host, LOG_BATCH_ENDPOINT}), "data"_a = body.attr("encode")("utf-8", "surrogatepass"),
            "headers"_a = headers, "verify"_a = verify, "cert"_a = creds.attr("client_cert_path"),
            "allow_redirects"_a = false);
    } catch (py::error_already_set &e) {
        if (e.matches(c.g("RequestException"))) return py::str("retry");
        throw;
    }
    int status = response.attr("status_code").cast<int>();
    if (status == 200) return py::none();
    if (transient(status, response)) return py::str("retry");
    c.g("verify_rest_response")(response, LOG_BATCH_ENDPOINT);
    rt::raise(c.g("MlflowException"), rt::text({"The tracking server answered ", py::int_(status)}));
}

// The same batch for a store the tracking library opens itself (a folder, a
// database), through the store.
py::object send_to_store(rt::Call &c, py::handle store, py::handle run_id, py::handle body) {
    py::object batch = c.g("json").attr("loads")(body);
    py::list metrics, params;
    for (py::handle m : batch["metrics"])
        metrics.append(c.g("Metric")(m["key"], rt::builtin("float")(m["value"]), m["timestamp"], m["step"]));
    for (py::handle p : batch["params"]) params.append(c.g("Param")(p["key"], p["value"]));
    try {
        store.attr("log_batch")("run_id"_a = run_id, "metrics"_a = metrics, "params"_a = params, "tags"_a = py::list());
    } catch (py::error_already_set &e) {
        if (!e.matches(c.g("MlflowException"))) return py::str("retry");
        // The same words as over HTTP: BAD_REQUEST is the store's database error.
        py::object code = e.value().attr("error_code");
        for (const char *refusal : {"INVALID_PARAMETER_VALUE", "RESOURCE_DOES_NOT_EXIST", "INVALID_STATE"})
            if (rt::equal(code, py::str(refusal))) throw;
        return py::str("retry");
    }
    return py::none();
}

py::object send_batch(rt::Call &c) {
    auto [tracking_uri, run_id, body] = c.args<3>();
    // The login's current token, where the tracking library reads it.
    c.g("create_mlflow_client")(tracking_uri);
    py::object store = c.g("_get_store")(tracking_uri);
    if (rt::isinstance(store, c.g("RestStore"))) return send_over_http(c, store, body);
    return send_to_store(c, store, run_id, body);
}

// ---- sending journals later (sync) ------------------------------------------------------

// Attempts at each batch before a sync gives up on a journal, and the
// pause before the first retry (doubling).
constexpr int SYNC_ATTEMPTS = 4;
constexpr double SYNC_FIRST_PAUSE = 0.5;

// A journal file opened as its user's own: never through a symbolic link,
// a regular file, owned by this user; locked without waiting when `lock`.
// `fd` stays -1 with `why` said otherwise.
struct Opened {
    Locked file;
    py::object why = py::none();
};

void open_own_journal(const std::string &path, bool lock, Opened &out) {
    int fd = lock ? ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)
                  : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        out.why = errno == ELOOP ? py::str("a symbolic link: not followed")
                                 : rt::text({"cannot be read: ", py::str(std::strerror(errno))});
        return;
    }
    out.file.fd = fd;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        out.why = py::str("not a regular file: left as it is");
    } else if (st.st_uid != geteuid()) {
        out.why = rt::text({"another user (uid ", py::int_(st.st_uid), ") owns it: not read"});
    } else if (lock && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        out.why = errno == EWOULDBLOCK
                      ? py::str("in use: a process is still logging into it, or another sync is sending it")
                      : rt::text({"cannot be locked: ", py::str(std::strerror(errno))});
    } else {
        return;
    }
    ::close(fd);
    out.file.fd = -1;
}

// What a journal says of itself (read without the lock, so a glimpse while
// it is written): its server, its run, whether it is an offline iteration's,
// the values the server has not acknowledged, whether it keeps an ending
// and whether this version understands all of it; None for what is not a
// journal (or not the user's own).
py::object journal_info(rt::Call &c) {
    auto [path] = c.args<1>();
    std::string file = utf8(c.g("os").attr("fspath")(path));
    Opened f;
    open_own_journal(file, false, f);
    if (f.file.fd < 0) return py::none();
    Scan read;
    size_t pending = 0;
    try {
        read = scan(f.file.fd, [](const Record &) { return true; });
        if (read.has_header && read.last_value > read.acked)
            scan(f.file.fd, [&](const Record &r) {
                if (r.jseq > read.acked) pending++;
                return true;
            });
    } catch (const std::system_error &) {
        return py::none();
    }
    if (!read.has_header) return py::none();
    return py::dict("tracking_uri"_a = text_of(read.tracking_uri), "run_id"_a = text_of(read.run_id),
                    "offline"_a = py::bool_(read.offline), "pending"_a = py::int_(pending),
                    "ending"_a = py::bool_(read.ending), "understood"_a = py::bool_(read.not_understood.empty()));
}

// ---- what a sync did -------------------------------------------------------------
//
// SyncResult: one journal's sync, or one offline run's (its values' journals
// added together): where it was, which run on which server, how much went,
// and why it stopped when it did.

constexpr const char *RESULT_COUNTS[] = {"sent", "skipped", "damaged_bytes"};

py::object result_init(rt::Call &c) {
    auto [self, path, tracking_uri, run_id, error] = c.args<5>();
    self.attr("path") = path;
    self.attr("tracking_uri") = tracking_uri;
    self.attr("run_id") = run_id;
    for (const char *count : RESULT_COUNTS) self.attr(count) = py::int_(0);
    self.attr("error") = error;
    self.attr("ended") = py::none();
    return py::none();
}

// Adds the other result's counts to this one's.
py::object result_add(rt::Call &c) {
    auto [self, other] = c.args<2>();
    for (const char *count : RESULT_COUNTS) self.attr(count) = self.attr(count) + other.attr(count);
    return py::none();
}

py::object result_repr(rt::Call &c) {
    py::handle self = c.self();
    py::list fields;
    for (const char *name : {"path", "tracking_uri", "run_id", "sent", "skipped", "damaged_bytes", "ended", "error"})
        fields.append(rt::text({name, "=", py::repr(self.attr(name))}));
    return rt::text({py::type::handle_of(self).attr("__name__"), "(", py::str(", ").attr("join")(fields), ")"});
}

// A sync of one journal under way: its result, the open file its marks go
// into, and the values taken from it not yet sent.
struct JournalSync {
    JournalSync(rt::Call &call, py::object outcome, py::handle progress_, py::dict params)
        : c(call), result(std::move(outcome)), progress(progress_), on_server(std::move(params)) {}
    rt::Call &c;
    py::object result;
    py::handle progress;
    Journal marks;
    py::dict on_server;  // the run's parameters on the server
    std::vector<Outbox::Entry> chunk;
    size_t sent = 0, skipped = 0;
    py::object error = py::none();

    // Sends the chunk, batch by batch, each acknowledged in the file once the
    // server has it; false (with `error`) when the server cannot be reached
    // or refuses.
    bool send_chunk() {
        Sender &s = sender();
        std::string refusal;
        for (const Batch &batch : batches_of(chunk)) {
            Outcome outcome = Outcome::Retry;
            double pause = SYNC_FIRST_PAUSE;
            for (int tried = 0; tried < SYNC_ATTEMPTS && outcome == Outcome::Retry; tried++) {
                if (tried > 0) {
                    c.g("time").attr("sleep")(pause);
                    pause *= 2;
                }
                outcome = attempt(s, batch, &refusal);
            }
            if (outcome == Outcome::Refused) {
                error = rt::text(
                    {"the tracking server refused ", py::int_(batch.records.size()), " values: ", text_of(refusal)});
                return false;
            }
            if (outcome != Outcome::Sent) {
                error = rt::text({"the tracking server at ", result.attr("tracking_uri"), " could not be reached (",
                                  py::int_(SYNC_ATTEMPTS), " attempts)"});
                return false;
            }
            mark_acknowledged(marks, batch.records.back()->jseq);
            (void)fdatasync(marks.fd);
            sent += batch.records.size();
            if (!progress.is_none()) progress(py::int_(batch.records.size()));
        }
        chunk.clear();
        return true;
    }

    // One value read from the journal: queued for sending unless the server
    // has it (acknowledged, or a parameter the run already has).
    bool take(Record &r) {
        if (r.jseq <= marks.acked) return true;
        if (r.is_param && on_server.contains(text_of(r.key))) {
            skipped++;
            return true;
        }
        chunk.push_back(Outbox::Entry{r.jseq, Clock::now(), std::move(r)});
        return chunk.size() < TAKE_AT_ONCE || send_chunk();
    }
};

// Parameters of the journal not acknowledged that the run has with another
// value: changing a logged parameter is refused, here as at the call.
py::list conflicting_params(int fd, uint64_t acked, const py::dict &on_server) {
    py::list conflicts;
    scan(fd, [&](const Record &r) {
        if (!r.is_param || r.jseq <= acked) return true;
        py::str key = text_of(r.key);
        if (on_server.contains(key) && !rt::equal(on_server[key], text_of(r.text))) conflicts.append(key);
        return true;
    });
    return conflicts;
}

// Sends what one journal holds and the server has not acknowledged, in
// order, reading it a window at a time, marking each batch acknowledged as
// it goes; then the ending it keeps, if the run is still running; deletes
// the journal when all of it is on the server. Returns what happened (a
// SyncResult).
py::object sync_journal(rt::Call &c) {
    auto [path, progress, target] = c.args<3>();
    std::string file = utf8(c.g("os").attr("fspath")(path));
    py::object result = c.g("SyncResult")(text_of(file));
    auto failed = [&](py::object message) {
        result.attr("error") = std::move(message);
        return result;
    };
    Opened f;
    open_own_journal(file, true, f);
    if (f.file.fd < 0) return failed(f.why);
    Scan read;
    try {
        read = scan(f.file.fd, [](const Record &) { return true; });
    } catch (const std::system_error &e) {
        return failed(rt::text({"cannot be read: ", py::str(e.code().message())}));
    }
    if (!read.is_journal) return failed(py::str("not a journal of background logging: left as it is"));
    if (!read.not_understood.empty())
        return failed(rt::text({"holds ", py::str(read.not_understood),
                                ": kept as it is, nothing of it sent (a newer version of this package may send it)"}));
    if (!read.has_header) {
        if (read.frames > 0) return failed(py::str("its first record, which names the run, is damaged"));
        // Torn before its first record was whole: it holds nothing.
        ::unlink(file.c_str());
        return result;
    }
    result.attr("tracking_uri") = text_of(read.tracking_uri);
    result.attr("run_id") = text_of(read.run_id);
    // An offline iteration's values go to the run its sync found or made.
    if (read.offline && target.is_none())
        return failed(py::str("an offline iteration's values: sent with the iteration, whose store holds the rest"));
    if (!target.is_none()) {
        auto [uri, run] = rt::unpack2(target);
        result.attr("tracking_uri") = uri;
        result.attr("run_id") = run;
    }
    // Damage was skipped; a torn or damaged tail is cut off, so that the
    // marks written from now on follow the last whole record.
    if (read.damaged > 0) {
        result.attr("damaged_bytes") = py::int_(read.damaged);
        if (read.tail > 0 && ftruncate(f.file.fd, static_cast<off_t>(read.whole)) != 0)
            return failed(rt::text({"its damaged end cannot be cut off: ", py::str(std::strerror(errno))}));
    }
    bool values_left = read.last_value > read.acked;
    if (!values_left && !read.ending) {
        ::unlink(file.c_str());
        return result;
    }
    py::object run_id = result.attr("run_id");
    py::object run;
    try {
        run = c.g("create_mlflow_client")(result.attr("tracking_uri")).attr("get_run")(run_id);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return failed(rt::text({"the run cannot be read on the tracking server: ", py::str(e.value())}));
    }
    if (rt::equal(run.attr("info").attr("lifecycle_stage"), py::str("deleted")))
        return failed(py::str("the run was deleted on the tracking server (restore it, then sync again)"));
    JournalSync sync(c, result, progress, run.attr("data").attr("params"));
    // Parameters: one already on the run with the same value is not sent
    // again (a batch repeating it may be refused); another value stops this
    // run's sync, as changing a logged parameter does.
    py::list conflicts = conflicting_params(f.file.fd, read.acked, sync.on_server);
    if (rt::truthy(conflicts)) return failed(c.g("CHANGING_LOGGED_PARAMS_MESSAGE").attr("format")(conflicts, run_id));
    // The acknowledgements, written into this open file (its own now).
    sync.marks.fd = f.file.fd;
    f.file.fd = -1;
    sync.marks.size = read.tail > 0 ? read.whole : static_cast<uint64_t>(lseek(sync.marks.fd, 0, SEEK_END));
    sync.marks.acked = read.acked;
    sync.marks.last_seq = read.last_value;
    std::string target_uri = utf8(result.attr("tracking_uri")), target_run = utf8(run_id);
    if (values_left) {
        scan(sync.marks.fd, [&](Record &r) {
            r.tracking_uri = target_uri;
            r.run_id = target_run;
            return sync.take(r);
        });
        if (sync.error.is_none() && !sync.chunk.empty()) sync.send_chunk();
    }
    result.attr("sent") = py::int_(sync.sent);
    result.attr("skipped") = py::int_(sync.skipped);
    if (!sync.error.is_none()) return failed(sync.error);
    // The ending its process could not set, after the values; unless someone
    // ended the run (or opened it again and ended it) meanwhile.
    if (read.ending) {
        try {
            py::object client = c.g("create_mlflow_client")(result.attr("tracking_uri"));
            py::object status = client.attr("get_run")(run_id).attr("info").attr("status");
            if (rt::equal(status, py::str("RUNNING")))
                client.attr("set_terminated")(run_id, text_of(read.ending_status),
                                              "end_time"_a = py::int_(read.ending_time));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return failed(rt::text({"its values are on the server, its ending (", text_of(read.ending_status),
                                    ") could not be set: ", py::str(e.value())}));
        }
        result.attr("ended") = text_of(read.ending_status);
    }
    ::unlink(file.c_str());
    return result;
}

// ---- docstrings ---------------------------------------------------------------------

constexpr const char *QUEUE_METRICS_DOC =
    R"(Check metric values as the tracking library does and queue them for ``run_id``
(``metrics``: key -> value, all with ``timestamp`` and ``step``). Waits for room
when the queue is full.)";

constexpr const char *QUEUE_PARAMS_DOC =
    R"(Check parameters (``params``: key -> value, stored as text) against those the
run is known to have and queue the new ones. A changed value raises
ExperimentTrackingException (INVALID_PARAMETER_VALUE), with the one-parameter
message when ``single``.)";

constexpr const char *FLUSH_DOC =
    R"(Wait until every value queued so far is on the tracking server (at most
``timeout`` seconds: TimeoutError then), then raise what the server refused for
``run_id``.)";

constexpr const char *BEFORE_ENDING_DOC =
    R"(Called before runs are ended (end(), leaving a ``with`` block, Ctrl-C, a
termination signal, the exit): flushes within ``timeout`` seconds (None: the
settings' exit timeout); at the interpreter's exit (``final``) stops the sender,
giving up what is left then with one warning. Returns the refusal kept for
``run_id`` (an ExperimentTrackingException), else what the caller should say
with the run's ending when the values were not all on the server in time (a
str), else None.)";

constexpr const char *JOURNAL_INFO_DOC =
    R"(What the journal at ``path`` says of itself: a dict with ``tracking_uri``,
``run_id``, ``offline`` (an offline iteration's), ``pending`` (values the
tracking server has not acknowledged), ``ending`` (it keeps an ending that no
attempt set) and ``understood`` (False when it holds a record this version does
not know); None for what is not a journal, a symbolic link, or a file another
user owns.)";

constexpr const char *KEEP_ENDING_DOC =
    R"(Keep the ending of ``run_id`` (``status``, ``end_time`` in milliseconds) that
could not reach the tracking server at ``tracking_uri``: written after the run's
values into this process's journal of the run, or into a journal of its own in
the journal folder (a run logging synchronously has none), where ``sync``
applies it once the values are on the server. Returns the journal's path;
raises OSError when it cannot be written.)";

constexpr const char *SETTLED_DOC =
    R"(The ending kept for ``run_id`` was set after all (by the exit's attempt): its
journal says so, and goes when it holds nothing else the server lacks.)";

constexpr const char *PREPARE_DOC =
    R"(Read the background logging settings for a run about to start, and make
the journal folder (readable by its owner alone); raises OSError, with what to
do, when it cannot be made or written.)";

constexpr const char *SYNC_RESULT_DOC =
    R"(What a sync did with one journal, or with one offline run: ``path``,
``tracking_uri`` and ``run_id`` (the server and run its values went to, None
when the journal named none), the counts ``sent``, ``skipped`` and
``damaged_bytes``, ``ended`` (the status applied from a kept ending, or None)
and ``error`` (None, or why what is there was kept).)";

constexpr const char *SYNC_JOURNAL_DOC =
    R"(Send what the journal at ``path`` holds and the tracking server has not
acknowledged, run order kept, marking each batch acknowledged as it goes; the
journal is deleted once everything is on the server. ``progress`` (a callable)
is given the number of values of each batch sent. ``target`` (a tracking URI
and a run ID) sends the values there instead: an offline iteration's, once its
run is found or made on the server.

The ending the journal keeps (a run's status and end time that its process
could not set) is applied after the values, unless the run is no longer
running. The journal is read a window at a time: memory stays bounded whatever
its size. It is opened only as the user's own regular file, never through a
symbolic link.

Returns a SyncResult: ``path``, ``tracking_uri``, ``run_id``, ``sent``,
``skipped`` (parameters the run already had), ``damaged_bytes`` (bytes in no
whole record, skipped: damage inside the journal, and a torn or damaged end,
cut off), ``ended`` (the status applied, when it kept an ending) and ``error``
(None, or why the journal, kept, was not sent whole: in use by a live process
or another sync, a record this version does not know, the run deleted on the
server, a parameter the run has with another value, the server unreachable or
refusing).)";

}  // namespace

// The module's namespace: what it imports, looked up at call time.
static void import_names(rt::Module &mod) {
    mod.import("base64");
    mod.import("json");
    mod.import("logging");
    mod.import("os");
    mod.import("shlex");
    mod.import("time");
    mod.from("typing", {"Any", "Dict", "Optional"});
    mod.from("mlflow.entities", {"Metric", "Param"});
    mod.from("mlflow.exceptions", {"MlflowException"});
    mod.from("mlflow.protos.databricks_pb2", {"INVALID_PARAMETER_VALUE"});
    mod.from("mlflow.store.tracking.rest_store", {"RestStore"});
    mod.from("mlflow.tracking", {"_get_store"});
    mod.from("mlflow.tracking.request_header.registry", {"resolve_request_headers"});
    mod.from("mlflow.utils.rest_utils", {"verify_rest_response"});
    mod.import("mlflow.utils.validation", "mlflow_validation");
    mod.from("requests.exceptions", {"RequestException"});
    mod.from("tavro_experiment_tracking.auth.guard", {"abort_exchanges", "bounded_session"});
    mod.from("tavro_experiment_tracking.config",
             {"async_logging", "journal_folder", "offline_servers", "sync_command"});
    mod.from("tavro_experiment_tracking.constants", {"ASYNC_EXIT_TIMEOUT"});
    mod.from("tavro_experiment_tracking.exception",
             {"ExperimentTrackingException", "CHANGING_LOGGED_PARAM_MESSAGE", "CHANGING_LOGGED_PARAMS_MESSAGE"});
    mod.from("tavro_experiment_tracking.tracking.client",
             {"create_mlflow_client", "_ending_hooks", "_keep_ending_hooks", "_settled_ending_hooks"});
    mod.from("tavro_experiment_tracking.utils.validation", {"_validate_keys_already_exists"});
    mod.set("logger", mod.get("logging").attr("getLogger")(mod.name()));
}

RT_MODULE(background, m) {
    rt::Module mod(m);
    import_names(mod);
    // Seconds one `log_batch` exchange may take as a whole.
    mod.set("SEND_TIMEOUT", py::float_(30.0));
    // Run ID -> its parameters as known here; -> what the server refused of
    // it, not yet raised; this process's sending session, by process ID.
    mod.set("_known_params", py::dict());
    mod.set("_refusals", py::dict());
    mod.set("_sessions", py::dict());
    mod.set("_checked_names", py::set());

    mod.def("queue_metrics",
            {arg("tracking_uri"), arg("run_id"), arg("metrics"), arg("timestamp"), arg("step").def(py::int_(0))},
            queue_metrics, rt::doc(QUEUE_METRICS_DOC), rt::returns("None"));
    mod.def("queue_params", {arg("tracking_uri"), arg("run_id"), arg("params"), arg("single").def(py::bool_(false))},
            queue_params, rt::doc(QUEUE_PARAMS_DOC), rt::returns("None"));
    mod.def("track_run", {arg("run_id"), arg("params")}, track_run,
            rt::doc("Remember the parameters a run has as this process starts or reopens it."), rt::returns("None"));
    mod.def("raise_refusal", {arg("run_id")}, raise_refusal,
            rt::doc("Raise (once) what the tracking server refused of the values queued for ``run_id``."),
            rt::returns("None"));
    mod.def("flush", {arg("run_id").def_none(), arg("timeout").def_none()}, flush, rt::doc(FLUSH_DOC),
            rt::returns("None"));
    mod.def("pending", {}, pending, rt::doc("Values queued and not yet sent (or refused)."), rt::returns("int"));
    mod.def("_before_ending", {arg("run_id"), arg("timeout"), arg("final")}, before_ending, rt::doc(BEFORE_ENDING_DOC));
    mod.def("_send_batch", {arg("tracking_uri"), arg("run_id"), arg("body")}, send_batch,
            rt::doc("Send one batch, its `log_batch` request body given (called by the sender thread): None when "
                    "it is on the server, \"retry\" when it may go through later; raises the server's refusal."));
    mod.def("_refused", {arg("run_id"), arg("keys"), arg("error")}, refused,
            rt::doc("Keep a refused batch for the run's iteration (called by the sender thread)."),
            rt::returns("None"));
    mod.def("prepare", {}, prepare, rt::doc(PREPARE_DOC), rt::returns("None"));
    rt::ClassDef(mod, "SyncResult", {}, SYNC_RESULT_DOC)
        .method("__init__",
                {arg("self"), arg("path"), arg("tracking_uri").def_none(), arg("run_id").def_none(),
                 arg("error").def_none()},
                result_init)
        .method("add", {arg("self"), arg("other")}, result_add,
                rt::doc("Add ``other``'s ``sent``, ``skipped`` and ``damaged_bytes`` to this result's."),
                rt::returns("None"))
        .method("__repr__", {arg("self")}, result_repr)
        .build();
    mod.def("sync_journal", {arg("path"), arg("progress").def_none(), arg("target").def_none()}, sync_journal,
            rt::doc(SYNC_JOURNAL_DOC), rt::returns("SyncResult"));
    mod.def("journal_info", {arg("path")}, journal_info, rt::doc(JOURNAL_INFO_DOC),
            rt::returns("Optional[Dict[str, Any]]"));
    mod.def("_keep_ending", {arg("run_id"), arg("tracking_uri"), arg("status"), arg("end_time")}, keep_ending,
            rt::doc(KEEP_ENDING_DOC), rt::returns("str"));
    mod.def("_ending_settled", {arg("run_id")}, ending_settled, rt::doc(SETTLED_DOC), rt::returns("None"));
    mod.def("_forget_parent_sender", {}, forget_parent_sender,
            rt::doc("In a forked child: the parent's queue and sender are not the child's."), rt::returns("None"));

    sender().globals = py::object(m.attr("__dict__")).inc_ref().ptr();
    mod.get("os").attr("register_at_fork")("after_in_child"_a = mod.get("_forget_parent_sender"));
    mod.get("_ending_hooks").attr("append")(mod.get("_before_ending"));
    mod.get("_keep_ending_hooks").attr("append")(mod.get("_keep_ending"));
    mod.get("_settled_ending_hooks").attr("append")(mod.get("_ending_settled"));
}
