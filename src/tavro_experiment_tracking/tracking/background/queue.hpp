// Native background work for a module: a bounded first-in, first-out queue
// from the threads that run Python (any number, holding the GIL) to one
// native thread that does not, and the GIL handling both sides need.
//
// The rules it keeps: nobody waits on the queue's lock or conditions while
// holding the GIL, and nobody takes the GIL while holding the queue's lock,
// so the two can never wait for each other. A thread that waits releases
// the GIL and, on the main thread, wakes now and then to let Python run its
// signal handlers (Ctrl-C, SIGTERM): a wait for room or for the consumer
// never makes a process deaf to signals.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace rt {

namespace py = pybind11;

// The GIL released for the length of a scope.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;

private:
    PyThreadState *state_;
};

// The GIL taken by a thread Python did not start, for the length of a scope.
class WithGil {
public:
    WithGil() : state_(PyGILState_Ensure()) {}
    ~WithGil() { PyGILState_Release(state_); }
    WithGil(const WithGil &) = delete;
    WithGil &operator=(const WithGil &) = delete;

private:
    PyGILState_STATE state_;
};

// Runs the signal handlers Python has pending, if this is the main thread
// (the GIL held); false with the error set when a handler raised.
inline bool run_pending_signal_handlers() {
    return PyErr_CheckSignals() == 0;
}

template <typename T>
class Outbox {
public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        uint64_t seq;
        Clock::time_point queued;
        T item;
    };

    explicit Outbox(size_t capacity) : state_(new State(capacity)) {}
    ~Outbox() = default;
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // Appends `items` in order (the GIL held), waiting with the GIL released
    // while there is no room. Returns the sequence number of the last item;
    // throws py::error_already_set when a signal handler raised meanwhile.
    uint64_t push(std::vector<T> &&items, size_t enough) {
        State &s = *state_;
        std::unique_lock<std::mutex> lock(s.mutex);
        while (s.entries.size() + items.size() > s.capacity && !s.entries.empty()) {
            lock.unlock();
            wait_a_moment([&] { return s.entries.size() + items.size() <= s.capacity || s.entries.empty(); });
            lock.lock();
        }
        Clock::time_point now = Clock::now();
        // The consumer waits without a deadline while the queue is empty:
        // the first entry starts its interval; `enough` entries end it early.
        bool wake = s.entries.empty();
        for (T &item : items) s.entries.push_back(Entry{++s.last_queued, now, std::move(item)});
        wake = wake || s.entries.size() >= enough;
        uint64_t last = s.last_queued;
        lock.unlock();
        if (wake) s.changed.notify_all();
        return last;
    }

    // The consumer (the GIL not held): waits until a batch is due and takes
    // up to `max` entries. Due: `enough` entries, the oldest has waited
    // `interval`, a flush asks for it, or stopping. Returns nothing once
    // stopping with nothing left (or everything abandoned).
    std::vector<Entry> take(size_t max, size_t enough, Clock::duration interval) {
        State &s = *state_;
        std::unique_lock<std::mutex> lock(s.mutex);
        for (;;) {
            if (s.abandoned) return {};
            if (!s.entries.empty()) {
                const Entry &oldest = s.entries.front();
                if (s.stopping || s.entries.size() >= enough || oldest.seq <= s.flush_upto ||
                    Clock::now() >= oldest.queued + interval)
                    break;
                s.changed.wait_until(lock, oldest.queued + interval);
                continue;
            }
            if (s.stopping) return {};
            s.changed.wait(lock);
        }
        std::vector<Entry> batch;
        size_t n = std::min(max, s.entries.size());
        batch.reserve(n);
        for (size_t i = 0; i < n; i++) {
            batch.push_back(std::move(s.entries.front()));
            s.entries.pop_front();
        }
        lock.unlock();
        s.room.notify_all();
        return batch;
    }

    // The consumer: everything up to `seq` is done with (sent, or given up).
    void done(uint64_t seq) {
        State &s = *state_;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (seq > s.last_done) s.last_done = seq;
        }
        s.room.notify_all();
    }

    // The consumer: sleeps `pause` unless stopping or abandoning; false when
    // woken by either.
    bool pause(Clock::duration pause) {
        State &s = *state_;
        std::unique_lock<std::mutex> lock(s.mutex);
        return !s.changed.wait_for(lock, pause, [&] { return s.abandoned || s.stopping; });
    }

    // Asks the consumer to send everything queued up to `seq` now, and waits
    // (the GIL released) until it is done or `until` passes: false then.
    // Throws py::error_already_set when a signal handler raised meanwhile.
    bool flush(uint64_t seq, Clock::time_point until) {
        State &s = *state_;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.last_done >= seq) return true;
            if (seq > s.flush_upto) s.flush_upto = seq;
        }
        s.changed.notify_all();
        return wait_a_moment([&] { return s.last_done >= seq; }, until);
    }

    uint64_t last_queued() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->last_queued;
    }
    // Entries queued and not yet done with (taken ones included).
    uint64_t pending() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->last_queued - state_->last_done;
    }

    // From now on the consumer takes whatever is left without waiting for a
    // batch to fill, and `take` returns nothing once it is empty.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopping = true;
        }
        state_->changed.notify_all();
    }
    // Nothing more will be sent: what is queued is dropped (and counted),
    // waits for it end, the consumer stops.
    uint64_t abandon() {
        State &s = *state_;
        uint64_t dropped;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            dropped = s.last_queued - s.last_done;
            s.entries.clear();
            s.abandoned = s.stopping = true;
            s.last_done = s.last_queued;
        }
        s.changed.notify_all();
        s.room.notify_all();
        return dropped;
    }
    // Entries the queue holds before a producer waits for room.
    void set_capacity(size_t capacity) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->capacity = capacity ? capacity : 1;
        }
        state_->room.notify_all();
    }
    // A new consumer after a stop (the queue is empty by then).
    void restart() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = state_->abandoned = false;
    }
    bool abandoned() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->abandoned;
    }

    // In a child process just forked: the parent's entries and locks are not
    // the child's (a lock may be held by a thread that does not exist
    // there). The old state is left as it is, never touched again.
    void forget_after_fork() {
        size_t capacity = state_->capacity;
        (void)state_.release();
        state_.reset(new State(capacity));
    }

private:
    struct State {
        explicit State(size_t c) : capacity(c ? c : 1) {}
        std::mutex mutex;
        std::condition_variable changed;  // entries, flushes, stops: for the consumer and flushes
        std::condition_variable room;     // entries done with: for producers and flushes
        std::deque<Entry> entries;
        size_t capacity;
        uint64_t last_queued = 0, last_done = 0, flush_upto = 0;
        bool stopping = false, abandoned = false;
    };

    // Waits (the GIL released) until `ready` holds or `until` passes;
    // between short waits the main thread runs Python's signal handlers.
    template <typename Ready>
    bool wait_a_moment(Ready ready, Clock::time_point until = Clock::time_point::max()) {
        State &s = *state_;
        for (;;) {
            bool met;
            {
                WithoutGil released;
                std::unique_lock<std::mutex> lock(s.mutex);
                Clock::time_point step = std::min(until, Clock::now() + std::chrono::milliseconds(100));
                met = s.room.wait_until(lock, step, ready);
            }
            if (met) return true;
            if (!run_pending_signal_handlers()) throw py::error_already_set();
            if (Clock::now() >= until) return false;
        }
    }

    std::unique_ptr<State> state_;
};

}  // namespace rt
