// Offload codec and device framing: split, coalescing, held writes and UDP GRO split against
// independently built packets.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <vector>

#include "device_framing.h"
#include "tcp_offload.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10, ECE = 0x40,
                  CWR = 0x80;

void be16(bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void be32(bytes& b, size_t at, uint32_t v) {
    be16(b, at, v >> 16);
    be16(b, at + 2, v & 0xFFFF);
}
uint32_t rd16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] << 8 | p[1]);
}

// Plain ones' complement sum, one big-endian word at a time.
uint32_t ref_sum(const uint8_t* p, size_t n, uint32_t s = 0) {
    for (size_t i = 0; i < n; i += 2) {
        s += static_cast<uint32_t>(p[i] << 8) | (i + 1 < n ? p[i + 1] : 0u);
        s = (s & 0xFFFF) + (s >> 16);
    }
    return s;
}

uint32_t ref_pseudo(const uint8_t* ip, bool v6, uint8_t proto, uint32_t l4_len) {
    bytes ph;
    if (v6) {
        ph.assign(ip + 8, ip + 40);
    } else {
        ph.assign(ip + 12, ip + 20);
    }
    const size_t at = ph.size();
    ph.resize(at + 8, 0);
    be32(ph, at, l4_len);
    ph[at + 7] = proto;
    return ref_sum(ph.data(), ph.size());
}

bool ip4_check_ok(const bytes& p) {
    return ref_sum(p.data(), (p[0] & 15u) * 4) == 0xFFFF;
}

// Transport checksum of an IPv4 or IPv6 packet without extension headers.
bool l4_check_ok(const bytes& p) {
    const bool v6 = (p[0] >> 4) == 6;
    const size_t ip_len = v6 ? 40 : (p[0] & 15u) * 4;
    const uint8_t proto = v6 ? p[6] : p[9];
    const uint32_t l4 = static_cast<uint32_t>(p.size() - ip_len);
    return ref_sum(p.data() + ip_len, l4, ref_pseudo(p.data(), v6, proto, l4)) == 0xFFFF;
}

bytes pattern(size_t n, unsigned salt) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>((i * 7 + salt * 13 + (i >> 8)) % 251);
    }
    return b;
}

bytes timestamp_option() {
    static const uint8_t nop_nop_timestamps[] = {1, 1, 8, 10, 0, 0, 0x10, 0, 0, 0, 0x20, 0};
    return bytes(std::begin(nop_nop_timestamps), std::end(nop_nop_timestamps));
}

struct tcp_spec {
    bool v6 = false;
    uint16_t sport = 40000, dport = 5201;
    uint32_t seq = 0xFFFFF000u;  // wraps within a few segments
    uint32_t ack = 0x01020304;
    uint8_t flags = ACK;
    uint16_t id = 0xFFFE;  // wraps too
    uint16_t window = 502;
    bytes tcp_opts = timestamp_option();
    bytes ip_opts;
    bytes payload;
};

// An IPv4 (or IPv6) TCP packet with valid checksums.
bytes build_tcp(const tcp_spec& s) {
    const size_t ip_len = s.v6 ? 40 : 20 + s.ip_opts.size();
    const size_t th = 20 + s.tcp_opts.size();
    bytes p(ip_len + th + s.payload.size(), 0);
    if (s.v6) {
        p[0] = 0x60;
        be16(p, 4, static_cast<uint32_t>(th + s.payload.size()));
        p[6] = 6;
        p[7] = 64;
        for (int i = 0; i < 16; ++i) {
            p[8 + i] = static_cast<uint8_t>(0x20 + i);
            p[24 + i] = static_cast<uint8_t>(0x40 + i);
        }
    } else {
        p[0] = static_cast<uint8_t>(0x40 | (ip_len / 4));
        be16(p, 2, static_cast<uint32_t>(p.size()));
        be16(p, 4, s.id);
        p[6] = 0x40;  // DF
        p[8] = 64;
        p[9] = 6;
        be32(p, 12, 0x0A000001);
        be32(p, 16, 0x0A000002);
        std::copy(s.ip_opts.begin(), s.ip_opts.end(), p.begin() + 20);
        be16(p, 10, ~ref_sum(p.data(), ip_len) & 0xFFFF);
    }
    be16(p, ip_len, s.sport);
    be16(p, ip_len + 2, s.dport);
    be32(p, ip_len + 4, s.seq);
    be32(p, ip_len + 8, s.ack);
    p[ip_len + 12] = static_cast<uint8_t>((th / 4) << 4);
    p[ip_len + 13] = s.flags;
    be16(p, ip_len + 14, s.window);
    std::copy(s.tcp_opts.begin(), s.tcp_opts.end(), p.begin() + static_cast<long>(ip_len) + 20);
    std::copy(s.payload.begin(), s.payload.end(), p.begin() + static_cast<long>(ip_len + th));
    const uint32_t l4 = static_cast<uint32_t>(p.size() - ip_len);
    be16(p, ip_len + 16,
         ~ref_sum(p.data() + ip_len, l4, ref_pseudo(p.data(), s.v6, 6, l4)) & 0xFFFF);
    return p;
}

