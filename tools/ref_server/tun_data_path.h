// The server's side of the tunnels: a TUN interface whose address is the pool's gateway.
// Packets from clients go out through it into the server's network; packets the kernel
// routes into it go to the session that holds their destination address.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "data_path.h"
#include "device_framing.h"

class tun_data_path : public data_path {
  public:
    ~tun_data_path() override;

    // Creates the interface with gateway/prefix_len and brings it up; false with a message.
    // With `offload` (and unless QUARNEL_OFFLOAD=0), the device carries TCP and UDP
    // super-packets behind a virtio-net header where the kernel offers that.
    bool open(const std::string& name, uint32_t gateway, int prefix_len, int mtu,
              std::string* error, bool offload = true);

    // Checks the packet and holds it until end_of_batch, which writes the batch, coalesced
    // into super-packets when the device takes them.
    void from_client(const session& from, const uint8_t* packet, int len,
                     tunnel_sender& out) override;
    void end_of_batch() override;
    int poll_fd() const override { return fd_; }
    // Reads a batch, splitting super-packets into packets of at most the device's MTU.
    void on_readable(tunnel_sender& out) override;
    std::string describe() const override { return description_; }

    // IP packets, counted as they would travel one per datagram.
    uint64_t to_network() const { return to_network_.load(); }
    uint64_t to_clients() const { return to_clients_.load(); }
    uint64_t spoofed() const { return spoofed_.load(); }
    // Super-packets read and split, coalesced ones written, reads the splitter refused.
    uint64_t split_reads() const { return split_reads_.load(); }
    uint64_t coalesced_writes() const { return coalesced_writes_.load(); }
    uint64_t unsplittable() const { return unsplittable_.load(); }

  private:
    void to_session(const uint8_t* packet, int len, tunnel_sender& out);

    int fd_ = -1;
    device_framing framing_;
    std::string description_;
    std::atomic<uint64_t> to_network_{0};
    std::atomic<uint64_t> to_clients_{0};
    std::atomic<uint64_t> spoofed_{0};
    std::atomic<uint64_t> split_reads_{0};
    std::atomic<uint64_t> coalesced_writes_{0};
    std::atomic<uint64_t> unsplittable_{0};
    // The receiving thread's packets of the current batch, back to back, and where each is.
    std::vector<uint8_t> pending_;
    std::vector<int> pending_lengths_;
    std::vector<packet_ref> pending_refs_;
    // The device turn's read buffer.
    std::vector<uint8_t> read_buf_;
};
