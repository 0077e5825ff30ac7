// The session's routes in a client namespace whose uplink up0 (198.18.0.2/24) reaches a peer
// namespace with the gateways 198.18.0.1 and 198.18.0.254.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "host_journal.h"
#include "ipv4_text.h"
#include "log_capture.h"
#include "netcard_tool.h"
#include "netns.h"
#include "router.h"
#include "session.h"
#include "test_support.h"
#include "tun_util.h"

using netns_test::dump_state;
using netns_test::main_routes;
using netns_test::net_state;
using netns_test::netns;
using netns_test::netns_scope;

namespace {

// All unicast IPv4 space (below 224.0.0.0) outside the private ranges, as the fewest prefixes,
// in address order: the order the routes are made.
std::vector<std::string> public_space() {
    const uint64_t private_ranges[][2] = {{0x0A000000, 0x0B000000},   // 10.0.0.0/8
                                          {0xAC100000, 0xAC200000},   // 172.16.0.0/12
                                          {0xC0A80000, 0xC0A90000}};  // 192.168.0.0/16
    std::vector<std::string> prefixes;
    uint64_t from = 0;
    auto cover = [&](uint64_t to) {
        while (from < to) {
            int len = 0;  // the largest block that starts at `from` and ends by `to`
            while (from % (1ull << (32 - len)) != 0 || from + (1ull << (32 - len)) > to) {
                ++len;
            }
            prefixes.push_back(ipv4_to_text(htonl(static_cast<uint32_t>(from))) + "/" +
                               std::to_string(len));
            from += 1ull << (32 - len);
        }
    };
    for (const auto& range : private_ranges) {
        cover(range[0]);
        from = range[1];
    }
    cover(0xE0000000);
    return prefixes;
}

route_prefix prefix(const char* addr, uint8_t len) {
    return {ipv4_from_text(addr), len};
}

// "dest/len via gateway on interface-name metric N", from the session's record.
std::string describe(const route_row& row) {
    char name[IF_NAMESIZE] = "?";
    if_indextoname(static_cast<unsigned>(row.if_index), name);
    return ipv4_to_text(row.dest) + "/" + std::to_string(row.prefix_len) + " via " +
           ipv4_to_text(row.gateway) + " on " + name + " metric " + std::to_string(row.metric);
}

std::vector<std::string> describe(const std::vector<route_row>& rows) {
    std::vector<std::string> lines;
    for (const route_row& row : rows) {
        lines.push_back(describe(row));
    }
    return lines;
}

// The routes the session's journal holds as made and not yet undone, in the order made.
std::vector<route_row> recorded_routes() {
    std::vector<route_row> rows;
    for (const journal_record& record : session_journal().outstanding(host_change_kind::route)) {
        rows.push_back(record.change.route);
    }
    return rows;
}

route_row recorded_server_route() {
    route_row server;
    for (const journal_record& record : session_journal().outstanding(host_change_kind::route)) {
        if (record.change.server_route) {
            server = record.change.route;
        }
    }
    return server;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The adapter and routes of one session, taken down as qn_stop does even when a check fails.
struct session {
    explicit session(bool proxy_mode) {
        ctx.server_ip = "203.0.113.10";
        ctx.tun_ip = "10.8.0.6";
        ctx.tun_netmask = "255.255.255.0";
        if (session_journal().begin()) {
            opened = tun_open("tun0", 0, "10.8.0.6", "255.255.255.0", 1400, !proxy_mode, &ctx.tun);
        }
    }
    ~session() {
        reset_route_table(&ctx);
        tun_close(ctx.tun);
        session_journal().end();
    }

    std::chrono::milliseconds timed_reset() {
        auto start = std::chrono::steady_clock::now();
        reset_route_table(&ctx);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }

    qn_ctx_t ctx;
    int opened = -1;
};

class RouteTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        netns_test::connect(client_, "up0", peer_, "down0");
        client_.ip("addr add 198.18.0.2/24 dev up0");
        peer_.ip("addr add 198.18.0.1/24 dev down0");
        peer_.ip("addr add 198.18.0.254/24 dev down0");
        client_.ip("route add default via 198.18.0.1 dev up0");
        client_.set_forwarding("0");
    }

    netns client_;
    netns peer_;
    test_support::log_capture log_;
};

constexpr auto PROMPT = std::chrono::milliseconds(500);

