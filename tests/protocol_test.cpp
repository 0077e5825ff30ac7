#include "protocol.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipv4_text.h"
#include "log_capture.h"
#include "server_messages.h"
#include "session_fixture.h"
#include "signing_key.h"

using test_support::log_capture;

namespace {

using bytes = std::vector<uint8_t>;

bytes header(uint8_t type, uint32_t sid, uint64_t seq, int payload_len, int actual_payload) {
    bytes msg(VPN_HEADER_LEN + actual_payload, 0);
    put_vpn_header(msg.data(), type, sid, seq, static_cast<uint16_t>(payload_len));
    return msg;
}

int check(const proto_ctx* proto, const bytes& msg) {
    return check_vpn_header(proto, msg.data(), static_cast<int>(msg.size()));
}

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.ok) << log.dump(); }

    log_capture log;
    keyed_session session;
    proto_ctx& proto = session.proto;
    uint8_t buf[CONTROL_BUF_LEN] = {};
    int len = 0;
};

TEST_F(ProtocolTest, HeaderCheckRejectsEachFaultWithItsReason) {
    const uint32_t sid = keyed_session::SID;
    struct {
        bytes msg;
        const char* reason;
    } cases[] = {
        {bytes(VPN_HEADER_LEN, 0), "Invalid header len."},
        {header(MSG_USER_AUTH, sid, 0, 40, 41), "Invalid payload len."},
        {header(0, sid, 0, 1, 1), "Invalid header type"},
        {header(9, sid, 0, 1, 1), "Invalid header type"},
        {header(MSG_AUTH_KX, sid, proto.challenge.load() + 1, 1, 1), "Invalid vpn header"},
        {header(MSG_REKEY, sid, proto.challenge.load() ^ 0x100, 1, 1), "Invalid vpn header"},
        {header(MSG_DATA_TRANS, sid + 1, 0, 1, 1), "Invalid sid."},
        {header(MSG_KEEPALIVE, 0, 0, 1, 1), "Invalid sid."},
        {header(8, sid ^ 1, 0, 1, 1), "Invalid sid."},
    };
    for (const auto& c : cases) {
        log.clear();
        EXPECT_EQ(check(&proto, c.msg), -1) << c.reason;
        EXPECT_EQ(log.count(c.reason, "check_vpn_header"), 1) << log.dump();
    }
}

// A header with nothing after it is refused whatever it says; the same header followed by one
// byte passes, so the length is the only fault.
TEST_F(ProtocolTest, HeaderWithoutPayloadIsRefusedForEveryType) {
    for (uint8_t type = MSG_AUTH_KX; type <= 8; ++type) {
        SCOPED_TRACE(int{type});
        const bool echoes_challenge = type == MSG_AUTH_KX || type == MSG_REKEY;
        const uint64_t seq = echoes_challenge ? proto.challenge.load() : 0;
        log.clear();
        EXPECT_EQ(check(&proto, header(type, keyed_session::SID, seq, 0, 0)), -1);
        EXPECT_EQ(log.count("Invalid header len.", "check_vpn_header"), 1) << log.dump();
        EXPECT_EQ(check(&proto, header(type, keyed_session::SID, seq, 1, 1)), 0) << log.dump();
    }
}