bytes with_header(const offload_header& h, const bytes& packet) {
    bytes b(OFFLOAD_HEADER_LEN);
    offload_header_write(h, b.data());
    b.insert(b.end(), packet.begin(), packet.end());
    return b;
}

// A super-packet as the kernel hands it over: the transport checksum field holds only the
// pseudo-header sum, to be completed over the rest.
bytes super_packet(const tcp_spec& s, uint16_t gso_size, uint8_t gso_type) {
    bytes p = build_tcp(s);
    const size_t ip_len = s.v6 ? 40 : 20 + s.ip_opts.size();
    const uint32_t l4 = static_cast<uint32_t>(p.size() - ip_len);
    be16(p, ip_len + 16, ref_pseudo(p.data(), s.v6, 6, l4));
    offload_header h;
    h.flags = OFFLOAD_F_NEEDS_CSUM;
    h.gso_type = gso_type;
    h.hdr_len = static_cast<uint16_t>(ip_len + 20 + s.tcp_opts.size());
    h.gso_size = gso_size;
    h.csum_start = static_cast<uint16_t>(ip_len);
    h.csum_offset = 16;
    return with_header(h, p);
}

// The segments a correct split yields, built field by field.
std::vector<bytes> expected_segments(tcp_spec s, size_t seg) {
    const bytes all = s.payload;
    std::vector<bytes> out;
    const uint8_t flags = s.flags;
    for (size_t off = 0, i = 0; off < all.size(); off += seg, ++i) {
        const bool last = off + seg >= all.size();
        s.payload.assign(all.begin() + static_cast<long>(off),
                         all.begin() + static_cast<long>(last ? all.size() : off + seg));
        s.flags = flags;
        if (i != 0) {
            s.flags &= static_cast<uint8_t>(~CWR);
        }
        if (!last) {
            s.flags &= static_cast<uint8_t>(~(FIN | PSH));
        }
        out.push_back(build_tcp(s));
        s.seq += static_cast<uint32_t>(seg);
        s.id = static_cast<uint16_t>(s.id + 1);
    }
    return out;
}

struct split_result {
    int rc;
    std::vector<bytes> packets;
};

split_result split(bytes buf, int mtu) {
    split_result r;
    r.rc = offload_split(buf.data(), static_cast<int>(buf.size()), mtu, [&](uint8_t* p, int n) {
        r.packets.emplace_back(p, p + n);
        return true;
    });
    return r;
}

struct coalesced {
    offload_header h;
    bytes packet;
};

std::vector<coalesced> coalesce(const std::vector<bytes>& in) {
    std::vector<packet_ref> refs;
    for (const bytes& p : in) {
        refs.push_back({p.data(), static_cast<int>(p.size())});
    }
    std::vector<uint8_t> out(OFFLOAD_COALESCE_OUT_LEN);
    std::vector<coalesced> result;
    const int rc = offload_coalesce(refs.data(), static_cast<int>(refs.size()), out.data(),
                                    static_cast<int>(out.size()), [&](uint8_t* p, int n) {
                                        coalesced c;
                                        offload_header_read(p, &c.h);
                                        c.packet.assign(p + OFFLOAD_HEADER_LEN, p + n);
                                        result.push_back(c);
                                        return true;
                                    });
    EXPECT_EQ(rc, static_cast<int>(result.size()));
    return result;
}

