// What the machine, this process and its tree of children did, read from the
// kernel's own files: /proc (the processes, the CPUs, memory, network), the
// cgroup the process is in (a container's share), and the file system's
// usage. Called by the sampler thread without the GIL; a file missing or
// unreadable (a child that just ended, no cgroup) only leaves its figure out.
#include "parts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sysmetrics {

bool read_small(const std::string &path, std::string &out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
        if (out.size() > (1U << 20U)) break;  // no file read here is that large
    }
    ::close(fd);
    return !out.empty();
}

// The file kept open in `fd` between readings, read again from its start
// (a file of /proc made anew at each read): a reading a second then costs no
// path lookups, which cost more than the reads on a cold cache. A file that
// cannot be read any more (its process ended) is closed.
bool Kernel::reread(int &fd, const std::string &path, std::string &out) {
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buffer[8192];
    for (off_t at = 0;;) {
        ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
        at += got;
        if (out.size() > (1U << 20U)) break;
    }
    if (out.empty()) {
        ::close(fd);
        fd = -1;
    }
    return !out.empty();
}

Kernel::~Kernel() {
    for (int fd : {stat_fd_, meminfo_fd_, net_fd_, cgroup_cpu_fd_, cgroup_memory_fd_})
        if (fd >= 0) ::close(fd);
    for (auto &[pid, fds] : member_fds_)
        for (int fd : {fds.first, fds.second})
            if (fd >= 0) ::close(fd);
}

namespace {

constexpr double MB = 1e6;

// The number after `key` (at a line's start) in `text`, or -1.
double field_after(const std::string &text, const char *key) {
    size_t length = std::strlen(key);
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, length, key) == 0) return std::strtod(text.c_str() + at + length, nullptr);
        at = text.find('\n', at);
        if (at == std::string::npos) break;
        at++;
    }
    return -1;
}

// The fields of /proc/<pid>/stat after the command's name (which may hold
// spaces and parentheses): field 3 of proc(5) is [0].
bool stat_fields(const std::string &text, std::vector<double> &fields) {
    size_t end = text.rfind(')');
    if (end == std::string::npos) return false;
    fields.clear();
    const char *at = text.c_str() + end + 2;
    while (*at && fields.size() < 24) {
        char *next = nullptr;
        if (fields.empty()) {  // the state, a letter
            fields.push_back(0);
            at += 2;
            continue;
        }
        fields.push_back(std::strtod(at, &next));
        if (next == at) break;
        at = next;
    }
    return fields.size() >= 22;
}

pid_t parent_of(pid_t pid) {
    std::vector<double> fields;
    std::string text;
    return read_small("/proc/" + std::to_string(pid) + "/stat", text) && stat_fields(text, fields)
               ? static_cast<pid_t>(fields[1])
               : -1;
}

}  // namespace

double memory_total_bytes() {
    std::string text;
    return read_small("/proc/meminfo", text) ? field_after(text, "MemTotal:") * 1024 : -1;
}

Kernel::Kernel(pid_t root) : root_(root) {
    long ticks = sysconf(_SC_CLK_TCK), page = sysconf(_SC_PAGESIZE);
    if (ticks > 0) ticks_ = static_cast<double>(ticks);
    if (page > 0) page_ = static_cast<double>(page);
    find_cgroup();
}

// The cgroup's files for CPU and memory, when a limit applies (a limit the
// machine itself would set anyway is none): cgroup v2 (one hierarchy) or v1.
void Kernel::find_cgroup() {
    std::string mine, text;
    if (!read_small("/proc/self/cgroup", mine)) return;
    double cores = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)), memory = memory_total_bytes();
    auto folder_of = [&](const std::string &mount, const std::string &path) {
        std::string inside = mount + path;
        return access(inside.c_str(), R_OK) == 0 ? inside : mount;  // a container sees its own as the root
    };
    for (size_t at = 0; at < mine.size();) {
        size_t end = mine.find('\n', at);
        std::string line = mine.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? mine.size() : end + 1;
        size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",",
                    path = line.substr(second + 1);
        if (controllers == ",," && access("/sys/fs/cgroup/cgroup.controllers", R_OK) == 0) {
            std::string folder = folder_of("/sys/fs/cgroup", path);
            if (read_small(folder + "/cpu.max", text) && text.compare(0, 3, "max") != 0) {
                double quota = std::strtod(text.c_str(), nullptr),
                       period = std::strtod(text.c_str() + text.find(' '), nullptr);
                if (period > 0 && quota / period < cores) {
                    cgroup_cores_ = quota / period;
                    cgroup_cpu_usage_ = folder + "/cpu.stat";
                    cgroup_cpu_scale_ = 1e-6;  // usage_usec
                }
            }
            if (read_small(folder + "/memory.max", text) && text.compare(0, 3, "max") != 0 &&
                std::strtod(text.c_str(), nullptr) < memory) {
                cgroup_memory_limit_ = std::strtod(text.c_str(), nullptr);
                cgroup_memory_usage_ = folder + "/memory.current";
            }
        } else if (controllers.find(",memory,") != std::string::npos) {
            std::string folder = folder_of("/sys/fs/cgroup/memory", path);
            if (read_small(folder + "/memory.limit_in_bytes", text) && std::strtod(text.c_str(), nullptr) < memory) {
                cgroup_memory_limit_ = std::strtod(text.c_str(), nullptr);
                cgroup_memory_usage_ = folder + "/memory.usage_in_bytes";
            }
        } else if (controllers.find(",cpu,") != std::string::npos) {
            std::string mount =
                access("/sys/fs/cgroup/cpu,cpuacct", R_OK) == 0 ? "/sys/fs/cgroup/cpu,cpuacct" : "/sys/fs/cgroup/cpu";
            std::string folder = folder_of(mount, path), period;
            if (read_small(folder + "/cpu.cfs_quota_us", text) && read_small(folder + "/cpu.cfs_period_us", period)) {
                double quota = std::strtod(text.c_str(), nullptr), each = std::strtod(period.c_str(), nullptr);
                if (quota > 0 && each > 0 && quota / each < cores) {
                    cgroup_cores_ = quota / each;
                    std::string usage = folder + "/cpuacct.usage";
                    if (access(usage.c_str(), R_OK) != 0)
                        usage = folder_of("/sys/fs/cgroup/cpuacct", path) + "/cpuacct.usage";
                    cgroup_cpu_usage_ = usage;
                    cgroup_cpu_scale_ = 1e-9;  // nanoseconds
                }
            }
        }
    }
}

