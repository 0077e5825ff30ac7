// A rogue host beside the server: it reads the session id that every header carries in
// plaintext and sends the client forged replies with the largest sequence numbers, and a
// replayed rekey reply, all from the server's own address and port, while a transfer runs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "data_handler.h"
#include "engine_log.h"
#include "netns.h"
#include "protocol.h"
#include "quarnel_api.h"
#include "ref_server.h"
#include "session_registry.h"
#include "socket_util.h"
#include "tcp_stream.h"
#include "test_support.h"
#include "tun_data_path.h"
#include "tunnel_topology.h"

using namespace netns_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* TOKEN = "good-token";
constexpr uint16_t TRANSFER_PORT = 41000;
constexpr uint64_t TRANSFER_BYTES = 10'000'000;
constexpr uint64_t FORGED_SEQ = 0x0FFFFFFFFFFFFF00ULL;  // above the receive rekey limit

using bytes = std::vector<uint8_t>;

// One UDP datagram as a raw socket shows it.
struct udp_datagram {
    in_addr src{}, dst{};
    uint16_t src_port = 0, dst_port = 0;
    bytes payload;
};

// Reads UDP datagrams arriving in a namespace, as any host on the path can.
class udp_observer {
  public:
    explicit udp_observer(const netns& ns) {
        netns_scope in(ns);
        fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
        timeval tv{0, 200000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~udp_observer() { close(fd_); }
    udp_observer(const udp_observer&) = delete;
    udp_observer& operator=(const udp_observer&) = delete;
    bool ok() const { return fd_ >= 0; }

    // The first datagram, within the time-out, that the predicate accepts.
    template <typename Pred>
    bool next(Pred accept, udp_datagram* out, std::chrono::seconds timeout = 10s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        uint8_t buf[65536];
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n < static_cast<ssize_t>(sizeof(iphdr))) {
                continue;
            }
            const iphdr* ip = reinterpret_cast<const iphdr*>(buf);
            const size_t ihl = ip->ihl * 4u;
            if (static_cast<size_t>(n) < ihl + sizeof(udphdr)) {
                continue;
            }
            const udphdr* udp = reinterpret_cast<const udphdr*>(buf + ihl);
            out->src.s_addr = ip->saddr;
            out->dst.s_addr = ip->daddr;
            out->src_port = ntohs(udp->source);
            out->dst_port = ntohs(udp->dest);
            out->payload.assign(buf + ihl + sizeof(udphdr), buf + n);
            if (accept(*out)) {
                return true;
            }
        }
        return false;
    }

  private:
    int fd_ = -1;
};

// Sends UDP datagrams with any source address and port, built by hand.
class spoofing_sender {
  public:
    explicit spoofing_sender(const netns& ns) {
        netns_scope in(ns);
        fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    }
    ~spoofing_sender() { close(fd_); }
    spoofing_sender(const spoofing_sender&) = delete;
    spoofing_sender& operator=(const spoofing_sender&) = delete;
    bool ok() const { return fd_ >= 0; }

    bool send(in_addr src, uint16_t src_port, in_addr dst, uint16_t dst_port,
              const bytes& payload) {
        bytes packet(sizeof(iphdr) + sizeof(udphdr) + payload.size());
        iphdr* ip = reinterpret_cast<iphdr*>(packet.data());
        ip->version = 4;
        ip->ihl = 5;
        ip->ttl = 64;
        ip->protocol = IPPROTO_UDP;
        ip->tot_len = htons(static_cast<uint16_t>(packet.size()));
        ip->saddr = src.s_addr;
        ip->daddr = dst.s_addr;  // the kernel fills in the id and the header checksum
        udphdr* udp = reinterpret_cast<udphdr*>(packet.data() + sizeof(iphdr));
        udp->source = htons(src_port);
        udp->dest = htons(dst_port);
        udp->len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
        udp->check = 0;  // none, as IPv4 allows
        std::memcpy(packet.data() + sizeof(iphdr) + sizeof(udphdr), payload.data(), payload.size());
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr = dst;
        return sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof to) == static_cast<ssize_t>(packet.size());
    }

  private:
    int fd_ = -1;
};

