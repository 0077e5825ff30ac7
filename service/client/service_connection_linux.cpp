#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service_connection.h"

namespace engine_service {

namespace {

using clock = std::chrono::steady_clock;

int millis_left(clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the descriptor to become ready for `events` until the deadline: false on time-out.
bool wait_ready(int fd, short events, clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, millis_left(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

std::string system_error(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// Sends the frame; a service that refuses the peer closes at once, so a broken pipe is left for
// the read that follows to explain. `*shut`: the service had closed the connection.
bool send_frame(int fd, const std::vector<uint8_t>& frame, clock::time_point deadline, bool* shut,
                std::string* why) {
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n =
            send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!wait_ready(fd, POLLOUT, deadline)) {
                *why = "the request could not be sent in time";
                return false;
            }
        } else if (errno == EPIPE || errno == ECONNRESET) {
            *shut = true;
            return true;
        } else {
            *why = system_error("cannot send the request", errno);
            return false;
        }
    }
    return true;
}

// `*reset`: nothing came, the service closed the connection with what was sent to it unread.
bool receive_exactly(int fd, uint8_t* data, size_t size, clock::time_point deadline, bool* reset,
                     std::string* why) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = recv(fd, data + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            *why = "the service closed the connection without a reply";
            return false;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!wait_ready(fd, POLLIN, deadline)) {
                *why = "no reply in time";
                return false;
            }
        } else {
            *reset = errno == ECONNRESET && got == 0;
            *why = system_error("cannot read the reply", errno);
            return false;
        }
    }
    return true;
}

// Sends the request and reads its reply. `*unread` on a failure where the service closed the
// connection without reading the request: the send found it shut, or the read found it reset.
bool exchange(int fd, const request& r, const std::vector<uint8_t>& frame,
              clock::time_point deadline, reply* out, bool* unread, std::string* why) {
    bool shut = false;
    bool reset = false;
    uint8_t header[LENGTH_BYTES];
    if (!send_frame(fd, frame, deadline, &shut, why) ||
        !receive_exactly(fd, header, sizeof(header), deadline, &reset, why)) {
        *unread = shut || reset;
        return false;
    }
    const uint32_t size = frame_length(header);
    if (size > MAX_REPLY) {
        *why = "the reply is larger than any the protocol has";
        return false;
    }
    std::vector<uint8_t> message(size);
    if (!receive_exactly(fd, message.data(), size, deadline, &reset, why)) {
        return false;
    }
    if (!decode_reply(message.data(), message.size(), out)) {
        *why = "the reply is malformed";
        return false;
    }
    if (out->kind != static_cast<uint8_t>(kind_of(r)) && out->kind != 0) {
        *why = "the reply answers another request";
        return false;
    }
    return true;
}

}  // namespace

std::string socket_path() {
    const char* path = std::getenv(SOCKET_VARIABLE);
    return path != nullptr && *path != '\0' ? path : DEFAULT_SOCKET;
}

connection::connection(std::string path) : path_(std::move(path)) {}

connection::~connection() {
    close();
}

void connection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool connection::lost() const {
    if (fd_ < 0) {
        return false;
    }
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool connection::open(clock::time_point deadline, std::string* why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof(address.sun_path)) {
        *why = "the socket path is empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = system_error("cannot create a socket", errno);
        return false;
    }
    // A full backlog holds a blocking connect back for at most the send time-out.
    const int left = std::max(millis_left(deadline), 1);
    const timeval limit{left / 1000, (left % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    int result = 0;
    do {
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        *why = system_error("cannot connect", errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool connection::call(const request& r, reply* out, std::chrono::milliseconds timeout,
                      std::string* why) {
    const clock::time_point deadline = clock::now() + timeout;
    std::vector<uint8_t> frame;
    if (!encode_request(r, &frame, why)) {
        return false;
    }
    for (;;) {
        if (lost()) {
            close();
        }
        const bool kept = fd_ >= 0;
        if (!kept && !open(deadline, why)) {
            return false;
        }
        bool unread = false;
        const bool done = exchange(fd_, r, frame, deadline, out, &unread, why);
        if (!done || (!out->ok && error_ends_connection(out->error))) {
            close();
        }
        // The service closes a connection that stays idle; it may do so just as this request
        // goes out on a kept one. It never read the request then, which goes once more, on a
        // new connection.
        if (done || !unread || !kept) {
            return done;
        }
    }
}

}  // namespace engine_service
