// Background logging's journal files: an append-only file of records that
// survives the death of its writer (the records themselves are
// journal_records.hpp's).
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

namespace background::jfile {

constexpr char MAGIC[] = "tavro-journal 1\n";
constexpr size_t MAGIC_SIZE = sizeof MAGIC - 1;
// A frame longer than this is damage, not a record (the records are a few
// hundred bytes: a writer refuses a longer one).
constexpr uint32_t MAX_PAYLOAD = 1U << 16U;

constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320u;  // CRC-32 (zlib's), reflected

inline const std::array<uint32_t, 256> &crc_table() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1U) ? CRC_POLYNOMIAL ^ (c >> 1U) : c >> 1U;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

inline uint32_t crc32(const char *data, size_t size, uint32_t crc = 0) {
    const std::array<uint32_t, 256> &table = crc_table();
    crc = ~crc;
    for (size_t i = 0; i < size; i++)
        crc = table[(crc ^ uint32_t{static_cast<unsigned char>(data[i])}) & 0xFFU] ^ (crc >> 8U);
    return ~crc;
}

// Polynomials modulo CRC-32's, in its reflected representation, so that the
// CRC of any stretch of a file follows from the CRCs of two of its prefixes:
// crc(A B) = multiply(x^(8 |B|), crc(A)) ^ crc(B), as zlib's crc32_combine.
inline uint32_t multiply(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 32; bit-- > 0;) {  // without branches: a's bits are noise to a predictor
        product ^= b & (0U - ((a >> bit) & 1U));
        b = (b >> 1U) ^ (CRC_POLYNOMIAL & (0U - (b & 1U)));
    }
    return product;
}

