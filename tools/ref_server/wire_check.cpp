#include "wire_check.h"

#include "protocol.h"

uint64_t wire_counters::faults() const {
    return refused.load() + oversized.load() + out_of_order.load() + not_one_packet.load();
}

std::string wire_summary(const wire_counters& wire) {
    return "wire check: " + std::to_string(wire.datagrams.load()) + " data datagrams, " +
           std::to_string(wire.refused.load()) + " refused, " +
           std::to_string(wire.oversized.load()) + " oversized, " +
           std::to_string(wire.out_of_order.load()) + " out of order, " +
           std::to_string(wire.not_one_packet.load()) + " not one packet";
}

void wire_check_packet(wire_counters& wire, wire_flow& flow, int mtu, uint64_t seq,
                       const uint8_t* packet, int len) {
    if (flow.seen && seq <= flow.last_seq)
        wire.out_of_order.fetch_add(1);
    flow.seen = true;
    flow.last_seq = seq;
    if (len > mtu)
        wire.oversized.fetch_add(1);
    if (whole_ip_packet_header(packet, len) == 0)
        wire.not_one_packet.fetch_add(1);
}

void wire_check_datagram(wire_counters& wire, wire_flow& flow, int mtu, const uint8_t* key,
                         const uint8_t* msg, int len, std::vector<uint8_t>* plain) {
    wire.datagrams.fetch_add(1);
    plain->resize(static_cast<size_t>(len));
    int plain_len = 0;
    if (len <= VPN_HEADER_LEN || msg[0] != MSG_DATA_TRANS ||
        get_be16(msg + 13) != len - VPN_HEADER_LEN ||
        open_payload(key, msg, len, plain->data(), &plain_len) != 0) {
        wire.refused.fetch_add(1);
        return;
    }
    plain->resize(static_cast<size_t>(plain_len));
    wire_check_packet(wire, flow, mtu, get_be64(msg + 5), plain->data(), plain_len);
}
