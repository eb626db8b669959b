// The record of where a run ran, taken once as it starts: the repository
// (commit, branch, remote without credentials, read from its files; whether
// the tree is dirty and its uncommitted changes, from one bounded `git
// diff`), the command line with what looks like a secret masked, Python and
// the installed distributions (their folders' names, read in-process), the
// host, its CPUs and memory, and the GPUs. Bounded in time as a whole: git
// runs while the rest is read, and what it has not said by the deadline is
// left out.
#include "parts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

namespace py = pybind11;
using namespace py::literals;

namespace sysmetrics {

namespace {

constexpr size_t DIFF_CAP = 1U << 20U;

std::string trimmed(std::string text) {
    text.erase(0, text.find_first_not_of(" \t\r\n"));
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}

bool is_folder(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Repository {
    std::string worktree, gitdir, common;
};

// The repository holding `folder` (a `.git` folder, or a `.git` file naming
// it: a worktree, a submodule).
bool find_repository(std::string folder, Repository &r) {
    for (int depth = 0; depth < 64 && !folder.empty(); depth++) {
        std::string dot = folder + "/.git", text;
        if (is_folder(dot)) {
            r.gitdir = dot;
        } else if (read_small(dot, text) && text.compare(0, 8, "gitdir: ") == 0) {
            std::string named = trimmed(text.substr(8));
            r.gitdir = named[0] == '/' ? named : folder;
            if (named[0] != '/') r.gitdir.append("/").append(named);
        }
        if (!r.gitdir.empty()) {
            r.worktree = folder;
            r.common = r.gitdir;
            if (read_small(r.gitdir + "/commondir", text)) {
                std::string named = trimmed(text);
                r.common = named[0] == '/' ? named : r.gitdir + "/" + named;
            }
            return true;
        }
        if (folder == "/") break;
        size_t slash = folder.rfind('/');
        folder = slash == 0 ? "/" : folder.substr(0, slash);
    }
    return false;
}

std::string resolve_ref(const Repository &r, const std::string &ref) {
    std::string text;
    for (const std::string &base : {r.gitdir, r.common})
        if (read_small(std::string(base).append("/").append(ref), text)) return trimmed(text);
    if (read_small(r.common + "/packed-refs", text)) {
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? text.size() : end + 1;
            if (line.size() > 41 && line.compare(41, std::string::npos, ref) == 0) return line.substr(0, 40);
        }
    }
    return {};
}

// A remote's address without credentials: the user and password of a URL go
// (an ssh login name without a password stays: it is no secret).
std::string without_credentials(const std::string &url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;  // scp-like `user@host:path`
    size_t host = scheme + 3, end = url.find_first_of("/?#", host), at = url.rfind('@', end);
    if (at == std::string::npos || at < host) return url;
    std::string user = url.substr(host, at - host);
    bool ssh = url.compare(0, scheme, "ssh") == 0 || url.compare(0, scheme, "git+ssh") == 0;
    if (ssh && user.find(':') == std::string::npos) return url;
    return url.substr(0, host) + url.substr(at + 1);
}

// The URL of remote `origin` (else of the first remote) in the repository's configuration.
std::string remote_url(const Repository &r) {
    std::string text, section, first, origin;
    if (!read_small(r.common + "/config", text)) return {};
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = trimmed(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line[0] == '[') {
            section = line;
            continue;
        }
        if (section.compare(0, 9, "[remote \"") != 0 || line.compare(0, 3, "url") != 0) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos || !trimmed(line.substr(3, equals - 3)).empty()) continue;
        std::string url = trimmed(line.substr(equals + 1));
        if (first.empty()) first = url;
        if (section == "[remote \"origin\"]") origin = url;
    }
    return without_credentials(origin.empty() ? first : origin);
}

