#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "route_entry_check.h"
#include "socket_util.h"

namespace {

TEST(ClassifyIp, StrictDottedQuad) {
    EXPECT_EQ(classify_ip("10.0.0.1"), 0);
    EXPECT_EQ(classify_ip("0.0.0.0"), 0);
    EXPECT_EQ(classify_ip("255.255.255.255"), 0);
    for (const char* bad : {"10.0.0.01", "1..2.3", "1.2.3", "1.2.3.4.", "256.1.1.1", "a.b.c.d",
                            "1.2.3.4.5", ".1.2.3", "1.2.3.1234", "1.2.3.-4", "1.2.3.4:80"}) {
        EXPECT_EQ(classify_ip(bad), 2) << bad;
    }
}

TEST(ClassifyIp, FullFormIpv6Only) {
    EXPECT_EQ(classify_ip("fe80:0:0:0:0:0:0:1"), 1);
    EXPECT_EQ(classify_ip("FE80:ABCD:0:0:0:0:0:ffff"), 1);
    for (const char* bad : {"fe80::1", "::1", "fe80:0:0:0:0:0:0:", "fe80:0:0:0:0:0:0:12345",
                            "fe80:0:0:0:0:0:0:g", "1:2:3:4:5:6:7:8:9"}) {
        EXPECT_EQ(classify_ip(bad), 2) << bad;
    }
}

TEST(ClassifyIp, NeitherForNamesAndEmpty) {
    EXPECT_EQ(classify_ip("localhost"), 2);
    EXPECT_EQ(classify_ip(""), 2);
    EXPECT_EQ(classify_ip(nullptr), 2);
}

route_entry_str_t entry(const char* ip, int32_t bits) {
    route_entry_str_t e{};
    std::memcpy(e.ip, ip, std::min(std::strlen(ip), sizeof(e.ip)));
    e.bitlen = bits;
    return e;
}

// The one rule every route record is held to, wherever it comes in.
TEST(RouteEntryCheck, OnlyRecordsThatNameANetworkPass) {
    const struct {
        route_entry_str_t e;
        route_fault fault;
    } cases[] = {
        {entry("0.0.0.0", 0), route_fault::none},
        {entry("10.0.0.0", 8), route_fault::none},
        {entry("128.0.0.0", 1), route_fault::none},
        {entry("10.0.0.0", 7), route_fault::none},
        {entry("198.51.100.0", 24), route_fault::none},
        {entry("192.0.2.7", 32), route_fault::none},
        {entry("255.255.255.255", 32), route_fault::none},
        // Once read as 0.0.0.0: with length 0, a default route.
        {entry("", 0), route_fault::not_ipv4},
        {entry("not-an-address", 0), route_fault::not_ipv4},
        {entry("10.0.0", 8), route_fault::not_ipv4},
        {entry("10.0.0.0.", 8), route_fault::not_ipv4},
        {entry("010.0.0.0", 8), route_fault::not_ipv4},
        {entry("10.0.0.00", 8), route_fault::not_ipv4},
        {entry("256.0.0.0", 8), route_fault::not_ipv4},
        {entry("1.2.3.1234", 32), route_fault::not_ipv4},
        {entry(" 10.0.0.0", 8), route_fault::not_ipv4},
        {entry("10.0.0.0 ", 8), route_fault::not_ipv4},
        {entry("+10.0.0.0", 8), route_fault::not_ipv4},
        {entry("0x0a.0.0.0", 8), route_fault::not_ipv4},
        {entry("10.0.0.0/8", 8), route_fault::not_ipv4},
        {entry("::ffff:10.0.0.0", 8), route_fault::not_ipv4},
        // 16 bytes without a terminator.
        {entry("100.100.100.1000", 32), route_fault::not_ipv4},
        // Once cut to their low 8 bits: /32 and /8.
        {entry("0.0.0.0", 288), route_fault::prefix_out_of_range},
        {entry("10.0.0.0", 264), route_fault::prefix_out_of_range},
        {entry("10.0.0.0", 33), route_fault::prefix_out_of_range},
        {entry("10.0.0.0", -1), route_fault::prefix_out_of_range},
        {entry("10.0.0.0", INT_MIN), route_fault::prefix_out_of_range},
        {entry("10.0.0.1", 24), route_fault::host_bits_set},
        {entry("11.0.0.0", 7), route_fault::host_bits_set},
        {entry("192.0.2.7", 31), route_fault::host_bits_set},
        {entry("1.0.0.0", 0), route_fault::host_bits_set},
    };
    for (const auto& c : cases) {
        const std::string shown = route_entry_address(c.e) + "/" + std::to_string(c.e.bitlen);
        uint8_t address[4] = {};
        EXPECT_EQ(check_route_entry(c.e, address), c.fault) << shown;
        EXPECT_EQ(std::string(route_fault_text(c.fault)).empty(), c.fault == route_fault::none);
    }
    uint8_t address[4] = {};
    ASSERT_EQ(check_route_entry(entry("198.51.100.0", 24), address), route_fault::none);
    EXPECT_EQ(std::memcmp(address, "\xc6\x33\x64\x00", 4), 0);

    // The text for a log line: as far as the record goes, nothing unprintable.
    EXPECT_EQ(route_entry_address(entry("100.100.100.1000", 8)), "100.100.100.1000");
    EXPECT_EQ(route_entry_address(entry("10.0.0.0\n[error]", 8)), "10.0.0.0?[error]");
}

}  // namespace