TEST_F(RouteTableTest, ProxyModeWithoutProxyRoutesSendsThePublicSpaceThroughTheTunnel) {
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        session s(true);
        ASSERT_EQ(s.opened, 0);
        std::vector<std::string> kernel = main_routes(client_);
        route_prefix remote[] = {prefix("198.51.100.0", 24)};
        ASSERT_EQ(set_route_table(&s.ctx, remote, 1, nullptr, 0, true), 0);

        std::vector<std::string> expected;
        for (const std::string& p : public_space()) {
            expected.push_back(p + " via 10.8.0.1 on tun0 metric 1");
            kernel.push_back(p + " via 10.8.0.1 dev tun0 proto 113 metric 1");
        }
        expected.push_back("198.51.100.0/24 via 198.18.0.1 on up0 metric 0");
        expected.push_back("203.0.113.10/32 via 198.18.0.1 on up0 metric 0");
        kernel.push_back("198.51.100.0/24 via 198.18.0.1 dev up0 proto 113");
        kernel.push_back("203.0.113.10 via 198.18.0.1 dev up0 proto 113");
        EXPECT_EQ(describe(recorded_routes()), expected);
        EXPECT_EQ(main_routes(client_), sorted(kernel));
        EXPECT_EQ(describe(recorded_server_route()),
                  "203.0.113.10/32 via 198.18.0.1 on up0 metric 0");
        EXPECT_EQ(s.ctx.wan_if_index, static_cast<int32_t>(if_nametoindex("up0")));
        EXPECT_EQ(s.ctx.wan_gateway, "198.18.0.1");
        EXPECT_TRUE(s.ctx.proxy_mode);
        ASSERT_TRUE(s.ctx.protect_thread);
        EXPECT_LT(s.timed_reset(), PROMPT);  // the worker is in its first sleep
        EXPECT_FALSE(s.ctx.protect_thread);
        EXPECT_TRUE(recorded_routes().empty());
    }
    EXPECT_EQ(dump_state(client_), before);
}

TEST_F(RouteTableTest, ProxyRoutesReplaceThePublicSpaceAndExistingRoutesAreLeftAlone) {
    // Someone else's route to a remote network, identical to the one the session would make.
    client_.ip("route add 198.51.100.0/24 via 198.18.0.1 dev up0");
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        session s(true);
        ASSERT_EQ(s.opened, 0);
        std::vector<std::string> kernel = main_routes(client_);
        route_prefix remote[] = {prefix("198.51.100.0", 24), prefix("198.51.101.0", 24)};
        route_prefix proxy[] = {prefix("10.0.0.0", 8)};
        ASSERT_EQ(set_route_table(&s.ctx, remote, 2, proxy, 1, true), 0);

        EXPECT_EQ(describe(recorded_routes()),
                  (std::vector<std::string>{"10.0.0.0/8 via 10.8.0.1 on tun0 metric 1",
                                            "198.51.101.0/24 via 198.18.0.1 on up0 metric 0",
                                            "203.0.113.10/32 via 198.18.0.1 on up0 metric 0"}));
        kernel.push_back("10.0.0.0/8 via 10.8.0.1 dev tun0 proto 113 metric 1");
        kernel.push_back("198.51.101.0/24 via 198.18.0.1 dev up0 proto 113");
        kernel.push_back("203.0.113.10 via 198.18.0.1 dev up0 proto 113");
        EXPECT_EQ(main_routes(client_), sorted(kernel));
    }
    EXPECT_EQ(dump_state(client_), before);  // the existing route is still there
}

