// The reference server's own parts: address pool, options, key file, idle sessions, the wire
// check.
#include <gtest/gtest.h>

#include <fstream>

#include "address_pool.h"
#include "business.h"
#include "options.h"
#include "ref_server.h"
#include "server_messages.h"
#include "session.h"
#include "signing_key.h"
#include "socket_util.h"
#include "test_support.h"
#include "wire_check.h"

namespace {

uint32_t addr(const char* text) {
    return ntohl(inet_addr(text));
}

TEST(AddressPoolTest, HandsOutClientAddressesAfterTheGateway) {
    address_pool pool;
    ASSERT_TRUE(pool.configure("10.8.0.0/24"));
    EXPECT_EQ(address_text(pool.gateway()), "10.8.0.1");
    EXPECT_EQ(address_text(pool.netmask()), "255.255.255.0");
    EXPECT_EQ(address_text(pool.acquire(0)), "10.8.0.2");
    EXPECT_EQ(address_text(pool.acquire(addr("10.8.0.200"))), "10.8.0.200");
    // Taken, gateway, broadcast and foreign requests fall back to the lowest free address.
    EXPECT_EQ(address_text(pool.acquire(addr("10.8.0.200"))), "10.8.0.3");
    EXPECT_EQ(address_text(pool.acquire(addr("10.8.0.1"))), "10.8.0.4");
    EXPECT_EQ(address_text(pool.acquire(addr("10.8.0.255"))), "10.8.0.5");
    EXPECT_EQ(address_text(pool.acquire(addr("192.168.0.9"))), "10.8.0.6");
    pool.release(addr("10.8.0.3"));
    EXPECT_EQ(address_text(pool.acquire(0)), "10.8.0.3");
}

TEST(AddressPoolTest, SmallestPoolHasOneClientAddress) {
    address_pool pool;
    ASSERT_TRUE(pool.configure("192.168.7.5/30"));  // host bits are ignored
    EXPECT_EQ(address_text(pool.gateway()), "192.168.7.5");
    EXPECT_EQ(address_text(pool.acquire(0)), "192.168.7.6");
    EXPECT_EQ(pool.acquire(0), 0u);
    for (const char* bad : {"10.8.0.0", "10.8.0.0/31", "10.8.0.0/7", "10.8.0/24", "10.8.0.0/2x"})
        EXPECT_FALSE(pool.configure(bad)) << bad;
}

TEST(OptionsTest, ParsesValuesAndFaultSwitches) {
    const char* argv[] = {"ref_server",
                          "--listen",
                          "::1",
                          "--port",
                          "0",
                          "--tokens",
                          "a,,b",
                          "--pool",
                          "10.9.0.0/16",
                          "--fail-s2",
                          "--delay-ms",
                          "3500",
                          "--signed-reply-len",
                          "119",
                          "--silent-after",
                          "4"};
    server_options options;
    bool help = true;
    std::string error;
    ASSERT_TRUE(parse_options(std::size(argv), argv, &options, &help, &error)) << error;
    EXPECT_FALSE(help);
    EXPECT_EQ(options.listen, "::1");
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.tokens, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(options.pool, "10.9.0.0/16");
    EXPECT_EQ(options.key_file, "ref_server.key");
    EXPECT_TRUE(options.faults.fail_s2);
    EXPECT_FALSE(options.faults.fail_s1);
    EXPECT_EQ(options.faults.delay_ms, 3500);
    EXPECT_EQ(options.faults.signed_reply_len, 119);
    EXPECT_EQ(options.faults.silent_after, 4);
    EXPECT_TRUE(options.offload);
    EXPECT_EQ(options.wire_mtu, 1500);

    const char* plain[] = {"ref_server", "--no-offload", "--wire-mtu", "1400"};
    ASSERT_TRUE(parse_options(std::size(plain), plain, &options, &help, &error)) << error;
    EXPECT_FALSE(options.offload);
    EXPECT_EQ(options.wire_mtu, 1400);
}

TEST(OptionsTest, RejectsUnknownOptionsAndBadValues) {
    const std::vector<std::vector<const char*>> bad = {
        {"ref_server", "--bogus"},          {"ref_server", "--port"},
        {"ref_server", "--port", "65536"},  {"ref_server", "--port", "12x"},
        {"ref_server", "--delay-ms", "-1"}, {"ref_server", "--wire-mtu", "67"},
    };
    for (const auto& argv : bad) {
        server_options options;
        bool help = false;
        std::string error;
        EXPECT_FALSE(
            parse_options(static_cast<int>(argv.size()), argv.data(), &options, &help, &error))
            << argv.back();
        EXPECT_FALSE(error.empty());
    }
}

TEST(SigningKeyTest, KeyFileIsCreatedOnceAndReloaded) {
    test_support::temp_dir dir;
    const std::string path = (dir.path() / "server.key").string();
    signing_key first, second;
    std::string error;
    ASSERT_TRUE(signing_key::load_or_create(path, &first, &error)) << error;
    ASSERT_TRUE(signing_key::load_or_create(path, &second, &error)) << error;
    EXPECT_EQ(first.public_hex(), second.public_hex());
    EXPECT_EQ(first.public_hex().size(), 64u);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::group_read,
              std::filesystem::perms::none);

    std::ofstream(path) << "not-hex";
    EXPECT_FALSE(signing_key::load_or_create(path, &second, &error));
}

