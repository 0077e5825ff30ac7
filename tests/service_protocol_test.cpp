#include "service_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "result_codes.h"

using namespace engine_service;

namespace {

route_entry_str_t route(const char* ip, int32_t bits) {
    route_entry_str_t r{};
    std::memcpy(r.ip, ip, std::min(std::strlen(ip), sizeof(r.ip)));
    r.bitlen = bits;
    return r;
}

request decoded(const request& r) {
    std::vector<uint8_t> frame;
    std::string why;
    EXPECT_TRUE(encode_request(r, &frame, &why)) << why;
    EXPECT_EQ(frame_length(frame.data()), frame.size() - LENGTH_BYTES);
    request out;
    error_code error = error_code::malformed;
    EXPECT_TRUE(
        decode_request(frame.data() + LENGTH_BYTES, frame.size() - LENGTH_BYTES, &out, &error))
        << error_name(error);
    return out;
}

}  // namespace

TEST(ServiceProtocolTest, RequestsAndRepliesRoundTripAndNothingPastTheLimitsIsSent) {
    start_record v = {"LINUX",
                      "3.1.8",
                      "token",
                      "uuid",
                      std::string(64, 'a'),
                      "",
                      "172.30.0.1",
                      -1,
                      {},
                      {route("198.51.100.0", 24), route("0123456789abcdef", 264)},
                      {route("", -5)},
                      1417,
                      0,
                      2000000000,
                      1,
                      "10.8.0.1",
                      "10.8.0.254"};
    const start_record got = std::get<start_record>(decoded(v));
    EXPECT_EQ(got.server_pk, v.server_pk);
    EXPECT_EQ(got.server_port, -1);
    EXPECT_TRUE(got.local_routes.empty());
    ASSERT_EQ(got.remote_routes.size(), 2u);
    // The route record travels as its 16 raw bytes, unterminated ones too.
    EXPECT_EQ(std::memcmp(got.remote_routes[1].ip, "0123456789abcdef", 16), 0);
    EXPECT_EQ(got.remote_routes[1].bitlen, 264);
    EXPECT_EQ(got.proxy_routes.at(0).bitlen, -5);
    EXPECT_EQ(got.download_limit, 2000000000);
    EXPECT_EQ(got.backup_dns, "10.8.0.254");

    // Every other kind comes back as its own record, with its values.
    const request others[] = {
        stop_request{1},   token_request{"new-token"},        limits_request{3000, -1},
        status_request{},  ping_request{"172.30.0.1", 51820}, device_check_request{},
        load_tun_request{}};
    for (const request& sent : others) {
        EXPECT_EQ(decoded(sent).index(), sent.index());
    }
    EXPECT_EQ(std::get<stop_request>(decoded(others[0])).send_disconn, 1);
    EXPECT_EQ(std::get<token_request>(decoded(others[1])).token, "new-token");
    EXPECT_EQ(std::get<limits_request>(decoded(others[2])).upload, 3000);
    EXPECT_EQ(std::get<limits_request>(decoded(others[2])).download, -1);
    EXPECT_EQ(std::get<ping_request>(decoded(others[4])).address, "172.30.0.1");
    EXPECT_EQ(std::get<ping_request>(decoded(others[4])).port, 51820);

    std::vector<uint8_t> frame;
    std::string why;
    EXPECT_FALSE(encode_request(token_request{std::string(MAX_TEXT + 1, 't')}, &frame, &why));
    EXPECT_FALSE(encode_request(token_request{std::string("to\0ken", 6)}, &frame, &why));
    v.proxy_routes.assign(MAX_ROUTES + 1, route("10.0.0.0", 8));
    EXPECT_FALSE(encode_request(v, &frame, &why));
    EXPECT_NE(why.find("proxy_routes"), std::string::npos);

    reply ok;
    ok.kind = static_cast<uint8_t>(request_kind::ping);
    ok.ok = true;
    ok.value = -76;
    ok.rtt_ms = 65535;
    reply refused;
    refused.error = error_code::peer_not_allowed;
    for (const reply& sent : {ok, refused}) {
        const std::vector<uint8_t> bytes = encode_reply(sent);
        ASSERT_LE(bytes.size() - LENGTH_BYTES, MAX_REPLY);
        reply back;
        ASSERT_TRUE(decode_reply(bytes.data() + LENGTH_BYTES, bytes.size() - LENGTH_BYTES, &back));
        EXPECT_EQ(back.kind, sent.kind);
        EXPECT_EQ(back.ok, sent.ok);
        EXPECT_EQ(back.value, sent.value);
        EXPECT_EQ(back.rtt_ms, sent.rtt_ms);
        EXPECT_EQ(back.error, sent.error);
        std::vector<uint8_t> longer(bytes.begin() + LENGTH_BYTES, bytes.end());
        longer.push_back(0);
        EXPECT_FALSE(decode_reply(longer.data(), longer.size(), &back));
    }
    std::vector<uint8_t> unknown_error = encode_reply(refused);
    unknown_error.back() = 200;
    reply back;
    EXPECT_FALSE(decode_reply(unknown_error.data() + LENGTH_BYTES,
                              unknown_error.size() - LENGTH_BYTES, &back));
}

// The service answers such a start itself, as the engine would, before any of it is reached.
TEST(ServiceProtocolTest, AStartWithARouteThatNamesNoNetworkIsRefusedWithTheRouteCode) {
    start_record fine;
    fine.local_routes = {route("192.168.1.0", 24)};
    fine.remote_routes = {route("198.51.100.0", 24), route("192.0.2.7", 32)};
    fine.proxy_routes = {route("0.0.0.0", 0)};
    std::string why;
    EXPECT_EQ(start_refusal(fine, &why), QN_OK) << why;

    for (auto list :
         {&start_record::local_routes, &start_record::remote_routes, &start_record::proxy_routes}) {
        for (const auto& [bad, said] : std::vector<std::pair<route_entry_str_t, std::string>>{
                 {route("10.0.0.1", 24), "route 10.0.0.1/24: host bits set"},
                 {route("0123456789abcdef", 0), "route 0123456789abcdef/0: not an IPv4 address"},
                 {route("10.0.0.0", 264), "route 10.0.0.0/264: prefix length out of range"}}) {
            start_record v = fine;
            (v.*list).push_back(bad);
            why.clear();
            EXPECT_EQ(start_refusal(v, &why), QN_ROUTES_FAILED) << said;
            EXPECT_EQ(why, said);
        }
    }
}
