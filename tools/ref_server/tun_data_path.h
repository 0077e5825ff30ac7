// The server's side of the tunnels: a TUN interface whose address is the pool's gateway.
// Packets from clients go out through it into the server's network; packets the kernel
// routes into it go to the session that holds their destination address.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "data_path.h"

class tun_data_path : public data_path {
  public:
    ~tun_data_path() override;

    // Creates the interface with gateway/prefix_len and brings it up; false with a message.
    bool open(const std::string& name, uint32_t gateway, int prefix_len, int mtu,
              std::string* error);

    void from_client(const session& from, const uint8_t* packet, int len,
                     tunnel_sender& out) override;
    int poll_fd() const override { return fd_; }
    void on_readable(tunnel_sender& out) override;

    uint64_t to_network() const { return to_network_.load(); }
    uint64_t to_clients() const { return to_clients_.load(); }
    uint64_t spoofed() const { return spoofed_.load(); }

  private:
    int fd_ = -1;
    std::atomic<uint64_t> to_network_{0};
    std::atomic<uint64_t> to_clients_{0};
    std::atomic<uint64_t> spoofed_{0};
};
