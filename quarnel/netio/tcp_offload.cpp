#include "tcp_offload.h"

#include <cstddef>
#include <cstring>

#include "packet_bytes.h"

namespace {

constexpr int TCP_MIN_HEADER = 20;
constexpr int UDP_HEADER = 8;
constexpr int TCP_CHECK_OFFSET = 16;
constexpr int UDP_CHECK_OFFSET = 6;
// IPv4 header, options included, plus a TCP header with options.
constexpr int MAX_HEADERS = 60 + 60 + IPV6_HEADER;

constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_ACK = 0x10;
constexpr uint8_t TCP_URG = 0x20;
constexpr uint8_t TCP_CWR = 0x80;

// Coalescing keeps a mark per packet on the stack; larger batches are taken in runs.
constexpr int COALESCE_RUN = 256;

// A computed zero goes out as 0xFFFF: the same value for TCP, and "no checksum" for UDP.
void csum_store(uint8_t* field, uint64_t sum) {
    uint16_t v = static_cast<uint16_t>(~csum_fold(sum));
    if (v == 0) {
        v = 0xFFFF;
    }
    std::memcpy(field, &v, 2);
}

// Pseudo-header of the transport checksum for a packet whose IP header starts at ip.
uint64_t pseudo_sum(const uint8_t* ip, bool v6, uint8_t proto, uint32_t l4_len) {
    uint8_t tail[8] = {};
    put_be32(tail, l4_len);
    tail[7] = proto;
    if (v6) {
        return csum_bytes(tail, 8, csum_bytes(ip + 8, 32, 0));
    }
    return csum_bytes(tail, 8, csum_bytes(ip + 12, 8, 0));
}

void ipv4_set_check(uint8_t* ip, int ihl) {
    ip[10] = 0;
    ip[11] = 0;
    csum_store(ip + 10, csum_bytes(ip, static_cast<size_t>(ihl), 0));
}

void complete_csum(uint8_t* pkt, int n, const offload_header& h) {
    csum_store(pkt + h.csum_start + h.csum_offset,
               csum_bytes(pkt + h.csum_start, static_cast<size_t>(n - h.csum_start), 0));
}

// Where the headers of a super-packet end, read from the packet itself (hdr_len is a hint).
struct packet_layout {
    bool v6;
    int ip_len;
    uint8_t proto;
    int hdr;  // IP + transport header bytes
};

bool parse_ip(const uint8_t* p, int n, packet_layout* l) {
    const int ip_len = whole_ip_packet_header(p, n);
    if (ip_len == 0) {
        return false;
    }
    if (ip_version(p) == 4) {
        // Fragments (offset or more-fragments) cannot be segmented.
        if ((ipv4_fragment_word(p) & IPV4_FRAGMENTED) != 0) {
            return false;
        }
        *l = {false, ip_len, ipv4_protocol(p), 0};
        return true;
    }
    // Extension headers are refused: the next header must be the transport.
    *l = {true, ip_len, ipv6_next_header(p), 0};
    return true;
}

bool parse_transport(const uint8_t* p, int n, packet_layout* l) {
    if (l->proto == IP_PROTO_TCP) {
        if (n - l->ip_len < TCP_MIN_HEADER) {
            return false;
        }
        const int doff = (p[l->ip_len + 12] >> 4) * 4;
        if (doff < TCP_MIN_HEADER || doff > n - l->ip_len) {
            return false;
        }
        l->hdr = l->ip_len + doff;
        return true;
    }
    if (l->proto == IP_PROTO_UDP) {
        if (n - l->ip_len < UDP_HEADER) {
            return false;
        }
        l->hdr = l->ip_len + UDP_HEADER;
        return true;
    }
    return false;
}

bool parse_super_packet(const uint8_t* p, int n, uint8_t type, packet_layout* l) {
    if (!parse_ip(p, n, l) || !parse_transport(p, n, l)) {
        return false;
    }
    switch (type) {
        case OFFLOAD_GSO_TCPV4:
            return !l->v6 && l->proto == IP_PROTO_TCP;
        case OFFLOAD_GSO_TCPV6:
            return l->v6 && l->proto == IP_PROTO_TCP;
        case OFFLOAD_GSO_UDP_L4:
            return l->proto == IP_PROTO_UDP;
        default:
            return false;
    }
}

// Fills in the per-segment fields of a segment whose headers were copied from the
// super-packet: index i of count, carrying chunk payload bytes, seg_payload bytes per segment.
void finish_segment(uint8_t* s, const packet_layout& l, int i, int count, int chunk,
                    int seg_payload) {
    const int total = l.hdr + chunk;
    const uint32_t l4_len = static_cast<uint32_t>(total - l.ip_len);
    if (l.v6) {
        put_be16(s + 4, static_cast<uint16_t>(l4_len));
    } else {
        put_be16(s + 2, static_cast<uint16_t>(total));
        put_be16(s + 4, static_cast<uint16_t>(get_be16(s + 4) + i));
        ipv4_set_check(s, l.ip_len);
    }
    uint8_t* t = s + l.ip_len;
    int check_offset = UDP_CHECK_OFFSET;
    if (l.proto == IP_PROTO_TCP) {
        put_be32(t + 4,
                 get_be32(t + 4) + static_cast<uint32_t>(i) * static_cast<uint32_t>(seg_payload));
        if (i != 0) {
            t[13] = static_cast<uint8_t>(t[13] & ~TCP_CWR);
        }
        if (i != count - 1) {
            t[13] = static_cast<uint8_t>(t[13] & ~(TCP_FIN | TCP_PSH));
        }
        check_offset = TCP_CHECK_OFFSET;
    } else {
        put_be16(t + 4, static_cast<uint16_t>(l4_len));
    }
    t[check_offset] = 0;
    t[check_offset + 1] = 0;
    csum_store(t + check_offset, csum_bytes(t, l4_len, pseudo_sum(s, l.v6, l.proto, l4_len)));
}

// What coalescing needs of one IPv4 TCP packet.
struct tcp_segment {
    const uint8_t* p;
    int len;
    int ip_len;
    int hdr;
    int payload;
    uint32_t seq;
    uint8_t flags;
    bool candidate;  // could join a super-packet, checksums not yet verified
    bool verified;
};

// Reads the flow of an IPv4 TCP packet; false for anything else, which passes alone.
bool read_tcp_segment(const packet_ref& r, tcp_segment* s) {
    packet_layout l;
    if (r.len < IPV4_MIN_HEADER + TCP_MIN_HEADER || !parse_ip(r.data, r.len, &l) || l.v6 ||
        l.proto != IP_PROTO_TCP || !parse_transport(r.data, r.len, &l)) {
        return false;
    }
    const uint8_t* t = r.data + l.ip_len;
    s->p = r.data;
    s->len = r.len;
    s->ip_len = l.ip_len;
    s->hdr = l.hdr;
    s->payload = r.len - l.hdr;
    s->seq = get_be32(t + 4);
    s->flags = t[13];
    // IP options are left alone: only plain 20-byte headers are merged.
    s->candidate = l.ip_len == IPV4_MIN_HEADER && s->payload > 0 && (s->flags & TCP_ACK) &&
                   !(s->flags & (TCP_SYN | TCP_FIN | TCP_RST | TCP_URG | TCP_CWR));
    s->verified = false;
    return true;
}

bool same_flow(const tcp_segment& a, const tcp_segment& b) {
    return std::memcmp(a.p + 12, b.p + 12, 8) == 0 &&
           std::memcmp(a.p + a.ip_len, b.p + b.ip_len, 4) == 0;
}

bool checksums_valid(tcp_segment* s) {
    if (!s->verified) {
        const uint32_t l4_len = static_cast<uint32_t>(s->len - IPV4_MIN_HEADER);
        s->verified =
            csum_fold(csum_bytes(s->p, IPV4_MIN_HEADER, 0)) == 0xFFFF &&
            csum_fold(csum_bytes(s->p + IPV4_MIN_HEADER, l4_len,
                                 pseudo_sum(s->p, false, IP_PROTO_TCP, l4_len))) == 0xFFFF;
    }
    return s->verified;
}

// Whether next continues the group first..last: every header byte equal apart from those a
// split rewrites (IP length, id + 1, checksums, sequence, PSH).
bool continues(const tcp_segment& first, const tcp_segment& last, const tcp_segment& next,
               int group_len) {
    const uint8_t* a = last.p;
    const uint8_t* b = next.p;
    const uint8_t* ta = a + IPV4_MIN_HEADER;
    const uint8_t* tb = b + IPV4_MIN_HEADER;
    return next.candidate && next.hdr == last.hdr && !(last.flags & TCP_PSH) &&
           last.payload == first.payload && next.payload <= first.payload &&
           group_len + next.payload <= OFFLOAD_MAX_PACKET &&
           static_cast<uint16_t>(get_be16(a + 4) + 1) == get_be16(b + 4) &&
           next.seq == last.seq + static_cast<uint32_t>(last.payload) &&
           std::memcmp(a, b, 2) == 0 && std::memcmp(a + 6, b + 6, 4) == 0 &&
           std::memcmp(ta + 8, tb + 8, 5) == 0 && ((last.flags ^ next.flags) & ~TCP_PSH) == 0 &&
           std::memcmp(ta + 14, tb + 14, 2) == 0 &&
           std::memcmp(ta + 18, tb + 18, static_cast<size_t>(last.hdr - IPV4_MIN_HEADER - 18)) == 0;
}

bool emit_alone(const packet_ref& r, uint8_t* out, packet_sink sink) {
    offload_header_write(offload_header{}, out);
    std::memcpy(out + OFFLOAD_HEADER_LEN, r.data, static_cast<size_t>(r.len));
    return sink(out, OFFLOAD_HEADER_LEN + r.len);
}

// Writes the group (indices members[0..n), n >= 2) as one super-packet.
bool emit_group(const tcp_segment* segs, const int* members, int n, uint8_t* out,
                packet_sink sink) {
    const tcp_segment& first = segs[members[0]];
    const tcp_segment& last = segs[members[n - 1]];
    uint8_t* ip = out + OFFLOAD_HEADER_LEN;
    std::memcpy(ip, first.p, static_cast<size_t>(first.hdr));
    int total = first.hdr;
    for (int k = 0; k < n; ++k) {
        const tcp_segment& s = segs[members[k]];
        std::memcpy(ip + total, s.p + s.hdr, static_cast<size_t>(s.payload));
        total += s.payload;
    }
    put_be16(ip + 2, static_cast<uint16_t>(total));
    ipv4_set_check(ip, IPV4_MIN_HEADER);
    uint8_t* t = ip + IPV4_MIN_HEADER;
    t[13] = last.flags;
    // The device completes the checksum from the pseudo-header sum left in the field.
    const uint16_t partial = csum_fold(
        pseudo_sum(ip, false, IP_PROTO_TCP, static_cast<uint32_t>(total - IPV4_MIN_HEADER)));
    std::memcpy(t + TCP_CHECK_OFFSET, &partial, 2);
    offload_header h;
    h.flags = OFFLOAD_F_NEEDS_CSUM;
    h.gso_type = OFFLOAD_GSO_TCPV4;
    h.hdr_len = static_cast<uint16_t>(first.hdr);
    h.gso_size = static_cast<uint16_t>(first.payload);
    h.csum_start = IPV4_MIN_HEADER;
    h.csum_offset = TCP_CHECK_OFFSET;
    offload_header_write(h, out);
    return sink(out, OFFLOAD_HEADER_LEN + total);
}

// Coalesces one run of at most COALESCE_RUN packets; returns the sink calls, stops early
// (stopped set) when the sink says so.
int coalesce_run(const packet_ref* packets, int count, uint8_t* out, packet_sink sink,
                 bool* stopped) {
    tcp_segment segs[COALESCE_RUN];
    bool is_tcp[COALESCE_RUN];
    bool used[COALESCE_RUN] = {};
    int members[COALESCE_RUN];
    for (int i = 0; i < count; ++i) {
        is_tcp[i] = read_tcp_segment(packets[i], &segs[i]);
    }
    int calls = 0;
    for (int i = 0; i < count; ++i) {
        if (used[i]) {
            continue;
        }
        used[i] = true;
        int n = 1;
        members[0] = i;
        if (is_tcp[i] && segs[i].candidate) {
            int group_len = segs[i].len;
            // Packets of other flows are stepped over; the first packet of this flow that
            // cannot join ends the group, so the flow keeps its order.
            for (int j = i + 1; j < count; ++j) {
                if (used[j] || !is_tcp[j] || !same_flow(segs[i], segs[j])) {
                    continue;
                }
                if (!continues(segs[i], segs[members[n - 1]], segs[j], group_len) ||
                    !checksums_valid(&segs[j]) || (n == 1 && !checksums_valid(&segs[i]))) {
                    break;
                }
                used[j] = true;
                members[n++] = j;
                group_len += segs[j].payload;
            }
        }
        const bool go_on =
            n == 1 ? emit_alone(packets[i], out, sink) : emit_group(segs, members, n, out, sink);
        ++calls;
        if (!go_on) {
            *stopped = true;
            return calls;
        }
    }
    return calls;
}

}  // namespace

