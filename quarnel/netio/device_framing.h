// Plain IP packets over a device's own framing. A TUN opened with an offload header hands over
// super-packets and takes coalesced ones: what is read is split into packets of at most the
// tunnel MTU, what is written is coalesced (tcp_offload.h). Without a header a frame is one
// packet. Portable: the device's own reads and writes are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "packet_io.h"
#include "tcp_offload.h"

// One write of a frame to the device, without waiting.
using frame_writer = callable_ref<port_status(const uint8_t* frame, size_t len, int* error)>;

class device_framing {
  public:
    device_framing() = default;  // without a header
    device_framing(bool header, int mtu);

    bool header() const { return header_; }

    // The packets of one frame read from the device, handed to sink in order (each valid
    // during its call, which may change it). Returns how many, or -1 when a super-packet
    // cannot be split (then none).
    int unpack(uint8_t* frame, size_t len, packet_sink sink) const;

    // The frames of a batch of packets, handed to sink(const uint8_t* frame, int len) in order
    // (each valid during its call) until it returns false. Returns how many, or -1 when a
    // packet is longer than a frame can be (then none).
    template <typename Sink>
    int pack(const packet_ref* packets, size_t count, Sink sink);

    // How many IP packets a frame stands for, and their bytes: a super-packet counts each
    // segment's headers, as the packets it was coalesced from had them.
    int packets_in(const uint8_t* frame, size_t len) const;
    uint64_t packet_bytes(const uint8_t* frame, size_t len) const;

    // Writes a batch of packets as frames through write_frame, in order. A frame the device
    // cannot take now (again, no_buffer) is held with every frame after it and goes first at
    // the next call, which may bring no packets; a refused frame is dropped; a failure drops
    // everything held. Returns done once nothing is held, the status that stopped it, or
    // refused for a batch that cannot be framed (dropped). *bytes: bytes of IP packets
    // written; *error: the system's code of the status.
    port_status write(const packet_ref* packets, size_t count, frame_writer write_frame,
                      uint64_t* bytes, int* error);

  private:
    bool header_ = false;
    int mtu_ = 0;
    std::vector<uint8_t> out_;  // the frame being coalesced
    std::deque<std::vector<uint8_t>> held_;
};

template <typename Sink>
int device_framing::pack(const packet_ref* packets, size_t count, Sink sink) {
    if (header_) {
        return offload_coalesce(packets, static_cast<int>(count), out_.data(),
                                static_cast<int>(out_.size()),
                                [&](uint8_t* frame, int len) { return sink(frame, len); });
    }
    int frames = 0;
    while (frames < static_cast<int>(count)) {
        const packet_ref& packet = packets[frames++];
        if (!sink(packet.data, packet.len)) {
            break;
        }
    }
    return frames;
}
