#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "engine_log.h"
#include "socket_util.h"

namespace {

enum class wait_result { ready, timed_out, failed };

// Waits up to IO_WAIT_MS for the socket to become ready; leaves nothing pending either way.
wait_result wait_socket(int fd, short events, int* error) {
    pollfd entry{fd, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(IO_WAIT_MS);
    for (;;) {
        // Rounded up: poll never returns before the full wait has passed.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int n = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n > 0)
            return wait_result::ready;
        if (n == 0)
            return wait_result::timed_out;
        if (errno != EINTR) {
            *error = errno;
            return wait_result::failed;
        }
    }
}

int send_datagram(const udp_socket* sock, const uint8_t* msg, int len) {
    for (;;) {
        if (sendto(sock->s, msg, static_cast<size_t>(len), 0, &sock->peer.sa,
                   static_cast<socklen_t>(sock->peer_len)) >= 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

// Length of the datagram taken, or -errno. MSG_TRUNC reports a datagram's real length, so
// one larger than the buffer shows up and fails as EMSGSIZE.
int recv_datagram(const udp_socket* sock, uint8_t* reply, int capacity) {
    for (;;) {
        const ssize_t n = recv(sock->s, reply, static_cast<size_t>(capacity), MSG_TRUNC);
        if (n > capacity)
            return -EMSGSIZE;
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return -errno;
    }
}

bool is_pending(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

int socket_create(udp_socket* sock) {
    sock->s =
        socket(sock->peer.sa.sa_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    return sock->s == NO_SOCKET ? errno : 0;
}

std::string resolve_error_text(int code) {
    return gai_strerror(code);
}

namespace {

// The bounded wait of a pending send or receive; logs why it ended unless the socket is ready.
bool wait_pending(int fd, short events) {
    int error = 0;
    switch (wait_socket(fd, events, &error)) {
        case wait_result::timed_out:
            QN_ERROR_IN("udp_send_and_recv", "WaitForSingleObject timeout.");
            return false;
        case wait_result::failed:
            QN_ERROR_IN("udp_send_and_recv", "WaitForSingleObject failed: {}.", error);
            return false;
        case wait_result::ready:
            break;
    }
    return true;
}

}  // namespace

int udp_send_and_recv(udp_socket* sock, const uint8_t* msg, int len, uint8_t* reply,
                      int* reply_len) {
    int error = send_datagram(sock, msg, len);
    if (is_pending(error)) {
        if (!wait_pending(sock->s, POLLOUT))
            return -1;
        error = send_datagram(sock, msg, len);
        if (error != 0 && error != ENOBUFS) {
            QN_ERROR("WSAGetOverlappedResult failed: {}.", error);
            return -1;
        }
    } else if (error != 0 && error != ENOBUFS) {
        QN_ERROR("WSASendTo failed: {}.", error);
        return -1;
    }
    if (error == ENOBUFS)
        QN_INFO("No enough buffer.");
    if (reply == nullptr || reply_len == nullptr)
        return 0;

    int n = recv_datagram(sock, reply, *reply_len);
    if (n < 0 && is_pending(-n)) {
        if (!wait_pending(sock->s, POLLIN))
            return -1;
        n = recv_datagram(sock, reply, *reply_len);
        if (n < 0) {
            QN_ERROR("WSAGetOverlappedResult failed: {}.", -n);
            return -1;
        }
    } else if (n < 0) {
        QN_ERROR("WSARecvFrom failed: {}.", -n);
        return -1;
    }
    *reply_len = n;
    return 0;
}

void socket_close(udp_socket* sock) {
    if (sock == nullptr)
        return;
    if (sock->s != NO_SOCKET) {
        close(sock->s);
        sock->s = NO_SOCKET;
    }
    delete sock;
}