// The process and every descendant alive now. Each process's parent is read
// once, when it first appears in /proc (a walk of 200 processes costs a
// directory listing, not 200 reads a second).
void Kernel::walk_tree(std::vector<pid_t> &members) {
    DIR *proc = opendir("/proc");
    if (!proc) return;
    std::vector<std::pair<pid_t, pid_t>> seen;
    seen.reserve(parents_.size() + 16);
    while (dirent *entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        auto pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        auto known = std::lower_bound(parents_.begin(), parents_.end(), std::make_pair(pid, static_cast<pid_t>(-2)));
        pid_t parent = known != parents_.end() && known->first == pid ? known->second : parent_of(pid);
        seen.emplace_back(pid, parent);
    }
    closedir(proc);
    std::sort(seen.begin(), seen.end());
    parents_.swap(seen);
    members.assign(1, root_);
    for (size_t i = 0; i < members.size(); i++)  // breadth first: children of each member found
        for (const auto &[pid, parent] : parents_)
            if (parent == members[i] && pid != root_) members.push_back(pid);
}

Counters Kernel::read() {
    Counters c;
    c.at = Clock::now();
    std::string text;
    std::vector<double> fields;
    // The tree is walked anew every few readings (a new child counts from
    // its first seconds; one that ended is skipped at once): listing /proc
    // is the dearest part of a reading.
    if (readings_++ % WALK_EVERY == 0) walk_tree(tree_);
    double rss = 0, read_bytes = 0, written = 0;
    bool io = true;
    c.tree_cpu = 0;
    for (pid_t pid : tree_) {
        auto &[stat_fd, io_fd] = member_fds_.try_emplace(pid, -1, -1).first->second;
        std::string proc = "/proc/" + std::to_string(pid);
        // Just ended: its time is in its parent's.
        if (!reread(stat_fd, proc + "/stat", text) || !stat_fields(text, fields)) continue;
        double own = (fields[11] + fields[12]) / ticks_;
        c.tree_cpu += own + ((fields[13] + fields[14]) / ticks_);
        rss += fields[21] * page_;
        if (pid == root_) {
            c.process_cpu = own;
            c.gauges.push_back({"process_memory_rss_megabytes", fields[21] * page_ / MB, Kind::MeanAndPeak});
        }
        if (io && reread(io_fd, proc + "/io", text)) {
            read_bytes += field_after(text, "read_bytes:");
            written += field_after(text, "write_bytes:");
        } else {
            io = false;
        }
    }
    c.gauges.push_back({"process_tree_memory_rss_megabytes", rss / MB, Kind::MeanAndPeak});
    c.gauges.push_back({"process_tree_processes", static_cast<double>(tree_.size()), Kind::Mean});
    if (io) {
        c.tree_read = read_bytes;
        c.tree_written = written;
    }
    // The files of processes that left the tree are closed.
    for (auto at = member_fds_.begin(); at != member_fds_.end();) {
        if (std::find(tree_.begin(), tree_.end(), at->first) != tree_.end()) {
            ++at;
            continue;
        }
        for (int fd : {at->second.first, at->second.second})
            if (fd >= 0) ::close(fd);
        at = member_fds_.erase(at);
    }
    if (reread(stat_fd_, "/proc/stat", text) && text.compare(0, 4, "cpu ") == 0) {
        const char *at = text.c_str() + 4;
        double all[8] = {};
        for (double &each : all) {
            char *next = nullptr;
            each = std::strtod(at, &next);
            at = next;
        }
        c.machine_total = all[0] + all[1] + all[2] + all[3] + all[4] + all[5] + all[6] + all[7];
        c.machine_busy = c.machine_total - all[3] - all[4];  // less idle and waiting for I/O
    }
    if (reread(meminfo_fd_, "/proc/meminfo", text)) {
        double total = field_after(text, "MemTotal:") * 1024, available = field_after(text, "MemAvailable:") * 1024;
        if (total > 0 && available >= 0) {
            c.gauges.push_back({"system_memory_usage_megabytes", (total - available) / MB, Kind::MeanAndPeak});
            c.gauges.push_back({"system_memory_usage_percentage", 100 * (total - available) / total, Kind::Mean});
            c.gauges.push_back({"system_memory_available_megabytes", available / MB, Kind::Mean});
        }
    }
    if (reread(net_fd_, "/proc/net/dev", text)) {
        c.net_received = c.net_sent = 0;
        for (size_t at = text.find('\n', text.find('\n') + 1); at != std::string::npos && at + 1 < text.size();) {
            size_t colon = text.find(':', at), end = text.find('\n', at + 1);
            if (colon == std::string::npos || colon > end) break;
            size_t name = text.find_first_not_of(" \n", at);
            if (text.compare(name, colon - name, "lo") != 0) {
                const char *number = text.c_str() + colon + 1;
                char *next = nullptr;
                for (int i = 0; i < 9; i++) {
                    double value = std::strtod(number, &next);
                    if (i == 0) c.net_received += value;
                    if (i == 8) c.net_sent += value;
                    number = next;
                }
            }
            at = end;
        }
        c.gauges.push_back({"network_receive_megabytes", c.net_received / MB, Kind::SinceStart});
        c.gauges.push_back({"network_transmit_megabytes", c.net_sent / MB, Kind::SinceStart});
    }
    struct statvfs disk{};
    if (statvfs("/", &disk) == 0 && disk.f_blocks > 0) {
        double size = static_cast<double>(disk.f_frsize), total = static_cast<double>(disk.f_blocks) * size,
               available = static_cast<double>(disk.f_bavail) * size,
               used = total - (static_cast<double>(disk.f_bfree) * size);
        c.gauges.push_back({"disk_usage_percentage", 100 * used / (used + available), Kind::Mean});
        c.gauges.push_back({"disk_usage_megabytes", used / MB, Kind::Mean});
        c.gauges.push_back({"disk_available_megabytes", available / MB, Kind::Mean});
    }
    if (!cgroup_cpu_usage_.empty() && reread(cgroup_cpu_fd_, cgroup_cpu_usage_, text)) {
        double usage = cgroup_cpu_scale_ < 1e-7 ? std::strtod(text.c_str(), nullptr) : field_after(text, "usage_usec ");
        if (usage >= 0) c.cgroup_cpu = usage * cgroup_cpu_scale_;
        c.gauges.push_back({"cgroup_cpu_limit_cores", cgroup_cores_, Kind::Mean});
    }
    if (!cgroup_memory_usage_.empty() && reread(cgroup_memory_fd_, cgroup_memory_usage_, text)) {
        c.gauges.push_back(
            {"cgroup_memory_usage_megabytes", std::strtod(text.c_str(), nullptr) / MB, Kind::MeanAndPeak});
        c.gauges.push_back({"cgroup_memory_limit_megabytes", cgroup_memory_limit_ / MB, Kind::Mean});
    }
    return c;
}