// What the device does with a coalesced packet, checked: a super-packet's checksum completes
// to a valid one, and its segments (at gso_size, no MTU cap) are the packets that went in.
std::vector<bytes> expand(const std::vector<coalesced>& outs) {
    std::vector<bytes> packets;
    for (const coalesced& c : outs) {
        if (c.h.gso_type == OFFLOAD_GSO_NONE) {
            EXPECT_EQ(c.h.flags, 0);
            packets.push_back(c.packet);
            continue;
        }
        EXPECT_EQ(c.h.gso_type, OFFLOAD_GSO_TCPV4);
        EXPECT_EQ(c.h.flags, OFFLOAD_F_NEEDS_CSUM);
        EXPECT_EQ(c.h.csum_start, 20);
        EXPECT_EQ(c.h.csum_offset, 16);
        EXPECT_EQ(c.h.hdr_len, 20 + ((c.packet[32] >> 4) * 4));
        EXPECT_LE(c.packet.size(), 65535u);
        EXPECT_EQ(rd16(&c.packet[2]), c.packet.size());
        EXPECT_TRUE(ip4_check_ok(c.packet));
        bytes done = c.packet;
        be16(done, 36, ~ref_sum(done.data() + 20, done.size() - 20) & 0xFFFF);
        EXPECT_TRUE(l4_check_ok(done));
        split_result r = split(with_header(c.h, c.packet), OFFLOAD_MAX_PACKET);
        EXPECT_GE(r.rc, 2);
        packets.insert(packets.end(), r.packets.begin(), r.packets.end());
    }
    return packets;
}

std::vector<bytes> flow_segments(int count, size_t size, tcp_spec s) {
    std::vector<bytes> out;
    for (int i = 0; i < count; ++i) {
        s.payload = pattern(size, static_cast<unsigned>(i + s.sport));
        out.push_back(build_tcp(s));
        s.seq += static_cast<uint32_t>(size);
        s.id = static_cast<uint16_t>(s.id + 1);
    }
    return out;
}

// An IPv4 UDP packet whose checksum field holds the pseudo-header sum only.
bytes build_udp4(const bytes& data) {
    const size_t n = 20 + 8 + data.size();
    bytes p(n, 0);
    p[0] = 0x45;
    be16(p, 2, static_cast<uint32_t>(n));
    be16(p, 4, 7);
    p[8] = 64;
    p[9] = 17;
    be32(p, 12, 0xC0A80001);
    be32(p, 16, 0xC0A80002);
    be16(p, 10, ~ref_sum(p.data(), 20) & 0xFFFF);
    be16(p, 20, 5000);
    be16(p, 22, 6000);
    be16(p, 24, static_cast<uint32_t>(n - 20));
    std::copy(data.begin(), data.end(), p.begin() + 28);
    be16(p, 26, ref_pseudo(p.data(), false, 17, static_cast<uint32_t>(n - 20)));
    return p;
}

offload_header udp_needs_csum() {
    offload_header h;
    h.flags = OFFLOAD_F_NEEDS_CSUM;
    h.csum_start = 20;
    h.csum_offset = 6;
    return h;
}

TEST(OffloadHeader, ReadsTheDeviceLayoutInHostOrder) {
    const uint16_t probe = 1;
    if (*reinterpret_cast<const uint8_t*>(&probe) != 1) {
        GTEST_SKIP() << "layout below is the little-endian one";
    }
    const uint8_t raw[OFFLOAD_HEADER_LEN] = {1, 0x81, 52, 0, 0xA8, 0x05, 20, 0, 16, 0};
    offload_header h;
    offload_header_read(raw, &h);
    EXPECT_EQ(h.flags, OFFLOAD_F_NEEDS_CSUM);
    EXPECT_EQ(h.gso_type, OFFLOAD_GSO_TCPV4 | OFFLOAD_GSO_ECN);
    EXPECT_EQ(h.hdr_len, 52);
    EXPECT_EQ(h.gso_size, 1448);
    EXPECT_EQ(h.csum_start, 20);
    EXPECT_EQ(h.csum_offset, 16);
    uint8_t back[OFFLOAD_HEADER_LEN] = {};
    offload_header_write(h, back);
    EXPECT_EQ(0, std::memcmp(raw, back, sizeof(raw)));
}

