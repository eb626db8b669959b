// The parts of the system module (tracking/system.cpp holds the module
// itself: its namespace and docstrings): what they share.
//
//   kernel.cpp       the machine, the process tree and the cgroup, read from /proc and /sys
//   gpus.cpp         the GPUs through NVML, loaded at run time
//   sampler.cpp      the sampler thread: a reading a second, a run's intervals logged
//   environment.cpp  the record of where a run ran, taken when it starts
#pragma once

#include "runtime.hpp"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace sysmetrics {

namespace py = pybind11;

using Clock = std::chrono::steady_clock;

using rt::WithGil;
using rt::WithoutGil;

// How a figure of one reading goes into a run's interval: the time-weighted
// mean; the mean and the peak (logged as `<name>` and its `_peak` name); the
// last value less the value at the run's first reading (a count since the
// run started).
enum class Kind : std::uint8_t { Mean, MeanAndPeak, SinceStart };

struct Figure {
    std::string name;  // without the `system/` prefix
    double value = 0;
    Kind kind = Kind::Mean;
};

// kernel.cpp: the counters of one moment; the figures are computed from two.
struct Counters {
    Clock::time_point at;
    double process_cpu = 0, tree_cpu = 0;        // seconds of CPU (the tree's includes its reaped children)
    double machine_busy = 0, machine_total = 0;  // clock ticks of all CPUs
    double cgroup_cpu = -1;                      // seconds; -1: no CPU limit applies
    double tree_read = -1, tree_written = -1;    // bytes from and to storage; -1: unreadable
    double net_received = -1, net_sent = -1;     // bytes of every interface but loopback
    std::vector<Figure> gauges;                  // what needs no second reading
};

class Kernel {
public:
    explicit Kernel(pid_t root);
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;
    ~Kernel();
    Counters read();
    // The figures between two readings, `before` first.
    static void rates(const Counters &before, const Counters &now, std::vector<Figure> &out);
    size_t tree_size() const { return tree_.size(); }

private:
    void find_cgroup();
    void walk_tree(std::vector<pid_t> &members);
    static bool reread(int &fd, const std::string &path, std::string &out);

    static constexpr size_t WALK_EVERY = 5;
    pid_t root_;
    size_t readings_ = 0;
    double ticks_ = 100, page_ = 4096;
    std::vector<std::pair<pid_t, pid_t>> parents_;  // (pid, parent), sorted, kept between readings
    std::vector<pid_t> tree_;
    std::string cgroup_cpu_usage_;  // the file and what its number counts
    double cgroup_cpu_scale_ = 0, cgroup_cores_ = -1, cgroup_memory_limit_ = -1;
    std::string cgroup_memory_usage_;
    int stat_fd_ = -1, meminfo_fd_ = -1, net_fd_ = -1, cgroup_cpu_fd_ = -1, cgroup_memory_fd_ = -1;
    std::map<pid_t, std::pair<int, int>> member_fds_;  // each tree member's stat and io
};

// Reads a small file whole (a /proc or /sys file); false when it cannot be.
bool read_small(const std::string &path, std::string &out);
double memory_total_bytes();

// gpus.cpp
struct GpuInfo {
    std::string name, uuid;
    double memory_total = -1;
};
class Gpus {
public:
    // NVML loaded and the devices of CUDA_VISIBLE_DEVICES found; none when
    // there is no NVML (`why` says so).
    bool open(std::string &why);
    void close();
    // Figures of each device still answering; a device lost since the last
    // reading is named in `lost` (its series ends).
    void read(std::vector<Figure> &out, std::vector<std::string> &lost);
    std::vector<GpuInfo> info();
    std::string driver() const;

private:
    struct Device {
        void *handle = nullptr;
        int index = 0;  // the position in CUDA_VISIBLE_DEVICES: how the process numbers it
        bool lost = false;
    };
    std::vector<Device> devices_;
    bool open_ = false;
};

// Text as UTF-8 bytes, lone surrogates kept as `surrogatepass` writes them.
std::string utf8(py::handle text);
// Bytes read from the system as text, whatever they hold (`surrogateescape`).
py::str text_of(const std::string &bytes);

// sampler.cpp
py::object start_sampling(rt::Call &c);
py::object stop_sampling(rt::Call &c);
py::object before_ending(rt::Call &c);
py::object forget_parent_sampler(rt::Call &c);
py::object sampler_cpu(rt::Call &c);
extern PyObject *module_globals;

// environment.cpp
py::object environment_record(rt::Call &c);
py::object git_tags(rt::Call &c);

}  // namespace sysmetrics
