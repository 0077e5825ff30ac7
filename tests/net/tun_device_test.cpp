// The TUN interface: how tun_open leaves it, what a bad MTU or a taken name does, and that
// closing takes everything away again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "host_journal.h"
#include "log_capture.h"
#include "netcard_tool.h"
#include "netns.h"
#include "route_backend.h"
#include "tcp_offload.h"
#include "tun_util.h"

using netns_test::dump_state;
using netns_test::net_state;
using netns_test::netns;
using netns_test::netns_scope;

namespace {

class TunDeviceTest : public ::testing::Test {
  protected:
    // The adapter's metric policy is a host change of the session, recorded in its journal.
    void SetUp() override { ASSERT_TRUE(session_journal().begin()); }
    void TearDown() override { session_journal().end(); }

    std::string link_of(const std::string& dev) { return ns_.ip("-d -o link show dev " + dev); }
    std::string addresses_of(const std::string& dev) {
        return ns_.ip("-o -4 addr show dev " + dev);
    }

    netns ns_;
    test_support::log_capture log_;
};

// A tun interface of the test itself, created by another "program" before the engine looks.
int hold_tun0() {
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strcpy(ifr.ifr_name, "tun0");
    if (fd >= 0 && ioctl(fd, TUNSETIFF, &ifr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(TunDeviceTest, OpenLeavesAConfiguredInterfaceAndCloseRemovesIt) {
    const net_state before = dump_state(ns_);
    for (bool auto_metric : {false, true}) {
        SCOPED_TRACE(auto_metric ? "automatic metric" : "fixed metric");
        netns_scope inside(ns_);
        tun_device* tun = nullptr;
        ASSERT_EQ(tun_open("tun0", 0, "10.8.0.6", "255.255.255.0", 1400, auto_metric, &tun), 0);
        EXPECT_STREQ(tun->name, "tun0");
        EXPECT_STREQ(tun->guid, "tun0");
        EXPECT_EQ(tun->if_index, static_cast<int32_t>(if_nametoindex("tun0")));
        EXPECT_EQ(tun->mtu, 1400);
        EXPECT_EQ(std::memcmp(tun->mac, "\0\0\0\0\0\0", 6), 0);
        EXPECT_NE(fcntl(tun->handle, F_GETFL) & O_NONBLOCK, 0);  // the workers poll() it

        std::string link = link_of("tun0");
        EXPECT_NE(link.find("<POINTOPOINT,MULTICAST,NOARP,UP,LOWER_UP>"), std::string::npos)
            << link;
        EXPECT_NE(link.find("mtu 1400 "), std::string::npos) << link;
        EXPECT_NE(link.find("tun type tun pi off"), std::string::npos) << link;
        std::string addresses = addresses_of("tun0");
        EXPECT_NE(addresses.find("inet 10.8.0.6/24 "), std::string::npos) << addresses;
        interface_metric_setting metric;
        int error = 0;
        ASSERT_TRUE(interface_metric_get(tun->if_index, &metric, &error));
        EXPECT_EQ(metric.automatic, auto_metric);
        EXPECT_EQ(metric.metric, auto_metric ? 0u : 1u);

        // No packet-information header: a datagram routed into the interface reads back
        // starting with the IPv4 header, after the offload header when the device has one.
        const size_t skip = tun->offload_header ? OFFLOAD_HEADER_LEN : 0;
        int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        inet_pton(AF_INET, "10.8.0.9", &to.sin_addr);
        ASSERT_EQ(sendto(sock, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 1);
        close(sock);
        // The kernel may also send IPv6 control packets; each packet must start with an IP
        // version, and the datagram must arrive.
        bool seen = false;
        uint8_t packet[2048];
        while (!seen) {
            pollfd readable{tun->handle, POLLIN, 0};
            ASSERT_EQ(poll(&readable, 1, 2000), 1);
            ssize_t n = read(tun->handle, packet, sizeof(packet));
            ASSERT_GE(n, static_cast<ssize_t>(skip + 20));
            const uint8_t* ip = packet + skip;
            ASSERT_TRUE(ip[0] >> 4 == 4 || ip[0] >> 4 == 6) << int{ip[0]};
            seen = ip[0] >> 4 == 4 && std::memcmp(ip + 16, &to.sin_addr, 4) == 0;
        }

        // A new address replaces the old one; a mask with holes is refused.
        EXPECT_TRUE(SetAdapterIP(tun->guid, "10.9.0.2", "255.255.0.0"));
        addresses = addresses_of("tun0");
        EXPECT_NE(addresses.find("inet 10.9.0.2/16 "), std::string::npos) << addresses;
        EXPECT_EQ(addresses.find("10.8.0.6"), std::string::npos) << addresses;
        EXPECT_FALSE(SetAdapterIP(tun->guid, "10.9.0.2", "255.0.255.0"));
        EXPECT_TRUE(
            log_.has("set ip and mask address failed, errNo=22, ip=10.9.0.2, "
                     "mask=255.0.255.0",
                     "SetAdapterIP"))
            << log_.dump();

        tun_close(tun);
    }
    EXPECT_EQ(dump_state(ns_), before);
}

TEST_F(TunDeviceTest, MtuOutsideWhatALinkCarriesFailsCleanly) {
    const net_state before = dump_state(ns_);
    netns_scope inside(ns_);
    for (int mtu : {0, -1, 67, 65536, 100000, 1234567}) {
        SCOPED_TRACE(mtu);
        tun_device sentinel{};
        tun_device* tun = &sentinel;
        EXPECT_EQ(tun_open("tun0", 0, "10.8.0.6", "255.255.255.0", mtu, true, &tun), -1);
        EXPECT_EQ(tun, &sentinel);
        EXPECT_TRUE(log_.has("Invalid MTU " + std::to_string(mtu) + "!", "tun_open"));
    }
    for (int mtu : {68, 65535}) {
        tun_device* tun = nullptr;
        ASSERT_EQ(tun_open("tun0", 0, "10.8.0.6", "255.255.255.0", mtu, true, &tun), 0) << mtu;
        EXPECT_NE(link_of("tun0").find("mtu " + std::to_string(mtu) + " "), std::string::npos);
        tun_close(tun);
    }
    EXPECT_EQ(dump_state(ns_), before);
}

TEST_F(TunDeviceTest, NameTakenByAnotherProgramFallsBackToAKernelName) {
    for (bool persistent : {false, true}) {
        SCOPED_TRACE(persistent ? "persistent tun0" : "tun0 held open");
        int holder = -1;
        {
            netns_scope inside(ns_);
            holder = hold_tun0();
            ASSERT_GE(holder, 0);
            if (persistent) {
                ASSERT_EQ(ioctl(holder, TUNSETPERSIST, 1), 0);
                close(holder);
                holder = -1;
            }
        }
        const net_state before = dump_state(ns_);
        {
            netns_scope inside(ns_);
            tun_device* tun = nullptr;
            ASSERT_EQ(tun_open("tun0", 0, "10.8.0.6", "255.255.255.0", 1400, true, &tun), 0);
            EXPECT_STRNE(tun->name, "tun0");
            EXPECT_STREQ(tun->guid, tun->name);
            EXPECT_NE(addresses_of(tun->name).find("inet 10.8.0.6/24 "), std::string::npos);
            EXPECT_EQ(addresses_of("tun0"), "");
            tun_close(tun);
        }
        EXPECT_EQ(dump_state(ns_), before);
        if (holder >= 0) {
            close(holder);
        } else {
            ns_.ip("tuntap del dev tun0 mode tun");
        }
    }
}

}  // namespace
