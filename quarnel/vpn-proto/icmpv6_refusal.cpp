#include "icmpv6_refusal.h"

#include <algorithm>
#include <cstring>

#include "packet_bytes.h"

namespace {

constexpr uint8_t IP_PROTO_ICMPV6 = 58;
constexpr uint8_t ICMPV6_DEST_UNREACHABLE = 1;
constexpr uint8_t ICMPV6_ADMIN_PROHIBITED = 1;
constexpr uint8_t ICMPV6_FIRST_INFO_TYPE = 128;  // types below are error messages
constexpr size_t ICMPV6_ERROR_HEADER = 8;
constexpr uint8_t ANSWER_HOP_LIMIT = 64;

constexpr uint8_t EXT_HOP_BY_HOP = 0;
constexpr uint8_t EXT_ROUTING = 43;
constexpr uint8_t EXT_FRAGMENT = 44;
constexpr uint8_t EXT_AUTH = 51;
constexpr uint8_t EXT_DEST_OPTIONS = 60;

bool is_multicast(const uint8_t* addr) {
    return addr[0] == 0xFF;
}

bool is_unspecified(const uint8_t* addr) {
    return std::all_of(addr, addr + 16, [](uint8_t b) { return b == 0; });
}

// Whether the packet is one that may be answered by the chain of its headers: false for an
// ICMPv6 error message, a later fragment, or a chain that runs past the packet.
bool answerable_payload(const uint8_t* packet, size_t n) {
    uint8_t next = ipv6_next_header(packet);
    size_t at = IPV6_HEADER;
    for (;;) {
        switch (next) {
            case EXT_HOP_BY_HOP:
            case EXT_ROUTING:
            case EXT_DEST_OPTIONS:
            case EXT_AUTH:
            case EXT_FRAGMENT: {
                if (at + 8 > n) {
                    return false;
                }
                size_t len = 8;
                if (next == EXT_FRAGMENT) {
                    if ((get_be16(packet + at + 2) & 0xFFF8) != 0) {
                        return false;
                    }
                } else if (next == EXT_AUTH) {
                    len = (static_cast<size_t>(packet[at + 1]) + 2) * 4;
                } else {
                    len = (static_cast<size_t>(packet[at + 1]) + 1) * 8;
                }
                next = packet[at];
                at += len;
                break;
            }
            case IP_PROTO_ICMPV6:
                return at < n && packet[at] >= ICMPV6_FIRST_INFO_TYPE;
            default:
                return at <= n;
        }
    }
}

}  // namespace

size_t icmpv6_refusal(const uint8_t* packet, size_t n, uint8_t* out) {
    if (n < static_cast<size_t>(IPV6_HEADER) ||
        whole_ip_packet_header(packet, static_cast<int>(std::min<size_t>(n, 0x7FFFFFFF))) !=
            IPV6_HEADER) {
        return 0;
    }
    const uint8_t* source = packet + 8;
    const uint8_t* destination = packet + 24;
    if (is_multicast(destination) || is_multicast(source) || is_unspecified(source) ||
        !answerable_payload(packet, n)) {
        return 0;
    }
    const size_t quoted = std::min(n, ICMPV6_REFUSAL_MAX - IPV6_HEADER - ICMPV6_ERROR_HEADER);
    const size_t icmp_len = ICMPV6_ERROR_HEADER + quoted;
    std::memset(out, 0, IPV6_HEADER + ICMPV6_ERROR_HEADER);
    out[0] = 0x60;
    put_be16(out + 4, static_cast<uint16_t>(icmp_len));
    out[6] = IP_PROTO_ICMPV6;
    out[7] = ANSWER_HOP_LIMIT;
    // The device has no IPv6 address: the answer comes from the address that was refused.
    std::memcpy(out + 8, destination, 16);
    std::memcpy(out + 24, source, 16);
    uint8_t* icmp = out + IPV6_HEADER;
    icmp[0] = ICMPV6_DEST_UNREACHABLE;
    icmp[1] = ICMPV6_ADMIN_PROHIBITED;
    std::memcpy(icmp + ICMPV6_ERROR_HEADER, packet, quoted);
    uint8_t pseudo_tail[8] = {};
    put_be32(pseudo_tail, static_cast<uint32_t>(icmp_len));
    pseudo_tail[7] = IP_PROTO_ICMPV6;
    uint64_t sum = csum_bytes(out + 8, 32, 0);
    sum = csum_bytes(pseudo_tail, sizeof(pseudo_tail), sum);
    sum = csum_bytes(icmp, icmp_len, sum);
    const uint16_t check = static_cast<uint16_t>(~csum_fold(sum));
    std::memcpy(icmp + 2, &check, 2);
    return IPV6_HEADER + icmp_len;
}