// A server message of this type and length with the session id and sequence number given,
// and random bytes where the seal or signature would be.
bytes forged(uint8_t type, uint32_t sid, uint64_t seq, size_t total_len) {
    bytes msg(total_len);
    randombytes_buf(msg.data(), msg.size());
    put_vpn_header(msg.data(), type, sid, seq, static_cast<uint16_t>(total_len - VPN_HEADER_LEN));
    return msg;
}

bool to_server(const udp_datagram& d) {
    in_addr server{};
    inet_pton(AF_INET, TUNNEL_SERVER_ADDR, &server);
    return d.dst.s_addr == server.s_addr && d.dst_port == TUNNEL_SERVER_PORT &&
           d.payload.size() > VPN_HEADER_LEN;
}

class HostileInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(start_tunnel_server(net_.srv, TOKEN, &server_, &error)) << error;
    }

    void TearDown() override {
        stop_vpn(0);
        if (server_) {
            server_->stop();
        }
    }

    // Split mode with the LAN behind the server as its remote network; on the calling thread,
    // which must be in the client namespace.
    int start() {
        route_entry_str_t remote{};
        std::strncpy(remote.ip, "198.51.100.0", sizeof remote.ip - 1);
        remote.bitlen = 24;
        const std::string key = server_->key().public_hex();
        return start_vpn("LINUX", "3.1.8.0", TOKEN, "test-device-uuid", key.c_str(), "",
                         TUNNEL_SERVER_ADDR, TUNNEL_SERVER_PORT, nullptr, 0, &remote, 1, nullptr, 0,
                         1400, 0, 0, 0, "10.8.0.1", "10.8.0.254");
    }

    bool ping_lan_host(int count) {
        return net_.cli
                   .exec({"ping", "-c", std::to_string(count), "-i", "0.2", "-W", "2", "-n",
                          TUNNEL_LAN_HOST})
                   .status == 0;
    }

    uint64_t received(msg_type type) const { return server_->stats().received[type].load(); }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
};

