// The wire check: what each S3 message a client sent looked like, as counts of faults, so
// that a test can prove every datagram carried exactly one packet, in sequence. The server
// runs it on every S3 message it receives; a test can run it on captured datagrams.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct wire_counters {
    std::atomic<uint64_t> datagrams{0};       // S3 messages seen
    std::atomic<uint64_t> refused{0};         // not opened: unknown session or not authentic
    std::atomic<uint64_t> oversized{0};       // packet longer than the wire MTU
    std::atomic<uint64_t> out_of_order{0};    // sequence not above the flow's previous one
    std::atomic<uint64_t> not_one_packet{0};  // payload not exactly one IPv4 or IPv6 packet

    uint64_t faults() const;
};

// One direction of one session: the sequence of its last S3 message.
struct wire_flow {
    uint64_t last_seq = 0;
    bool seen = false;
};

// One line with the counts.
std::string wire_summary(const wire_counters& wire);

// Counts the faults of an opened S3 message (its header's sequence and its packet).
void wire_check_packet(wire_counters& wire, wire_flow& flow, int mtu, uint64_t seq,
                       const uint8_t* packet, int len);

// Opens a whole S3 datagram with the flow's key and checks it; the opened packet is left
// in plain. A datagram that does not open counts as refused.
void wire_check_datagram(wire_counters& wire, wire_flow& flow, int mtu, const uint8_t* key,
                         const uint8_t* msg, int len, std::vector<uint8_t>* plain);
