// Sending a journal later (`sync`): each journal file read back a window at
// a time, what the server has not acknowledged sent in order and marked as
// it goes, the ending it keeps applied after the values; and the record of
// what a sync did.
#include "parts.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace py = pybind11;
using namespace py::literals;

namespace background {

namespace {

// Attempts at each batch before a sync gives up on a journal (with the
// sender's pauses between them).
constexpr int SYNC_ATTEMPTS = 4;

// A journal file opened as its user's own: never through a symbolic link,
// a regular file, owned by this user; locked without waiting when `lock`.
// `fd` stays -1 with `why` said otherwise.
struct Opened {
    jr::Locked file;
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
}  // namespace

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

namespace {

constexpr const char *RESULT_COUNTS[] = {"sent", "skipped", "artifacts", "damaged_bytes"};

}  // namespace

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
    for (const char *name :
         {"path", "tracking_uri", "run_id", "sent", "skipped", "artifacts", "damaged_bytes", "ended", "error"})
        fields.append(rt::text({name, "=", py::repr(self.attr(name))}));
    return rt::text({py::type::handle_of(self).attr("__name__"), "(", py::str(", ").attr("join")(fields), ")"});
}

namespace {

// A sync of one journal under way: its result, the open file its marks go
// into, and the values taken from it not yet sent.
struct JournalSync {
    JournalSync(rt::Call &call, py::object outcome, py::handle progress_, py::dict params)
        : c(call), result(std::move(outcome)), progress(progress_), on_server(std::move(params)) {}
    rt::Call &c;
    py::object result;
    py::handle progress;
    Segment marks;       // the journal file, open: its acknowledgements go there
    py::dict on_server;  // the run's parameters on the server
    std::vector<Record> chunk;
    size_t sent = 0, skipped = 0;
    py::object error = py::none();

    // Sends the chunk, batch by batch, each acknowledged in the file once the
    // server has it; false (with `error`) when the server cannot be reached
    // or refuses.
    bool send_chunk() {
        std::string refusal;
        for (const Batch &batch : batches_of(chunk)) {
            Outcome outcome = Outcome::Retry;
            Backoff backoff;
            for (int tried = 0; tried < SYNC_ATTEMPTS && outcome == Outcome::Retry; tried++) {
                if (tried > 0) c.g("time").attr("sleep")(backoff.next());
                outcome = attempt(batch, &refusal);
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
            write_ack(marks, batch.records.back()->jseq);
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
        chunk.push_back(std::move(r));
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

}  // namespace

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
    if (!read.is_journal) {
        result.attr("not_journal") = py::bool_(true);
        return failed(py::str("not a journal of background logging: left as it is"));
    }
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
    sync.marks.last = read.last_value;
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

}  // namespace background
