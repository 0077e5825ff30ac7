#include <gtest/gtest.h>

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

}  // namespace
