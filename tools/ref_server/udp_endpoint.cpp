#include "udp_endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol.h"
#include "tun_offload.h"

namespace {

constexpr int MESSAGES_PER_RECEIVE = 32;

}  // namespace

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

bool same_peer(const peer_address& a, const peer_address& b) {
    return a.len == b.len && std::memcmp(&a.addr, &b.addr, a.len) == 0;
}

udp_endpoint::~udp_endpoint() {
    if (sock_.fd >= 0)
        close(sock_.fd);
}

bool udp_endpoint::open(const std::string& address, uint16_t port, bool offload,
                        std::string* error) {
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
    const int fd = socket(list->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    sock_.fd = fd;
    const bool bound = fd >= 0 && bind(fd, list->ai_addr, list->ai_addrlen) == 0;
    freeaddrinfo(list);
    if (!bound) {
        *error = "cannot bind " + address + " port " + std::to_string(port) + ": " +
                 std::strerror(errno);
        return false;
    }
    peer_address local;
    local.len = sizeof local.addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local.addr), &local.len);
    port_ = ntohs(local.addr.ss_family == AF_INET
                      ? reinterpret_cast<const sockaddr_in*>(&local.addr)->sin_port
                      : reinterpret_cast<const sockaddr_in6*>(&local.addr)->sin6_port);
    udp_batch_setup(&sock_, offload && offload_allowed());
    area_ = std::make_unique<udp_receive_area>(MESSAGES_PER_RECEIVE,
                                               udp_receive_message_size(sock_, MAX_DATAGRAM));
    return true;
}

const std::vector<received_datagram>& udp_endpoint::receive() {
    received_.clear();
    if (udp_receive_batch(&sock_, area_.get(), &batch_) != 0)
        return received_;
    for (const udp_received& d : batch_) {
        if (d.truncated)
            continue;
        peer_address from;
        from.addr = *d.from;
        from.len = d.from->ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        received_.push_back({d.data, static_cast<int>(d.len), from});
    }
    return received_;
}

void udp_endpoint::send_batch(const uint8_t* base, const queued_datagram* datagrams, size_t count) {
    constexpr size_t PER_CALL = 256;
    constexpr int FULL_WAIT_MS = 10;
    udp_datagram batch[PER_CALL];
    size_t done = 0;
    while (done < count) {
        const size_t n = std::min(count - done, PER_CALL);
        for (size_t i = 0; i < n; ++i) {
            const queued_datagram& d = datagrams[done + i];
            batch[i] = {base + d.offset, d.len, reinterpret_cast<const sockaddr*>(&d.to.addr),
                        d.to.len};
        }
        int error = 0;
        done += udp_send_batch(&sock_, batch, n, &error);
        if (error == EAGAIN || error == EWOULDBLOCK) {
            pollfd writable{sock_.fd, POLLOUT, 0};
            if (poll(&writable, 1, FULL_WAIT_MS) == 0)
                ++done;  // still full: this one is lost
        } else if (error != 0 && error != EINTR) {
            ++done;
        }
    }
}

std::string udp_endpoint::batching() const {
    if (!sock_.gso.load() && !sock_.gro)
        return "sendmmsg and recvmmsg, no segmentation offload";
    return std::string(sock_.gso.load() ? "segmentation offload (UDP_SEGMENT)" : "sendmmsg") +
           " for sending, " + (sock_.gro ? "receive coalescing (UDP_GRO)" : "recvmmsg") +
           " for receiving";
}
