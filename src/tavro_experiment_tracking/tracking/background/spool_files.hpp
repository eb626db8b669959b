// The artifact spool's files: snapshots of the files a script logs, and the
// manifest that says what each snapshot is.
//
// A snapshot is a folder of the spool (the journal folder's `artifacts`):
// `files/` holds a copy of each file as it was at the call (a reflink where
// the file system offers one: no bytes copied), and `manifest` is a journal
// file (journal_file.hpp's frames) naming the tracking server, the run, the
// artifact path, and each file's path and size, then (written by whoever
// uploads it first, before any upload) each file's CRC-32C, which every
// later upload checks the copies against. The folder is made
// under a name ending in `.partial` and renamed once its manifest is whole,
// so a snapshot cut short by a crash or a full disk is never taken for one.
// Whoever owns a snapshot (the process that made it, or a sync) holds its
// manifest's lock; a snapshot goes once the server has it.
#pragma once

#include "journal_file.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace background::spool {

constexpr char HEADER = 'S', FILE_RECORD = 'F', WHOLE = 'W', CHECKSUMS = 'K';
constexpr uint32_t VERSION = 1;
constexpr const char *PARTIAL = ".partial";
constexpr size_t CHUNK = 1U << 20U;

// ---- CRC-32C (Castagnoli), with the processor's instruction where it has one ----

inline const std::array<uint32_t, 256> &crc32c_table() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1U) ? 0x82F63B78U ^ (c >> 1U) : c >> 1U;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

#ifdef __x86_64__
__attribute__((target("sse4.2"))) inline uint32_t crc32c_sse42(const char *data, size_t size, uint32_t crc) {
    uint64_t c = crc;
    while (size >= 8) {
        uint64_t word;
        std::memcpy(&word, data, 8);
        c = __builtin_ia32_crc32di(c, word);
        data += 8;
        size -= 8;
    }
    auto c32 = static_cast<uint32_t>(c);
    while (size-- > 0) c32 = __builtin_ia32_crc32qi(c32, static_cast<unsigned char>(*data++));
    return c32;
}
#endif

// The running CRC of `data` after `crc` (0 to begin with).
inline uint32_t crc32c(const char *data, size_t size, uint32_t crc = 0) {
    crc = ~crc;
#ifdef __x86_64__
    static const bool fast = __builtin_cpu_supports("sse4.2");
    if (fast) return ~crc32c_sse42(data, size, crc);
#endif
    const std::array<uint32_t, 256> &table = crc32c_table();
    for (size_t i = 0; i < size; i++)
        crc = table[(crc ^ uint32_t{static_cast<unsigned char>(data[i])}) & 0xFFU] ^ (crc >> 8U);
    return ~crc;
}

// ---- files ---------------------------------------------------------------------

[[noreturn]] inline void fail(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// The CRC-32C and size of what `fd` holds, read from its start.
inline std::pair<uint64_t, uint32_t> checksum(int fd) {
    std::unique_ptr<char[]> buffer(new char[CHUNK]);
    uint64_t size = 0;
    uint32_t crc = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer.get(), CHUNK, static_cast<off_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("reading");
        if (n == 0) return {size, crc};
        crc = crc32c(buffer.get(), static_cast<size_t>(n), crc);
        size += static_cast<uint64_t>(n);
    }
}

// `from` copied to `to` (which must not exist) as it is now: a reflink
// where the file system has them, else a copy made by the kernel, else one
// made here; never a file read whole into memory. Returns the copy's size.
inline uint64_t snapshot_file(const std::string &from, const std::string &to) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) fail("opening");
    struct stat st{};
    if (fstat(in.fd, &st) != 0) fail("reading");
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        fail("opening");
    }
    Fd out(::open(to.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.fd < 0) fail("writing");
    if (ioctl(out.fd, FICLONE, in.fd) != 0) {
        bool by_hand = false;
        for (;;) {
            ssize_t n = copy_file_range(in.fd, nullptr, out.fd, nullptr, CHUNK * 64, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                by_hand = true;
                break;
            }
            if (n < 0) fail("writing");
            if (n == 0) break;
        }
        if (by_hand) {
            std::unique_ptr<char[]> buffer(new char[CHUNK]);
            if (ftruncate(out.fd, 0) != 0 || lseek(in.fd, 0, SEEK_SET) < 0 || lseek(out.fd, 0, SEEK_SET) < 0)
                fail("writing");
            for (;;) {
                ssize_t n = ::read(in.fd, buffer.get(), CHUNK);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) fail("reading");
                if (n == 0) break;
                for (ssize_t done = 0; done < n;) {
                    ssize_t w = ::write(out.fd, buffer.get() + done, static_cast<size_t>(n - done));
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) {
                        if (w == 0) errno = ENOSPC;
                        fail("writing");
                    }
                    done += w;
                }
            }
        }
    }
    if (fstat(out.fd, &st) != 0) fail("writing");
    return static_cast<uint64_t>(st.st_size);
}

