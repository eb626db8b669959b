// What the logging calls hand to the sender thread, and the GIL handling
// both sides need. Values logged with a journal are read back from it (the
// journal is the queue: memory holds no value for them, and a logging call
// never waits); without a journal they wait in memory, in a bounded queue.
//
// The rules it keeps: nobody waits on the queue's lock or conditions while
// holding the GIL, and nobody takes the GIL while holding the queue's lock,
// so the two can never wait for each other. A thread that waits releases
// the GIL and, on the main thread, wakes now and then to let Python run its
// signal handlers (Ctrl-C, SIGTERM): a wait for room or for the consumer
// never makes a process deaf to signals.
#pragma once

#include "runtime.hpp"
#include "state.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace background {

using rt::WithGil;
using rt::WithoutGil;

// Runs the signal handlers Python has pending, if this is the main thread
// (the GIL held); false with the error set when a handler raised.
inline bool run_pending_signal_handlers() {
    return PyErr_CheckSignals() == 0;
}

class Queue {
public:
    // What the sender is to send next: values taken from memory (up to
    // `last`, the queue's count), or a journal to read on in.
    struct Due {
        std::vector<Record> records;
        uint64_t last = 0;
        JournalRef journal;
        bool idle = false;  // nothing is due now: the sender is about to wait
        bool empty() const { return records.empty() && !journal; }
    };
    // A journal, and the value of it a flush waits for.
    using Target = std::pair<JournalRef, uint64_t>;

