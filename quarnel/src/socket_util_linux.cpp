#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>

#include "engine_log.h"
#include "socket_util.h"

namespace {

constexpr int INVALID_SOCKET_FD = -1;

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

// Resolves an IPv6 literal into the peer; 0 or the getaddrinfo error.
int resolve_ipv6(const char* ip, unsigned short port, udp_socket* sock) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(ip, std::to_string(port).c_str(), &hints, &list);
    if (rc != 0)
        return rc;
    std::memcpy(&sock->peer, list->ai_addr, list->ai_addrlen);
    sock->peer_len = static_cast<int>(list->ai_addrlen);
    freeaddrinfo(list);
    return 0;
}

}  // namespace

int socket_open(const char* ip, unsigned short port, udp_socket** out) {
    *out = nullptr;
    if (ip == nullptr || *ip == '\0' || port == 0) {
        QN_ERROR("Param error");
        return -1;
    }
    int kind = 0;
    udp_socket* sock = nullptr;
    try {
        kind = classify_ip(ip);
        if (kind == 0 || kind == 1)
            sock = new udp_socket{};
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return -1;
    }
    if (sock == nullptr) {
        QN_ERROR("Param error");
        return -1;
    }
    sock->s = INVALID_SOCKET_FD;
    if (kind == 0) {
        sock->peer.v4.sin_family = AF_INET;
        sock->peer.v4.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sock->peer.v4.sin_addr);
        sock->peer_len = sizeof(sockaddr_in);
    } else if (const int rc = resolve_ipv6(ip, port, sock); rc != 0) {
        QN_ERROR("getaddrinfo error: {}", gai_strerror(rc));
        socket_close(sock);
        return -1;
    }
    sock->s =
        socket(sock->peer.sa.sa_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock->s == INVALID_SOCKET_FD) {
        QN_ERROR("WSASocket failed with error: {}.", errno);
        socket_close(sock);
        return -1;
    }
    *out = sock;
    return 0;
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
    if (sock->s != INVALID_SOCKET_FD) {
        close(sock->s);
        sock->s = INVALID_SOCKET_FD;
    }
    delete sock;
}
