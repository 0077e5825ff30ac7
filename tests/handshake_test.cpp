// The client's protocol steps against the reference server on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "business.h"
#include "log_capture.h"
#include "protocol.h"
#include "ref_server.h"
#include "session.h"
#include "session_config.h"
#include "socket_util.h"
#include "test_support.h"

using test_support::log_capture;
using test_support::wait_until;

namespace {

using bytes = std::vector<uint8_t>;

constexpr const char* GOOD_TOKEN = "good-token";

class HandshakeTest : public ::testing::Test {
  protected:
    void start_server(const fault_switches& faults = {}, const char* listen = "127.0.0.1") {
        server_options options;
        options.listen = listen;
        options.port = 0;
        options.tokens = {GOOD_TOKEN, "new-token"};
        options.faults = faults;
        options.log_level = "off";
        server = std::make_unique<ref_server>(options);
        std::string error;
        ASSERT_TRUE(server->start(&error)) << error;
    }

    void connect(const char* ip = "127.0.0.1") {
        ctx.proto = new proto_ctx;
        ASSERT_EQ(socket_open(ip, server->port(), &ctx.sock), 0) << log.dump();
    }

    void TearDown() override {
        socket_close(ctx.sock);
        delete ctx.proto;
    }

    int kx(const char* static_ip = nullptr) {
        return key_exchange(&ctx, static_ip, server->key().public_key);
    }

    int auth(const char* token = GOOD_TOKEN) {
        session_config config;
        config.given.os_type = "WINDOWS";
        config.given.client_version = "3.1.8";
        config.given.token = token;
        config.given.uuid = "uuid-1";
        config.given.upload_limit = 100;
        config.given.download_limit = 200;
        return user_auth(&ctx, config);
    }

    void handshake() {
        ASSERT_EQ(kx(), 0) << log.dump();
        ASSERT_EQ(auth(), 0) << log.dump();
    }

    // One datagram the server sent to the session socket, after a send-only request.
    int receive(uint8_t* buf) {
        pollfd entry{ctx.sock->s, POLLIN, 0};
        if (poll(&entry, 1, IO_WAIT_MS) != 1)
            return -1;
        return static_cast<int>(recv(ctx.sock->s, buf, CONTROL_BUF_LEN, 0));
    }

    // A packet sealed by the client, opened and sealed again by the server, opened here.
    void expect_echo(const bytes& packet) {
        uint8_t msg[CONTROL_BUF_LEN];
        int len = 0;
        ASSERT_EQ(data_trans_encrypt(ctx.proto, packet.data(), static_cast<int>(packet.size()), msg,
                                     &len),
                  0);
        uint8_t reply[CONTROL_BUF_LEN];
        int reply_len = CONTROL_BUF_LEN;
        ASSERT_EQ(udp_send_and_recv(ctx.sock, msg, len, reply, &reply_len), 0) << log.dump();
        uint8_t opened[CONTROL_BUF_LEN];
        int opened_len = 0;
        ASSERT_EQ(data_trans_decrypt(ctx.proto, reply, reply_len, opened, &opened_len), 0)
            << log.dump();
        EXPECT_EQ(bytes(opened, opened + opened_len), packet);
    }

    uint64_t received(msg_type type) const { return server->stats().received[type].load(); }

