#include "device_framing.h"

device_framing::device_framing(bool header, int mtu)
    : header_(header), mtu_(mtu), out_(header ? OFFLOAD_COALESCE_OUT_LEN : 0) {}

int device_framing::unpack(uint8_t* frame, size_t len, packet_sink sink) const {
    if (header_) {
        return offload_split(frame, static_cast<int>(len), mtu_, sink);
    }
    sink(frame, static_cast<int>(len));
    return 1;
}

int device_framing::packets_in(const uint8_t* frame, size_t len) const {
    return header_ ? offload_frame_segments(frame, static_cast<int>(len)) : 1;
}

uint64_t device_framing::packet_bytes(const uint8_t* frame, size_t len) const {
    if (!header_) {
        return len;
    }
    offload_header h;
    offload_header_read(frame, &h);
    const auto segments = static_cast<uint64_t>(packets_in(frame, len));
    return len - OFFLOAD_HEADER_LEN + (segments - 1) * h.hdr_len;
}

port_status device_framing::write(const packet_ref* packets, size_t count, frame_writer write_frame,
                                  uint64_t* bytes, int* error) {
    *bytes = 0;
    port_status status = port_status::done;
    // Writes one frame unless an earlier one has to wait; false when this one has to wait too.
    // After a failure every frame counts as dealt with: it is lost with the device.
    auto put = [&](const uint8_t* frame, size_t len) {
        if (status == port_status::done) {
            const port_status written = write_frame(frame, len, error);
            if (written == port_status::done) {
                *bytes += packet_bytes(frame, len);
            } else if (written != port_status::refused) {
                status = written;
            }
        }
        return status == port_status::done || status == port_status::failed;
    };
    while (!held_.empty() && put(held_.front().data(), held_.front().size())) {
        held_.pop_front();
    }
    const int frames = pack(packets, count, [&](const uint8_t* frame, int len) {
        const size_t n = static_cast<size_t>(len);
        if (!put(frame, n)) {
            held_.emplace_back(frame, frame + n);
        }
        return status != port_status::failed;
    });
    return frames < 0 && status == port_status::done ? port_status::refused : status;
}