TEST(RefServerTest, IdleSessionsAreDropped) {
    server_options options;
    options.port = 0;
    options.idle_timeout_s = 1;
    options.log_level = "off";
    ref_server server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;

    qn_ctx_t ctx;
    ctx.proto = new proto_ctx;
    ASSERT_EQ(socket_open("127.0.0.1", server.port(), &ctx.sock), 0);
    ASSERT_EQ(key_exchange(&ctx, nullptr, server.key().public_key), 0);
    EXPECT_EQ(server.session_count(), 1u);
    EXPECT_TRUE(test_support::wait_until([&] { return server.session_count() == 0; },
                                         std::chrono::seconds(4)));
    socket_close(ctx.sock);
    delete ctx.proto;
}

TEST(RefServerTest, GoesSilentAfterConfiguredCount) {
    server_options options;
    options.port = 0;
    options.log_level = "off";
    options.faults.silent_after = 1;
    ref_server server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    uint16_t rtt = 0;
    EXPECT_EQ(udp_ping_impl("127.0.0.1", server.port(), &rtt), 0);
    // The second ping is ignored, not answered.
    udp_socket* sock = nullptr;
    ASSERT_EQ(socket_open("127.0.0.1", server.port(), &sock), 0);
    uint8_t ping[CONTROL_BUF_LEN];
    int len = 0;
    create_ping_req(steady_micros(), ping, &len);
    EXPECT_EQ(udp_send_and_recv(sock, ping, len, nullptr, nullptr), 0);
    EXPECT_TRUE(test_support::wait_until([&] { return server.stats().ignored.load() == 1; }));
    EXPECT_EQ(server.stats().replies.load(), 1u);
    socket_close(sock);
}

// An IPv4 packet of `len` bytes whose header says so.
std::vector<uint8_t> ipv4_packet(int len) {
    std::vector<uint8_t> p(static_cast<size_t>(len), 0x5A);
    p[0] = 0x45;
    put_be16(p.data() + 2, static_cast<uint16_t>(len));
    return p;
}

class WireCheckTest : public ::testing::Test {
  protected:
    // Seals the bytes into an S3 message with `seq` and runs it through the check.
    void datagram(uint64_t seq, const std::vector<uint8_t>& packet, int mtu = 1400) {
        std::vector<uint8_t> msg(packet.size() + VPN_HEADER_LEN + AEAD_TAG_LEN);
        const int n = make_data_message(7, seq, key, packet.data(), static_cast<int>(packet.size()),
                                        msg.data());
        wire_check_datagram(wire, flow, mtu, key, msg.data(), n, &plain);
    }

    uint8_t key[KEY_LEN] = {1, 2, 3};
    wire_counters wire;
    wire_flow flow;
    std::vector<uint8_t> plain;
};

TEST_F(WireCheckTest, PacketsInSequenceUpToTheMtuPass) {
    datagram(100, ipv4_packet(20));
    datagram(101, ipv4_packet(1400));
    datagram(250, ipv4_packet(576));  // gaps are losses, not faults
    std::vector<uint8_t> v6(60, 0);
    v6[0] = 0x60;
    put_be16(v6.data() + 4, 20);
    datagram(251, v6);
    EXPECT_EQ(wire.datagrams.load(), 4u);
    EXPECT_EQ(wire.faults(), 0u) << wire_summary(wire);
    EXPECT_EQ(plain, v6);
}

TEST_F(WireCheckTest, EachFaultIsCountedOnItsOwn) {
    datagram(10, ipv4_packet(1401));  // oversized
    datagram(10, ipv4_packet(100));   // same sequence again
    datagram(9, ipv4_packet(100));    // older
    std::vector<uint8_t> two = ipv4_packet(100);
    const std::vector<uint8_t> second = ipv4_packet(60);
    two.insert(two.end(), second.begin(), second.end());
    datagram(11, two);                // two packets in one datagram
    datagram(12, ipv4_packet(3000));  // a super-packet left whole
    EXPECT_EQ(wire.oversized.load(), 2u);
    EXPECT_EQ(wire.out_of_order.load(), 2u);
    EXPECT_EQ(wire.not_one_packet.load(), 1u);
    EXPECT_EQ(wire.refused.load(), 0u);
    EXPECT_EQ(wire.datagrams.load(), 5u);
}

TEST_F(WireCheckTest, DatagramsThatDoNotOpenAreRefused) {
    std::vector<uint8_t> packet = ipv4_packet(100);
    std::vector<uint8_t> msg(packet.size() + VPN_HEADER_LEN + AEAD_TAG_LEN);
    const int n = make_data_message(7, 1, key, packet.data(), 100, msg.data());
    msg[VPN_HEADER_LEN + 3] ^= 1;  // tampered
    wire_check_datagram(wire, flow, 1400, key, msg.data(), n, &plain);
    msg[VPN_HEADER_LEN + 3] ^= 1;
    msg[0] = MSG_KEEPALIVE;  // not a data message
    wire_check_datagram(wire, flow, 1400, key, msg.data(), n, &plain);
    wire_check_datagram(wire, flow, 1400, key, msg.data(), VPN_HEADER_LEN, &plain);
    EXPECT_EQ(wire.refused.load(), 3u);
    EXPECT_EQ(wire.faults(), 3u);
    // Refused datagrams leave the flow's sequence where it was.
    datagram(1, packet);
    EXPECT_EQ(wire.out_of_order.load(), 0u);
}

}  // namespace