TEST_F(HostileInputTest, ForgedAndReplayedRepliesLeaveTheSessionAndItsTrafficAlone) {
    udp_observer beside_server(net_.srv);
    udp_observer beside_client(net_.cli);
    spoofing_sender rogue(net_.srv);
    ASSERT_TRUE(beside_server.ok() && beside_client.ok() && rogue.ok());
    netns_scope in_client(net_.cli);
    ASSERT_EQ(start(), 0);

    // What the path shows: the session id in the first header that has one, and the client's
    // address and port.
    udp_datagram seen;
    ASSERT_TRUE(beside_server.next(
        [](const udp_datagram& d) {
            return to_server(d) &&
                   (d.payload[0] == MSG_USER_AUTH || d.payload[0] == MSG_DATA_TRANS ||
                    d.payload[0] == MSG_KEEPALIVE);
        },
        &seen));
    const uint32_t sid = get_be32(seen.payload.data() + 1);
    const in_addr client = seen.src;
    const uint16_t client_port = seen.src_port;
    const in_addr server_addr = seen.dst;

    // One honest rekey, its signed reply recorded on the way for replay.
    {
        std::lock_guard<std::mutex> lock(session_lock());
        running_session()->proto->tx_seq.store(TX_SEQ_REKEY_LIMIT - 1);
    }
    std::promise<bytes> recorded;
    std::thread recorder([&] {
        udp_datagram d;
        const bool got = beside_client.next(
            [](const udp_datagram& x) {
                return x.src_port == TUNNEL_SERVER_PORT && x.payload.size() == KX_REPLY_LEN &&
                       x.payload[0] == MSG_REKEY;
            },
            &d);
        recorded.set_value(got ? d.payload : bytes());
    });
    ping_lan_host(3);
    recorder.join();
    const bytes rekey_reply = recorded.get_future().get();
    ASSERT_EQ(rekey_reply.size(), static_cast<size_t>(KX_REPLY_LEN));
    ASSERT_TRUE(ping_lan_host(2));
    const uint64_t rekeys = received(MSG_REKEY);
    ASSERT_EQ(rekeys, 1u);

    std::string error;
    int listener = -1;
    {
        netns_scope in_lan(net_.lan);
        listener = tcp_stream::listen_on(TRANSFER_PORT, &error);
    }
    ASSERT_GE(listener, 0) << error;
    auto receiver = std::async(std::launch::async,
                               [listener] { return tcp_stream::receive_verified(listener, 20s); });

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0};
    std::thread attacker([&] {
        for (uint64_t i = 0; !stop.load(); ++i) {
            const uint64_t seq = FORGED_SEQ + i;
            for (const bytes& msg :
                 {forged(MSG_DATA_TRANS, sid, seq, 200), forged(MSG_KEEPALIVE, sid, seq, 32),
                  forged(MSG_REKEY, sid, seq, KX_REPLY_LEN), rekey_reply}) {
                if (rogue.send(server_addr, TUNNEL_SERVER_PORT, client, client_port, msg)) {
                    sent.fetch_add(1);
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(200ms);  // the session is under fire before the transfer
    const bool streamed =
        tcp_stream::send_stream(TUNNEL_LAN_HOST, TRANSFER_PORT, TRANSFER_BYTES, &error);
    const tcp_stream::receive_result result = receiver.get();
    stop = true;
    attacker.join();

    // Forged keepalive replies with no data behind them: only a missed period may count, so
    // with the period cut to nothing the server's answers keep the session up.
    for (int i = 0; i < 5; ++i) {
        rogue.send(server_addr, TUNNEL_SERVER_PORT, client, client_port,
                   forged(MSG_KEEPALIVE, sid, FORGED_SEQ + i, 32));
    }
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard<std::mutex> lock(session_lock());
        running_session()->keepalive_period_s.store(0);
    }
    std::this_thread::sleep_for(3s);

    EXPECT_GT(sent.load(), 400u);
    EXPECT_TRUE(streamed) << error;
    EXPECT_TRUE(result.verified) << result.error;
    EXPECT_EQ(result.bytes, TRANSFER_BYTES);
    EXPECT_EQ(get_vpn_status(), 0);
    // No forged sequence pushed the client to its rekey limit.
    EXPECT_EQ(received(MSG_REKEY), rekeys);
    EXPECT_EQ(server_->session_count(), 1u);
    EXPECT_TRUE(ping_lan_host(2));
}

// The namespace's count of UDP datagrams delivered to sockets, as /proc shows it to the
// calling thread.
uint64_t udp_in_datagrams() {
    std::istringstream snmp(test_support::read_file("/proc/thread-self/net/snmp"));
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Udp: ", 0) != 0) {
            continue;
        }
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;) {
            if (name == "InDatagrams") {
                return std::stoull(value);
            }
        }
    }
    return 0;
}

