// Bytes of the wire and of IP packets, read and written here for everyone who handles packets
// (the protocol, the offload codec, the engine's data path, the reference server): big-endian
// loads and stores, the IPv4 and IPv6 header fields, and the Internet checksum.
#pragma once

#include <cstddef>
#include <cstdint>

inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, static_cast<uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<uint16_t>(v));
}
inline void put_be64(uint8_t* p, uint64_t v) {
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}
inline uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(get_be16(p)) << 16) | get_be16(p + 2);
}
inline uint64_t get_be64(const uint8_t* p) {
    return (static_cast<uint64_t>(get_be32(p)) << 32) | get_be32(p + 4);
}

// ---- IP headers ---------------------------------------------------------------------------

constexpr uint8_t IP_PROTO_TCP = 6;
constexpr uint8_t IP_PROTO_UDP = 17;
constexpr int IPV4_MIN_HEADER = 20;
constexpr int IPV6_HEADER = 40;
// Bits of the IPv4 flags and fragment offset word: the offset alone, and with more-fragments.
constexpr uint16_t IPV4_FRAGMENT_OFFSET = 0x1FFF;
constexpr uint16_t IPV4_FRAGMENTED = 0x3FFF;

inline int ip_version(const uint8_t* p) {
    return p[0] >> 4;
}
inline int ipv4_header_len(const uint8_t* p) {
    return (p[0] & 0x0F) * 4;
}
inline uint16_t ipv4_total_len(const uint8_t* p) {
    return get_be16(p + 2);
}
inline uint16_t ipv4_fragment_word(const uint8_t* p) {
    return get_be16(p + 6);
}
inline uint8_t ipv4_protocol(const uint8_t* p) {
    return p[9];
}
// Addresses in host order.
inline uint32_t ipv4_source(const uint8_t* p) {
    return get_be32(p + 12);
}
inline uint32_t ipv4_destination(const uint8_t* p) {
    return get_be32(p + 16);
}
inline uint16_t ipv6_payload_len(const uint8_t* p) {
    return get_be16(p + 4);
}
inline uint8_t ipv6_next_header(const uint8_t* p) {
    return p[6];
}

// Length of the IP header when the n bytes at p are one whole IPv4 or IPv6 packet by its own
// length fields, 0 otherwise.
inline int whole_ip_packet_header(const uint8_t* p, int n) {
    if (n >= IPV4_MIN_HEADER && ip_version(p) == 4) {
        const int ihl = ipv4_header_len(p);
        return ihl >= IPV4_MIN_HEADER && ihl <= n && ipv4_total_len(p) == n ? ihl : 0;
    }
    if (n >= IPV6_HEADER && ip_version(p) == 6) {
        return ipv6_payload_len(p) + IPV6_HEADER == n ? IPV6_HEADER : 0;
    }
    return 0;
}

// An IPv4 UDP datagram to address:port (host order), or a later fragment of an IPv4 UDP
// datagram to address, which carries no port.
inline bool ipv4_udp_to(const uint8_t* p, int n, uint32_t address, uint16_t port) {
    if (n < IPV4_MIN_HEADER || ip_version(p) != 4 || ipv4_protocol(p) != IP_PROTO_UDP ||
        ipv4_destination(p) != address) {
        return false;
    }
    if ((ipv4_fragment_word(p) & IPV4_FRAGMENT_OFFSET) != 0) {
        return true;
    }
    const int ihl = ipv4_header_len(p);
    return ihl >= IPV4_MIN_HEADER && n >= ihl + 4 && get_be16(p + ihl + 2) == port;
}

// ---- Internet checksum --------------------------------------------------------------------

// Ones' complement sums are kept as sums of native-order words: the folded result stored with
// memcpy has its bytes in network order on either endianness, so no word is ever swapped.
inline uint64_t csum_add(uint64_t sum, uint64_t word) {
    sum += word;
    return sum + (sum < word);
}

// Adds n bytes at p to sum; an odd last byte is the high byte of a zero-padded word.
uint64_t csum_bytes(const uint8_t* p, size_t n, uint64_t sum);

inline uint16_t csum_fold(uint64_t sum) {
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// A checksum field (host order) after one 16-bit word it covers changed from old_word to
// new_word, without summing the rest again.
uint16_t csum_adjust(uint16_t checksum, uint16_t old_word, uint16_t new_word);
