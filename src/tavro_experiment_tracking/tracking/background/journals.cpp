// This process's journals: each run's values written before the logging call
// returns, in segments; what the server took marked in them; a segment the
// server has whole removed while the run goes on; a run's journal removed
// when the run ends with everything on the server, kept for `sync`
// otherwise; and the endings the server did not take.
#include "parts.hpp"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace py = pybind11;
using namespace py::literals;

namespace background {

namespace {

[[noreturn]] void journal_failed(const std::string &path, int error, const char *doing) {
    rt::raise(PyExc_OSError, py::int_(error),
              rt::text({"Background logging cannot ", doing, " its journal ", text_of(path), " (",
                        py::str(std::strerror(error)), "): the values of this call were not logged; everything ",
                        "logged before is kept. Free some space there, name a folder it can write in ",
                        "TAVRO_JOURNAL_DIR, or log without a journal (TAVRO_JOURNAL=0)."}));
}

}  // namespace

// A name of this run's own for this process: the run ID's safe part, the
// process, the time, a counter.
std::string own_name(const std::string &run_id) {
    static std::atomic<uint64_t> made{0};
    std::string safe;
    for (char ch : run_id.substr(0, 64)) safe += (std::isalnum(static_cast<unsigned char>(ch)) || ch == '-') ? ch : '_';
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return safe + "." + std::to_string(getpid()) + "." + std::to_string(now) + "." + std::to_string(++made);
}

namespace {

// Segment `n` of the journal: numbered so that the names sort in order.
std::string segment_path(const Journal &j, size_t n) {
    char number[16];
    snprintf(number, sizeof number, "%06zu", n);
    return settings().journal_folder + "/" + j.base + "." + number + JOURNAL_SUFFIX;
}

// A new segment at the end of the journal (its mutex held, or not yet
// shared); errno's error as a std::system_error.
void add_segment(Journal &j) {
    auto segment = std::make_shared<Segment>();
    segment->path = segment_path(j, j.segments_made + 1);
    segment->fd = jr::File::create(segment->path, header_payload(j.tracking_uri, j.run_id, j.offline), segment->size);
    j.segments_made++;
    j.segments.push_back(std::move(segment));
}

JournalRef open_journal(rt::Call &c, Process &p, const std::string &uri, const std::string &run_id) {
    prepare_folder(c, settings().journal_folder);
    auto j = std::make_shared<Journal>();
    j->tracking_uri = uri;
    j->run_id = run_id;
    j->offline = is_offline(uri);
    for (;;) {
        j->base = own_name(run_id);
        try {
            add_segment(*j);
            break;
        } catch (const std::system_error &e) {
            if (e.code().value() != EEXIST) journal_failed(segment_path(*j, 1), e.code().value(), "write");
        }
    }
    std::scoped_lock lock(p.journals_mutex);
    p.journals[{uri, run_id}] = j;
    return j;
}

}  // namespace

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

// Writes the values (one run's) into its journal, a new segment first when
// the last one is full; returns the journal.
JournalRef journal_records(rt::Call &c, std::vector<Record> &records) {
    Process &p = process();
    const Record &first = records.front();
    // A reader takes a longer frame for damage: refused at the call (the
    // fields beside key and text take 45 bytes at most).
    for (const Record &r : records)
        if (r.key.size() + r.text.size() + 64 > jr::MAX_PAYLOAD)
            rt::raise(PyExc_ValueError, rt::text({"The ", r.is_param ? "parameter " : "metric ", "logged as ",
                                                  py::repr(text_of(r.key)[py::slice(0, 40, 1)]),
                                                  "... is too long to be "
                                                  "journaled (the tracking server takes keys of 250 characters at "
                                                  "most)"}));
    JournalRef j;
    {
        std::scoped_lock lock(p.journals_mutex);
        auto found = p.journals.find({first.tracking_uri, first.run_id});
        if (found != p.journals.end() && !found->second->retired) j = found->second;
    }
    if (!j) j = open_journal(c, p, first.tracking_uri, first.run_id);
    std::string frames;
    std::scoped_lock lock(j->mutex);
    if (j->segments.back()->last > 0 && j->segments.back()->size >= settings().segment_bytes) {
        try {
            add_segment(*j);
        } catch (const std::system_error &e) {
            journal_failed(segment_path(*j, j->segments_made + 1), e.code().value(), "write");
        }
    }
    Segment &segment = *j->segments.back();
    uint64_t seq = j->last_seq;
    for (Record &r : records) {
        r.jseq = ++seq;
        append_value(frames, r);
    }
    try {
        jr::File::write_whole(segment.fd, frames, segment.size);
    } catch (const std::system_error &e) {
        journal_failed(segment.path, e.code().value(), "write");
    }
    if (segment.first == 0) segment.first = j->last_seq + 1;
    segment.last = seq;
    j->last_seq = seq;
    j->written = seq;
    j->dirty = true;
    return j;
}

// The server has every value of the segment up to `seq` (or refused it,
// which was said to the script): marked in the file. A mark that cannot be
// written costs nothing but a duplicate a sync would send, which the server
// ignores.
void write_ack(Segment &segment, uint64_t seq) {
    if (seq <= segment.acked) return;
    try {
        jr::File::write_whole(segment.fd, ack_frame(seq), segment.size);
    } catch (const std::system_error &) {
        // Dropped: an acknowledgement that cannot be written is written with the next one.
    }
    segment.acked = seq;
}

// The sender's acknowledgement of the values up to `seq`, in `segment` of
// `j`. A segment no longer written whose values the server has goes.
void acknowledged(Journal &j, const SegmentRef &segment, uint64_t seq) {
    std::scoped_lock lock(j.mutex);
    if (j.retired) return;
    write_ack(*segment, seq);
    j.dirty = true;
    if (seq > j.acked) j.acked = seq;
    if (segment != j.segments.back() && segment->acked >= segment->last) {
        ::unlink(segment->path.c_str());
        auto at = std::find(j.segments.begin(), j.segments.end(), segment);
        if (at != j.segments.end()) {
            at = j.segments.erase(at);
            if (j.reading == segment) {
                j.reading = *at;  // never the end: the last segment is never removed here
                j.read_at = 0;
            }
        }
    }
}

// Journals written since they were last flushed go to the disk with
// fdatasync (every JOURNAL_SYNC_INTERVAL, or at once when `now`). Called
// without the GIL.
void flush_journals_to_disk(Process &p, bool now) {
    constexpr auto JOURNAL_SYNC_INTERVAL = std::chrono::seconds(2);
    std::vector<SegmentRef> dirty;
    {
        std::scoped_lock lock(p.journals_mutex);
        Clock::time_point at = Clock::now();
        if (!now && at < p.last_sync + JOURNAL_SYNC_INTERVAL) return;
        p.last_sync = at;
        for (auto &entry : p.journals) {
            Journal &j = *entry.second;
            if (!j.dirty.exchange(false)) continue;
            std::scoped_lock jlock(j.mutex);
            dirty.insert(dirty.end(), j.segments.begin(), j.segments.end());
        }
    }
    for (const SegmentRef &segment : dirty) (void)fdatasync(segment->fd);
}

namespace {

// A segment that holds nothing the server lacks, and no ending: removed.
bool remove_if_sent(const Journal &j, const Segment &segment) {
    bool holds_ending = j.ending && &segment == j.segments.back().get();
    if (j.offline || holds_ending || segment.acked < segment.last) return false;
    ::unlink(segment.path.c_str());
    return true;
}

}  // namespace

// When a run ends, its journals that hold nothing the server lacks are
// deleted. An empty `run_id` stands for every run.
void retire_journals(Process &p, const std::string &run_id) {
    std::scoped_lock lock(p.journals_mutex);
    for (auto it = p.journals.begin(); it != p.journals.end();) {
        Journal &j = *it->second;
        std::scoped_lock jlock(j.mutex);
        if ((run_id.empty() || j.run_id == run_id) && j.acked >= j.last_seq && !j.offline && !j.ending) {
            for (const SegmentRef &segment : j.segments) ::unlink(segment->path.c_str());
            j.retired = true;
            it = p.journals.erase(it);
        } else {
            ++it;
        }
    }
}

// The sender stopped: every journal closes; the segments that hold values
// the server lacks stay for `sync` (an offline iteration's all do). Returns
// how many values they hold.
uint64_t close_journals(Process &p) {
    uint64_t unsent = 0;
    std::scoped_lock lock(p.journals_mutex);
    for (auto &entry : p.journals) {
        Journal &j = *entry.second;
        std::scoped_lock jlock(j.mutex);
        if (!j.offline) unsent += j.last_seq - j.acked;
        for (const SegmentRef &segment : j.segments)
            if (!remove_if_sent(j, *segment)) (void)fdatasync(segment->fd);
        // Closed: its ending is settled, if it is, through its file.
        if (j.ending) p.kept_endings[j.run_id] = j.segments.back()->path;
        j.retired = true;
    }
    p.journals.clear();
    return unsent;
}

// What a flush waits for: every open journal's last value.
std::vector<Queue::Target> flush_targets(Process &p) {
    std::vector<Queue::Target> targets;
    std::scoped_lock lock(p.journals_mutex);
    for (auto &entry : p.journals)
        if (!entry.second->offline) targets.emplace_back(entry.second, entry.second->written.load());
    return targets;
}

uint64_t unsent_in_journals(Process &p) {
    uint64_t unsent = 0;
    std::scoped_lock lock(p.journals_mutex);
    for (auto &entry : p.journals)
        if (!entry.second->offline) unsent += entry.second->written.load() - entry.second->acked.load();
    return unsent;
}

// The tracking servers of this process's open journals, by their URI.
py::list journal_servers(Process &p) {
    std::vector<std::string> uris;
    {
        std::scoped_lock lock(p.journals_mutex);
        for (auto &entry : p.journals)
            if (!entry.second->offline && std::find(uris.begin(), uris.end(), entry.first.first) == uris.end())
                uris.push_back(entry.first.first);
    }
    py::list out;
    for (const std::string &uri : uris) out.append(text_of(uri));
    return out;
}

// ---- endings the server did not take -------------------------------------------------

namespace {

// This process's open journal of the run, if it has one.
JournalRef open_journal_of(Process &p, const std::string &run_id) {
    std::scoped_lock lock(p.journals_mutex);
    for (auto &entry : p.journals)
        if (entry.second->run_id == run_id && !entry.second->retired && !entry.second->offline) return entry.second;
    return nullptr;
}

}  // namespace

// A run's ending (status, end time in milliseconds) that could not reach the
// server, kept where `sync` applies it after the run's values: in this
// process's journal of the run (its last segment), or in a journal of its
// own. Returns the journal file's path.
py::object keep_ending(rt::Call &c) {
    auto [run_id, tracking_uri, status, end_time] = c.args<4>();
    Process &p = process();
    std::string run = utf8(run_id), frame = ending_frame(utf8(status), as_int64(end_time));
    // The warning that says where the ending is says where the values are:
    // the exit need not say it again for these.
    p.said_kept_up_to = p.logged;
    if (JournalRef j = open_journal_of(p, run)) {
        std::scoped_lock lock(j->mutex);
        Segment &segment = *j->segments.back();
        try {
            jr::File::write_whole(segment.fd, frame, segment.size);
        } catch (const std::system_error &e) {
            journal_failed(segment.path, e.code().value(), "write");
        }
        (void)fdatasync(segment.fd);
        j->ending = true;
        return text_of(segment.path);
    }
    auto kept = p.kept_endings.find(run);
    if (kept != p.kept_endings.end()) {
        jr::Locked f;
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
    for (;;) {
        std::string path = folder + "/" + own_name(run) + ".000001" + JOURNAL_SUFFIX;
        jr::Locked f;
        uint64_t size = 0;
        try {
            f.fd = jr::File::create(path, header_payload(utf8(tracking_uri), run, false), size);
            jr::File::write_whole(f.fd, frame, size);
        } catch (const std::system_error &e) {
            if (e.code().value() == EEXIST) continue;
            journal_failed(path, e.code().value(), "write");
        }
        (void)fdatasync(f.fd);
        p.kept_endings[run] = path;
        return text_of(path);
    }
}

// A kept ending that a later attempt set after all: marked so, and a
// journal file that then holds nothing the server lacks goes.
py::object ending_settled(rt::Call &c) {
    auto [run_id] = c.args<1>();
    Process &p = process();
    std::string run = utf8(run_id), frame = ended_frame();
    if (JournalRef j = open_journal_of(p, run)) {
        std::scoped_lock lock(j->mutex);
        if (j->ending) {
            Segment &segment = *j->segments.back();
            try {
                jr::File::write_whole(segment.fd, frame, segment.size);
                j->ending = false;
            } catch (const std::system_error &) {
                // Dropped: a sync finds the run ended and leaves it so.
            }
        }
        return py::none();
    }
    auto kept = p.kept_endings.find(run);
    if (kept == p.kept_endings.end()) return py::none();
    std::string path = kept->second;
    p.kept_endings.erase(kept);
    jr::Locked f;
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

}  // namespace background