// x^(8 n) for n up to MAX_PAYLOAD: what a CRC is multiplied by when n bytes
// follow it. Made once, on the first damaged journal.
inline const std::vector<uint32_t> &byte_shifts() {
    static const std::vector<uint32_t> shifts = [] {
        std::vector<uint32_t> s(size_t{MAX_PAYLOAD} + 1);
        const std::array<uint32_t, 256> &table = crc_table();
        uint32_t x = 1U << 31U;  // x^0
        for (uint32_t &entry : s) {
            entry = x;
            x = table[x & 0xFFU] ^ (x >> 8U);  // times x^8
        }
        return s;
    }();
    return shifts;
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

// Reads the frames of an open file in order, a window of it at a time:
// memory stays a few megabytes whatever the file's size. Bytes that are no
// whole frame (flipped on the disk, a write torn by a crash) are skipped up
// to the next whole frame, so a damaged record costs that record alone; what
// follows the last whole frame is the tail. Finding the next frame after
// damage looks at every position once, each in constant time (the CRC of a
// candidate follows from prefix CRCs), so even a file crafted to look like
// frames everywhere is read in time linear in its size.
class Reader {
public:
    // From the start of the file, or (a reader that knows where a frame
    // starts) from byte `from`, reading no further than byte `limit`.
    explicit Reader(int fd, uint64_t from = 0, uint64_t limit = UINT64_MAX)
        : fd_(fd), base_(from), at_(from), whole_(from), limit_(limit) {}

    // The magic line is there.
    bool is_journal() {
        if (!have(0, MAGIC_SIZE) || buffer_.compare(0, MAGIC_SIZE, MAGIC) != 0) return false;
        at_ = whole_ = MAGIC_SIZE;
        return true;
    }

    // The next whole frame's payload; false at the end.
    bool next(std::string &payload) {
        for (;;) {
            if (!have(at_, 8)) break;
            uint32_t size = u32(at_);
            if (size <= MAX_PAYLOAD && have(at_, 8 + uint64_t{size}) && u32(at_ + 4) == direct_crc(at_, size)) {
                payload.assign(buffer_, index(at_ + 8), size);
                at_ += 8 + uint64_t{size};
                whole_ = at_;
                return true;
            }
            uint64_t found = next_frame(at_ + 1);
            if (found == NONE) break;
            damaged_ += found - at_;
            at_ = found;
        }
        tail_ = base_ + buffer_.size() - at_;
        return false;
    }

    // Bytes up to the end of the last whole frame.
    uint64_t whole() const { return whole_; }
    // Bytes in no whole frame: damage inside, and (once `next` said the end)
    // a torn or damaged tail.
    uint64_t damaged() const { return damaged_ + tail_; }
    uint64_t tail() const { return tail_; }

private:
    static constexpr uint64_t NONE = UINT64_MAX;
    static constexpr size_t CHUNK = size_t{1} << 20U;

    size_t index(uint64_t offset) const { return static_cast<size_t>(offset - base_); }
    uint32_t u32(uint64_t offset) const {
        uint32_t value;
        std::memcpy(&value, buffer_.data() + index(offset), 4);
        return value;
    }
    uint32_t direct_crc(uint64_t offset, uint32_t size) const {
        const char *head = buffer_.data() + index(offset);
        return crc32(head + 8, size, crc32(head, 4));
    }

    // Bytes [offset, offset + n) are in the window; false when the file ends
    // before. The window never starts far before `offset`.
    bool have(uint64_t offset, uint64_t n) {
        if (offset > base_ + CHUNK) {
            if (!prefix_.empty()) {  // a search under way keeps its prefixes from `offset` on
                prefix(offset);
                prefix_.erase(prefix_.begin(), prefix_.begin() + static_cast<std::ptrdiff_t>(offset - prefix_base_));
                prefix_base_ = offset;
            }
            buffer_.erase(0, index(offset));
            base_ = offset;
        }
        while (base_ + buffer_.size() < offset + n) {
            if (end_) return false;
            size_t old = buffer_.size();
            uint64_t left = limit_ - (base_ + old);
            size_t want = left < CHUNK ? static_cast<size_t>(left) : CHUNK;
            buffer_.resize(old + want);
            ssize_t got = 0;
            do {
                if (want > 0) got = pread(fd_, &buffer_[old], want, static_cast<off_t>(base_ + old));
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                buffer_.resize(old);
                fail("reading the journal");
            }
            buffer_.resize(old + static_cast<size_t>(got));
            if (got == 0) end_ = true;
        }
        return true;
    }

    // CRCs of the window's prefixes, from wherever the search began, up to
    // `offset` (the bytes are in the window).
    uint32_t prefix(uint64_t offset) {
        const std::array<uint32_t, 256> &table = crc_table();
        while (prefix_base_ + prefix_.size() <= offset) {
            uint64_t at = prefix_base_ + prefix_.size() - 1;
            uint32_t r = ~prefix_.back();
            r = table[(r ^ uint32_t{static_cast<unsigned char>(buffer_[index(at)])}) & 0xFFU] ^ (r >> 8U);
            prefix_.push_back(~r);
        }
        return prefix_[static_cast<size_t>(offset - prefix_base_)];
    }

    // The first position from `from` on where a whole frame starts, or NONE.
    uint64_t next_frame(uint64_t from) {
        const std::vector<uint32_t> &shifts = byte_shifts();
        prefix_.assign(1, 0);
        prefix_base_ = from;
        for (uint64_t p = from;; p++) {
            if (!have(p, 8)) break;
            uint32_t size = u32(p);
            if (size > MAX_PAYLOAD || !have(p, 8 + uint64_t{size})) continue;
            // crc(head payload) = x^(8 size) crc(head) + crc(payload), and
            // crc(payload) from the prefixes around it.
            uint32_t head = crc32(buffer_.data() + index(p), 4);
            uint32_t crc = multiply(shifts[size], head ^ prefix(p + 8)) ^ prefix(p + 8 + size);
            if (crc == u32(p + 4)) {
                prefix_.clear();
                return p;
            }
        }
        prefix_.clear();
        return NONE;
    }

    int fd_;
    std::string buffer_;  // the file's bytes from base_ on
    uint64_t base_ = 0, at_ = 0, whole_ = 0, damaged_ = 0, tail_ = 0, limit_;
    bool end_ = false;
    std::vector<uint32_t> prefix_;  // prefix_[i]: CRC of the bytes searched before prefix_base_ + i
    uint64_t prefix_base_ = 0;
};

// A journal file open (and locked) for a while; closed, the lock with it, at
// the end of its scope.
struct Locked {
    int fd = -1;
    Locked() = default;
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    ~Locked() {
        if (fd >= 0) ::close(fd);
    }
};

// A journal open for appending, locked for as long as it is open.
class File {
public:
    // A new journal at `path` (which must not exist), its first frame
    // `header`; readable by its owner alone. Open for reading too: the
    // sender reads back what the logging calls wrote.
    static int create(const std::string &path, const std::string &header, uint64_t &size) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
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
    // (a live writer, another sync). A symbolic link is refused (ELOOP),
    // never followed: a write through it would land in whatever it names.
    static int open_locked(const std::string &path) {
        int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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
                if (done > 0) (void)!ftruncate(fd, static_cast<off_t>(size));
                errno = saved;
                fail("writing the journal");
            }
            done += static_cast<size_t>(n);
        }
        size += frames.size();
    }
};

}  // namespace background::jfile
