// The server's UDP socket.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

struct peer_address {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

std::string peer_text(const peer_address& peer);

class udp_endpoint {
  public:
    udp_endpoint() = default;
    ~udp_endpoint();
    udp_endpoint(const udp_endpoint&) = delete;
    udp_endpoint& operator=(const udp_endpoint&) = delete;

    // Binds a non-blocking socket to a numeric IPv4 or IPv6 address; port 0 picks a free one.
    bool open(const std::string& address, uint16_t port, std::string* error);

    int fd() const { return fd_; }
    uint16_t port() const { return port_; }

    // Up to `count` waiting datagrams in one call, the i-th into buf + i * cap with its length
    // in lengths[i]; returns how many (0 when none is waiting). Longer ones are cut.
    int receive_batch(uint8_t* buf, int cap, int count, peer_address* from, int* lengths);
    void send(const peer_address& to, const uint8_t* data, int len);

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};