void Kernel::rates(const Counters &before, const Counters &now, std::vector<Figure> &out) {
    double seconds = std::chrono::duration<double>(now.at - before.at).count();
    if (seconds <= 0) return;
    auto per_second = [&](double from, double to) { return std::max(0.0, to - from) / seconds; };
    out.push_back({"process_cpu_utilization_percentage", 100 * per_second(before.process_cpu, now.process_cpu)});
    out.push_back({"process_tree_cpu_utilization_percentage", 100 * per_second(before.tree_cpu, now.tree_cpu)});
    if (now.machine_total > before.machine_total)
        out.push_back({"cpu_utilization_percentage", 100 * std::max(0.0, now.machine_busy - before.machine_busy) /
                                                         (now.machine_total - before.machine_total)});
    if (before.cgroup_cpu >= 0 && now.cgroup_cpu >= 0)
        out.push_back({"cgroup_cpu_utilization_percentage", 100 * per_second(before.cgroup_cpu, now.cgroup_cpu)});
    if (before.tree_read >= 0 && now.tree_read >= 0) {
        out.push_back(
            {"process_tree_disk_read_megabytes_per_second", per_second(before.tree_read, now.tree_read) / MB});
        out.push_back(
            {"process_tree_disk_write_megabytes_per_second", per_second(before.tree_written, now.tree_written) / MB});
    }
    if (before.net_received >= 0 && now.net_received >= 0) {
        out.push_back({"network_receive_megabytes_per_second", per_second(before.net_received, now.net_received) / MB});
        out.push_back({"network_transmit_megabytes_per_second", per_second(before.net_sent, now.net_sent) / MB});
    }
}

}  // namespace sysmetrics