TEST(OffloadSplit, Tcp4SegmentsMatchIndependentlyBuiltOnes) {
    tcp_spec s;
    s.flags = ACK | PSH | FIN | CWR;
    struct {
        size_t payload;
        uint16_t gso;
        int mtu;
        size_t seg;
    } cases[] = {
        {10000, 1448, 1500, 1448},  // last one shorter
        {4344, 1448, 1500, 1448},   // exact multiple
        {1000, 1448, 1500, 1000},   // one segment
        {10000, 1448, 1400, 1348},  // cut finer than asked to fit the MTU
        {65483, 1448, 1500, 1448},  // largest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        s.payload = pattern(c.payload, 1);
        split_result r = split(super_packet(s, c.gso, OFFLOAD_GSO_TCPV4 | OFFLOAD_GSO_ECN), c.mtu);
        const std::vector<bytes> want = expected_segments(s, c.seg);
        ASSERT_EQ(r.rc, static_cast<int>(want.size()));
        ASSERT_EQ(r.packets.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_LE(r.packets[i].size(), static_cast<size_t>(c.mtu));
            EXPECT_TRUE(ip4_check_ok(r.packets[i]));
            EXPECT_TRUE(l4_check_ok(r.packets[i]));
            EXPECT_EQ(r.packets[i], want[i]);
        }
    }
}

TEST(OffloadSplit, CopiesIpOptionsIntoEverySegment) {
    tcp_spec s;
    s.ip_opts = {1, 1, 1, 0};
    s.payload = pattern(3000, 2);
    split_result r = split(super_packet(s, 1448, OFFLOAD_GSO_TCPV4), 1500);
    EXPECT_EQ(r.packets, expected_segments(s, 1500 - 24 - 32));
}

TEST(OffloadSplit, Tcp6Segments) {
    tcp_spec s;
    s.v6 = true;
    s.flags = ACK | PSH;
    // A few segments, and the largest read the device hands over.
    for (size_t payload : {size_t{5000}, OFFLOAD_READ_LEN - OFFLOAD_HEADER_LEN - size_t{72}}) {
        s.payload = pattern(payload, 3);
        const bytes buf = super_packet(s, 1428, OFFLOAD_GSO_TCPV6);
        ASSERT_LE(buf.size(), static_cast<size_t>(OFFLOAD_READ_LEN));
        split_result r = split(buf, 1500);
        const std::vector<bytes> want = expected_segments(s, 1428);
        ASSERT_EQ(r.packets.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_TRUE(l4_check_ok(r.packets[i]));
            EXPECT_EQ(r.packets[i], want[i]);
        }
    }
}

TEST(OffloadSplit, UdpSegmentsKeepDatagramBoundaries) {
    const bytes data = pattern(2500, 4);
    offload_header h = udp_needs_csum();
    h.gso_type = OFFLOAD_GSO_UDP_L4;
    h.hdr_len = 28;
    h.gso_size = 1200;
    const bytes p = build_udp4(data);
    split_result r = split(with_header(h, p), 1500);
    ASSERT_EQ(r.rc, 3);
    const size_t sizes[] = {1200, 1200, 100};
    for (size_t i = 0; i < 3; ++i) {
        const bytes& d = r.packets[i];
        ASSERT_EQ(d.size(), 28 + sizes[i]);
        EXPECT_EQ(rd16(&d[2]), d.size());
        EXPECT_EQ(rd16(&d[4]), 7 + i);
        EXPECT_EQ(rd16(&d[24]), 8 + sizes[i]);
        EXPECT_TRUE(ip4_check_ok(d));
        EXPECT_TRUE(l4_check_ok(d));
        EXPECT_TRUE(std::equal(d.begin() + 28, d.end(), data.begin() + 1200 * i));
    }
    // Datagrams cannot be cut finer than the sender made them.
    EXPECT_EQ(split(with_header(h, p), 1200).rc, -1);
}

