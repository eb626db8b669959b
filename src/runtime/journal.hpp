// An append-only file of records that survives the death of its writer.
//
// The file starts with a magic line; each record follows as a frame: its
// length and a CRC-32 of length and payload (both 4 bytes, little-endian),
// then the payload. A reader takes the frames whose checksum holds: a write
// torn by a crash, or bytes flipped on the disk, is skipped and never misread
// as records. A writer that
// fails in the middle of a write (a full disk) cuts the file back to its last
// whole frame, so what was written before stays readable.
//
// Whoever writes a journal holds an exclusive `flock` on it for as long as
// it is open: a reader that must not race a live writer (a sync) takes the
// same lock, without waiting, and leaves the file alone when it cannot.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace rt::journal {

constexpr char MAGIC[] = "tavro-journal 1\n";
constexpr size_t MAGIC_SIZE = sizeof MAGIC - 1;
// A frame longer than this is damage, not a record.
constexpr uint32_t MAX_PAYLOAD = 16u << 20;

inline uint32_t crc32(const char *data, size_t size, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; i++) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// Little-endian fields of a payload, written and read.
template <typename T>
void put(std::string &out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}
inline void put_text(std::string &out, const std::string &text) {
    put<uint32_t>(out, static_cast<uint32_t>(text.size()));
    out += text;
}

// Reads a payload's fields in order; `ok` turns false (and stays false) at
// the first field that runs past the end.
class Fields {
public:
    explicit Fields(const std::string &payload, size_t from = 0) : p_(payload), at_(from) {}
    template <typename T>
    T get() {
        T value{};
        if (!ok_ || at_ + sizeof(T) > p_.size()) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, p_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    std::string text() {
        uint32_t size = get<uint32_t>();
        if (!ok_ || at_ + size > p_.size()) {
            ok_ = false;
            return {};
        }
        std::string out = p_.substr(at_, size);
        at_ += size;
        return out;
    }
    bool ok() const { return ok_; }

private:
    const std::string &p_;
    size_t at_;
    bool ok_ = true;
};

// A frame written in place: `begin` reserves its head in `out`, the payload
// is appended after it, `end` fills in the length and the checksum.
inline size_t begin_frame(std::string &out) {
    size_t at = out.size();
    out.append(8, '\0');
    return at;
}
inline void end_frame(std::string &out, size_t at) {
    uint32_t size = static_cast<uint32_t>(out.size() - at - 8);
    std::memcpy(&out[at], &size, 4);
    uint32_t crc = crc32(out.data() + at + 8, size, crc32(out.data() + at, 4));
    std::memcpy(&out[at + 4], &crc, 4);
}

// Appends one framed payload to `out`.
inline void frame(std::string &out, const std::string &payload) {
    char head[4];
    uint32_t size = static_cast<uint32_t>(payload.size());
    std::memcpy(head, &size, 4);
    uint32_t crc = crc32(payload.data(), payload.size(), crc32(head, 4));
    out.append(head, 4);
    put<uint32_t>(out, crc);
    out += payload;
}

[[noreturn]] inline void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// What a reader found in a journal.
struct Contents {
    bool is_journal = false;  // the magic line is there
    std::vector<std::string> payloads;
    uint64_t whole = 0;    // bytes up to the end of the last whole frame
    uint64_t damaged = 0;  // bytes in no whole frame: damage inside, and a torn or damaged tail
};

// Whether a whole frame, its checksum right, starts at `at`; its length then.
inline bool frame_at(const std::string &data, size_t at, uint32_t &size) {
    if (at + 8 > data.size()) return false;
    uint32_t crc;
    std::memcpy(&size, data.data() + at, 4);
    std::memcpy(&crc, data.data() + at + 4, 4);
    if (size > MAX_PAYLOAD || at + 8 + size > data.size()) return false;
    return crc32(data.data() + at + 8, size, crc32(data.data() + at, 4)) == crc;
}

// The frames of an open file. Bytes that are no whole frame (flipped on the
// disk, a write torn by a crash) are skipped up to the next whole frame, so
// a damaged record costs that record alone; what follows the last whole
// frame is the tail.
inline Contents read_all(int fd) {
    Contents found;
    std::string data;
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("reading the journal");
        }
        if (n == 0) break;
        data.append(buffer, size_t(n));
        at += n;
    }
    if (data.compare(0, MAGIC_SIZE, MAGIC) != 0) return found;
    found.is_journal = true;
    size_t at = MAGIC_SIZE, whole = MAGIC_SIZE;
    uint32_t size = 0;
    while (at + 8 <= data.size()) {
        if (frame_at(data, at, size)) {
            found.payloads.emplace_back(data, at + 8, size);
            at += 8 + size;
            whole = at;
            continue;
        }
        size_t next = at + 1;
        while (next + 8 <= data.size() && !frame_at(data, next, size)) next++;
        if (next + 8 > data.size()) break;
        found.damaged += next - at;
        at = next;
    }
    found.whole = whole;
    found.damaged += data.size() - whole;
    return found;
}

// A journal open for appending, locked for as long as it is open.
class File {
public:
    // A new journal at `path` (which must not exist), its first frame
    // `header`; readable by its owner alone.
    static int create(const std::string &path, const std::string &header, uint64_t &size) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) fail("creating the journal");
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
            fail("locking the journal");
        }
        std::string start(MAGIC, MAGIC_SIZE);
        frame(start, header);
        size = 0;
        try {
            write_whole(fd, start, size);
        } catch (...) {
            ::close(fd);
            ::unlink(path.c_str());
            throw;
        }
        return fd;
    }

    // An existing journal, locked without waiting: -1 when someone holds it
    // (a live writer, another sync).
    static int open_locked(const std::string &path) {
        int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd < 0) fail("opening the journal");
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int saved = errno;
            ::close(fd);
            if (saved == EWOULDBLOCK) return -1;
            errno = saved;
            fail("locking the journal");
        }
        return fd;
    }

    // Appends `frames` (whole frames) at `size`, the file's length: all of
    // them, or none (the file is cut back and the error thrown).
    static void write_whole(int fd, const std::string &frames, uint64_t &size) {
        size_t done = 0;
        while (done < frames.size()) {
            ssize_t n = ::write(fd, frames.data() + done, frames.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int saved = n < 0 ? errno : ENOSPC;
                if (done > 0) (void)!ftruncate(fd, off_t(size));
                errno = saved;
                fail("writing the journal");
            }
            done += size_t(n);
        }
        size += frames.size();
    }
};

}  // namespace rt::journal