TEST_F(ProtocolTest, HeaderCheckAcceptsWhatEachTypeRequires) {
    const uint32_t sid = keyed_session::SID;
    const uint64_t arbitrary_high = 0xDEADBEEFull << 32;
    log.clear();
    // Sixteen bytes with a one-byte payload are enough for the header check.
    EXPECT_EQ(check(&proto, header(MSG_USER_AUTH, sid, 0, 1, 1)), 0);
    EXPECT_EQ(check(&proto, header(8, sid, 0, 1, 1)), 0);
    EXPECT_EQ(check(&proto, header(MSG_AUTH_KX, 99, arbitrary_high | proto.challenge.load(), 1, 1)),
              0);
    EXPECT_EQ(check(&proto, header(MSG_REKEY, 99, proto.challenge.load(), 1, 1)), 0);
    EXPECT_EQ(check(&proto, header(MSG_PING, 12345, 77, 64, 64)), 0);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(ProtocolTest, WithoutSessionOnlyPingPasses) {
    EXPECT_EQ(check(nullptr, header(MSG_PING, 5, 1, 64, 64)), 0);
    EXPECT_EQ(check(nullptr, header(MSG_AUTH_KX, 0, 0, 1, 1)), -1);
    EXPECT_EQ(check(nullptr, header(MSG_DATA_TRANS, 0, 0, 1, 1)), -1);
}

TEST_F(ProtocolTest, KxRequestCarriesStaticIpChallengeAndFreshKey) {
    proto_ctx fresh;
    ASSERT_EQ(create_kx_req(&fresh, "10.1.2.3", buf, &len), 0);
    ASSERT_EQ(len, KX_REQ_LEN);
    const bytes expected_prefix = {0x01, 0x0A, 0x01, 0x02, 0x03, 0,    0,    0,    0,   0,
                                   0,    0,    0,    0x00, 0x28, 0x00, 0x03, 0x00, 0x03};
    EXPECT_EQ(bytes(buf, buf + expected_prefix.size()), expected_prefix);
    EXPECT_EQ(get_be32(buf + 19), fresh.challenge.load());
    EXPECT_EQ(0, std::memcmp(buf + 23, fresh.kx_pk, KEY_LEN));
    EXPECT_TRUE(log.has("===>S1 AUTH_KX REQUEST", "create_kx_req"));

    // A second request draws a new challenge and pair; a text that is no address gives sid 0.
    const uint32_t first_challenge = fresh.challenge.load();
    ASSERT_EQ(create_kx_req(&fresh, "not-an-ip", buf, &len), 0);
    EXPECT_EQ(get_be32(buf + 1), 0u);
    EXPECT_NE(fresh.challenge.load(), first_challenge);
}

TEST_F(ProtocolTest, KxReplyInstallsKeysAndSequencesAndWipesEphemeralPair) {
    EXPECT_EQ(proto.sid, keyed_session::SID);
    EXPECT_EQ(proto.tx_seq.load(), keyed_session::CLIENT_SEQ);
    EXPECT_EQ(proto.rx_seq.load(), session.server_seq);
    const uint8_t zero[KEY_LEN] = {};
    EXPECT_EQ(0, std::memcmp(proto.kx_sk, zero, KEY_LEN));
    EXPECT_EQ(0, std::memcmp(proto.kx_pk, zero, KEY_LEN));
    EXPECT_EQ(0, std::memcmp(proto.keys.load()->tx_key, session.server_rx, KEY_LEN));
    EXPECT_EQ(0, std::memcmp(proto.keys.load()->rx_key, session.server_tx, KEY_LEN));
}

TEST_F(ProtocolTest, InitialSendSequenceIsBytesOneToFourOnly) {
    proto_ctx fresh;
    ASSERT_EQ(create_kx_req(&fresh, nullptr, buf, &len), 0);
    kx_request request{};
    ASSERT_TRUE(read_kx_request(buf, len, &request));
    uint8_t server_pk[KEY_LEN], server_sk[KEY_LEN], rx[KEY_LEN], tx[KEY_LEN];
    crypto_kx_keypair(server_pk, server_sk);
    ASSERT_EQ(crypto_kx_server_session_keys(rx, tx, server_pk, server_sk, request.client_pk), 0);
    uint8_t message[KX_SIGNED_MSG_LEN] = {};
    put_be32(message + 1, 0x01020304);
    put_be32(message + 5, 0xAABBCCDD);  // a server meaning one 64-bit value would set these
    std::memcpy(message + 9, server_pk, KEY_LEN);
    uint8_t reply[KX_REPLY_LEN];
    put_vpn_header(reply, MSG_AUTH_KX, 5, fresh.challenge.load(), KX_REPLY_LEN - VPN_HEADER_LEN);
    crypto_sign(reply + VPN_HEADER_LEN, nullptr, message, sizeof message,
                session.server.secret_key);
    ASSERT_EQ(check_kx_reply(&fresh, reply, KX_REPLY_LEN, session.server.public_key), 0);
    EXPECT_EQ(fresh.tx_seq.load(), 0x01020304u);
}

TEST_F(ProtocolTest, UserAuthRequestLayoutWithoutRoutes) {
    ASSERT_EQ(create_user_auth_req(&proto, "tok", "dev-uuid", "WINDOWS", "3.1.8", nullptr, 0, 1000,
                                   2000, buf, &len),
              0);
    ASSERT_EQ(len, USER_AUTH_REQ_LEN);
    const vpn_header h = parse_vpn_header(buf);
    EXPECT_EQ(h.msg_type, MSG_USER_AUTH);
    EXPECT_EQ(h.sid, keyed_session::SID);
    EXPECT_EQ(h.seq, keyed_session::CLIENT_SEQ);
    EXPECT_EQ(h.payload_len, USER_AUTH_REQ_LEN - VPN_HEADER_LEN);

    uint8_t plain[CONTROL_BUF_LEN];
    ASSERT_EQ(session.open_request(buf, len, plain), USER_AUTH_PLAIN_LEN);
    EXPECT_STREQ(reinterpret_cast<char*>(plain + UA_TOKEN), "tok");
    EXPECT_STREQ(reinterpret_cast<char*>(plain + UA_UUID), "dev-uuid");
    EXPECT_STREQ(reinterpret_cast<char*>(plain + UA_OS_TYPE), "WINDOWS");
    EXPECT_STREQ(reinterpret_cast<char*>(plain + UA_CLIENT_VERSION), "3.1.8");
    EXPECT_EQ(bytes(plain + 596, plain + 846), bytes(250, 0));
    EXPECT_EQ(plain[846], 0);
    EXPECT_EQ(get_be32(plain + 847), 1000u);
    EXPECT_EQ(get_be32(plain + 851), 2000u);

    // Each request takes its own sequence number.
    ASSERT_EQ(create_user_auth_req(&proto, "tok", "u", "W", "v", nullptr, 0, 0, 0, buf, &len), 0);
    EXPECT_EQ(parse_vpn_header(buf).seq, keyed_session::CLIENT_SEQ + 1);
}

TEST_F(ProtocolTest, UserAuthRequestCarriesRoutesAsFiveByteRecords) {
    const route_prefix routes[] = {{ipv4_from_text("192.168.1.0"), 24},
                                   {ipv4_from_text("10.0.0.0"), 8}};
    ASSERT_EQ(create_user_auth_req(&proto, "t", "u", "W", "v", routes, 2, 0, 0, buf, &len), 0);
    uint8_t plain[CONTROL_BUF_LEN];
    ASSERT_EQ(session.open_request(buf, len, plain), USER_AUTH_PLAIN_LEN);
    const bytes expected = {192, 168, 1, 0, 24, 10, 0, 0, 0, 8};
    EXPECT_EQ(bytes(plain + 596, plain + 606), expected);
    EXPECT_EQ(plain[606], 0);
    EXPECT_EQ(plain[846], 2);
}

TEST_F(ProtocolTest, UserAuthRequestRefusesWhatDoesNotFit) {
    const std::string token_511(511, 't');
    const std::string token_512(512, 't');
    const std::string uuid_63(63, 'u');
    const std::string uuid_64(64, 'u');
    std::vector<route_prefix> routes(51, route_prefix{0, 0});
    struct {
        const char* token;
        const char* uuid;
        const char* os_type;
        int route_count;
        const char* reason;
    } cases[] = {
        {token_512.c_str(), "u", "W", 0, "token too long for its field."},
        {"t", uuid_64.c_str(), "W", 0, "uuid too long for its field."},
        {"t", "u", "WINDOWS-XP", 0, "os_type too long for its field."},
        {"t", "u", "W", 51, "Too many local routes: 51."},
    };
    for (const auto& c : cases) {
        log.clear();
        EXPECT_EQ(create_user_auth_req(&proto, c.token, c.uuid, c.os_type, "v", routes.data(),
                                       c.route_count, 0, 0, buf, &len),
                  -1);
        EXPECT_TRUE(log.has(c.reason, "create_user_auth_req")) << log.dump();
    }
    // Nothing refused took a sequence number; what just fits is accepted.
    EXPECT_EQ(proto.tx_seq.load(), keyed_session::CLIENT_SEQ);
    EXPECT_EQ(create_user_auth_req(&proto, token_511.c_str(), uuid_63.c_str(), "WINDOWS10",
                                   "123456789", routes.data(), 50, 0, 0, buf, &len),
              0);
}

class UserAuthReplyTest : public ProtocolTest {
  protected:
    int check_reply() { return check_user_auth_reply(&proto, buf, len, tun_ip, tun_netmask); }

    char tun_ip[ADDR_TEXT_FIELD] = {};
    char tun_netmask[ADDR_TEXT_FIELD] = {};
};

TEST_F(UserAuthReplyTest, AcceptedReplyGivesTextsAndAdvancesRxSeq) {
    const uint64_t seq = proto.rx_seq.load();  // equal to rx_seq is accepted
    len = make_user_auth_reply(keyed_session::SID, seq, session.server_tx, 0, "10.8.0.2",
                               "255.255.255.0", buf);
    ASSERT_EQ(check_reply(), 0) << log.dump();
    EXPECT_STREQ(tun_ip, "10.8.0.2");
    EXPECT_STREQ(tun_netmask, "255.255.255.0");
    EXPECT_EQ(proto.rx_seq.load(), seq + 1);
    EXPECT_TRUE(log.has("<===S2 USER_AUTH REPLY", "check_user_auth_reply"));
}

TEST_F(UserAuthReplyTest, StaleSequenceIsRefusedAndLeavesRxSeq) {
    const uint64_t rx_seq = proto.rx_seq.load();
    len = make_user_auth_reply(keyed_session::SID, rx_seq - 1, session.server_tx, 0, "10.8.0.2",
                               "255.255.255.0", buf);
    EXPECT_EQ(check_reply(), -1);
    EXPECT_TRUE(log.has("Invalid seq num.", "check_user_auth_reply"));
    EXPECT_EQ(proto.rx_seq.load(), rx_seq);
}

TEST_F(UserAuthReplyTest, AuthenticRefusalsAdvanceRxSeqAndOthersLeaveIt) {
    uint64_t seq = proto.rx_seq.load() + 5;
    const uint64_t untouched = proto.rx_seq.load();
    uint8_t plain[USER_AUTH_REPLY_PLAIN_LEN + 1] = {};
    struct {
        int extra_len;
        uint8_t status;
        const char* ip;
        const char* reason;
        bool opened;  // the seal was opened: rx_seq follows this reply
    } cases[] = {
        {1, 0, "10.8.0.2", "Invalid payload len.", false},
        {0, 1, "10.8.0.2", "Server return fail.", true},
        {0, 0, "0123456789abcdef", "Tunnel address text not terminated.", true},
    };
    for (const auto& c : cases) {
        log.clear();
        ++seq;
        const uint64_t before = proto.rx_seq.load();
        std::memset(plain, 0, sizeof plain);
        plain[0] = c.status;
        std::memcpy(plain + 1, c.ip, std::strlen(c.ip));
        len = session.seal_reply(MSG_USER_AUTH, seq, plain, USER_AUTH_REPLY_PLAIN_LEN + c.extra_len,
                                 buf);
        EXPECT_EQ(check_reply(), -1) << c.reason;
        EXPECT_TRUE(log.has(c.reason, "check_user_auth_reply")) << log.dump();
        EXPECT_EQ(proto.rx_seq.load(), c.opened ? seq + 1 : before) << c.reason;
    }
    EXPECT_NE(proto.rx_seq.load(), untouched);
    // A changed byte does not open, and a forged reply cannot move rx_seq.
    const uint64_t before = proto.rx_seq.load();
    std::memset(plain, 0, sizeof plain);
    len = session.seal_reply(MSG_USER_AUTH, ~0ull, plain, USER_AUTH_REPLY_PLAIN_LEN, buf);
    buf[VPN_HEADER_LEN] ^= 1;
    EXPECT_EQ(check_reply(), -1);
    EXPECT_TRUE(log.has("crypto_aead_chacha20poly1305_decrypt failed."));
    EXPECT_EQ(proto.rx_seq.load(), before);
}

// A late duplicate of the S1 reply echoes the challenge and passes the header check.
TEST_F(UserAuthReplyTest, ReplyOfAnotherTypeIsRefused) {
    const uint8_t server_kx_pk[KEY_LEN] = {9};
    const signed_reply s1{MSG_AUTH_KX, keyed_session::SID,        session.server_seq,
                          0,           keyed_session::CLIENT_SEQ, server_kx_pk};
    len = make_signed_reply(s1, session.server.secret_key, buf);
    const uint64_t rx_seq = proto.rx_seq.load();
    EXPECT_EQ(check_reply(), -1);
    EXPECT_TRUE(log.has("Unexpected message type.", "check_user_auth_reply")) << log.dump();
    EXPECT_EQ(proto.rx_seq.load(), rx_seq);
}

TEST_F(ProtocolTest, DataMessagesSealAndOpenBothWays) {
    const bytes packet = {0x45, 0, 0, 20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ASSERT_EQ(data_trans_encrypt(&proto, packet.data(), static_cast<int>(packet.size()), buf, &len),
              0);
    EXPECT_EQ(len, static_cast<int>(packet.size()) + 31);
    uint8_t opened[CONTROL_BUF_LEN];
    ASSERT_EQ(session.open_request(buf, len, opened), static_cast<int>(packet.size()));
    EXPECT_EQ(bytes(opened, opened + packet.size()), packet);

    // Server messages opened out of order: no replay check, rx_seq follows the last one.
    const uint64_t base = proto.rx_seq.load();
    for (uint64_t seq : {base + 3, base + 1, base + 2}) {
        len = make_data_message(keyed_session::SID, seq, session.server_tx, packet.data(),
                                static_cast<int>(packet.size()), buf);
        int opened_len = 0;
        ASSERT_EQ(data_trans_decrypt(&proto, buf, len, opened, &opened_len), 0);
        EXPECT_EQ(bytes(opened, opened + opened_len), packet);
    }
    EXPECT_EQ(proto.rx_seq.load(), base + 3);

    // Fewer than 16 sealed bytes cannot be a seal.
    put_vpn_header(buf, MSG_DATA_TRANS, keyed_session::SID, 1, 15);
    int opened_len = 0;
    EXPECT_EQ(data_trans_decrypt(&proto, buf, VPN_HEADER_LEN + 15, opened, &opened_len), -1);
    EXPECT_TRUE(log.has("crypto_aead_chacha20poly1305_decrypt failed.", "data_trans_decrypt"));
}

TEST_F(ProtocolTest, KeepaliveRequestLayoutAndReplyChecks) {
    ASSERT_EQ(create_keepalive_req(&proto, "tok", "dev", 111, 222, buf, &len), 0);
    ASSERT_EQ(len, KEEPALIVE_REQ_LEN);
    EXPECT_TRUE(log.has("===>S5 KEEPALIVE REQUEST", "create_keepalive_req"));
    uint8_t plain[CONTROL_BUF_LEN];
    ASSERT_EQ(session.open_request(buf, len, plain), KEEPALIVE_PLAIN_LEN);
    keepalive_request request;
    ASSERT_TRUE(read_keepalive_plain(plain, KEEPALIVE_PLAIN_LEN, &request));
    EXPECT_EQ(request.token, "tok");
    EXPECT_EQ(request.uuid, "dev");
    EXPECT_EQ(get_be32(plain + 576), 222u);  // download first, unlike S2
    EXPECT_EQ(get_be32(plain + 580), 111u);

    const uint64_t seq = proto.rx_seq.load() + 10;
    len = make_keepalive_reply(keyed_session::SID, seq, session.server_tx, 0, buf);
    EXPECT_EQ(check_keepalive_reply(&proto, buf, len), 0);
    len = make_keepalive_reply(keyed_session::SID, seq + 1, session.server_tx, 1, buf);
    EXPECT_EQ(check_keepalive_reply(&proto, buf, len), -1);
    EXPECT_TRUE(log.has("Server return fail.", "check_keepalive_reply"));

    // The server's refusal counts; it was authentic, so rx_seq follows it.
    EXPECT_EQ(proto.rx_seq.load(), seq + 2);

    // 31 bytes: no reply of the server's, ignored.
    put_vpn_header(buf, MSG_KEEPALIVE, keyed_session::SID, seq + 7, 16);
    EXPECT_EQ(check_keepalive_reply(&proto, buf, 31), REPLY_IGNORED);
    EXPECT_TRUE(log.has("Invalid vpn data len.", "check_keepalive_reply"));
    EXPECT_EQ(proto.rx_seq.load(), seq + 2);
}

// The session id is plaintext in every header: a sender who has seen it forges messages
// with the largest sequence numbers. None of them may move rx_seq (which would stop all data
// at the rekey limit) or count as the server's answer.
TEST_F(ProtocolTest, ForgedMessagesWithLiveSessionIdLeaveRxSeq) {
    const uint64_t rx_seq = proto.rx_seq.load();
    constexpr uint64_t forged_seq = 0x0FFFFFFFFFFFFF00ull;
    uint8_t wrong_key[KEY_LEN];
    randombytes_buf(wrong_key, sizeof wrong_key);
    uint8_t opened[CONTROL_BUF_LEN];
    int opened_len = 0;
    const uint8_t packet[20] = {0x45};

    len = make_data_message(keyed_session::SID, forged_seq, wrong_key, packet, sizeof packet, buf);
    EXPECT_EQ(data_trans_decrypt(&proto, buf, len, opened, &opened_len), -1);
    EXPECT_EQ(proto.rx_seq.load(), rx_seq);

    len = make_keepalive_reply(keyed_session::SID, forged_seq, wrong_key, 0, buf);
    EXPECT_EQ(check_keepalive_reply(&proto, buf, len), REPLY_IGNORED);
    EXPECT_EQ(proto.rx_seq.load(), rx_seq);

    // Signed with another key, and echoing the pending rekey's challenge.
    ASSERT_EQ(create_rekey_req(&proto, buf, &len), 0);
    const signing_key stranger = signing_key::generate();
    const signed_reply s4{MSG_REKEY,
                          keyed_session::SID,
                          (forged_seq & 0xFFFFFFFF00000000ull) | proto.challenge.load(),
                          0,
                          1,
                          wrong_key};
    len = make_signed_reply(s4, stranger.secret_key, buf);
    const session_keys* keys = proto.keys.load();
    EXPECT_EQ(check_rekey_reply(&proto, buf, len, session.server.public_key), REPLY_IGNORED);
    EXPECT_EQ(proto.rx_seq.load(), rx_seq);
    EXPECT_EQ(proto.keys.load(), keys);

    // The server's next message still opens and moves rx_seq on as usual.
    len = make_data_message(keyed_session::SID, rx_seq, session.server_tx, packet, sizeof packet,
                            buf);
    ASSERT_EQ(data_trans_decrypt(&proto, buf, len, opened, &opened_len), 0);
    EXPECT_EQ(proto.rx_seq.load(), rx_seq + 1);
}

class RekeyReplyTest : public ProtocolTest {
  protected:
    // Sends an S4 request and builds the server's signed answer to it.
    void request_rekey(uint8_t status = 0) {
        ASSERT_EQ(create_rekey_req(&proto, buf, &len), 0);
        kx_request request{};
        ASSERT_TRUE(read_rekey_request(buf, len, &request));
        uint8_t server_kx_pk[KEY_LEN];
        uint8_t server_kx_sk[KEY_LEN];
        crypto_kx_keypair(server_kx_pk, server_kx_sk);
        ASSERT_EQ(crypto_kx_server_session_keys(server_rx, server_tx, server_kx_pk, server_kx_sk,
                                                request.client_pk),
                  0);
        const signed_reply s4{
            MSG_REKEY, keyed_session::SID, (9ull << 32) | request.challenge, status,
            77,        server_kx_pk};
        reply_len = make_signed_reply(s4, session.server.secret_key, reply);
    }

    int check_reply() {
        return check_rekey_reply(&proto, reply, reply_len, session.server.public_key);
    }

    uint8_t reply[CONTROL_BUF_LEN] = {};
    int reply_len = 0;
    uint8_t server_rx[KEY_LEN] = {};
    uint8_t server_tx[KEY_LEN] = {};
};

// Once the reply is taken the ephemeral pair is wiped: taking a duplicate or replayed reply
// again would derive keys from zeros that the server does not have.
TEST_F(RekeyReplyTest, ReplyIsTakenOnceAndOnlyWhileItsRequestIsPending) {
    request_rekey();
    ASSERT_EQ(check_reply(), 0) << log.dump();
    const session_keys* installed = proto.keys.load();
    EXPECT_EQ(0, std::memcmp(installed->rx_key, server_tx, KEY_LEN));
    EXPECT_EQ(proto.tx_seq.load(), 77u);

    log.clear();
    EXPECT_EQ(check_reply(), REPLY_IGNORED);
    EXPECT_TRUE(log.has("No key exchange pending.", "check_rekey_reply")) << log.dump();
    EXPECT_EQ(proto.keys.load(), installed);
    EXPECT_EQ(0, std::memcmp(installed->rx_key, server_tx, KEY_LEN));
    EXPECT_EQ(proto.tx_seq.load(), 77u);
    EXPECT_EQ(proto.rx_seq.load(), parse_vpn_header(reply).seq);

    // The S1 reply of the session, repeated, is no rekey reply either.
    const uint8_t server_kx_pk[KEY_LEN] = {9};
    const signed_reply s1{MSG_AUTH_KX, keyed_session::SID, session.server_seq, 0, 1, server_kx_pk};
    reply_len = make_signed_reply(s1, session.server.secret_key, reply);
    EXPECT_NE(check_kx_reply(&proto, reply, reply_len, session.server.public_key), 0);
    EXPECT_EQ(proto.keys.load(), installed);
}

// Rekey requests repeat every few seconds while unanswered: the reply to an earlier one is
// dropped, the reply to the latest is taken.
TEST_F(RekeyReplyTest, ReplyToAnEarlierRequestIsIgnored) {
    request_rekey();
    uint8_t earlier[CONTROL_BUF_LEN];
    std::memcpy(earlier, reply, sizeof earlier);
    request_rekey();
    const session_keys* keys = proto.keys.load();
    EXPECT_EQ(check_rekey_reply(&proto, earlier, reply_len, session.server.public_key),
              REPLY_IGNORED);
    EXPECT_EQ(proto.keys.load(), keys);
    ASSERT_EQ(check_reply(), 0) << log.dump();
    EXPECT_NE(proto.keys.load(), keys);
}

TEST_F(RekeyReplyTest, ServerRefusalFailsTheRekey) {
    request_rekey(1);
    const session_keys* keys = proto.keys.load();
    EXPECT_EQ(check_reply(), -1);
    EXPECT_TRUE(log.has("Server return fail.", "check_rekey_reply"));
    EXPECT_EQ(proto.keys.load(), keys);
}

TEST_F(ProtocolTest, DisconnectRequestCarriesUuid) {
    ASSERT_EQ(create_disconn_req(&proto, "dev-42", buf, &len), 0);
    ASSERT_EQ(len, DISCONN_REQ_LEN);
    EXPECT_EQ(parse_vpn_header(buf).msg_type, MSG_DISCONN);
    uint8_t plain[CONTROL_BUF_LEN];
    ASSERT_EQ(session.open_request(buf, len, plain), DISCONN_PLAIN_LEN);
    std::string uuid;
    ASSERT_TRUE(read_disconn_plain(plain, DISCONN_PLAIN_LEN, &uuid));
    EXPECT_EQ(uuid, "dev-42");
    EXPECT_TRUE(log.has("===>S6 DISCONN REQUEST", "create_disconn_req"));
}

TEST_F(ProtocolTest, PingRequestAndRoundTrip) {
    create_ping_req(0x0102030405060708ull, buf, &len);
    ASSERT_EQ(len, PING_REQ_LEN);
    const bytes head = {7, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0x00, 0x40};
    EXPECT_EQ(bytes(buf, buf + VPN_HEADER_LEN), head);
    EXPECT_EQ(bytes(buf + VPN_HEADER_LEN, buf + len), bytes(64, 0xFF));
    EXPECT_EQ(check_ping_reply(buf, len), 0);

    const uint64_t sent = 5'000'000'000ull;
    create_ping_req(sent, buf, &len);
    EXPECT_EQ(ping_rtt_ms(buf, sent + 1'500'999), 1500u);

    // Only a ping can answer a ping.
    put_vpn_header(buf, MSG_DATA_TRANS, 0, 0, 64);
    EXPECT_EQ(check_ping_reply(buf, len), -1);
    EXPECT_TRUE(log.has("check_vpn_header failed.", "check_ping_reply"));
}

// A seal that starts while install_keys is replacing the key record waits, then uses the new
// key with the new sequence: mixing generations could repeat a nonce under one key.
TEST_F(ProtocolTest, SealDuringKeyReplacementUsesOneGeneration) {
    session_keys fresh;
    randombytes_buf(&fresh, sizeof fresh);
    proto.key_epoch.fetch_add(1);  // install_keys has begun
    std::atomic<bool> sealed{false};
    uint8_t msg[64];
    int len = 0;
    std::thread sealer([&] {
        const uint8_t packet[4] = {1, 2, 3, 4};
        data_trans_encrypt(&proto, packet, sizeof packet, msg, &len);
        sealed.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(sealed.load()) << "sealed in the middle of a key replacement";
    proto.keys.store(&fresh);
    proto.tx_seq.store(5000);
    proto.key_epoch.fetch_add(1);  // install_keys has finished
    sealer.join();

    EXPECT_EQ(parse_vpn_header(msg).seq, 5000u);
    uint8_t plain[64];
    int plain_len = 0;
    EXPECT_EQ(open_payload(fresh.tx_key, msg, len, plain, &plain_len), 0);
    EXPECT_EQ(proto.tx_seq.load(), 5001u);
}

}  // namespace