TEST_F(RouteTableTest, SplitModeRoutesTheSubnetFirstAndTheSessionLeavesNoTrace) {
    for (const char* forwarding : {"0", "1"}) {
        SCOPED_TRACE(std::string("forwarding was ") + forwarding);
        client_.set_forwarding(forwarding);
        const net_state before = dump_state(client_);
        {
            netns_scope inside(client_);
            session s(false);
            ASSERT_EQ(s.opened, 0);
            const std::vector<std::string> session_free = main_routes(client_);
            std::vector<std::string> kernel = session_free;
            route_prefix remote[] = {prefix("198.51.100.0", 24), prefix("203.0.113.0", 24)};
            ASSERT_EQ(set_route_table(&s.ctx, remote, 2, nullptr, 0, false), 0);

            EXPECT_EQ(describe(recorded_routes()),
                      (std::vector<std::string>{"10.8.0.0/24 via 10.8.0.1 on tun0 metric 0",
                                                "198.51.100.0/24 via 10.8.0.1 on tun0 metric 0",
                                                "203.0.113.0/24 via 10.8.0.1 on tun0 metric 0"}));
            kernel.push_back("10.8.0.0/24 via 10.8.0.1 dev tun0 proto 113");
            kernel.push_back("198.51.100.0/24 via 10.8.0.1 dev tun0 proto 113");
            kernel.push_back("203.0.113.0/24 via 10.8.0.1 dev tun0 proto 113");
            EXPECT_EQ(main_routes(client_), sorted(kernel));
            EXPECT_EQ(client_.forwarding(), "1");
            EXPECT_TRUE(s.ctx.router_started);
            EXPECT_FALSE(s.ctx.protect_thread);
            EXPECT_FALSE(s.ctx.proxy_mode);

            ASSERT_TRUE(SetAdapterDNS(s.ctx.tun->guid, "10.8.0.53", "10.8.0.54"));
            EXPECT_NE(netns_test::dump_resolver().find("nameserver 10.8.0.53\nnameserver "
                                                       "10.8.0.54\n"),
                      std::string::npos);
            // One reset puts back the resolver, forwarding and routes.
            reset_route_table(&s.ctx);
            EXPECT_EQ(client_.forwarding(), forwarding);
            EXPECT_EQ(netns_test::dump_resolver().find("10.8.0.53"), std::string::npos);
            // Closing the adapter would take its routes along; the reset must not rely on it.
            EXPECT_EQ(main_routes(client_), session_free);
        }
        EXPECT_EQ(dump_state(client_), before);
    }
}

TEST_F(RouteTableTest, TheDefaultRouteWithTheLowestMetricIsTheUplink) {
    netns_test::connect(client_, "up1", peer_, "down1");
    client_.ip("addr add 198.19.0.2/24 dev up1");
    peer_.ip("addr add 198.19.0.1/24 dev down1");
    client_.ip("route del default");
    client_.ip("route add default via 198.18.0.1 dev up0 metric 25");
    client_.ip("route add default via 198.19.0.1 dev up1 metric 10");
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        session s(true);
        ASSERT_EQ(s.opened, 0);
        route_prefix remote[] = {prefix("198.51.100.0", 24)};
        route_prefix proxy[] = {prefix("10.0.0.0", 8)};
        ASSERT_EQ(set_route_table(&s.ctx, remote, 1, proxy, 1, true), 0);
        EXPECT_EQ(s.ctx.wan_if_index, static_cast<int32_t>(if_nametoindex("up1")));
        EXPECT_EQ(s.ctx.wan_gateway, "198.19.0.1");
        std::vector<std::string> routes = main_routes(client_);
        EXPECT_NE(std::find(routes.begin(), routes.end(),
                            "198.51.100.0/24 via 198.19.0.1 dev up1 proto 113"),
                  routes.end());
    }
    EXPECT_EQ(dump_state(client_), before);

    // The other way round, so that neither the first nor the last default route wins by rank.
    client_.ip("route del default via 198.19.0.1 dev up1 metric 10");
    client_.ip("route add default via 198.19.0.1 dev up1 metric 40");
    netns_scope inside(client_);
    int32_t if_index = -1;
    char gateway[16] = {};
    ASSERT_TRUE(GetWanInfo(&if_index, gateway));
    EXPECT_EQ(if_index, static_cast<int32_t>(if_nametoindex("up0")));
    EXPECT_STREQ(gateway, "198.18.0.1");
}

TEST_F(RouteTableTest, WithoutADefaultRouteTheTableFailsAndLeavesNothing) {
    client_.ip("route del default");
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        for (bool proxy_mode : {true, false}) {
            test_support::log_capture log;
            session s(proxy_mode);
            ASSERT_EQ(s.opened, 0);
            const std::vector<std::string> kernel = main_routes(client_);
            route_prefix remote[] = {prefix("198.51.100.0", 24)};
            EXPECT_EQ(set_route_table(&s.ctx, remote, 1, nullptr, 0, proxy_mode), -1);
            EXPECT_TRUE(log.has("GetWanInfo failed.", "set_route_table")) << log.dump();
            EXPECT_EQ(s.ctx.wan_if_index, -1);
            EXPECT_TRUE(recorded_routes().empty());
            EXPECT_FALSE(s.ctx.protect_thread);
            EXPECT_EQ(main_routes(client_), kernel);
        }
    }
    EXPECT_EQ(dump_state(client_), before);
}

