// What background logging holds in memory: a logged value, and a run's
// journal with its files (segments) and the sender's place in them.
#pragma once

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace background {

namespace py = pybind11;
using Clock = std::chrono::steady_clock;

// One file of a run's journal. Values are appended to the newest segment of
// a journal; a segment that has grown past the segment size is followed by
// a new one, and goes once the server has every value it holds.
struct Segment {
    std::string path;
    int fd = -1;                   // closed when the last reference goes
    uint64_t size = 0;             // bytes of whole frames written
    uint64_t first = 0, last = 0;  // sequence numbers of its first and last value (0: none yet)
    uint64_t acked = 0;            // the highest acknowledgement written into it
    Segment() = default;
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;
    ~Segment() {
        if (fd >= 0) ::close(fd);
    }
};
using SegmentRef = std::shared_ptr<Segment>;

// A run's journal in this process: every value logged for the run is in it
// before the logging call returns. It is also the sender's queue: the
// sender reads the values back, in order, and marks what the server took.
struct Journal {
    // The segments, their sizes and every write into them (the write(2)
    // runs under it); never held while waiting for the GIL.
    std::mutex mutex;
    std::string tracking_uri, run_id;
    std::string base;                 // the part of its file names its segments share
    std::deque<SegmentRef> segments;  // oldest first; values go into the last
    size_t segments_made = 0;
    uint64_t last_seq = 0;             // the last value written
    std::atomic<uint64_t> written{0};  // last_seq, read without the mutex
    std::atomic<uint64_t> acked{0};    // the server has every value up to this one
    std::atomic<bool> dirty{false};    // written since the disk last caught up
    bool retired = false;              // deleted, or closed: nothing more is written
    bool offline = false;              // an offline iteration's: kept until `sync`, never sent from here
    bool ending = false;               // holds an ending the server did not take: kept until `sync` applies it

    // The sender thread's alone: the last value it took, and the segment
    // it reads on in, from byte `read_at` (0: from its start).
    std::atomic<uint64_t> taken{0};
    SegmentRef reading;
    uint64_t read_at = 0;

    // The queue's, under its mutex: whether it waits to be read, since
    // when, and the value a flush wants sent.
    bool waiting = false;
    Clock::time_point since;
    uint64_t flush_upto = 0;
};
using JournalRef = std::shared_ptr<Journal>;

// One logged value, held without Python objects: text as UTF-8 (lone
// surrogates kept, as `surrogatepass` writes them); for a value read back
// from a journal, the segment it is in.
struct Record {
    bool is_param = false;
    std::string tracking_uri, run_id, key, text;
    double value = 0;
    int64_t timestamp = 0, step = 0;
    JournalRef journal;
    SegmentRef segment;
    uint64_t jseq = 0;
};

}  // namespace background
