// The server's UDP socket.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol.h"
#include "udp_batch.h"

// Largest message the server takes or makes: a whole payload behind the header.
constexpr int MAX_DATAGRAM = 0xFFFF + VPN_HEADER_LEN;

struct peer_address {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

std::string peer_text(const peer_address& peer);
bool same_peer(const peer_address& a, const peer_address& b);

// A datagram of a batch: len bytes at offset in the batch's buffer, to one peer.
struct queued_datagram {
    peer_address to;
    size_t offset;
    size_t len;
};

struct received_datagram {
    const uint8_t* data;
    int len;
    peer_address from;
};

// Receiving takes one thread; sending may come from several at once.
class udp_endpoint {
  public:
    udp_endpoint() = default;
    ~udp_endpoint();
    udp_endpoint(const udp_endpoint&) = delete;
    udp_endpoint& operator=(const udp_endpoint&) = delete;

    // Binds a non-blocking socket to a numeric IPv4 or IPv6 address; port 0 picks a free one.
    // With `offload`, sends equal-sized datagrams with segmentation offload and receives
    // coalesced runs where the kernel has them.
    bool open(const std::string& address, uint16_t port, bool offload, std::string* error);
    // What the socket uses, for the log.
    std::string batching() const;

    int fd() const { return sock_.fd; }
    uint16_t port() const { return port_; }

    // The datagrams waiting now, one system call's worth, in arrival order (none when nothing
    // waits); valid until the next call.
    const std::vector<received_datagram>& receive();
    // Sends in order, waiting briefly while the socket buffer is full; a datagram the kernel
    // refuses is lost like any other on UDP.
    void send_batch(const uint8_t* base, const queued_datagram* datagrams, size_t count);

  private:
    udp_batch_socket sock_{-1};
    uint16_t port_ = 0;
    std::unique_ptr<udp_receive_area> area_;
    std::vector<udp_received> batch_;
    std::vector<received_datagram> received_;
};
