#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "data_handler.h"

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Ones' complement TCP checksum over the pseudo header and the segment as it stands: 0 for
// a segment whose stored checksum verifies.
uint16_t tcp_checksum(const std::vector<uint8_t>& pkt) {
    const int ihl = (pkt[0] & 0x0F) * 4;
    const int tcp_len = static_cast<int>(pkt.size()) - ihl;
    uint32_t sum = 0;
    auto add = [&sum](const uint8_t* p, int n) {
        for (int i = 0; i + 1 < n; i += 2) {
            sum += be16(p + i);
        }
        if (n % 2 != 0) {
            sum += static_cast<uint32_t>(p[n - 1]) << 8;
        }
    };
    add(&pkt[12], 8);
    sum += 6;
    sum += static_cast<uint32_t>(tcp_len);
    add(&pkt[ihl], tcp_len);
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

void set_checksum(std::vector<uint8_t>& p) {
    p[20 + 16] = p[20 + 17] = 0;
    const uint16_t c = tcp_checksum(p);
    p[20 + 16] = static_cast<uint8_t>(c >> 8);
    p[20 + 17] = static_cast<uint8_t>(c);
}

// IPv4 + TCP SYN with an MSS option (and a NOP and window scale around it), checksum set.
std::vector<uint8_t> syn_packet(uint16_t mss, uint8_t flags = 0x02) {
    std::vector<uint8_t> p(20 + 28, 0);
    p[0] = 0x45;
    p[2] = 0;
    p[3] = static_cast<uint8_t>(p.size());
    p[8] = 64;
    p[9] = 6;
    const uint8_t src[] = {10, 8, 0, 2}, dst[] = {198, 51, 100, 2};
    std::copy(src, src + 4, &p[12]);
    std::copy(dst, dst + 4, &p[16]);
    uint8_t* t = &p[20];
    t[0] = 0xC0;
    t[1] = 0x01;
    t[2] = 0x14;
    t[3] = 0x51;
    t[12] = 7 << 4;  // 28-byte header
    t[13] = flags;
    const uint8_t options[] = {1, 3, 3, 7, 2, 4, static_cast<uint8_t>(mss >> 8),
                               static_cast<uint8_t>(mss)};
    std::copy(options, options + 8, t + 20);
    set_checksum(p);
    return p;
}

uint16_t mss_of(const std::vector<uint8_t>& p) { return be16(&p[20 + 20 + 6]); }

TEST(ClampTcpMss, LowersTheMssAndKeepsTheChecksumValid) {
    std::vector<uint8_t> p = syn_packet(1460);
    clamp_tcp_mss(p.data(), static_cast<int>(p.size()), 1360);
    EXPECT_EQ(mss_of(p), 1360);
    EXPECT_EQ(tcp_checksum(p), 0);

    std::vector<uint8_t> syn_ack = syn_packet(1460, 0x12);
    clamp_tcp_mss(syn_ack.data(), static_cast<int>(syn_ack.size()), 1377);
    EXPECT_EQ(mss_of(syn_ack), 1377);
    EXPECT_EQ(tcp_checksum(syn_ack), 0);
}

TEST(ClampTcpMss, ChecksumStaysValidAcrossManyValues) {
    // Covers both signs of the incremental sum and the folds.
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const uint16_t mss = static_cast<uint16_t>(rng() % 65536);
        const int ceiling = static_cast<int>(rng() % 65536);
        std::vector<uint8_t> p = syn_packet(mss);
        p[20 + 4] = static_cast<uint8_t>(rng());  // vary the sequence number, so the sum
        p[20 + 5] = static_cast<uint8_t>(rng());
        set_checksum(p);
        clamp_tcp_mss(p.data(), static_cast<int>(p.size()), ceiling);
        ASSERT_EQ(mss_of(p), mss > ceiling ? ceiling : mss) << mss << " " << ceiling;
        ASSERT_EQ(tcp_checksum(p), 0) << mss << " " << ceiling;
    }
}

TEST(ClampTcpMss, LeavesOtherPacketsAlone) {
    struct variant {
        const char* what;
        void (*change)(std::vector<uint8_t>&);
    };
    const variant variants[] = {
        {"smaller mss", [](std::vector<uint8_t>& p) { p = syn_packet(1200); }},
        {"not a syn", [](std::vector<uint8_t>& p) { p[20 + 13] = 0x10; }},
        {"fragment", [](std::vector<uint8_t>& p) { p[7] = 0x10; }},
        {"length differs", [](std::vector<uint8_t>& p) { p[3] = 40; }},
        {"udp", [](std::vector<uint8_t>& p) { p[9] = 17; }},
        {"option length overruns", [](std::vector<uint8_t>& p) { p[20 + 20 + 5] = 40; }},
        {"zero option length", [](std::vector<uint8_t>& p) { p[20 + 20 + 2] = 8, p[20 + 20 + 3] = 0; }},
    };
    for (const variant& v : variants) {
        std::vector<uint8_t> p = syn_packet(1460);
        v.change(p);
        const std::vector<uint8_t> before = p;
        clamp_tcp_mss(p.data(), static_cast<int>(p.size()), 1360);
        EXPECT_EQ(p, before) << v.what;
    }
    // Truncated buffers must not be read past their end.
    std::vector<uint8_t> p = syn_packet(1460);
    for (int n = 0; n < static_cast<int>(p.size()); ++n) {
        std::vector<uint8_t> part(p.begin(), p.begin() + n);
        clamp_tcp_mss(part.data(), n, 1360);
    }
}

TEST(RateLimiter, DecidesFromTheAverageSinceTheLastReset) {
    std::atomic<uint64_t> bytes{0}, time_us{0};
    EXPECT_FALSE(rate_limited(0, bytes, time_us));
    EXPECT_FALSE(rate_limited(100000, bytes, time_us));  // 0/0: the first entry passes
    bytes = 1500;
    EXPECT_TRUE(rate_limited(100000, bytes, time_us));  // bytes without time
    EXPECT_FALSE(rate_limited(0, bytes, time_us));
    time_us = 15000;  // 100,000 B/s exactly: not above the limit
    EXPECT_FALSE(rate_limited(100000, bytes, time_us));
    time_us = 14999;
    EXPECT_TRUE(rate_limited(100000, bytes, time_us));
    bytes = 0;
    time_us = 0;
    EXPECT_FALSE(rate_limited(-5, bytes, time_us));  // a negative limit lets one through
    bytes = 1;
    time_us = 1000000;
    EXPECT_TRUE(rate_limited(-5, bytes, time_us));
}

TEST(RateLimiter, AccountingAddsElapsedTimeAndBytes) {
    std::atomic<uint64_t> bytes{0}, time_us{0};
    auto mark = std::chrono::steady_clock::now() - std::chrono::milliseconds(20);
    rate_account account{bytes, time_us, mark};
    account_pass(account, 1400);
    EXPECT_EQ(bytes.load(), 1400u);
    EXPECT_GE(time_us.load(), 20000u);
    EXPECT_LT(time_us.load(), 2000000u);
    const uint64_t first = time_us.load();
    account_pass(account, 0);
    EXPECT_EQ(bytes.load(), 1400u);
    EXPECT_GE(time_us.load(), first);
    EXPECT_GT(mark, std::chrono::steady_clock::now() - std::chrono::seconds(1));
}

}  // namespace