TEST_F(RouteTableTest, AFailureHalfwayRemovesTheRoutesAlreadyMade) {
    // An uplink gateway outside the uplink's subnet, reached only by the on-link flag.
    client_.ip("route replace default via 203.0.113.1 dev up0 onlink");
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        session s(true);
        ASSERT_EQ(s.opened, 0);
        const std::vector<std::string> kernel = main_routes(client_);
        // The 30 tunnel routes exist when the first remote route, through that gateway, is
        // refused.
        route_prefix remote[] = {prefix("198.51.100.0", 24), prefix("198.51.101.0", 24)};
        EXPECT_EQ(set_route_table(&s.ctx, remote, 2, nullptr, 0, true), -1);
        EXPECT_TRUE(log_.has("CreateIpForwardEntry2 failed with err:101.", "perform_add_routes"))
            << log_.dump();
        EXPECT_TRUE(log_.has("perform_add_routes failed!", "set_route_table"));
        EXPECT_EQ(main_routes(client_), kernel);
        EXPECT_TRUE(recorded_routes().empty());
        EXPECT_FALSE(s.ctx.protect_thread);
    }
    EXPECT_EQ(dump_state(client_), before);
}

// The default route moves to a second link while the old gateway stays up: the server route
// and the remote route follow it as soon as the change is seen, not at the next round, and
// nothing stays on the old gateway.
TEST_F(RouteTableTest, TheUplinksRoutesFollowANewGatewayWithinASecondAndResetEndsTheWorker) {
    netns_test::connect(client_, "up1", peer_, "down1");
    client_.ip("addr add 198.19.0.2/24 dev up1");
    peer_.ip("addr add 198.19.0.1/24 dev down1");
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        session s(true);
        ASSERT_EQ(s.opened, 0);
        route_prefix remote[] = {prefix("198.51.100.0", 24)};
        route_prefix proxy[] = {prefix("10.0.0.0", 8)};
        ASSERT_EQ(set_route_table(&s.ctx, remote, 1, proxy, 1, true), 0);

        auto has = [this](const std::string& route) {
            std::vector<std::string> routes = main_routes(client_);
            return std::find(routes.begin(), routes.end(), route) != routes.end();
        };
        const std::vector<std::string> old_pins = {
            "203.0.113.10 via 198.18.0.1 dev up0 proto 113",
            "198.51.100.0/24 via 198.18.0.1 dev up0 proto 113"};
        const std::vector<std::string> new_pins = {
            "203.0.113.10 via 198.19.0.1 dev up1 proto 113",
            "198.51.100.0/24 via 198.19.0.1 dev up1 proto 113"};
        auto all = [&](const std::vector<std::string>& routes, bool present) {
            return std::all_of(routes.begin(), routes.end(),
                               [&](const std::string& r) { return has(r) == present; });
        };
        ASSERT_TRUE(all(old_pins, true));
        // The worker watches from its start: a moment for it to be listening.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const struct {
            const char* move;
            const std::vector<std::string>& to;
            const std::vector<std::string>& from;
        } moves[] = {{"route replace default via 198.19.0.1 dev up1", new_pins, old_pins},
                     {"route replace default via 198.18.0.1 dev up0", old_pins, new_pins}};
        for (const auto& m : moves) {
            SCOPED_TRACE(m.move);
            const auto moved = std::chrono::steady_clock::now();
            client_.ip(m.move);
            EXPECT_TRUE(
                test_support::wait_until([&] { return all(m.to, true); }, std::chrono::seconds(3)));
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - moved);
            std::cout << "re-pinned after " << took.count() << " ms\n";
            EXPECT_LT(took, std::chrono::seconds(1));
            EXPECT_TRUE(all(m.from, false)) << "left on the old gateway";
        }
        EXPECT_EQ(sorted(describe(recorded_routes())),
                  sorted({"10.0.0.0/8 via 10.8.0.1 on tun0 metric 1",
                          "198.51.100.0/24 via 198.18.0.1 on up0 metric 0",
                          "203.0.113.10/32 via 198.18.0.1 on up0 metric 0"}));
        // The worker now waits for a change or its next round.
        EXPECT_LT(s.timed_reset(), PROMPT);
        EXPECT_FALSE(s.ctx.protect_thread);
    }
    EXPECT_EQ(dump_state(client_), before);
}

