// The sampler: one native thread per process while runs are sampled. It
// reads the kernel's files and the GPUs once a second without the GIL, and
// at the end of each run's interval (and when the run ends) takes the GIL
// for as long as it takes to hand the interval's figures to background
// logging, which journals and sends them: the script never waits for them.
#include "parts.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace py = pybind11;
using namespace py::literals;

namespace sysmetrics {

PyObject *module_globals = nullptr;

std::string utf8(py::handle text) {
    py::bytes encoded = py::str(text).attr("encode")("utf-8", "surrogatepass");
    return std::string(encoded);
}

py::str text_of(const std::string &bytes) {
    return py::bytes(bytes).attr("decode")("utf-8", "surrogateescape");
}

namespace {

struct Aggregate {
    Kind kind = Kind::Mean;
    double weighted = 0, weight = 0, last = 0;
    double peak = -std::numeric_limits<double>::infinity(), low = std::numeric_limits<double>::infinity();
};

// One run being sampled: its interval so far.
struct RunSampling {
    std::string tracking_uri, run_id, names;  // names: between `system/` and each figure's name
    size_t per_interval = 10, readings = 0;
    int64_t step = 0;
    std::map<std::string, Aggregate> figures;
    std::map<std::string, double> at_start;  // SinceStart figures at the run's first reading
    bool stopping = false;
};

// What one interval logs, made under the sampler's lock, handed over with the GIL.
struct Logged {
    std::string tracking_uri, run_id;
    std::vector<std::pair<std::string, double>> values;
    int64_t timestamp = 0, step = 0;
};

struct Sampler {
    pid_t pid = getpid();
    std::mutex mutex;
    std::condition_variable changed, finished;
    std::list<RunSampling> runs;
    std::thread *thread = nullptr;
    bool running = false;
    std::atomic<double> cpu_seconds{0};  // the thread's own CPU, for the benchmark
};

// Never destroyed (the thread may still use it while the interpreter ends);
// a forked child gets a new one, never touching the parent's locks.
Sampler *current = nullptr;

Sampler &sampler() {
    if (!current || current->pid != getpid()) current = new Sampler();
    return *current;
}

int64_t now_millis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void add(RunSampling &run, const std::vector<Figure> &figures, double weight) {
    for (const Figure &f : figures) {
        Aggregate &a = run.figures[f.name];
        a.kind = f.kind;
        a.weighted += f.value * weight;
        a.weight += weight;
        a.peak = std::max(a.peak, f.value);
        a.low = std::min(a.low, f.value);
        a.last = f.value;
        if (f.kind == Kind::SinceStart) run.at_start.emplace(f.name, f.value);
    }
    run.readings++;
}

Logged interval_of(RunSampling &run, int64_t timestamp) {
    Logged out{run.tracking_uri, run.run_id, {}, timestamp, run.step++};
    for (const auto &[name, a] : run.figures) {
        if (a.weight <= 0 && a.kind != Kind::SinceStart) continue;
        std::string key = "system/" + run.names + name;
        if (a.kind == Kind::SinceStart) {
            out.values.emplace_back(key, a.last - run.at_start[name]);
            continue;
        }
        // A figure that never changed is logged as it was read, not as a sum's rounding.
        out.values.emplace_back(key, a.low == a.peak ? a.peak : a.weighted / a.weight);
        if (a.kind == Kind::MeanAndPeak) {
            // `..._megabytes` -> `..._peak_megabytes`: the unit stays last.
            size_t unit = key.rfind('_');
            out.values.emplace_back(key.substr(0, unit) + "_peak" + key.substr(unit), a.peak);
        }
    }
    run.figures.clear();
    run.readings = 0;
    return out;
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// With the GIL: the intervals handed to background logging, and what the
// thread has to say. A failure (the journal's disk full) is said, once.
void hand_over(const std::vector<Logged> &logged, const std::vector<std::string> &said) {
    if (finalizing()) return;
    WithGil gil;
    py::dict g = py::reinterpret_borrow<py::dict>(module_globals);
    for (const std::string &line : said) g["logger"].attr("warning")(text_of(line));
    for (const Logged &l : logged) {
        try {
            py::dict metrics;
            for (const auto &[key, value] : l.values) metrics[py::str(key)] = py::float_(value);
            g["_queue_metrics"](text_of(l.tracking_uri), text_of(l.run_id), metrics, py::int_(l.timestamp),
                                py::int_(l.step));
        } catch (py::error_already_set &e) {
            if (!g.contains("_said_failure")) {
                g["_said_failure"] = true;
                g["logger"].attr("warning")(py::str("System metrics of iteration {} could not be logged: {}")
                                                .format(text_of(l.run_id), e.value()));
            }
        }
    }
}

void run_sampler(Sampler *s) {
    pthread_setname_np(pthread_self(), "tavro-sampler");
    Kernel kernel(s->pid);
    Gpus gpus;
    std::string why;
    std::vector<std::string> said;
    if (!gpus.open(why) && !finalizing()) {
        WithGil gil;
        py::reinterpret_borrow<py::dict>(module_globals)["logger"].attr("debug")(text_of("No GPU metrics: " + why));
    }
    Counters previous = kernel.read();
    std::vector<Figure> figures;
    std::vector<std::string> lost;
    std::unique_lock lock(s->mutex);
    for (;;) {
        Clock::time_point next = previous.at + std::chrono::seconds(1);
        s->changed.wait_until(lock, next, [&] {
            for (const RunSampling &r : s->runs)
                if (r.stopping) return true;
            return s->runs.empty();
        });
        if (s->runs.empty()) break;
        lock.unlock();
        Counters now = kernel.read();
        figures = now.gauges;
        Kernel::rates(previous, now, figures);
        lost.clear();
        gpus.read(figures, lost);
        double weight = std::chrono::duration<double>(now.at - previous.at).count();
        previous = std::move(now);
        int64_t timestamp = now_millis();
        for (const std::string &device : lost)
            said.push_back(device + " stopped answering (lost): its system metrics end here.");
        lock.lock();
        std::vector<Logged> logged;
        for (auto at = s->runs.begin(); at != s->runs.end();) {
            add(*at, figures, weight);
            if (at->readings >= at->per_interval || at->stopping) logged.push_back(interval_of(*at, timestamp));
            bool gone = at->stopping;
            at = gone ? s->runs.erase(at) : std::next(at);
        }
        lock.unlock();
        if (!logged.empty() || !said.empty()) hand_over(logged, said);
        said.clear();
        rusage usage{};
        if (getrusage(RUSAGE_THREAD, &usage) == 0)
            s->cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                             (static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
        lock.lock();
        s->finished.notify_all();
    }
    gpus.close();
    s->running = false;
    s->finished.notify_all();
}

// Waits, the GIL released, until no run `matches` is sampled any more (its
// last interval handed over) or `seconds` passed.
template <typename Matches>
void stop_where(Sampler &s, Matches matches, double seconds) {
    WithoutGil released;
    std::unique_lock lock(s.mutex);
    bool any = false;
    for (RunSampling &r : s.runs)
        if (matches(r)) any = r.stopping = true;
    if (!any) return;
    s.changed.notify_all();
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool stopped = s.finished.wait_until(lock, until, [&] {
        for (const RunSampling &r : s.runs)
            if (matches(r)) return false;
        return true;
    });
    // The last run gone: its thread ends too, and is joined (none is left
    // behind a run). A thread still running then is stuck (waiting for
    // room in a queue without a journal): it is left, and never takes the
    // GIL once the interpreter ends.
    if (stopped && s.runs.empty() && s.thread && s.finished.wait_until(lock, until, [&] { return !s.running; })) {
        std::thread *done = s.thread;
        s.thread = nullptr;
        lock.unlock();
        done->join();
        delete done;
    }
}

// How long an ending waits for the sampler's last interval (it reads the
// kernel's files and hands the figures over: milliseconds, unless the GIL
// is held elsewhere).
constexpr double STOP_WAIT = 5.0;

}  // namespace

py::object start_sampling(rt::Call &c) {
    auto [tracking_uri, run_id, interval, names] = c.args<4>();
    Sampler &s = sampler();
    std::unique_lock lock(s.mutex);
    RunSampling run;
    run.tracking_uri = utf8(tracking_uri);
    run.run_id = utf8(run_id);
    run.names = utf8(names);
    // Whole seconds (a reading a second), from one to a day.
    double seconds = py::float_(interval).cast<double>();
    run.per_interval = seconds >= 1.5 ? static_cast<size_t>(std::lround(std::min(seconds, 86400.0))) : 1;
    for (const RunSampling &r : s.runs)
        if (r.run_id == run.run_id && !r.stopping) return py::bool_(false);  // sampled already
    s.runs.push_back(std::move(run));
    if (!s.running) {
        if (s.thread) {  // the last one ended: its thread is joined first
            std::thread *done = s.thread;
            s.thread = nullptr;
            lock.unlock();
            {
                WithoutGil released;
                done->join();
            }
            delete done;
            lock.lock();
        }
        s.running = true;
        s.thread = new std::thread(run_sampler, &s);
    }
    s.changed.notify_all();
    return py::bool_(true);
}

py::object stop_sampling(rt::Call &c) {
    auto [run_id] = c.args<1>();
    Sampler &s = sampler();
    bool sampled = false;
    {
        std::scoped_lock lock(s.mutex);
        std::string id = utf8(run_id);
        for (const RunSampling &r : s.runs) sampled = sampled || r.run_id == id;
    }
    if (sampled) {
        std::string id = utf8(run_id);
        stop_where(s, [&](const RunSampling &r) { return r.run_id == id; }, STOP_WAIT);
    }
    return py::bool_(sampled);
}

// The ending hook (before runs end: a block, a signal, the exit): the run's
// sampling stops (None: every run's) with its last interval logged; at the
// exit (`final`), the thread ends too.
py::object before_ending(rt::Call &c) {
    auto [run_id, timeout, final] = c.args<3>();
    (void)timeout;
    (void) final;
    Sampler &s = sampler();
    if (run_id.is_none()) {
        stop_where(s, [](const RunSampling &) { return true; }, STOP_WAIT);
    } else {
        std::string id = utf8(run_id);
        stop_where(s, [&](const RunSampling &r) { return r.run_id == id; }, STOP_WAIT);
    }
    return py::none();
}

// A child just forked: the parent's sampler is not its own (its thread is
// not here); it starts its own with a run of its own.
py::object forget_parent_sampler(rt::Call &) {
    if (current && current->pid != getpid()) current = new Sampler();
    return py::none();
}

py::object sampler_cpu(rt::Call &) {
    return py::float_(sampler().cpu_seconds.load());
}

}  // namespace sysmetrics