TEST(OffloadSplit, CompletesChecksumOfSinglePacketsAndPassesOthersAsIs) {
    tcp_spec s;
    s.payload = pattern(777, 5);  // odd length
    const bytes valid = build_tcp(s);
    bytes partial = super_packet(s, 0, OFFLOAD_GSO_NONE);
    split_result r = split(partial, 1500);
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(r.packets[0], valid);

    // Data whose checksum computes to zero: UDP must send that as 0xFFFF, zero meaning none.
    bytes data = pattern(100, 6);
    data[98] = data[99] = 0;
    bytes udp = build_udp4(data);
    const uint32_t rest = ref_sum(udp.data() + 20, udp.size() - 20);
    be16(udp, udp.size() - 2, ~rest & 0xFFFF);
    r = split(with_header(udp_needs_csum(), udp), 1500);
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(rd16(&r.packets[0][26]), 0xFFFFu);
    EXPECT_TRUE(l4_check_ok(r.packets[0]));

    bytes odd = valid;
    odd[25] ^= 0xFF;  // a wrong checksum passes untouched without NEEDS_CSUM
    r = split(with_header(offload_header{}, odd), 1500);
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(r.packets[0], odd);
}

TEST(OffloadSplit, StopsWhenTheSinkSaysSo) {
    tcp_spec s;
    s.payload = pattern(10000, 6);
    bytes buf = super_packet(s, 1448, OFFLOAD_GSO_TCPV4);
    int calls = 0;
    EXPECT_EQ(offload_split(buf.data(), static_cast<int>(buf.size()), 1500,
                            [&](uint8_t*, int) { return ++calls < 3; }),
              3);
    EXPECT_EQ(calls, 3);
}

TEST(OffloadSplit, RefusesMalformedInputWithoutEmitting) {
    tcp_spec s;
    s.payload = pattern(3000, 7);
    const bytes good = super_packet(s, 1448, OFFLOAD_GSO_TCPV4);
    const size_t ip = OFFLOAD_HEADER_LEN;  // where the IP header starts in the buffer
    const size_t tcp = ip + 20;
    auto header_edit = [&](void (*edit)(offload_header&)) {
        bytes b = good;
        offload_header h;
        offload_header_read(b.data(), &h);
        edit(h);
        offload_header_write(h, b.data());
        return b;
    };
    auto byte_edit = [&](size_t at, uint8_t v) {
        bytes b = good;
        b[at] = v;
        return b;
    };
    auto length_edit = [&](size_t at, uint32_t v) {
        bytes b = good;
        be16(b, at, v);
        return b;
    };
    // The first n bytes of the packet, its total length and the vnet header matching, so
    // that only the IP or TCP header can be at fault.
    auto truncated = [&](size_t n, uint8_t first_byte) {
        bytes b(good.begin(), good.begin() + static_cast<long>(ip + n));
        offload_header h;
        h.gso_type = OFFLOAD_GSO_TCPV4;
        h.gso_size = 1448;
        offload_header_write(h, b.data());
        b[ip] = first_byte;
        if (n >= 4) {
            be16(b, ip + 2, static_cast<uint32_t>(n));
        }
        return b;
    };
    tcp_spec v6 = s;
    v6.v6 = true;
    auto v6_length_edit = [&](uint32_t v) {
        bytes b = super_packet(v6, 1448, OFFLOAD_GSO_TCPV6);
        be16(b, ip + 4, v);
        return b;
    };
    const struct {
        const char* what;
        bytes buf;
        int mtu;
    } cases[] = {
        {"shorter than the header", bytes(good.begin(), good.begin() + 9), 1500},
        {"hdr_len beyond the buffer", header_edit([](offload_header& h) { h.hdr_len = 5000; }),
         1500},
        {"gso_size 0", header_edit([](offload_header& h) { h.gso_size = 0; }), 1500},
        {"csum_start out of range", header_edit([](offload_header& h) { h.csum_start = 3100; }),
         1500},
        {"csum_offset out of range", header_edit([](offload_header& h) { h.csum_offset = 3031; }),
         1500},
        {"unknown gso type", header_edit([](offload_header& h) { h.gso_type = 3; }), 1500},
        {"IPv6 under TCPV4", super_packet(v6, 1448, OFFLOAD_GSO_TCPV4), 1500},
        {"IPv4 under TCPV6", super_packet(s, 1448, OFFLOAD_GSO_TCPV6), 1500},
        {"IPv6 payload length wrong", v6_length_edit(3031), 1500},
        {"truncated IP header", truncated(19, 0x45), 1500},
        {"truncated TCP header", truncated(39, 0x45), 1500},
        {"IHL below 5", byte_edit(ip, 0x44), 1500},
        {"IHL beyond the packet", truncated(56, 0x4F), 1500},
        {"not version 4", byte_edit(ip, 0x55), 1500},
        {"total length too long", length_edit(ip + 2, 3053), 1500},
        {"total length too short", length_edit(ip + 2, 3051), 1500},
        {"fragment", length_edit(ip + 6, 0x2000), 1500},
        {"UDP under TCPV4", byte_edit(ip + 9, 17), 1500},
        {"data offset below 5", byte_edit(tcp + 12, 0x40), 1500},
        {"data offset beyond the packet", truncated(44, 0x45), 1500},
        {"SYN repeated on every segment", byte_edit(tcp + 13, ACK | SYN), 1500},
        {"RST repeated on every segment", byte_edit(tcp + 13, ACK | RST), 1500},
        {"no room for payload", good, 52},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // An exact-size copy, so that a read past the end shows under the sanitizers.
        bytes exact = c.buf;
        int calls = 0;
        EXPECT_EQ(offload_split(exact.data(), static_cast<int>(exact.size()), c.mtu,
                                [&](uint8_t*, int) { return ++calls > 0; }),
                  -1);
        EXPECT_EQ(calls, 0);
    }
    // The unedited packet does split, so each case above fails on its own fault.
    EXPECT_EQ(split(good, 1500).rc, 3);
    EXPECT_EQ(split(truncated(52, 0x45), 1500).rc, 1);
    EXPECT_EQ(split(v6_length_edit(3032), 1500).rc, 3);
    EXPECT_EQ(split(good, 53).rc, 3000);
}

