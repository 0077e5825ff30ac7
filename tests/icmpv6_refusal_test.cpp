// The answer to an IPv6 packet the tunnel does not carry, and the budget of such answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "icmpv6_refusal.h"
#include "token_bucket.h"

namespace {

struct addr6 {
    uint8_t b[16];
};

addr6 a6(const char* text) {
    addr6 a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.b), 1) << text;
    return a;
}

// An IPv6 packet: header, then the payload given (extension headers included), with the
// payload length field telling `claimed_extra` bytes more than there are.
std::vector<uint8_t> v6_packet(const char* src, const char* dst, uint8_t next,
                               const std::vector<uint8_t>& payload, int claimed_extra = 0) {
    std::vector<uint8_t> p(40, 0);
    p[0] = 0x60;
    const size_t len = payload.size() + static_cast<size_t>(claimed_extra);
    p[4] = static_cast<uint8_t>(len >> 8);
    p[5] = static_cast<uint8_t>(len);
    p[6] = next;
    p[7] = 64;
    const addr6 s = a6(src), d = a6(dst);
    std::copy(s.b, s.b + 16, &p[8]);
    std::copy(d.b, d.b + 16, &p[24]);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

std::vector<uint8_t> tcp_syn() {
    std::vector<uint8_t> t(20, 0);
    t[0] = 0xC3, t[1] = 0x50, t[3] = 80;  // 50000 -> 80
    t[12] = 5 << 4;
    t[13] = 0x02;
    return t;
}

std::vector<uint8_t> icmp6(uint8_t type, size_t body = 8) {
    std::vector<uint8_t> m(4 + body, 0xA5);
    m[0] = type;
    m[1] = 0;
    return m;
}

// An extension header of 8 bytes (or a fragment header) in front of `rest`.
std::vector<uint8_t> behind_ext(uint8_t next, const std::vector<uint8_t>& rest,
                                uint16_t frag_word = 0) {
    std::vector<uint8_t> e(8 + rest.size(), 0);
    e[0] = next;
    e[2] = static_cast<uint8_t>(frag_word >> 8);
    e[3] = static_cast<uint8_t>(frag_word);
    std::copy(rest.begin(), rest.end(), e.begin() + 8);
    return e;
}

// The ICMPv6 checksum as a receiver checks it: the sum over pseudo-header and message with the
// stored checksum in it is all ones.
bool checksum_verifies(const std::vector<uint8_t>& a) {
    uint32_t sum = 0;
    auto add = [&sum](const uint8_t* p, size_t n) {
        for (size_t i = 0; i + 1 < n; i += 2) {
            sum += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
        }
        if (n % 2 != 0) {
            sum += static_cast<uint32_t>(p[n - 1]) << 8;
        }
    };
    const size_t icmp_len = a.size() - 40;
    add(&a[8], 32);
    sum += static_cast<uint32_t>(icmp_len >> 16) + static_cast<uint32_t>(icmp_len & 0xFFFF);
    sum += 58;
    add(&a[40], icmp_len);
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum == 0xFFFF;
}

constexpr const char* HOST = "2001:db8:1::2";
constexpr const char* FAR = "2001:db8:99::7";

TEST(Icmpv6RefusalTest, AnswersWhatMayBeAnsweredWithAWellFormedQuote) {
    std::vector<uint8_t> big_udp(1500 - 40, 0);
    for (size_t i = 0; i < big_udp.size(); ++i) {
        big_udp[i] = static_cast<uint8_t>(i * 7);
    }
    std::vector<uint8_t> ipv4(40, 0);
    ipv4[0] = 0x45;
    ipv4[3] = 40;
    std::vector<uint8_t> runs_past = behind_ext(6, tcp_syn());
    runs_past[1] = 200;  // 1608 bytes claimed for the extension header
    std::vector<uint8_t> header_only = v6_packet(HOST, FAR, 59, {});
    header_only.pop_back();
    const struct {
        const char* name;
        std::vector<uint8_t> packet;
        bool answered;
    } cases[] = {
        {"TCP SYN to a global address", v6_packet(HOST, FAR, 6, tcp_syn()), true},
        {"echo request", v6_packet(HOST, FAR, 58, icmp6(128)), true},
        {"UDP of a full Ethernet MTU", v6_packet(HOST, FAR, 17, big_udp), true},
        {"first fragment", v6_packet(HOST, FAR, 44, behind_ext(6, tcp_syn(), 0x0001)), true},
        {"TCP behind hop-by-hop options", v6_packet(HOST, FAR, 0, behind_ext(6, tcp_syn())), true},
        {"ICMPv6 error", v6_packet(HOST, FAR, 58, icmp6(1)), false},
        {"packet too big", v6_packet(HOST, FAR, 58, icmp6(2)), false},
        {"ICMPv6 error behind destination options",
         v6_packet(HOST, FAR, 60, behind_ext(58, icmp6(3))), false},
        {"later fragment", v6_packet(HOST, FAR, 44, behind_ext(6, tcp_syn(), 0x0008)), false},
        {"multicast destination", v6_packet(HOST, "ff02::1", 58, icmp6(128)), false},
        {"multicast destination, TCP", v6_packet(HOST, "ff0e::5", 6, tcp_syn()), false},
        {"multicast source", v6_packet("ff02::2", FAR, 6, tcp_syn()), false},
        {"unspecified source", v6_packet("::", FAR, 58, icmp6(128)), false},
        {"payload length beyond the bytes", v6_packet(HOST, FAR, 6, tcp_syn(), 4), false},
        {"payload length short of the bytes", v6_packet(HOST, FAR, 6, tcp_syn(), -4), false},
        {"extension header beyond the packet", v6_packet(HOST, FAR, 60, runs_past), false},
        {"ICMPv6 without its type", v6_packet(HOST, FAR, 58, {}), false},
        {"IPv4", ipv4, false},
        {"shorter than a header", header_only, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out(ICMPV6_REFUSAL_MAX + 64, 0xEE);
        const size_t len = icmpv6_refusal(c.packet.data(), c.packet.size(), out.data());
        if (!c.answered) {
            EXPECT_EQ(len, 0u);
            continue;
        }
        ASSERT_GT(len, 0u);
        EXPECT_EQ(out[len], 0xEE) << "written past its length";
        out.resize(len);
        const size_t quoted = std::min<size_t>(c.packet.size(), 1280 - 48);
        ASSERT_EQ(len, 48 + quoted);
        EXPECT_LE(len, 1280u);
        EXPECT_EQ(out[0] >> 4, 6);
        EXPECT_EQ((out[4] << 8) | out[5], static_cast<int>(len - 40));
        EXPECT_EQ(out[6], 58);
        EXPECT_GT(out[7], 0);
        EXPECT_TRUE(std::equal(&out[8], &out[24], &c.packet[24])) << "source is not the refused";
        EXPECT_TRUE(std::equal(&out[24], &out[40], &c.packet[8])) << "not back to the sender";
        EXPECT_EQ(out[40], 1);  // destination unreachable
        EXPECT_EQ(out[41], 1);  // administratively prohibited
        EXPECT_EQ(std::vector<uint8_t>(&out[44], &out[48]), std::vector<uint8_t>(4, 0));
        EXPECT_TRUE(std::equal(&out[48], &out[0] + len, c.packet.begin())) << "quote differs";
        EXPECT_TRUE(checksum_verifies(out));
    }
}

TEST(Icmpv6RefusalTest, BudgetGrantsItsRateAndABurstOfOneSecond) {
    token_bucket budget(100);
    const auto t0 = token_bucket::clock::now();
    int granted = 0;
    for (int i = 0; i < 1000; ++i) {
        granted += budget.take(t0) ? 1 : 0;
    }
    EXPECT_EQ(granted, 100);
    EXPECT_FALSE(budget.take(t0 + std::chrono::milliseconds(9)));
    EXPECT_TRUE(budget.take(t0 + std::chrono::milliseconds(10)));
    EXPECT_FALSE(budget.take(t0 + std::chrono::milliseconds(10)));
    // A quiet hour gives back one second's worth, not more.
    const auto later = t0 + std::chrono::hours(1);
    granted = 0;
    for (int i = 0; i < 1000; ++i) {
        granted += budget.take(later) ? 1 : 0;
    }
    EXPECT_EQ(granted, 100);
    // Time that runs backwards grants nothing.
    EXPECT_FALSE(budget.take(t0));
}

}  // namespace
