#include "udp_endpoint.h"

#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string peer_text(const peer_address& peer) {
    char host[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (peer.addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer.addr);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer.addr);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

udp_endpoint::~udp_endpoint() {
    if (fd_ >= 0)
        close(fd_);
}

bool udp_endpoint::open(const std::string& address, uint16_t port, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        *error = "bad listen address " + address + ": " + gai_strerror(rc);
        return false;
    }
    fd_ = socket(list->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    const bool bound = fd_ >= 0 && bind(fd_, list->ai_addr, list->ai_addrlen) == 0;
    freeaddrinfo(list);
    if (!bound) {
        *error = "cannot bind " + address + " port " + std::to_string(port) + ": " +
                 std::strerror(errno);
        return false;
    }
    peer_address local;
    local.len = sizeof local.addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local.addr), &local.len);
    port_ = ntohs(local.addr.ss_family == AF_INET
                      ? reinterpret_cast<const sockaddr_in*>(&local.addr)->sin_port
                      : reinterpret_cast<const sockaddr_in6*>(&local.addr)->sin6_port);
    return true;
}

int udp_endpoint::receive_batch(uint8_t* buf, int cap, int count, peer_address* from,
                                int* lengths) {
    std::vector<mmsghdr> msgs(static_cast<size_t>(count));
    std::vector<iovec> iovs(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        iovs[i] = {buf + static_cast<size_t>(i) * static_cast<size_t>(cap),
                   static_cast<size_t>(cap)};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_name = &from[i].addr;
        msgs[i].msg_hdr.msg_namelen = sizeof from[i].addr;
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int n =
            recvmmsg(fd_, msgs.data(), static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < n; ++i) {
            from[i].len = msgs[i].msg_hdr.msg_namelen;
            lengths[i] = static_cast<int>(msgs[i].msg_len);
        }
        return n < 0 ? 0 : n;
    }
}

void udp_endpoint::send(const peer_address& to, const uint8_t* data, int len) {
    // A datagram the kernel refuses is lost like any other on UDP.
    while (sendto(fd_, data, static_cast<size_t>(len), 0,
                  reinterpret_cast<const sockaddr*>(&to.addr), to.len) < 0 &&
           errno == EINTR) {
    }
}