TEST(OffloadCoalesce, OneFlowRoundTripsByteForByte) {
    tcp_spec s;
    std::vector<bytes> in = flow_segments(20, 1448, s);
    tcp_spec tail = s;
    tail.seq += 20 * 1448;
    tail.id = static_cast<uint16_t>(s.id + 20);
    tail.flags = ACK | PSH;
    tail.payload = pattern(333, 9);
    in.push_back(build_tcp(tail));
    const std::vector<coalesced> out = coalesce(in);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].h.gso_size, 1448);
    EXPECT_EQ(out[0].h.hdr_len, 52);
    EXPECT_EQ(out[0].packet[33] & PSH, PSH);
    EXPECT_EQ(expand(out), in);
}

TEST(OffloadCoalesce, SuperPacketsStayWithin64KiB) {
    const std::vector<bytes> in = flow_segments(100, 1448, tcp_spec{});
    const std::vector<coalesced> out = coalesce(in);
    ASSERT_EQ(out.size(), 3u);  // 45 + 45 + 10 segments of 1448 with 52 header bytes
    EXPECT_EQ(out[0].packet.size(), 52u + 45 * 1448);
    EXPECT_EQ(expand(out), in);
}

TEST(OffloadCoalesce, InterleavedFlowsMergeEachInOrder) {
    tcp_spec a;
    tcp_spec b;
    b.sport = 40001;
    const std::vector<bytes> fa = flow_segments(4, 1448, a);
    const std::vector<bytes> fb = flow_segments(4, 1448, b);
    std::vector<bytes> in;
    for (size_t i = 0; i < 4; ++i) {
        in.push_back(fa[i]);
        in.push_back(fb[i]);
    }
    const std::vector<coalesced> out = coalesce(in);
    ASSERT_EQ(out.size(), 2u);
    std::vector<bytes> first = expand({out[0]});
    std::vector<bytes> second = expand({out[1]});
    EXPECT_EQ(first, fa);
    EXPECT_EQ(second, fb);
}