// Anyone can send the client's port junk, as much as it likes: 100,000 random datagrams of
// random sizes during a transfer. The session and its traffic go on, and the engine log keeps
// what it held before (the session's start, an earlier error) with a few kilobytes added.
TEST_F(HostileInputTest, AFloodOfJunkLeavesTheSessionAndTheLogsEarlierLines) {
    constexpr int FLOOD = 100000;
    constexpr uint16_t FLOOD_TRANSFER_PORT = TRANSFER_PORT + 1;
    // The session starts a log of its own, which nothing else in this process writes.
    const std::filesystem::path log_path = engine_log::log_file_path();
    std::filesystem::remove(log_path);
    netns_scope in_client(net_.cli);
    ASSERT_EQ(start(), 0);
    ASSERT_TRUE(ping_lan_host(1));
    sockaddr_in client{};
    {
        std::lock_guard<std::mutex> lock(session_lock());
        socklen_t len = sizeof(client);
        ASSERT_EQ(
            getsockname(running_session()->sock->s, reinterpret_cast<sockaddr*>(&client), &len), 0);
    }
    inet_pton(AF_INET, "172.30.0.2", &client.sin_addr);
    int junk = -1;
    {
        netns_scope in_server(net_.srv);
        junk = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ASSERT_GE(junk, 0);
    auto logged = [&](const std::string& text) {
        return test_support::wait_until(
            [&] { return test_support::read_file(log_path).find(text) != std::string::npos; });
    };
    // An error before the flood: a datagram too short for a header.
    ASSERT_EQ(sendto(junk, "short", 5, 0, reinterpret_cast<sockaddr*>(&client), sizeof(client)), 5);
    ASSERT_TRUE(logged("recv 5 bytes from host(172.30.0.1:")) << test_support::read_file(log_path);
    const std::string before = test_support::read_file(log_path);
    ASSERT_NE(before.find("UDP sending"), std::string::npos) << "the session's start";

    std::string error;
    int listener = -1;
    {
        netns_scope in_lan(net_.lan);
        listener = tcp_stream::listen_on(FLOOD_TRANSFER_PORT, &error);
    }
    ASSERT_GE(listener, 0) << error;
    auto receiver = std::async(std::launch::async,
                               [listener] { return tcp_stream::receive_verified(listener, 30s); });
    const uint64_t delivered_before = udp_in_datagrams();
    std::atomic<int> sent{0};
    std::thread flood([&] {
        std::vector<uint8_t> datagram(1400);
        for (int i = 0; i < FLOOD; ++i) {
            randombytes_buf(datagram.data(), datagram.size());
            const size_t len = 1 + randombytes_uniform(static_cast<uint32_t>(datagram.size()));
            if (sendto(junk, datagram.data(), len, 0, reinterpret_cast<sockaddr*>(&client),
                       sizeof(client)) == static_cast<ssize_t>(len)) {
                sent.fetch_add(1);
            }
        }
    });
    const auto began = std::chrono::steady_clock::now();
    const bool streamed =
        tcp_stream::send_stream(TUNNEL_LAN_HOST, FLOOD_TRANSFER_PORT, TRANSFER_BYTES, &error);
    const tcp_stream::receive_result result = receiver.get();
    flood.join();
    std::cout << "flood of " << sent.load() << " datagrams and transfer: "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()
              << " s\n";
    close(junk);
    std::this_thread::sleep_for(200ms);  // the last junk read
    QN_INFO("after the flood");
    ASSERT_TRUE(logged("after the flood"));
    const std::string after = test_support::read_file(log_path);

    EXPECT_EQ(sent.load(), FLOOD);
    // Most of it reached the engine's socket rather than overflowing its buffer.
    const uint64_t delivered = udp_in_datagrams() - delivered_before;
    std::cout << "datagrams delivered to the client's sockets: " << delivered << "\n";
    EXPECT_GT(delivered, static_cast<uint64_t>(FLOOD) / 2);
    EXPECT_TRUE(streamed) << error;
    EXPECT_TRUE(result.verified) << result.error;
    EXPECT_EQ(get_vpn_status(), 0);
    EXPECT_EQ(server_->session_count(), 1u);
    EXPECT_TRUE(ping_lan_host(1));
    EXPECT_EQ(after.compare(0, before.size(), before), 0) << "earlier lines lost";
    std::cout << "log bytes added by the flood: " << after.size() - before.size() << "\n";
    EXPECT_LT(after.size() - before.size(), 5000u) << after.substr(before.size());
}

}  // namespace