    log_capture log;
    std::unique_ptr<ref_server> server;
    qn_ctx_t ctx;
};

TEST_F(HandshakeTest, FullHandshakeThenDataOpensOnBothSides) {
    start_server();
    connect();
    handshake();
    EXPECT_EQ(ctx.tun_ip, "10.8.0.2");
    EXPECT_EQ(ctx.tun_netmask, "255.255.255.0");
    EXPECT_EQ(ctx.token, GOOD_TOKEN);
    EXPECT_EQ(ctx.uuid, "uuid-1");
    EXPECT_EQ(ctx.upload_limit.load(), 100);
    EXPECT_EQ(ctx.download_limit.load(), 200);
    EXPECT_EQ(0, std::memcmp(ctx.server_pk, server->key().public_key, 32));
    for (const char* trace : {"===>S1 AUTH_KX REQUEST", "<===S1 AUTH_KX REPLY",
                              "===>S2 USER_AUTH REQUEST", "<===S2 USER_AUTH REPLY"})
        EXPECT_EQ(log.count(trace), 1) << trace;

    // The one S2 request took the initial sequence the signed reply announced.
    const std::optional<session> s = server->find_session(ctx.proto->sid);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(ctx.proto->tx_seq.load(), uint64_t{s->client_tx_seq} + 1);
    EXPECT_EQ(s->token, GOOD_TOKEN);

    expect_echo({0x45, 0x00, 0x00, 0x1c, 0xde, 0xad, 0xbe, 0xef});
    expect_echo(bytes(1400, 0x5a));
    EXPECT_EQ(static_cast<echo_data_path&>(server->data()).echoed(), 2u);
}

TEST_F(HandshakeTest, RequestedTunnelAddressIsHonouredOverIpv6) {
    start_server({}, "::1");
    connect("0:0:0:0:0:0:0:1");
    ASSERT_EQ(kx("10.8.0.77"), 0) << log.dump();
    ASSERT_EQ(auth(), 0) << log.dump();
    EXPECT_EQ(ctx.tun_ip, "10.8.0.77");
}

TEST_F(HandshakeTest, SilentServerGivesMinus20AfterThreeAttempts) {
    fault_switches faults;
    faults.drop_s1 = true;
    start_server(faults);
    connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kx(), -20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * IO_WAIT_MS));
    EXPECT_EQ(log.count("udp_send_and_recv fail.", "key_exchange"), 3) << log.dump();
    EXPECT_EQ(log.count("Server no response.", "key_exchange"), 1);
    EXPECT_EQ(received(MSG_AUTH_KX), 3u);
}

struct refused_reply {
    const char* name;
    fault_switches faults;
    const char* reason;  // logged by check_kx_reply
};

class RefusedKxReplyTest : public HandshakeTest,
                           public ::testing::WithParamInterface<refused_reply> {};

TEST_P(RefusedKxReplyTest, GivesMinus21WithoutAnotherAttempt) {
    start_server(GetParam().faults);
    connect();
    EXPECT_EQ(kx(), -21);
    EXPECT_EQ(log.count(GetParam().reason, "check_kx_reply"), 1) << log.dump();
    EXPECT_EQ(log.count("check_kx_reply fail.", "key_exchange"), 1);
    EXPECT_EQ(log.count("udp_send_and_recv fail."), 0);
    EXPECT_EQ(received(MSG_AUTH_KX), 1u);
}

fault_switches with(void (*set)(fault_switches&)) {
    fault_switches faults;
    set(faults);
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RefusedKxReplyTest,
    ::testing::Values(
        refused_reply{"ForeignKey", with([](fault_switches& f) { f.foreign_key = true; }),
                      "crypto_sign_open failed."},
        refused_reply{"Status1", with([](fault_switches& f) { f.fail_s1 = true; }),
                      "Server return fail."},
        refused_reply{"Short", with([](fault_switches& f) { f.signed_reply_len = 119; }),
                      "Invalid payload len."},
        refused_reply{"Long", with([](fault_switches& f) { f.signed_reply_len = 121; }),
                      "Invalid payload len."}),
    [](const ::testing::TestParamInfo<refused_reply>& info) { return info.param.name; });

TEST_F(HandshakeTest, LateReplyToEarlierAttemptGivesMinus21) {
    fault_switches faults;
    faults.delay_ms = IO_WAIT_MS + 500;  // lands while the second attempt waits
    start_server(faults);
    connect();
    EXPECT_EQ(kx(), -21);
    EXPECT_EQ(log.count("udp_send_and_recv fail.", "key_exchange"), 1) << log.dump();
    EXPECT_EQ(log.count("Invalid vpn header", "check_vpn_header"), 1);
    EXPECT_EQ(log.count("check_vpn_header failed.", "check_kx_reply"), 1);
    EXPECT_EQ(received(MSG_AUTH_KX), 2u);
}