// Each case: a run of one flow with one packet changed; what comes out must be the same
// packets in the same order, in the given number of outputs.
TEST(OffloadCoalesce, StopsWhereTheFlowCannotContinue) {
    const tcp_spec base;
    struct variant {
        const char* what;
        void (*edit)(tcp_spec&);
        size_t outputs;
    };
    // The fourth of eight segments is changed.
    const variant cases[] = {
        {"sequence gap", [](tcp_spec& s) { s.seq += 1; }, 3},
        {"id gap", [](tcp_spec& s) { s.id = static_cast<uint16_t>(s.id + 2); }, 3},
        {"other ack", [](tcp_spec& s) { s.ack += 1; }, 3},
        {"other window", [](tcp_spec& s) { s.window = 9; }, 3},
        {"other options", [](tcp_spec& s) { s.tcp_opts[11] = 1; }, 3},
        {"FIN", [](tcp_spec& s) { s.flags = ACK | FIN; }, 3},
        {"RST", [](tcp_spec& s) { s.flags = ACK | RST; }, 3},
        {"CWR", [](tcp_spec& s) { s.flags = ACK | CWR; }, 3},
        {"ECE", [](tcp_spec& s) { s.flags = ACK | ECE; }, 3},
        {"no ACK", [](tcp_spec& s) { s.flags = 0; }, 3},
        {"IP options",
         [](tcp_spec& s) {
             s.ip_opts = {1, 1, 1, 0};
         },
         3},
        {"larger", [](tcp_spec& s) { s.payload.push_back(1); }, 3},
        {"PSH ends a group", [](tcp_spec& s) { s.flags = ACK | PSH; }, 2},
        {"smaller ends a group", [](tcp_spec& s) { s.payload.pop_back(); }, 2},
    };
    for (const variant& v : cases) {
        SCOPED_TRACE(v.what);
        std::vector<bytes> in;
        tcp_spec s = base;
        for (int i = 0; i < 8; ++i) {
            s.payload = pattern(1448, static_cast<unsigned>(i));
            tcp_spec one = s;
            if (i == 3) {
                v.edit(one);
            }
            in.push_back(build_tcp(one));
            s.seq += static_cast<uint32_t>(one.payload.size());
            s.id = static_cast<uint16_t>(s.id + 1);
        }
        const std::vector<coalesced> out = coalesce(in);
        EXPECT_EQ(out.size(), v.outputs);
        EXPECT_EQ(expand(out), in);
    }
}

TEST(OffloadCoalesce, PassesOtherPacketsAloneAndKeepsFlowOrder) {
    tcp_spec s;
    std::vector<bytes> in = flow_segments(6, 1448, s);
    bytes bad = in[2];
    bad[200] ^= 1;  // payload no longer matches its checksum
    in[2] = bad;
    tcp_spec pure_ack = s;
    pure_ack.seq += 4 * 1448;
    pure_ack.id = static_cast<uint16_t>(s.id + 4);
    in.insert(in.begin() + 4, build_tcp(pure_ack));
    bytes udp(40, 0);
    udp[0] = 0x45;
    udp[3] = 40;
    udp[9] = 17;
    in.insert(in.begin() + 1, udp);
    in.push_back(bytes{0x60, 0, 0});  // not even a whole header
    const std::vector<coalesced> out = coalesce(in);
    // seg0+seg1 | udp | bad seg2 | seg3 | ack | seg4+seg5 | junk: other packets may move
    // ahead of a flow, never a flow's packets past each other.
    ASSERT_EQ(out.size(), 7u);
    const std::vector<bytes> want = {in[0], in[2], in[1], in[3], in[4], in[5], in[6], in[7], in[8]};
    EXPECT_EQ(expand(out), want);
}

TEST(OffloadCoalesce, RefusesUnusableArguments) {
    const bytes p = build_tcp(tcp_spec{});
    packet_ref ok{p.data(), static_cast<int>(p.size())};
    packet_ref huge{p.data(), 70000};
    std::vector<uint8_t> out(OFFLOAD_COALESCE_OUT_LEN);
    int calls = 0;
    auto sink = [&](uint8_t*, int) { return ++calls > 0; };
    EXPECT_EQ(offload_coalesce(&ok, 1, out.data(), OFFLOAD_COALESCE_OUT_LEN - 1, sink), -1);
    const packet_ref mixed[] = {ok, huge};
    EXPECT_EQ(offload_coalesce(mixed, 2, out.data(), OFFLOAD_COALESCE_OUT_LEN, sink), -1);
    EXPECT_EQ(calls, 0);
    const packet_ref two[] = {ok, ok};  // a sink that says stop ends the batch
    EXPECT_EQ(offload_coalesce(two, 2, out.data(), OFFLOAD_COALESCE_OUT_LEN,
                               [&](uint8_t*, int) { return ++calls > 5; }),
              1);
}

