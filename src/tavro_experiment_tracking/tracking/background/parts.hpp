// The parts of the background module (tracking/background.cpp holds the
// module itself: its namespace, its functions' docstrings): what they share.
//
//   journal_file.hpp     the journal's files: frames, checksums, damage-proof reading
//   journal_records.hpp  what the frames hold: the header, values, marks, endings
//   state.hpp            a logged value, a run's journal and its segments
//   queue.hpp            from the logging calls to the sender, and the GIL
//   journals.cpp         this process's journals: written, acknowledged, removed, kept
//   batches.cpp          values as the tracking server's `log_batch` requests
//   transport.cpp        one request to the server (or its store)
//   sender.cpp           the sender thread, its retries, flushes and the exit
//   calls.cpp            what the logging calls check and queue; refusals
//   replay.cpp           sending a journal later (`sync`), and what it did
//   spool_files.hpp      artifacts' snapshots and their manifests
//   spool.cpp            artifacts snapshotted at the call; a snapshot uploaded
//   uploader.cpp         the uploader thread, its helper process, flushes and the exit
#pragma once

#include "journal_records.hpp"
#include "queue.hpp"
#include "runtime.hpp"

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace background {

namespace jr = jfile;

// What one `log_batch` request may hold (the server's limits, as in
// mlflow.utils.validation), with room to spare in the request's size.
constexpr size_t MAX_METRICS = 1000, MAX_PARAMS = 100, MAX_ENTITIES = 1000, MAX_REQUEST_BYTES = 900000;
// Values taken for sending at once; a full batch of metrics wakes the sender.
constexpr size_t TAKE_AT_ONCE = 10000, FULL_BATCH = MAX_METRICS;
// The size past which a journal goes on in a new segment.
constexpr uint64_t SEGMENT_BYTES = 4U << 20U;

// http.cpp: the sender's own HTTP client (see transport.cpp for when).
struct HttpTarget {
    std::string host, path, headers;  // headers: whole lines, the request's own
    int port = 80;
    Clock::duration timeout{};
};
struct HttpAnswer {
    int status = 0;
    std::string body;
};
// Where the batches for a tracking URI go, as the GIL last found it: over
// this module's client (`native`) or the tracking library's.
struct KnownTarget {
    bool native = false;
    HttpTarget target;
    Clock::time_point found;
};
class HttpConnection {
public:
    HttpConnection() = default;
    HttpConnection(const HttpConnection &) = delete;
    HttpConnection &operator=(const HttpConnection &) = delete;
    ~HttpConnection();
    // One exchange within `deadline`, cut when the queue is abandoned: false
    // when no whole answer came.
    bool exchange(const HttpTarget &target, const std::string &body, HttpAnswer &answer, Clock::time_point deadline,
                  const Queue &queue);
    void drop();
    // Whether a connection to `host`:`port` is accepted now (within a
    // fifth of a second); closed at once.
    static bool accepted(const std::string &host, int port, const Queue &queue);

private:
    int fd = -1;
    std::string host;
    int port = 0;
};

// The settings in force (read when an iteration starts and when the sender
// does, not at every value); a forked child keeps its parent's.
struct Settings {
    std::atomic<double> flush_interval{1.0};
    std::string journal_folder;  // "" when values are not journaled
    std::string offline_prefix;  // offline stores' tracking URIs start with it
    std::atomic<uint64_t> segment_bytes{SEGMENT_BYTES};
    std::atomic<size_t> requests_in_flight{4};
    std::atomic<uint64_t> artifact_spool_bytes{4ULL << 30U};
    bool offline_used = false;
};

// A snapshot of artifacts in this process's spool, not yet on the server;
// `manifest` holds its lock.
struct Snapshot {
    std::string folder, tracking_uri, run_id;
    uint64_t bytes = 0;
    size_t files = 0;
    std::shared_ptr<int> manifest;
};

// This process's artifacts logged in the background: the snapshots waiting,
// oldest first (the one being uploaded stays first until the server has it),
// the bytes they hold (the spool's bound), and the uploader, a thread that
// hands each snapshot to a helper process and waits for its word.
struct Spool {
    std::mutex mutex;
    std::condition_variable changed;  // a snapshot made, a stop: for the uploader
    std::condition_variable room;     // a snapshot gone: for logging calls and flushes
    std::deque<Snapshot> due;
    uint64_t bytes = 0, reserved = 0;  // held by the snapshots; being snapshotted
    std::thread *thread = nullptr;
    bool stopping = false, abandoned = false, said_full = false;
    pid_t helper = -1;
    int to_helper = -1, from_helper = -1;
};

// This process's background logging: the queue and its sender thread, its
// journals, the endings it keeps. A forked child starts with a new one: the
// parent's is left as it is, never touched again (its locks may be held by
// threads that do not exist in the child).
struct Process {
    pid_t pid = getpid();
    Queue queue;
    std::thread *thread = nullptr;
    std::mutex journals_mutex;
    std::map<std::pair<std::string, std::string>, JournalRef> journals;  // by tracking URI and run
    Clock::time_point last_sync;
    // Run ID -> the journal file that keeps its ending, once that journal is
    // closed (or was made only for it: a run logging synchronously).
    std::map<std::string, std::string> kept_endings;
    // Values logged, and how many of them a warning already said were kept:
    // the exit says it again only for values logged since.
    std::atomic<uint64_t> logged{0};
    uint64_t said_kept_up_to = 0;
    bool offline_said = false;  // the exit said where the offline iterations are
    // The sender's connections, one per request in flight, kept open
    // between batches.
    std::vector<std::unique_ptr<HttpConnection>> connections;
    std::mutex targets_mutex;
    std::map<std::string, KnownTarget> targets;  // by tracking URI
    // Where each tracking URI's server was last found (host, port), kept
    // when its target is forgotten: the sender watches for its return.
    std::map<std::string, std::pair<std::string, int>> hosts;
    Spool spool;
    explicit Process(size_t capacity) : queue(capacity) {}
};

Settings &settings();
// This process's state; a new one in a child forked without the fork hook.
Process &process();
// A forked child's own state; the parent's is closed to it.
void forget_parent(Process &parent);
// The module's namespace, for the sender thread (it has no call to look
// names up through).
extern PyObject *module_globals;

std::string utf8(py::handle text);
int64_t as_int64(py::handle value);
py::str text_of(const std::string &utf8_text);
bool is_offline(const std::string &uri);

// journals.cpp
// A file name of the run's own for this process (a journal's, a snapshot's).
std::string own_name(const std::string &run_id);
void prepare_folder(rt::Call &c, const std::string &folder);
JournalRef journal_records(rt::Call &c, std::vector<Record> &records);
void write_ack(Segment &segment, uint64_t seq);
void acknowledged(Journal &j, const SegmentRef &segment, uint64_t seq);
void flush_journals_to_disk(Process &p, bool now);
void retire_journals(Process &p, const std::string &run_id);
uint64_t close_journals(Process &p);
std::vector<Queue::Target> flush_targets(Process &p);
uint64_t unsent_in_journals(Process &p);
py::list journal_servers(Process &p);
py::object keep_ending(rt::Call &c);
py::object ending_settled(rt::Call &c);

// batches.cpp: a run's share of what was taken, in logged order, as one
// `log_batch` request body within the server's limits.
struct Batch {
    const std::string *tracking_uri = nullptr, *run_id = nullptr;
    std::vector<const Record *> records;
    std::string metrics, params;  // the JSON arrays' items
    size_t metric_count = 0, param_count = 0;
    bool takes(const std::string &json, bool is_param) const;
    void add(const Record *r, const std::string &json);
    std::string body() const;
};
std::vector<Batch> batches_of(const std::vector<Record> &taken);

// transport.cpp
enum class Outcome : std::uint8_t { Sent, Retry, Refused, Abandoned };
// One attempt at a batch. The sender passes its connection: a tracking
// server over plain http without a proxy is then sent to by the module's
// own client; a sync passes none.
Outcome attempt(const Batch &batch, std::string *refusal_text = nullptr, HttpConnection *connection = nullptr);
py::object send_batch(rt::Call &c);
// The host and port this module's client last sent `uri`'s batches to;
// false when it never did (the tracking library's client carries them).
bool last_host(const std::string &uri, std::string &host, int &port);
py::object request_target(rt::Call &c);
py::object answered(rt::Call &c);

// The one retry policy: a pause before each new attempt, doubling from
// half a second to ten seconds (a server back from an outage waits at most
// that for the backlog; a connection refused costs it nothing).
class Backoff {
public:
    double next() {
        double now = pause_;
        pause_ = std::min(pause_ * 2, LONGEST);
        return now;
    }

private:
    static constexpr double FIRST = 0.5, LONGEST = 10.0;
    double pause_ = FIRST;
};

// sender.cpp
void apply_settings(rt::Call &c);
Process &running_sender(rt::Call &c);
Clock::time_point deadline_after(py::handle timeout);
bool flushed(py::handle timeout);
py::object flush(rt::Call &c);
py::object before_ending(rt::Call &c);
py::object forget_parent_sender(rt::Call &c);
py::object prepare(rt::Call &c);
py::object pending(rt::Call &c);

// calls.cpp
py::object queue_metrics(rt::Call &c);
py::object queue_params(rt::Call &c);
py::object track_run(rt::Call &c);
py::object refused(rt::Call &c);
py::object raise_refusal(rt::Call &c);
py::object artifacts_refused(rt::Call &c);

// spool.cpp
py::object spool_artifacts(rt::Call &c);
py::object upload_snapshot(rt::Call &c);
py::object spool_snapshots(rt::Call &c);

// uploader.cpp
py::object upload_worker(rt::Call &c);
void start_uploader(Process &p);
bool artifacts_flushed(Process &p, Clock::time_point until);
// The uploader stopped at the exit: what is still waiting stays in the
// spool. Returns the files and bytes left.
std::pair<size_t, uint64_t> stop_uploader(Process &p, Clock::time_point until);
std::pair<size_t, uint64_t> artifacts_waiting(Process &p);
void forget_parent_spool(Spool &parent);

// replay.cpp
py::object journal_info(rt::Call &c);
py::object sync_journal(rt::Call &c);
py::object result_init(rt::Call &c);
py::object result_add(rt::Call &c);
py::object result_repr(rt::Call &c);

}  // namespace background