void offload_header_read(const uint8_t* p, offload_header* h) {
    h->flags = p[0];
    h->gso_type = p[1];
    std::memcpy(&h->hdr_len, p + 2, 2);
    std::memcpy(&h->gso_size, p + 4, 2);
    std::memcpy(&h->csum_start, p + 6, 2);
    std::memcpy(&h->csum_offset, p + 8, 2);
}

void offload_header_write(const offload_header& h, uint8_t* p) {
    p[0] = h.flags;
    p[1] = h.gso_type;
    std::memcpy(p + 2, &h.hdr_len, 2);
    std::memcpy(p + 4, &h.gso_size, 2);
    std::memcpy(p + 6, &h.csum_start, 2);
    std::memcpy(p + 8, &h.csum_offset, 2);
}

bool offload_split_supports(uint8_t gso_type) {
    switch (gso_type & ~OFFLOAD_GSO_ECN) {
        case OFFLOAD_GSO_NONE:
        case OFFLOAD_GSO_TCPV4:
        case OFFLOAD_GSO_TCPV6:
        case OFFLOAD_GSO_UDP_L4:
            return true;
        default:
            return false;
    }
}

int offload_split(uint8_t* buf, int len, int mtu, packet_sink sink) {
    if (buf == nullptr || len < OFFLOAD_HEADER_LEN) {
        return -1;
    }
    offload_header h;
    offload_header_read(buf, &h);
    uint8_t* pkt = buf + OFFLOAD_HEADER_LEN;
    const int n = len - OFFLOAD_HEADER_LEN;
    const bool needs_csum = (h.flags & OFFLOAD_F_NEEDS_CSUM) != 0;
    if (h.hdr_len > n || (needs_csum && h.csum_start + h.csum_offset + 2 > n)) {
        return -1;
    }
    const uint8_t type = static_cast<uint8_t>(h.gso_type & ~OFFLOAD_GSO_ECN);
    if (type == OFFLOAD_GSO_NONE) {
        if (needs_csum) {
            complete_csum(pkt, n, h);
        }
        sink(pkt, n);
        return 1;
    }
    packet_layout l;
    if (h.gso_size == 0 || !parse_super_packet(pkt, n, type, &l)) {
        return -1;
    }
    if (l.proto == IP_PROTO_TCP && (pkt[l.ip_len + 13] & (TCP_SYN | TCP_RST | TCP_URG)) != 0) {
        return -1;  // flags that must not be repeated on every segment
    }
    int seg_payload = h.gso_size;
    if (l.hdr + seg_payload > mtu) {
        // TCP may be cut finer than the sender asked; UDP datagram boundaries are fixed.
        if (l.proto != IP_PROTO_TCP || mtu - l.hdr < 1) {
            return -1;
        }
        seg_payload = mtu - l.hdr;
    }
    const int payload = n - l.hdr;
    const int count = payload == 0 ? 1 : (payload + seg_payload - 1) / seg_payload;
    uint8_t headers[MAX_HEADERS];
    std::memcpy(headers, pkt, static_cast<size_t>(l.hdr));
    for (int i = 0; i < count; ++i) {
        // Segment i's headers go just before its payload, over bytes already handed out.
        const int offset = i * seg_payload;
        const int chunk = payload - offset < seg_payload ? payload - offset : seg_payload;
        uint8_t* s = pkt + offset;
        std::memcpy(s, headers, static_cast<size_t>(l.hdr));
        finish_segment(s, l, i, count, chunk, seg_payload);
        if (!sink(s, l.hdr + chunk)) {
            return i + 1;
        }
    }
    return count;
}