TEST(OffloadCoalesce, LargeBatchesAreTakenInRuns) {
    const std::vector<bytes> in = flow_segments(600, 100, tcp_spec{});
    const std::vector<coalesced> out = coalesce(in);
    EXPECT_LE(out.size(), 6u);
    EXPECT_EQ(expand(out), in);
}

// A device that takes frames as scripted: what it cannot take yet is held and goes first, in
// order, at the next write; a refused frame is dropped; a failure drops what is held.
TEST(DeviceFraming, WritesHoldWhatTheDeviceCannotTakeYet) {
    tcp_spec b;
    b.sport = 40001;
    tcp_spec syn;
    syn.flags = SYN;
    std::vector<bytes> in = flow_segments(4, 1448, tcp_spec{});
    in.push_back(build_tcp(syn));
    for (const bytes& p : flow_segments(3, 1448, b)) {
        in.push_back(p);
    }
    std::vector<packet_ref> refs;
    for (const bytes& p : in) {
        refs.push_back({p.data(), static_cast<int>(p.size())});
    }
    for (bool header : {true, false}) {
        SCOPED_TRACE(header ? "offload header" : "plain");
        device_framing framing(header, 1500);
        std::deque<port_status> script = {port_status::done, port_status::again,
                                          port_status::refused};
        std::vector<coalesced> device;
        auto device_write = [&](const uint8_t* f, size_t n, int* error) {
            port_status s = port_status::done;
            if (!script.empty()) {
                s = script.front();
                script.pop_front();
            }
            if (s == port_status::done) {
                coalesced c;
                if (header) {
                    offload_header_read(f, &c.h);
                }
                c.packet.assign(f + (header ? OFFLOAD_HEADER_LEN : 0), f + n);
                device.push_back(c);
            }
            *error = s == port_status::failed ? 5 : 0;
            return s;
        };
        // The first frame is the first flow's four segments, or its first packet alone; the
        // second one (the SYN, or the next segment) has to wait and is refused at the retry.
        const size_t first = header ? 4 : 1;
        uint64_t first_bytes = 0, rest_bytes = 0;
        int error = 0;
        ASSERT_EQ(framing.write(refs.data(), refs.size(), device_write, &first_bytes, &error),
                  port_status::again);
        EXPECT_EQ(device.size(), 1u);
        ASSERT_EQ(framing.write(nullptr, 0, device_write, &rest_bytes, &error), port_status::done);
        std::vector<bytes> expected = in;
        expected.erase(expected.begin() + static_cast<long>(first));
        std::vector<bytes> seen;
        for (const coalesced& c : device) {
            seen.push_back(c.packet);
        }
        EXPECT_EQ(header ? expand(device) : seen, expected);
        uint64_t expected_bytes = 0;
        for (const bytes& p : expected) {
            expected_bytes += p.size();
        }
        EXPECT_EQ(first_bytes + rest_bytes, expected_bytes);

        script = {port_status::failed};
        device.clear();
        EXPECT_EQ(framing.write(refs.data(), refs.size(), device_write, &rest_bytes, &error),
                  port_status::failed);
        EXPECT_EQ(error, 5);
        script = {port_status::failed};
        EXPECT_EQ(framing.write(nullptr, 0, device_write, &rest_bytes, &error), port_status::done)
            << "nothing held after a failure";
        EXPECT_TRUE(device.empty());
    }
}

TEST(UdpGroSplit, CutsAtTheSegmentSize) {
    bytes buf = pattern(1200 * 3 + 500, 8);
    std::vector<bytes> got;
    auto sink = [&](uint8_t* p, int n) {
        got.emplace_back(p, p + n);
        return true;
    };
    ASSERT_EQ(udp_gro_split(buf.data(), static_cast<int>(buf.size()), 1200, sink), 4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].size(), 500u);
    bytes joined;
    for (const bytes& d : got) {
        joined.insert(joined.end(), d.begin(), d.end());
    }
    EXPECT_EQ(joined, buf);
    got.clear();
    EXPECT_EQ(udp_gro_split(buf.data(), 900, 0, sink), 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 900u);
    EXPECT_EQ(udp_gro_split(buf.data(), 900, -1, sink), -1);
    int calls = 0;
    EXPECT_EQ(udp_gro_split(buf.data(), 3600, 1200, [&](uint8_t*, int) { return ++calls < 2; }), 2);
}

}  // namespace