// `git diff HEAD` in the work tree, started at once and read until the
// deadline: the uncommitted changes of tracked files, at most DIFF_CAP.
class Diff {
public:
    explicit Diff(const std::string &worktree) {
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<std::string> args = {"git",  "-C",         worktree,        "--no-pager",   "diff",
                                         "HEAD", "--no-color", "--no-ext-diff", "--no-textconv"};
        std::vector<char *> argv;
        argv.reserve(args.size() + 1);
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // No lock taken on the index (the user's own git may be at work),
        // no prompt, the same words whatever the user's language.
        std::vector<std::string> env = {"GIT_OPTIONAL_LOCKS=0", "GIT_TERMINAL_PROMPT=0", "LC_ALL=C"};
        for (char **e = environ; *e; e++)
            if (std::strncmp(*e, "LC_ALL=", 7) != 0 && std::strncmp(*e, "GIT_", 4) != 0) env.emplace_back(*e);
        std::vector<char *> envp;
        envp.reserve(env.size() + 1);
        for (std::string &e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, "git", &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        if (pid_ < 0) {
            ::close(pipe_fds[0]);
            return;
        }
        fd_ = pipe_fds[0];
        spawned_ = true;
    }
    Diff(const Diff &) = delete;
    Diff &operator=(const Diff &) = delete;
    ~Diff() {
        if (fd_ >= 0) ::close(fd_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return spawned_; }
    // Reads until git ends or `deadline`; true when it ended in time.
    bool finish(Clock::time_point deadline) {
        char buffer[65536];
        while (fd_ >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            size_t room = DIFF_CAP + 1 - std::min(text.size(), DIFF_CAP + 1);
            text.append(buffer, std::min(room, static_cast<size_t>(got)));
            if (text.size() > DIFF_CAP) break;  // enough: the rest is cut
        }
        cut = text.size() > DIFF_CAP;
        if (cut) text.resize(DIFF_CAP);
        if (!cut) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        return true;
    }
    std::string text;
    bool cut = false, ok = false;

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool spawned_ = false;
};

// Words of an option's name that say its value is a secret.
bool names_secret(std::string name) {
    for (char &ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const char *word : {"password", "passwd", "pwd", "secret", "token", "apikey", "api_key", "api-key",
                             "credential", "auth", "private_key", "private-key", "access_key", "access-key"})
        if (name.find(word) != std::string::npos) return true;
    std::string last = name.substr(name.find_last_of("-_.") == std::string::npos ? 0 : name.find_last_of("-_.") + 1);
    return last == "key" || last == "pass";
}

std::string cpu_model() {
    std::string text;
    if (!read_small("/proc/cpuinfo", text)) return {};
    for (const char *key : {"model name", "Model", "cpu model", "Hardware"}) {
        size_t at = text.find(key);
        if (at == std::string::npos) continue;
        size_t colon = text.find(':', at), end = text.find('\n', at);
        if (colon < end) return trimmed(text.substr(colon + 1, end - colon - 1));
    }
    return {};
}

}  // namespace

// The command line, an argument that names a secret (`--password=...`,
// `--token ...`, `API_KEY=...`) keeping its name only, then whatever the
// logins' redaction finds in the rest (tokens, `Bearer ...`).
namespace {

py::list masked_command(rt::Call &c, py::handle argv) {
    py::list out;
    bool next_secret = false;
    py::object redact = c.g("redact");
    for (py::handle item : argv) {
        std::string arg = utf8(item);
        if (next_secret) {
            out.append("***");
            next_secret = false;
            continue;
        }
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        bool option = arg.compare(0, 1, "-") == 0;
        if ((option || equals != std::string::npos) && names_secret(name)) {
            if (equals != std::string::npos) {
                out.append(text_of(name + "=***"));
                continue;
            }
            next_secret = option;
        }
        out.append(redact(py::str(item)));
    }
    return out;
}

}  // namespace

py::object environment_record(rt::Call &c) {
    auto [folder] = c.args<1>();
    // The module's RECORD_BOUND, seconds (within a day).
    double bound = std::clamp(py::float_(c.g("RECORD_BOUND")).cast<double>(), 0.0, 86400.0);
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bound));
    auto began = Clock::now();
    py::object sys = c.g("sys");
    py::dict record, git;
    Repository repository;
    std::unique_ptr<Diff> diff;
    if (find_repository(utf8(folder), repository)) {
        diff = std::make_unique<Diff>(repository.worktree);
        git["repository"] = text_of(repository.worktree);
        std::string head;
        read_small(repository.gitdir + "/HEAD", head);
        head = trimmed(head);
        std::string commit = head, branch;
        if (head.compare(0, 5, "ref: ") == 0) {
            std::string ref = head.substr(5);
            if (ref.compare(0, 11, "refs/heads/") == 0) branch = ref.substr(11);
            commit = resolve_ref(repository, ref);
        }
        git["commit"] = commit.empty() ? py::object(py::none()) : py::object(text_of(commit));
        git["branch"] = branch.empty() ? py::object(py::none()) : py::object(text_of(branch));
        std::string url = remote_url(repository);
        git["remote_url"] = url.empty() ? py::object(py::none()) : py::object(text_of(url));
    }
    py::object orig = py::getattr(sys, "orig_argv", py::none());
    py::list argv = orig.is_none() ? py::list() : py::list(orig);
    if (orig.is_none()) {
        argv.append(sys.attr("executable"));
        for (py::handle a : sys.attr("argv")) argv.append(a);
    }
    record["command"] = masked_command(c, argv);
    record["python"] = py::dict("version"_a = sys.attr("version"), "executable"_a = sys.attr("executable"),
                                "implementation"_a = sys.attr("implementation").attr("name"));
    // Installed distributions, as the folders of their metadata name them
    // (`name-version.dist-info`), the first on the path winning as an
    // import would.
    py::dict distributions;
    for (py::handle entry : sys.attr("path")) {
        if (!PyUnicode_Check(entry.ptr())) continue;
        std::string path = utf8(entry);
        DIR *dir = opendir(path.empty() ? "." : path.c_str());
        if (!dir) continue;
        while (dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            bool dist = name.size() > 10 && name.compare(name.size() - 10, 10, ".dist-info") == 0;
            bool egg = name.size() > 9 && name.compare(name.size() - 9, 9, ".egg-info") == 0;
            if (!dist && !egg) continue;
            std::string stem = name.substr(0, name.size() - (dist ? 10 : 9));
            size_t dash = stem.find('-');
            if (dash == std::string::npos) continue;
            std::string version = stem.substr(dash + 1);
            if (egg) version = version.substr(0, version.find('-'));
            py::str key = text_of(stem.substr(0, dash));
            if (!distributions.contains(key)) distributions[key] = text_of(version);
        }
        closedir(dir);
    }
    record["distributions"] = rt::builtin("dict")(rt::builtin("sorted")(distributions.attr("items")()));
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    utsname system{};
    uname(&system);
    cpu_set_t usable;
    CPU_ZERO(&usable);
    int usable_count = sched_getaffinity(0, sizeof usable, &usable) == 0 ? CPU_COUNT(&usable) : -1;
    record["host"] =
        py::dict("name"_a = text_of(host),
                 "system"_a = text_of(std::string(system.sysname) + " " + system.release + " " + system.machine),
                 "cpu_model"_a = text_of(cpu_model()), "cpu_count"_a = sysconf(_SC_NPROCESSORS_ONLN),
                 "cpus_usable"_a = usable_count, "memory_megabytes"_a = memory_total_bytes() / 1e6);
    Gpus gpus;
    std::string why;
    py::list devices;
    if (gpus.open(why)) {
        for (const GpuInfo &g : gpus.info())
            devices.append(py::dict("name"_a = text_of(g.name), "uuid"_a = text_of(g.uuid),
                                    "memory_total_megabytes"_a = g.memory_total));
        record["gpu_driver"] = text_of(gpus.driver());
        gpus.close();
    }
    record["gpus"] = devices;
    if (diff) {
        bool in_time = false;
        if (diff->started()) {
            WithoutGil released;
            in_time = diff->finish(deadline);
        }
        if (!diff->started()) {
            git["dirty"] = py::none();
            git["note"] = "git could not be run";
        } else if (!in_time) {
            git["dirty"] = py::none();
            git["note"] = rt::text({"git diff took longer than the record's bound of ", c.g("RECORD_BOUND"),
                                    " s (a large repository): left out"});
        } else if (!diff->cut && !diff->ok) {
            git["dirty"] = py::none();
            git["note"] = "git diff HEAD failed (a repository without commits?)";
        } else {
            git["dirty"] = py::bool_(!diff->text.empty());
            git["diff"] = py::bytes(diff->text).attr("decode")("utf-8", "replace");
            git["diff_cut_at_bytes"] = diff->cut ? py::object(py::int_(DIFF_CAP)) : py::object(py::none());
        }
        record["git"] = git;
    }
    record["record_seconds"] = std::chrono::duration<double>(Clock::now() - began).count();
    return record;
}

// The tracking library's own tags for what the record says of the repository.
py::object git_tags(rt::Call &c) {
    auto [record] = c.args<1>();
    py::dict tags;
    py::object git = record.attr("get")("git");
    if (git.is_none()) return tags;
    for (auto [field, tag] : {std::pair<const char *, const char *>{"commit", "MLFLOW_GIT_COMMIT"},
                              {"branch", "MLFLOW_GIT_BRANCH"},
                              {"remote_url", "MLFLOW_GIT_REPO_URL"}}) {
        py::object value = git.attr("get")(field);
        if (!value.is_none()) tags[c.g(tag)] = value;
    }
    return tags;
}

}  // namespace sysmetrics