// `path` and every folder above it up to an existing one, for its owner alone.
inline void make_folders(const std::string &path) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string folder = path.substr(0, at);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) fail("making a folder of");
        if (at == std::string::npos) return;
    }
}

// A snapshot's folder and everything in it, gone; symbolic links removed,
// never followed.
inline void remove_tree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            (void)::remove(p);  // what cannot go stays, and is said by whoever looks next
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// ---- the manifest -------------------------------------------------------------------

struct FileEntry {
    std::string relative;  // below `files/`, '/'-separated
    uint64_t size = 0;
    uint32_t crc = 0;
};

struct Manifest {
    std::string tracking_uri, run_id, artifact_path;  // artifact_path "" : the run's top folder
    int64_t pid = 0;
    bool whole = false;        // every file's record was written
    bool checksummed = false;  // and every file's checksum
    std::vector<FileEntry> files;
    uint64_t bytes() const {
        uint64_t total = 0;
        for (const FileEntry &f : files) total += f.size;
        return total;
    }
};

inline std::string manifest_header(const Manifest &m) {
    std::string header(1, HEADER);
    jfile::put<uint32_t>(header, VERSION);
    jfile::put_text(header, m.tracking_uri);
    jfile::put_text(header, m.run_id);
    jfile::put_text(header, m.artifact_path);
    jfile::put<int64_t>(header, m.pid);
    return header;
}

// Each file's record, then the mark that the manifest is whole.
inline std::string manifest_records(const Manifest &m) {
    std::string frames;
    for (const FileEntry &f : m.files) {
        std::string record(1, FILE_RECORD);
        jfile::put_text(record, f.relative);
        jfile::put<uint64_t>(record, f.size);
        jfile::frame(frames, record);
    }
    jfile::frame(frames, std::string(1, WHOLE));
    return frames;
}

// Writes the manifest at `path` (new, locked, its owner's alone): returns
// its descriptor, which holds the lock. It reaches the disk as the journals
// do, with the operating system's writeback (a process killed loses nothing).
inline int write_manifest(const std::string &path, const Manifest &m) {
    uint64_t size = 0;
    int fd = jfile::File::create(path, manifest_header(m), size);
    try {
        jfile::File::write_whole(fd, manifest_records(m), size);
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
}

// Each file's checksum, taken from its copy in the snapshot `folder` and
// appended to the manifest open (for writing) as `fd`: false, with nothing
// written, when a copy is missing or not of its recorded size.
inline bool add_checksums(int fd, const std::string &folder, Manifest &m) {
    std::string record(1, CHECKSUMS);
    jfile::put<uint32_t>(record, static_cast<uint32_t>(m.files.size()));
    for (FileEntry &e : m.files) {
        Fd copy(::open((folder + "/files/" + e.relative).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (copy.fd < 0) return false;
        auto [size, crc] = checksum(copy.fd);
        if (size != e.size) return false;
        e.crc = crc;
        jfile::put<uint32_t>(record, crc);
    }
    struct stat st{};
    if (fstat(fd, &st) != 0) fail("reading");
    std::string frame;
    jfile::frame(frame, record);
    auto size = static_cast<uint64_t>(st.st_size);
    jfile::File::write_whole(fd, frame, size);
    m.checksummed = true;
    return true;
}

// A path below the snapshot's `files/` as this module writes them: names
// joined by '/', none empty, "." or ".." (a manifest that names anything
// else names a file outside its snapshot, and is not read).
inline bool plain_relative(const std::string &relative) {
    size_t start = 0;
    for (;;) {
        size_t slash = relative.find('/', start);
        std::string name = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// The manifest open as `fd`; `ok` false when it is not one this version reads.
inline Manifest read_manifest(int fd, bool &ok) {
    Manifest m;
    ok = false;
    jfile::Reader reader(fd);
    if (!reader.is_journal()) return m;
    std::string payload;
    bool header = false;
    while (reader.next(payload)) {
        jfile::Fields f(payload, 1);
        char kind = payload.empty() ? 0 : payload[0];
        if (!header) {
            if (kind != HEADER || f.get<uint32_t>() != VERSION) return m;
            m.tracking_uri = f.text();
            m.run_id = f.text();
            m.artifact_path = f.text();
            m.pid = f.get<int64_t>();
            if (!f.ok()) return m;
            header = true;
        } else if (kind == FILE_RECORD) {
            FileEntry e;
            e.relative = f.text();
            e.size = f.get<uint64_t>();
            if (!f.ok() || !plain_relative(e.relative)) return m;
            m.files.push_back(std::move(e));
        } else if (kind == WHOLE) {
            m.whole = true;
        } else if (kind == CHECKSUMS) {
            if (f.get<uint32_t>() != m.files.size()) return m;
            for (FileEntry &e : m.files) e.crc = f.get<uint32_t>();
            if (!f.ok()) return m;
            m.checksummed = true;
        } else {
            return m;
        }
    }
    ok = header && m.whole && reader.damaged() == 0;
    return m;
}

}  // namespace background::spool