TEST_F(HandshakeTest, RejectedTokenGivesMinus41) {
    start_server();
    connect();
    ASSERT_EQ(kx(), 0);
    EXPECT_EQ(auth("stolen-token"), -41);
    EXPECT_EQ(log.count("Server return fail.", "check_user_auth_reply"), 1) << log.dump();
    EXPECT_EQ(log.count("check_user_auth_reply fail.", "user_auth"), 1);
    EXPECT_TRUE(ctx.tun_ip.empty());
    EXPECT_TRUE(wait_until([&] { return server->session_count() == 0; }));
}

TEST_F(HandshakeTest, ReplyBelowRxSeqGivesMinus41) {
    fault_switches faults;
    faults.stale_s2_seq = true;
    start_server(faults);
    connect();
    ASSERT_EQ(kx(), 0);
    const uint64_t rx_seq = ctx.proto->rx_seq.load();
    EXPECT_EQ(auth(), -41);
    EXPECT_EQ(log.count("Invalid seq num.", "check_user_auth_reply"), 1) << log.dump();
    EXPECT_EQ(ctx.proto->rx_seq.load(), rx_seq);
}

TEST_F(HandshakeTest, OversizedTokenIsRefusedBeforeAnythingIsSent) {
    start_server();
    connect();
    ASSERT_EQ(kx(), 0);
    const std::string token(TOKEN_FIELD, 'x');
    EXPECT_EQ(auth(token.c_str()), -41);
    EXPECT_EQ(log.count("create_user_auth_req fail.", "user_auth"), 1) << log.dump();
    EXPECT_EQ(received(MSG_USER_AUTH), 0u);
}

