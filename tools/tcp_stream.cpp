#include "tcp_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tcp_stream {

namespace {

// xorshift64: the same stream on both ends without shipping it.
class pattern {
public:
    void fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (left_ == 0) {
                state_ ^= state_ << 13;
                state_ ^= state_ >> 7;
                state_ ^= state_ << 17;
                word_ = state_;
                left_ = 8;
            }
            out[i] = static_cast<uint8_t>(word_);
            word_ >>= 8;
            --left_;
        }
    }

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ULL;
    uint64_t word_ = 0;
    int left_ = 0;
};

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

int listen_on(uint16_t port, std::string* error) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        *error = errno_text("socket");
        return -1;
    }
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener, 1) != 0) {
        *error = errno_text("listen");
        close(listener);
        return -1;
    }
    return listener;
}

receive_result receive_verified(int listener, std::chrono::seconds timeout) {
    receive_result result;
    const int timeout_ms = static_cast<int>(timeout.count() * 1000);
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) {
        result.error = "no connection";
        close(listener);
        return result;
    }
    int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    if (conn < 0) {
        result.error = errno_text("accept");
        return result;
    }
    result.connected = true;
    pattern expected;
    std::vector<uint8_t> buf(1 << 16), want(1 << 16);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    double next_sample = 0.1;
    for (;;) {
        pollfd c{conn, POLLIN, 0};
        if (poll(&c, 1, timeout_ms) != 1) {
            result.error = "stalled";
            break;
        }
        ssize_t n = recv(conn, buf.data(), buf.size(), 0);
        if (n == 0) {
            result.verified = true;
            break;
        }
        if (n < 0) {
            result.error = errno_text("recv");
            break;
        }
        expected.fill(want.data(), static_cast<size_t>(n));
        if (std::memcmp(buf.data(), want.data(), static_cast<size_t>(n)) != 0) {
            result.error = "content differs after " + std::to_string(result.bytes) + " bytes";
            break;
        }
        result.bytes += static_cast<uint64_t>(n);
        if (elapsed() >= next_sample) {
            result.samples.push_back({elapsed(), result.bytes});
            next_sample += 0.1;
        }
    }
    result.seconds = elapsed();
    close(conn);
    return result;
}

bool send_stream(const std::string& host, uint16_t port, uint64_t bytes, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        *error = "bad address " + host;
        return false;
    }
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        *error = errno_text("connect");
        if (s >= 0) {
            close(s);
        }
        return false;
    }
    pattern stream;
    std::vector<uint8_t> buf(1 << 16);
    uint64_t sent = 0;
    bool ok = true;
    while (ok && sent < bytes) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), bytes - sent));
        stream.fill(buf.data(), n);
        for (size_t off = 0; ok && off < n;) {
            ssize_t w = send(s, buf.data() + off, n - off, MSG_NOSIGNAL);
            if (w < 0) {
                *error = errno_text("send");
                ok = false;
            } else {
                off += static_cast<size_t>(w);
            }
        }
        sent += n;
    }
    if (ok) {
        // Half-close, then wait for the receiver's close, so every byte was taken.
        shutdown(s, SHUT_WR);
        char drain[16];
        while (recv(s, drain, sizeof(drain), 0) > 0) {
        }
    }
    close(s);
    return ok;
}

}  // namespace tcp_stream
