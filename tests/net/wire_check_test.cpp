// A TCP transfer each way through the tunnel while the datagrams on the server's uplink are
// captured and checked one by one by the reference server's wire check: each carries exactly
// one sealed packet no larger than the tunnel MTU, sequences only rise, every one opens. Once
// with segmentation offload wherever the kernel has it, once with it forced off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <thread>

#include "netns.h"
#include "protocol.h"
#include "quarnel_api.h"
#include "ref_server.h"
#include "tcp_offload.h"
#include "tcp_stream.h"
#include "tun_data_path.h"
#include "tunnel_topology.h"
#include "wire_check.h"

using namespace netns_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* TOKEN = "wire-token";
constexpr int MTU = 1400;
constexpr uint64_t BYTES = 20'000'000;
constexpr int UDP_HEADER = 8;

// Every UDP datagram to or from the server's port on one interface of the server's namespace,
// both directions. The kernel hands a segmented send over whole, with the segment size in its
// virtio-net header: it is split here into the datagrams the wire carries.
class uplink_capture {
  public:
    uplink_capture(const netns& ns, const char* dev) {
        netns_scope inside(ns);
        // Raw: the kernel hands out virtio-net headers on raw packet sockets only. All
        // protocols: only those sockets see what leaves.
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        const int on = 1;
        const int room = 256 << 20;
        setsockopt(fd_, SOL_PACKET, PACKET_VNET_HDR, &on, sizeof on);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_ALL);
        where.sll_ifindex = static_cast<int>(if_nametoindex(dev));
        bound_ = fd_ >= 0 && where.sll_ifindex > 0 &&
                 bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
        reader_ = std::thread([this] { read_until_stopped(); });
    }
    ~uplink_capture() {
        stop();
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Ends the capture; returns the frames the kernel dropped.
    unsigned stop() {
        if (reader_.joinable()) {
            stopping_ = true;
            reader_.join();
        }
        tpacket_stats stats{};
        socklen_t len = sizeof stats;
        getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &len);
        return stats.tp_drops;
    }

    bool bound() const { return bound_; }
    std::vector<std::vector<uint8_t>> to_server, to_client;
    uint64_t segmented_frames = 0;  // frames that held more than one datagram

  private:
    // Once stopped, what is still queued is read before the end: the reader may lag behind.
    void read_until_stopped() {
        std::vector<uint8_t> frame(OFFLOAD_HEADER_LEN + ETH_HLEN + OFFLOAD_MAX_PACKET);
        for (;;) {
            const bool last_round = stopping_;
            pollfd readable{fd_, POLLIN, 0};
            if (!last_round && poll(&readable, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = recv(fd_, frame.data(), frame.size(), MSG_DONTWAIT);
            if (n > 0) {
                take(frame.data(), static_cast<int>(n));
            } else if (last_round) {
                return;
            }
        }
    }

    void take(uint8_t* frame, int len) {
        offload_header h;
        offload_header_read(frame, &h);
        uint8_t* ip = frame + OFFLOAD_HEADER_LEN + ETH_HLEN;
        const int ip_len = len - OFFLOAD_HEADER_LEN - ETH_HLEN;
        const uint8_t* ethertype = ip - 2;
        const int ihl = ip_len > 0 ? (ip[0] & 0x0F) * 4 : 0;
        if (ethertype[0] != 0x08 || ethertype[1] != 0x00 || ip_len < ihl + UDP_HEADER || ihl < 20 ||
            ip[9] != IPPROTO_UDP) {
            return;
        }
        const uint8_t* udp = ip + ihl;
        const uint16_t from_port = static_cast<uint16_t>(udp[0] << 8 | udp[1]);
        const uint16_t to_port = static_cast<uint16_t>(udp[2] << 8 | udp[3]);
        auto* dest = from_port == TUNNEL_SERVER_PORT ? &to_client
                     : to_port == TUNNEL_SERVER_PORT ? &to_server
                                                     : nullptr;
        if (dest == nullptr) {
            return;
        }
        const bool segmented = (h.gso_type & ~OFFLOAD_GSO_ECN) == OFFLOAD_GSO_UDP_L4;
        const int datagrams = udp_gro_split(ip + ihl + UDP_HEADER, ip_len - ihl - UDP_HEADER,
                                            segmented ? h.gso_size : 0, [&](uint8_t* d, int n) {
                                                dest->emplace_back(d, d + n);
                                                return true;
                                            });
        segmented_frames += datagrams > 1 ? 1 : 0;
    }

    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

enum class path { offload, forced_fallback };

class WireCheckTest : public ::testing::TestWithParam<path> {
  protected:
    void SetUp() override {
        if (GetParam() == path::forced_fallback) {
            setenv("QUARNEL_OFFLOAD", "0", 1);
        }
        server_options options;
        options.tokens = {TOKEN};
        options.wire_mtu = MTU;
        options.log_level = "warn";
        auto data = std::make_unique<tun_data_path>();
        data_ = data.get();
        std::string error;
        ASSERT_TRUE(start_tunnel_server(net_.srv, options, std::move(data), &server_, &error))
            << error;
    }

    void TearDown() override {
        {
            netns_scope in_client(net_.cli);
            stop_vpn(1);
        }
        server_.reset();
        unsetenv("QUARNEL_OFFLOAD");
    }

    int connect() {
        netns_scope in_client(net_.cli);
        const std::string key = server_->key().public_hex();
        route_entry_str_t remote{};
        std::strncpy(remote.ip, "198.51.100.0", sizeof(remote.ip) - 1);
        remote.bitlen = 24;
        return start_vpn("LINUX", "3.1.8.0", TOKEN, "wire-check-uuid", key.c_str(), "",
                         TUNNEL_SERVER_ADDR, TUNNEL_SERVER_PORT, nullptr, 0, &remote, 1, nullptr, 0,
                         MTU, 0, 0, 0, "10.8.0.1", "10.8.0.254");
    }

    // Moves the verified stream from one namespace to an address in another.
    static tcp_stream::receive_result transfer(const netns& from, const netns& to,
                                               const std::string& to_addr, uint16_t port) {
        auto result = start_verified_transfer(from, to, to_addr, port, BYTES).get();
        EXPECT_TRUE(result.verified) << result.error;
        return result;
    }

    // Runs every captured S3 datagram of one direction through the wire check, each session
    // with the server's key for that direction; other message types are left out.
    void check(const std::vector<std::vector<uint8_t>>& datagrams, bool to_client,
               wire_counters* wire) {
        std::map<uint32_t, wire_flow> flows;
        std::vector<uint8_t> plain;
        for (const auto& d : datagrams) {
            if (d.size() <= VPN_HEADER_LEN || d[0] != MSG_DATA_TRANS) {
                continue;
            }
            const uint32_t sid = get_be32(d.data() + 1);
            const std::optional<session> s = server_->find_session(sid);
            ASSERT_TRUE(s) << "no session " << sid;
            wire_check_datagram(*wire, flows[sid], MTU, to_client ? s->tx_key : s->rx_key, d.data(),
                                static_cast<int>(d.size()), &plain);
        }
    }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
    tun_data_path* data_ = nullptr;
};

TEST_P(WireCheckTest, EveryDatagramCarriesOneSealedPacketInSequence) {
    ASSERT_EQ(connect(), 0);
    uplink_capture capture(net_.srv, "cli0");
    ASSERT_TRUE(capture.bound());
    EXPECT_EQ(transfer(net_.cli, net_.lan, TUNNEL_LAN_HOST, 41001).bytes, BYTES);
    EXPECT_EQ(transfer(net_.lan, net_.cli, "10.8.0.2", 41002).bytes, BYTES);
    EXPECT_EQ(capture.stop(), 0u);

    // Checked by the server as it received them.
    const wire_counters& live = server_->stats().wire;
    EXPECT_GT(live.datagrams.load(), BYTES / MTU) << wire_summary(live);
    EXPECT_EQ(live.faults(), 0u) << wire_summary(live);

    // And as captured, in both directions.
    wire_counters up, down;
    check(capture.to_server, false, &up);
    check(capture.to_client, true, &down);
    EXPECT_GT(up.datagrams.load(), BYTES / MTU) << wire_summary(up);
    EXPECT_EQ(up.faults(), 0u) << wire_summary(up);
    EXPECT_GT(down.datagrams.load(), BYTES / MTU) << wire_summary(down);
    EXPECT_EQ(down.faults(), 0u) << wire_summary(down);
    EXPECT_EQ(data_->unsplittable(), 0u);

    // The path under test is the one that ran.
    if (GetParam() == path::offload) {
        EXPECT_NE(data_->describe().find("segmentation offload on"), std::string::npos)
            << data_->describe();
        EXPECT_GT(data_->split_reads(), 0u);
        EXPECT_GT(data_->coalesced_writes(), 0u);
        EXPECT_GT(capture.segmented_frames, 0u);
    } else {
        EXPECT_NE(data_->describe().find("QUARNEL_OFFLOAD=0"), std::string::npos)
            << data_->describe();
        EXPECT_EQ(data_->split_reads(), 0u);
        EXPECT_EQ(data_->coalesced_writes(), 0u);
        EXPECT_EQ(capture.segmented_frames, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, WireCheckTest,
                         ::testing::Values(path::offload, path::forced_fallback),
                         [](const ::testing::TestParamInfo<path>& info) {
                             return info.param == path::offload ? "Offload" : "ForcedFallback";
                         });

}  // namespace