TEST_F(HandshakeTest, KeepaliveBuiltUnderHeldTokenLockCarriesNewToken) {
    start_server();
    connect();
    handshake();
    token_lock_acquire(&ctx);
    std::atomic<bool> sent{false};
    int result = -1;
    std::thread keepalive([&] {
        result = send_heartbeat_req(&ctx);
        sent.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(sent.load()) << "S5 was built while update_token held the lock";
    ctx.token = "new-token";
    token_lock_release(&ctx);
    keepalive.join();
    ASSERT_EQ(result, 0);

    uint8_t reply[CONTROL_BUF_LEN];
    const int n = receive(reply);
    ASSERT_EQ(check_keepalive_reply(ctx.proto, reply, n), 0) << log.dump();
    EXPECT_EQ(server->find_session(ctx.proto->sid)->token, "new-token");
}

TEST_F(HandshakeTest, RekeyReplacesKeysAndSequencesAndTrafficGoesOn) {
    start_server();
    connect();
    handshake();
    expect_echo({1, 2, 3});
    const session_keys* old_keys = ctx.proto->keys.load();
    const session_keys old_copy = *old_keys;
    const uint32_t sid = ctx.proto->sid;

    ASSERT_EQ(send_rekey_req(&ctx), 0);
    uint8_t reply[CONTROL_BUF_LEN];
    const int n = receive(reply);
    ASSERT_EQ(check_rekey_reply(ctx.proto, reply, n, ctx.server_pk), 0) << log.dump();
    EXPECT_TRUE(log.has("<===S4 REKEY REPLY", "check_rekey_reply"));

    const session_keys* new_keys = ctx.proto->keys.load();
    EXPECT_NE(new_keys, old_keys);
    EXPECT_NE(0, std::memcmp(new_keys->tx_key, old_copy.tx_key, KEY_LEN));
    EXPECT_NE(0, std::memcmp(new_keys->rx_key, old_copy.rx_key, KEY_LEN));
    EXPECT_EQ(ctx.proto->sid, sid);
    EXPECT_EQ(ctx.proto->rx_seq.load(), parse_vpn_header(reply).seq);
    EXPECT_EQ(ctx.proto->tx_seq.load(), server->find_session(sid)->client_tx_seq);
    expect_echo({4, 5, 6});

    // The same reply again (duplicated on the way, or replayed) changes nothing.
    EXPECT_EQ(check_rekey_reply(ctx.proto, reply, n, ctx.server_pk), REPLY_IGNORED);
    EXPECT_EQ(ctx.proto->keys.load(), new_keys);
    expect_echo({7, 8, 9});
}

// A duplicate of the S1 reply that arrives while S2 waits is not S2's answer: the wait goes
// on for the real one.
TEST_F(HandshakeTest, DuplicatedKxReplyDuringUserAuthIsPassedOver) {
    start_server();
    connect();
    uint8_t request[CONTROL_BUF_LEN];
    int request_len = 0;
    ASSERT_EQ(create_kx_req(ctx.proto, nullptr, request, &request_len), 0);
    uint8_t kx_reply[CONTROL_BUF_LEN];
    int kx_reply_len = CONTROL_BUF_LEN;
    ASSERT_EQ(udp_send_and_recv(ctx.sock, request, request_len, kx_reply, &kx_reply_len), 0);
    ASSERT_EQ(check_kx_reply(ctx.proto, kx_reply, kx_reply_len, server->key().public_key), 0);
    std::memcpy(ctx.server_pk, server->key().public_key, KEY_LEN);

    // The duplicate reaches the session socket before the S2 request leaves.
    sockaddr_in client{};
    socklen_t client_len = sizeof client;
    ASSERT_EQ(getsockname(ctx.sock->s, reinterpret_cast<sockaddr*>(&client), &client_len), 0);
    const int duplicator = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(duplicator, 0);
    client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(sendto(duplicator, kx_reply, static_cast<size_t>(kx_reply_len), 0,
                     reinterpret_cast<sockaddr*>(&client), sizeof client),
              kx_reply_len);
    close(duplicator);
    pollfd queued{ctx.sock->s, POLLIN, 0};
    ASSERT_EQ(poll(&queued, 1, IO_WAIT_MS), 1);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(auth(), 0) << log.dump();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(IO_WAIT_MS));
    EXPECT_EQ(ctx.tun_ip, "10.8.0.2");
    EXPECT_EQ(log.count("udp_send_and_recv fail."), 0);
    EXPECT_EQ(log.count("Reply of type 1 passed over."), 1) << log.dump();

    // The request went out again to resume the wait; the server's answer to the repeat comes
    // after the one taken, and is no data message.
    EXPECT_TRUE(wait_until([&] { return received(MSG_USER_AUTH) == 2u; }));
    uint8_t late[CONTROL_BUF_LEN];
    const int late_len = receive(late);
    ASSERT_GT(late_len, 0);
    EXPECT_EQ(late[0], MSG_USER_AUTH);
    uint8_t opened[CONTROL_BUF_LEN];
    int opened_len = 0;
    EXPECT_EQ(data_trans_decrypt(ctx.proto, late, late_len, opened, &opened_len), -1);
    expect_echo({1, 2, 3});
}

TEST_F(HandshakeTest, DisconnectEndsTheServerSession) {
    start_server();
    connect();
    handshake();
    ASSERT_EQ(server->session_count(), 1u);
    EXPECT_EQ(send_disconn_req(&ctx), 0);
    EXPECT_TRUE(wait_until([&] { return server->session_count() == 0; }));
}

TEST_F(HandshakeTest, PingRoundTripOverIpv4AndIpv6) {
    start_server();
    uint16_t rtt_ms = 0xFFFF;
    EXPECT_EQ(udp_ping_impl("127.0.0.1", server->port(), &rtt_ms), 0) << log.dump();
    EXPECT_LT(rtt_ms, 1000);

    start_server({}, "::1");
    rtt_ms = 0xFFFF;
    EXPECT_EQ(udp_ping_impl("0:0:0:0:0:0:0:1", server->port(), &rtt_ms), 0) << log.dump();
    EXPECT_LT(rtt_ms, 1000);
}

}  // namespace