TEST_F(RouteTableTest, TheSessionsOwnInterfaceIsNeverTheUplink) {
    const int32_t up0 = [this] {
        netns_scope inside(client_);
        return static_cast<int32_t>(if_nametoindex("up0"));
    }();
    for (const char* metric : {"100", "600"}) {
        SCOPED_TRACE(std::string("uplink metric ") + metric);
        client_.ip("route replace default via 198.18.0.1 dev up0 metric " + std::string(metric));
        client_.ip("route del default via 198.18.0.1 dev up0 metric 0");
        {
            // A proxy route covering everything goes through the tunnel with metric 1.
            netns_scope inside(client_);
            session s(true);
            ASSERT_EQ(s.opened, 0);
            route_prefix proxy[] = {prefix("0.0.0.0", 0)};
            route_prefix remote[] = {prefix("198.51.100.0", 24)};
            ASSERT_EQ(set_route_table(&s.ctx, remote, 1, proxy, 1, true), 0);
            int32_t if_index = -1;
            char gateway[16] = {};
            ASSERT_TRUE(GetWanInfo(&if_index, gateway));
            EXPECT_EQ(if_index, up0);
            EXPECT_STREQ(gateway, "198.18.0.1");
            EXPECT_EQ(protect_wan_routes(&s.ctx), 0);
            EXPECT_EQ(s.ctx.wan_if_index, up0);
            EXPECT_EQ(describe(recorded_server_route()),
                      "203.0.113.10/32 via 198.18.0.1 on up0 metric 0");
        }
        {
            // A server that hands out the mask 0.0.0.0 gives the adapter an on-link route over
            // everything (the address itself is refused here, so the route is made by hand).
            netns_scope inside(client_);
            session s(false);
            ASSERT_EQ(s.opened, 0);
            client_.ip("route add default dev tun0 proto kernel scope link metric 256");
            int32_t if_index = -1;
            char gateway[16] = {};
            ASSERT_TRUE(GetWanInfo(&if_index, gateway));
            EXPECT_EQ(if_index, up0);
            EXPECT_STREQ(gateway, "198.18.0.1");
        }
        client_.ip("route replace default via 198.18.0.1 dev up0 metric 0");
        client_.ip("route del default via 198.18.0.1 dev up0 metric " + std::string(metric));
    }
}

// Size of the session's journal on disk.
off_t journal_size() {
    const std::string dir = std::getenv("QUARNEL_JOURNAL_DIR");
    off_t size = -1;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("session-", 0) == 0) {
            size = static_cast<off_t>(entry.file_size());
        }
    }
    return size;
}

TEST_F(RouteTableTest, AProtectRoundThatChangesNothingWritesNothing) {
    // Someone else's route, identical to one the session would make.
    client_.ip("route add 198.51.101.0/24 via 198.18.0.1 dev up0");
    const net_state before = dump_state(client_);
    {
        netns_scope inside(client_);
        session s(true);
        ASSERT_EQ(s.opened, 0);
        route_prefix remote[] = {prefix("198.51.100.0", 24), prefix("198.51.101.0", 24)};
        route_prefix proxy[] = {prefix("10.0.0.0", 8)};
        ASSERT_EQ(set_route_table(&s.ctx, remote, 2, proxy, 1, true), 0);
        const off_t recorded = journal_size();
        ASSERT_GT(recorded, 0);
        EXPECT_EQ(protect_wan_routes(&s.ctx), 0);
        EXPECT_EQ(protect_wan_routes(&s.ctx), 0);
        EXPECT_EQ(journal_size(), recorded);
        const std::vector<std::string> held = sorted(describe(recorded_routes()));

        // A route of the session that someone removed is made again, recorded again; its
        // first record, with nothing left to undo, no longer counts.
        client_.ip("route del 198.51.100.0/24 via 198.18.0.1 dev up0");
        EXPECT_EQ(protect_wan_routes(&s.ctx), 0);
        EXPECT_GT(journal_size(), recorded);
        EXPECT_EQ(sorted(describe(recorded_routes())), held);
        std::vector<std::string> routes = main_routes(client_);
        EXPECT_NE(std::find(routes.begin(), routes.end(),
                            "198.51.100.0/24 via 198.18.0.1 dev up0 proto 113"),
                  routes.end());
    }
    EXPECT_EQ(dump_state(client_), before);
}

}  // namespace
