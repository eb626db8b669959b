// What a journal's frames hold (journal_file.hpp makes the frames).
//
// A run's journal is one or more files (segments) in the journal folder,
// per run and process. Each starts with a header naming the tracking server
// and the run; then each value as the logging call wrote it (before the call
// returned: a process killed afterwards loses nothing), and "acknowledged up
// to" marks as the server takes them. Values are numbered for the whole
// journal, across its segments. A run whose ending could not reach the
// server (its status and end time) has it written after its values, and
// "ended" once a later attempt set it: `sync` applies an ending still open
// after the values. A journal's segments sort by name in the order they were
// written.
#pragma once

#include "journal_file.hpp"
#include "state.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

namespace background {

constexpr char HEADER = 'H', METRIC = 'M', PARAM = 'P', ACKED = 'A', ENDING = 'E', ENDED = 'D';
constexpr uint32_t JOURNAL_VERSION = 1;
constexpr const char *JOURNAL_SUFFIX = ".journal";

inline std::string header_payload(const std::string &uri, const std::string &run_id, bool offline) {
    std::string header(1, HEADER);
    jfile::put<uint32_t>(header, JOURNAL_VERSION);
    jfile::put_text(header, uri);
    jfile::put_text(header, run_id);
    jfile::put<int64_t>(header, getpid());
    jfile::put<uint8_t>(header, offline ? 1 : 0);
    return header;
}

inline void append_value(std::string &frames, const Record &r) {
    size_t at = jfile::begin_frame(frames);
    frames += r.is_param ? PARAM : METRIC;
    jfile::put<uint64_t>(frames, r.jseq);
    jfile::put_text(frames, r.key);
    if (r.is_param) {
        jfile::put_text(frames, r.text);
    } else {
        jfile::put<double>(frames, r.value);
        jfile::put<int64_t>(frames, r.timestamp);
        jfile::put<int64_t>(frames, r.step);
    }
    jfile::end_frame(frames, at);
}

// A value's fields after its kind (METRIC or PARAM); false when they are not
// of the layout this version writes.
inline bool read_value(char kind, jfile::Fields &f, Record &r) {
    r.is_param = kind == PARAM;
    r.jseq = f.get<uint64_t>();
    r.key = f.text();
    if (r.is_param) {
        r.text = f.text();
    } else {
        r.value = f.get<double>();
        r.timestamp = f.get<int64_t>();
        r.step = f.get<int64_t>();
    }
    return f.ok();
}

inline std::string ack_frame(uint64_t seq) {
    std::string frame, payload(1, ACKED);
    jfile::put<uint64_t>(payload, seq);
    jfile::frame(frame, payload);
    return frame;
}

inline std::string ending_frame(const std::string &status, int64_t end_time) {
    std::string frame, payload(1, ENDING);
    jfile::put_text(payload, status);
    jfile::put<int64_t>(payload, end_time);
    jfile::frame(frame, payload);
    return frame;
}

inline std::string ended_frame() {
    std::string frame;
    jfile::frame(frame, std::string(1, ENDED));
    return frame;
}

// What one pass over a journal file found: its run, what was acknowledged,
// the ending it keeps, and whether every record was one this version knows.
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

inline std::string hex_kind(char kind) {
    char text[8];
    snprintf(text, sizeof text, "0x%02x", unsigned{static_cast<unsigned char>(kind)});
    return text;
}

// Reads the journal file open as `fd` in order, calling `visit(record)` for
// each value after the header, until it returns false. A record this
// version does not know (a newer writer's kind or layout, a second header)
// ends the reading: what follows it is not guessed at, and `not_understood`
// says where it is.
template <typename Visit>
Scan scan(int fd, Visit visit) {
    Scan out;
    jfile::Reader reader(fd);
    out.is_journal = reader.is_journal();
    if (!out.is_journal) return out;
    std::string payload;
    while (reader.next(payload)) {
        out.frames++;
        jfile::Fields f(payload, 1);
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
            r.tracking_uri = out.tracking_uri;
            r.run_id = out.run_id;
            if (!read_value(kind, f, r)) {
                unknown(std::string("a ") + (kind == PARAM ? "parameter" : "metric") +
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

}  // namespace background
