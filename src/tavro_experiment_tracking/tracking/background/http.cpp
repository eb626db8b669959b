// The sender's own HTTP/1.1 client, for a tracking server over plain http
// reached without a proxy: one request written and its answer read without
// the GIL, on a connection kept open between batches, the whole exchange
// within a deadline (poll, no thread), cut within a tenth of a second when
// the exit gives up.
#include "parts.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace background {

namespace {

constexpr size_t MAX_HEAD_BYTES = 64U << 10U, MAX_ANSWER_BYTES = 1U << 20U;

// Waits until `fd` is ready for `events`; false at the deadline or when cut.
bool ready(int fd, short events, Clock::time_point deadline, const Queue &queue) {
    for (;;) {
        if (queue.abandoned()) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

int connect_to(const std::string &host, int port, Clock::time_point deadline, const Queue &queue) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family,
                      static_cast<int>(static_cast<unsigned>(a->ai_socktype) | SOCK_NONBLOCK | SOCK_CLOEXEC),
                      a->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            ::close(fd);
            fd = -1;
            continue;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (!ready(fd, POLLOUT, deadline, queue) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
            error != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

bool send_all_bytes(int fd, const std::string &data, Clock::time_point deadline, const Queue &queue) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!ready(fd, POLLOUT, deadline, queue)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// The value of header `name` (lower case) in the answer's head, or "".
std::string header_of(const std::string &head, const std::string &name) {
    size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        size_t colon = head.find(':', at), end = head.find("\r\n", at);
        if (colon == std::string::npos || colon > end) continue;
        std::string key = head.substr(at, colon - at);
        for (char &ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (key != name) continue;
        std::string value = head.substr(colon + 1, end - colon - 1);
        size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t");
        return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    }
    return {};
}

bool is_chunked(const std::string &head) {
    std::string coding = header_of(head, "transfer-encoding");
    for (char &ch : coding) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return coding.find("chunked") != std::string::npos;
}

// The status of an answer's head ("HTTP/1.1 200 OK"), 0 when it has none.
int status_of(const std::string &head) {
    size_t space = head.find(' ');
    if (space == std::string::npos) return 0;
    long status = std::strtol(head.c_str() + space + 1, nullptr, 10);
    return status >= 100 && status <= 999 ? static_cast<int>(status) : 0;
}

// A chunked body decoded; false while it is not complete (or not chunked
// as it should be: `bad`).
bool dechunk(const std::string &raw, std::string &body, bool &bad) {
    body.clear();
    size_t at = 0;
    for (;;) {
        size_t end = raw.find("\r\n", at);
        if (end == std::string::npos) return false;
        char *stop = nullptr;
        unsigned long size = std::strtoul(raw.c_str() + at, &stop, 16);
        if (stop == raw.c_str() + at || size > MAX_ANSWER_BYTES) {
            bad = true;
            return false;
        }
        at = end + 2;
        if (size == 0) return raw.find("\r\n", at) != std::string::npos;
        if (raw.size() < at + size + 2) return false;
        body.append(raw, at, size);
        at += size + 2;
    }
}

}  // namespace

HttpConnection::~HttpConnection() {
    if (fd >= 0) ::close(fd);
}

void HttpConnection::drop() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool HttpConnection::accepted(const std::string &host, int port, const Queue &queue) {
    int probe = connect_to(host, port, Clock::now() + std::chrono::milliseconds(200), queue);
    if (probe < 0) return false;
    ::close(probe);
    return true;
}

// One exchange: the request written, the whole answer read. A kept
// connection the server closed meanwhile (nothing read back at all) is
// opened again once, at once.
bool HttpConnection::exchange(const HttpTarget &target, const std::string &body, HttpAnswer &answer,
                              Clock::time_point deadline, const Queue &queue) {
    std::string request = "POST " + target.path + " HTTP/1.1\r\n" + target.headers +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (int attempt = 0; attempt < 2; attempt++) {
        bool reused = fd >= 0 && host == target.host && port == target.port;
        if (!reused) {
            drop();
            fd = connect_to(target.host, target.port, deadline, queue);
            if (fd < 0) return false;
            host = target.host;
            port = target.port;
        }
        if (!send_all_bytes(fd, request, deadline, queue)) {
            drop();
            if (reused) continue;
            return false;
        }
        std::string raw;
        size_t head_end = std::string::npos;
        bool complete = false, bad = false;
        char buffer[16384];
        while (!complete) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!ready(fd, POLLIN, deadline, queue)) break;
                continue;
            }
            if (n <= 0) break;  // closed (or failed) before the answer was whole
            raw.append(buffer, static_cast<size_t>(n));
            if (head_end == std::string::npos) {
                head_end = raw.find("\r\n\r\n");
                if (head_end == std::string::npos) {
                    if (raw.size() > MAX_HEAD_BYTES) break;
                    continue;
                }
            }
            std::string head = raw.substr(0, head_end + 2), rest = raw.substr(head_end + 4);
            if (is_chunked(head)) {
                complete = dechunk(rest, answer.body, bad);
                if (bad) break;
            } else {
                std::string length = header_of(head, "content-length");
                if (length.empty()) continue;  // read to the end: the server closes after it
                size_t expected = std::strtoul(length.c_str(), nullptr, 10);
                if (expected > MAX_ANSWER_BYTES) break;
                complete = rest.size() >= expected;
                if (complete) answer.body = rest.substr(0, expected);
                if (rest.size() > expected) {  // more than the answer: the connection is not to be trusted again
                    answer.status = status_of(head);
                    drop();
                    return answer.status > 0;
                }
            }
            if (complete) {
                answer.status = status_of(head);
                std::string connection = header_of(head, "connection");
                for (char &ch : connection) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                if (connection == "close" || head.compare(0, 8, "HTTP/1.0") == 0) drop();
                return answer.status > 0;
            }
        }
        // An answer without a length, whole once the server closed.
        if (!complete && head_end != std::string::npos && !bad) {
            std::string head = raw.substr(0, head_end + 2);
            if (!is_chunked(head) && header_of(head, "content-length").empty() && !queue.abandoned() &&
                Clock::now() < deadline) {
                answer.body = raw.substr(head_end + 4);
                answer.status = status_of(head);
                drop();
                return answer.status > 0;
            }
        }
        drop();
        if (reused && raw.empty() && !queue.abandoned() && Clock::now() < deadline) continue;
        return false;
    }
    return false;
}
}  // namespace background