int offload_coalesce(const packet_ref* packets, int count, uint8_t* out, int out_cap,
                     packet_sink sink) {
    if (count < 0 || out == nullptr || out_cap < OFFLOAD_COALESCE_OUT_LEN) {
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (packets[i].len < 0 || packets[i].len > OFFLOAD_MAX_PACKET) {
            return -1;
        }
    }
    int calls = 0;
    bool stopped = false;
    for (int base = 0; base < count && !stopped; base += COALESCE_RUN) {
        const int run = count - base < COALESCE_RUN ? count - base : COALESCE_RUN;
        calls += coalesce_run(packets + base, run, out, sink, &stopped);
    }
    return calls;
}

int offload_frame_segments(const uint8_t* frame, int len) {
    offload_header h;
    offload_header_read(frame, &h);
    const int payload = len - OFFLOAD_HEADER_LEN - h.hdr_len;
    if ((h.gso_type & ~OFFLOAD_GSO_ECN) == OFFLOAD_GSO_NONE || h.gso_size == 0 || payload <= 0) {
        return 1;
    }
    return (payload + h.gso_size - 1) / h.gso_size;
}

int udp_gro_split(uint8_t* buf, int len, int gso_size, packet_sink sink) {
    if (len < 0 || gso_size < 0) {
        return -1;
    }
    const int step = gso_size == 0 ? len : gso_size;
    int calls = 0;
    for (int offset = 0; offset < len || calls == 0; offset += step) {
        const int chunk = len - offset < step ? len - offset : step;
        ++calls;
        if (!sink(buf + offset, chunk)) {
            break;
        }
    }
    return calls;
}