    explicit Queue(size_t capacity) : capacity_(capacity ? capacity : 1) {}
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    // Values without a journal: appended in order (the GIL held), waiting
    // with the GIL released while there is no room. Returns the count of the
    // last one; throws py::error_already_set when a signal handler raised
    // meanwhile.
    uint64_t push(std::vector<Record> &&items, size_t enough) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (entries_.size() + items.size() > capacity_ && !entries_.empty()) {
            lock.unlock();
            wait_a_moment([&] { return entries_.size() + items.size() <= capacity_ || entries_.empty(); });
            lock.lock();
        }
        Clock::time_point now = Clock::now();
        // The sender waits without a deadline while nothing waits: the first
        // entry starts its interval; `enough` entries end it early.
        bool wake = entries_.empty() && waiting_.empty();
        for (Record &item : items) entries_.push_back(Entry{++last_queued_, now, std::move(item)});
        wake = wake || entries_.size() >= enough;
        uint64_t last = last_queued_;
        lock.unlock();
        if (wake) changed_.notify_all();
        return last;
    }

    // Values written into `j` (its `written` raised already): the journal
    // waits to be read from now on, if it did not already. Never waits.
    void journaled(const JournalRef &j, size_t enough) {
        bool wake;
        {
            std::scoped_lock lock(mutex_);
            wake = waiting_.empty() && entries_.empty();
            if (!j->waiting) {
                j->waiting = true;
                j->since = Clock::now();
                waiting_.push_back(j);
            } else {
                wake = false;
            }
            wake = wake || j->written.load() - j->taken.load() >= enough;
        }
        if (wake) changed_.notify_all();
    }

    // The sender (the GIL not held): waits until something is due and says
    // what. Due: `enough` values, the oldest has waited `interval`, a flush
    // asks for it, or stopping. Memory's values go first (up to `max`); the
    // journals take turns. Nothing once stopping with nothing left (or
    // everything abandoned). With `say_idle`, returns at once, `idle`, when
    // it would wait.
    Due take(size_t max, size_t enough, Clock::duration interval, bool say_idle = false) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (abandoned_) return {};
            Clock::time_point now = Clock::now(), wake = Clock::time_point::max();
            if (!entries_.empty()) {
                const Entry &oldest = entries_.front();
                if (stopping_ || entries_.size() >= enough || oldest.seq <= flush_upto_ ||
                    now >= oldest.queued + interval)
                    return take_entries(lock, max);
                wake = oldest.queued + interval;
            }
            for (size_t i = 0; i < waiting_.size(); i++) {
                JournalRef j = waiting_[i];
                uint64_t unread = j->written.load() - j->taken.load();
                if (unread == 0) {
                    j->waiting = false;
                    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i--));
                    continue;
                }
                if (stopping_ || unread >= enough || j->flush_upto > j->taken.load() || now >= j->since + interval) {
                    // Its turn now; the others' next.
                    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
                    waiting_.push_back(j);
                    return Due{{}, 0, j};
                }
                wake = std::min(wake, j->since + interval);
            }
            if (stopping_ && entries_.empty() && waiting_.empty()) return {};
            if (say_idle) {
                Due idle;
                idle.idle = true;
                return idle;
            }
            if (wake == Clock::time_point::max())
                changed_.wait(lock);
            else
                changed_.wait_until(lock, wake);
        }
    }

    // The sender read `j` up to its `taken`: with nothing left, it stops
    // waiting; with values written while it read, those start their
    // interval now, unless it stopped short of a backlog (`backlog`).
    void read(const JournalRef &j, bool backlog) {
        std::scoped_lock lock(mutex_);
        if (!j->waiting) return;
        if (j->written.load() > j->taken.load()) {
            if (!backlog) j->since = Clock::now();
            return;
        }
        j->waiting = false;
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), j), waiting_.end());
    }

    // The sender: memory's values up to `seq` are done with (sent, or given up).
    void done(uint64_t seq) {
        {
            std::scoped_lock lock(mutex_);
            last_done_ = std::max(last_done_, seq);
        }
        room_.notify_all();
    }
    // The sender: a journal's `acked` moved on (a flush may be waiting for it).
    void acknowledged() {
        { std::scoped_lock lock(mutex_); }
        room_.notify_all();
    }

    // The sender: sleeps `pause` unless stopping or abandoning; false when
    // woken by either.
    bool pause(Clock::duration pause) {
        std::unique_lock<std::mutex> lock(mutex_);
        return !changed_.wait_for(lock, pause, [&] { return abandoned_ || stopping_; });
    }

    // Asks the sender to send now memory's values up to `seq` and each
    // target journal's up to its value, and waits (the GIL released) until
    // the server has them or `until` passes: false then. Throws
    // py::error_already_set when a signal handler raised meanwhile.
    bool flush(uint64_t seq, const std::vector<Target> &targets, Clock::time_point until) {
        auto done = [&] {
            if (abandoned_) return true;
            if (last_done_ < seq) return false;
            for (const Target &t : targets)
                if (t.first->acked.load() < t.second) return false;
            return true;
        };
        {
            std::scoped_lock lock(mutex_);
            if (done()) return true;
            flush_upto_ = std::max(flush_upto_, seq);
            for (const Target &t : targets) t.first->flush_upto = std::max(t.first->flush_upto, t.second);
        }
        changed_.notify_all();
        return wait_a_moment(done, until);
    }

    uint64_t last_queued() const {
        std::scoped_lock lock(mutex_);
        return last_queued_;
    }
    // Memory's values queued and not yet done with (taken ones included).
    uint64_t pending() const {
        std::scoped_lock lock(mutex_);
        return last_queued_ - last_done_;
    }

    // From now on the sender takes whatever is left without waiting for a
    // batch to fill, and `take` returns nothing once it is all taken.
    void stop() {
        {
            std::scoped_lock lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
    }
    // Nothing more will be sent: memory's values are dropped (and counted),
    // the journals keep theirs; waits for them end, the sender stops.
    uint64_t abandon() {
        uint64_t dropped;
        {
            std::scoped_lock lock(mutex_);
            dropped = last_queued_ - last_done_;
            entries_.clear();
            for (const JournalRef &j : waiting_) j->waiting = false;
            waiting_.clear();
            abandoned_ = stopping_ = true;
            last_done_ = last_queued_;
        }
        changed_.notify_all();
        room_.notify_all();
        return dropped;
    }
    // Values memory holds before a logging call waits for room.
    void set_capacity(size_t capacity) {
        {
            std::scoped_lock lock(mutex_);
            capacity_ = capacity ? capacity : 1;
        }
        room_.notify_all();
    }
    // A new sender after a stop (memory is empty by then).
    void restart() {
        std::scoped_lock lock(mutex_);
        stopping_ = abandoned_ = false;
    }
    bool abandoned() const {
        std::scoped_lock lock(mutex_);
        return abandoned_;
    }

private:
    struct Entry {
        uint64_t seq;
        Clock::time_point queued;
        Record item;
    };

    Due take_entries(std::unique_lock<std::mutex> &lock, size_t max) {
        Due due;
        size_t n = std::min(max, entries_.size());
        due.records.reserve(n);
        for (size_t i = 0; i < n; i++) {
            due.last = entries_.front().seq;
            due.records.push_back(std::move(entries_.front().item));
            entries_.pop_front();
        }
        lock.unlock();
        room_.notify_all();
        return due;
    }

    // Waits (the GIL released) until `ready` holds or `until` passes;
    // between short waits the main thread runs Python's signal handlers.
    template <typename Ready>
    bool wait_a_moment(Ready ready, Clock::time_point until = Clock::time_point::max()) {
        for (;;) {
            bool met;
            {
                WithoutGil released;
                std::unique_lock<std::mutex> lock(mutex_);
                Clock::time_point step = std::min(until, Clock::now() + std::chrono::milliseconds(100));
                met = room_.wait_until(lock, step, ready);
            }
            if (met) return true;
            if (!run_pending_signal_handlers()) throw py::error_already_set();
            if (Clock::now() >= until) return false;
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // values, flushes, stops: for the sender
    std::condition_variable room_;     // values done with or acknowledged: for logging calls and flushes
    std::deque<Entry> entries_;        // values without a journal
    std::vector<JournalRef> waiting_;  // journals with values the sender has not read
    size_t capacity_;
    uint64_t last_queued_ = 0, last_done_ = 0, flush_upto_ = 0;
    bool stopping_ = false, abandoned_ = false;
};

}  // namespace background
