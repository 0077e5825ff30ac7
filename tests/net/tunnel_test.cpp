// The whole engine through its exports: a client namespace, the reference server with its
// TUN interface in a server namespace, and a host behind the server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "data_handler.h"
#include "datagram_relay.h"
#include "engine_log.h"
#include "netns.h"
#include "protocol.h"
#include "quarnel_api.h"
#include "ref_server.h"
#include "session_registry.h"
#include "tcp_stream.h"
#include "test_support.h"
#include "tun_data_path.h"
#include "tun_offload.h"
#include "tun_util.h"
#include "tunnel_topology.h"

using namespace netns_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* TOKEN = "good-token";
constexpr int MTU = 1400;
const std::vector<std::string> IPV6_HALVES = {"::/1 dev tun0", "8000::/1 dev tun0"};

route_entry_str_t route(const char* ip, int bits) {
    route_entry_str_t r{};
    std::strncpy(r.ip, ip, sizeof(r.ip) - 1);
    r.bitlen = bits;
    return r;
}

struct start_args {
    std::string server_key;
    std::string token = TOKEN;
    bool proxy = false;
    int upload_limit = 0;
    int download_limit = 0;
    uint16_t port = TUNNEL_SERVER_PORT;
    // Split mode's remote networks.
    std::vector<route_entry_str_t> remote{route("198.51.100.0", 24)};
    // Proxy mode's networks; none: all public IPv4.
    std::vector<route_entry_str_t> proxy_routes;
    std::string server = TUNNEL_SERVER_ADDR;
};

size_t entries_in(const char* dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n;
}

bool is_keepalive(int counter) {
    uint8_t msg[2048];
    return recv(counter, msg, sizeof(msg), 0) > 0 && msg[0] == MSG_KEEPALIVE;
}

using steady = std::chrono::steady_clock;

// Datagrams through the tunnel every 20 ms to an echo behind the server; tells when the first
// answer came after a given moment.
class echo_probe {
  public:
    echo_probe(const netns& client, const netns& lan, const char* lan_addr, uint16_t port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, lan_addr, &addr.sin_addr);
        timeval tv{0, 20000};
        {
            netns_scope in_lan(lan);
            echo_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            bind(echo_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            setsockopt(echo_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        }
        {
            netns_scope in_client(client);
            probe_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            connect(probe_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            setsockopt(probe_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        }
        echo_ = std::thread([this] {
            uint8_t buf[64];
            sockaddr_in from{};
            while (!stop_.load()) {
                socklen_t len = sizeof(from);
                const ssize_t n = recvfrom(echo_fd_, buf, sizeof(buf), 0,
                                           reinterpret_cast<sockaddr*>(&from), &len);
                if (n > 0) {
                    sendto(echo_fd_, buf, static_cast<size_t>(n), 0,
                           reinterpret_cast<sockaddr*>(&from), len);
                }
            }
        });
        prober_ = std::thread([this] {
            uint8_t buf[64] = {'p'};
            while (!stop_.load()) {
                send(probe_fd_, buf, 8, 0);  // fails at once while the client has no route
                if (recv(probe_fd_, buf, sizeof(buf), 0) > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    answers_.push_back(steady::now());
                }
            }
        });
    }
    ~echo_probe() {
        stop_ = true;
        echo_.join();
        prober_.join();
        close(echo_fd_);
        close(probe_fd_);
    }
    echo_probe(const echo_probe&) = delete;
    echo_probe& operator=(const echo_probe&) = delete;

    // Seconds from `since` to the first answer after it, waiting up to `limit`; -1 if none.
    double first_answer_after(steady::time_point since, std::chrono::seconds limit) {
        double seconds = -1;
        test_support::wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const auto& at : answers_) {
                    if (at >= since) {
                        seconds = std::chrono::duration<double>(at - since).count();
                        return true;
                    }
                }
                return false;
            },
            limit);
        return seconds;
    }

  private:
    int echo_fd_ = -1;
    int probe_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread echo_, prober_;
    std::mutex mutex_;
    std::vector<steady::time_point> answers_;
};

class TunnelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(get_vpn_status() == 0 || get_vpn_status() < 0, true);
        start_server({});
        client_ = std::make_unique<netns_scope>(net_.cli);
    }

    void TearDown() override {
        stop_vpn(0);
        client_.reset();
        if (server_) {
            server_->stop();
        }
    }

    void start_server(const fault_switches& faults, const char* listen = TUNNEL_SERVER_ADDR) {
        if (server_) {
            server_->stop();
            server_.reset();
        }
        server_options options;
        options.tokens = {TOKEN};
        options.faults = faults;
        auto data = std::make_unique<tun_data_path>();
        data_ = data.get();
        std::string error;
        ASSERT_TRUE(
            start_tunnel_server(net_.srv, options, std::move(data), &server_, &error, listen))
            << error;
    }

    start_args defaults() const {
        start_args a;
        a.server_key = server_->key().public_hex();
        return a;
    }

    // On the test thread, which stays in the client namespace.
    int start(const start_args& a) {
        const int remote_count = a.proxy ? 0 : static_cast<int>(a.remote.size());
        return start_vpn(
            "LINUX", "3.1.8.0", a.token.c_str(), "test-device-uuid", a.server_key.c_str(), "",
            a.server.c_str(), a.port, nullptr, 0, remote_count > 0 ? a.remote.data() : nullptr,
            remote_count, a.proxy_routes.data(), static_cast<int>(a.proxy_routes.size()), MTU,
            a.upload_limit, a.download_limit, a.proxy ? 1 : 0, "10.8.0.1", "10.8.0.254");
    }

    bool ping_lan_host(int count = 3) {
        auto r = net_.cli.exec(
            {"ping", "-c", std::to_string(count), "-i", "0.2", "-W", "2", "-n", TUNNEL_LAN_HOST});
        return r.status == 0;
    }

    std::string tunnel_address() {
        std::lock_guard<std::mutex> lock(session_lock());
        auto session = running_session();
        return session ? session->tun_ip : std::string();
    }

    // Starts moving `bytes` of the verified stream from one namespace to an address in
    // another; the future holds what the receiver saw.
    std::future<tcp_stream::receive_result> start_transfer(const netns& from, const netns& to,
                                                           const std::string& to_addr,
                                                           uint64_t bytes) {
        static uint16_t port = 40000;
        return start_verified_transfer(from, to, to_addr, ++port, bytes);
    }

    tcp_stream::receive_result transfer(const netns& from, const netns& to,
                                        const std::string& to_addr, uint64_t bytes) {
        auto result = start_transfer(from, to, to_addr, bytes).get();
        EXPECT_TRUE(result.verified) << result.error;
        return result;
    }

    // Connect, ping and 20 MB each way through the tunnel, disconnect: the server saw one
    // S6 and the client namespace is exactly as it was.
    void carry_traffic_and_leave_nothing(bool proxy) {
        const net_state before = dump_state(net_.cli);
        start_args a = defaults();
        a.proxy = proxy;
        ASSERT_EQ(start(a), 0);
        EXPECT_EQ(get_vpn_status(), 0);
        EXPECT_FALSE(dump_state(net_.cli) == before);
        EXPECT_EQ(tagged_ipv6_routes(), proxy ? IPV6_HALVES : std::vector<std::string>{});
        EXPECT_TRUE(ping_lan_host());
        EXPECT_EQ(transfer(net_.cli, net_.lan, TUNNEL_LAN_HOST, 20'000'000).bytes, 20'000'000u);
        EXPECT_EQ(transfer(net_.lan, net_.cli, tunnel_address(), 20'000'000).bytes, 20'000'000u);
        stop_vpn(1);
        // S6 comes after every data message on the socket: once the server has it, no
        // packet of the session is still on its way.
        EXPECT_TRUE(test_support::wait_until([&] { return received(MSG_DISCONN) == 1; }));
        const uint64_t through_tunnel = data_->to_network();
        EXPECT_GT(through_tunnel, 10000u);
        EXPECT_EQ(dump_state(net_.cli), before);
        // Without the tunnel the host is reached directly, past the server's TUN interface.
        EXPECT_TRUE(ping_lan_host(1));
        EXPECT_EQ(data_->to_network(), through_tunnel);
    }

    uint64_t received(msg_type type) const { return server_->stats().received[type].load(); }

    // The client's IPv6 routes carrying the engine's tag, as "PREFIX dev DEVICE".
    std::vector<std::string> tagged_ipv6_routes() const {
        std::vector<std::string> routes;
        std::istringstream lines(net_.cli.ip("-6 route show proto 113"));
        for (std::string prefix, dev, device, rest; lines >> prefix >> dev >> device;) {
            routes.push_back(prefix + " " + dev + " " + device);
            std::getline(lines, rest);
        }
        return routes;
    }

    // The server's address answers nothing from now on; what the client sends there is read
    // from the returned socket, half a second at most per read.
    int silence_the_server() {
        server_.reset();
        netns_scope in_server(net_.srv);
        const int counter = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(TUNNEL_SERVER_PORT);
        inet_pton(AF_INET, TUNNEL_SERVER_ADDR, &addr.sin_addr);
        if (counter >= 0 && bind(counter, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(counter);
            return -1;
        }
        timeval tv{0, 500000};
        setsockopt(counter, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return counter;
    }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
    tun_data_path* data_ = nullptr;
    std::unique_ptr<netns_scope> client_;
};

TEST_F(TunnelTest, SplitModeCarriesTrafficAndLeavesNothingBehind) {
    carry_traffic_and_leave_nothing(false);
}

TEST_F(TunnelTest, ProxyModeCarriesTrafficAndLeavesNothingBehind) {
    carry_traffic_and_leave_nothing(true);
}

// A TCP connect from the client namespace: 0 or the errno of the failure, and how long it took.
int tcp6_connect(const char* addr, uint16_t port, std::chrono::duration<double>* took) {
    const auto began = std::chrono::steady_clock::now();
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    inet_pton(AF_INET6, addr, &to.sin6_addr);
    timeval tv{3, 0};  // a connect that is never answered ends here with ETIMEDOUT or EINPROGRESS
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    const int result = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0 ? 0 : errno;
    close(fd);
    *took = std::chrono::steady_clock::now() - began;
    return result;
}

// The tunnel carries IPv4 only. The client has a global IPv6 address and default route beside
// it; in proxy mode none of its IPv6 may leave that way, and a connect fails at once instead of
// timing out.
TEST_F(TunnelTest, ProxyModeRefusesIPv6AtOnceAndLetsItGoAfterTheStop) {
    constexpr const char* FAR = "2001:db8:99::1";
    constexpr uint16_t PORT = 8086;
    net_.cli.ip("-6 addr add 2001:db8:30::2/64 dev wan0 nodad");
    net_.srv.ip("-6 addr add 2001:db8:30::1/64 dev cli0 nodad");
    net_.srv.ip("-6 addr add " + std::string(FAR) + "/128 dev lo");
    net_.cli.ip("-6 route add default via 2001:db8:30::1 dev wan0");
    int listener = -1;
    {
        netns_scope in_server(net_.srv);
        listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(PORT);
        inet_pton(AF_INET6, FAR, &addr.sin6_addr);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(listen(listener, 8), 0);
    }
    auto accepted = [listener] {
        int n = 0;
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; ++n) {
            close(fd);
        }
        return n;
    };
    std::chrono::duration<double> took{};
    ASSERT_EQ(tcp6_connect(FAR, PORT, &took), 0) << "no IPv6 path to see a leak on";
    EXPECT_TRUE(test_support::wait_until([&] { return accepted() == 1; }));

    const net_state before = dump_state(net_.cli);
    start_args a = defaults();
    a.proxy = true;
    ASSERT_EQ(start(a), 0);
    EXPECT_EQ(tagged_ipv6_routes(), IPV6_HALVES);
    for (int i = 0; i < 3; ++i) {
        // ICMPv6 "administratively prohibited" is the kernel's EACCES. An answer that comes
        // while connect still holds its socket is only noted, and the SYN resent after 1 s
        // meets the next one: the bound allows that one resend, not a silent path.
        EXPECT_EQ(tcp6_connect(FAR, PORT, &took), EACCES) << "attempt " << i;
        EXPECT_LT(took.count(), 2.0) << "attempt " << i;
    }
    EXPECT_TRUE(ping_lan_host(1));  // IPv4 goes on through the tunnel
    stop_vpn(1);
    EXPECT_EQ(accepted(), 0) << "IPv6 left beside the tunnel";
    EXPECT_TRUE(tagged_ipv6_routes().empty());
    EXPECT_EQ(dump_state(net_.cli), before);
    EXPECT_EQ(tcp6_connect(FAR, PORT, &took), 0);
    EXPECT_TRUE(test_support::wait_until([&] { return accepted() == 1; }));
    close(listener);
}

TEST_F(TunnelTest, FailedStartsLeaveTheHostAndTheRunningSessionAlone) {
    const net_state before = dump_state(net_.cli);
    start_args a = defaults();

    start_args short_key = a;
    short_key.server_key.pop_back();
    EXPECT_EQ(start(short_key), -3);
    start_args bad_char = a;
    bad_char.server_key[10] = 'g';
    EXPECT_EQ(start(bad_char), -3);

    // Refused before the server is asked: a text that is no address once became 0.0.0.0/0,
    // the default route.
    for (const auto& [remote, refusal] :
         std::vector<std::pair<std::vector<route_entry_str_t>, std::string>>{
             {{route("198.51.100.0", 24), route("10.0.0.1", 24)},
              "Refused route 10.0.0.1/24: host bits set."},
             {{route("not-an-address", 0)}, "Refused route not-an-address/0: not an IPv4 address."},
             {{route("10.0.0.0", 264)}, "Refused route 10.0.0.0/264: prefix length out of range."},
         }) {
        start_args bad_route = a;
        bad_route.remote = remote;
        EXPECT_EQ(start(bad_route), -51) << refusal;
        EXPECT_TRUE(test_support::wait_until([&refusal = refusal] {
            return test_support::read_file(engine_log::log_file_path()).find(refusal) !=
                   std::string::npos;
        })) << refusal;
    }
    EXPECT_EQ(received(MSG_AUTH_KX), 0u);
    EXPECT_EQ(dump_state(net_.cli), before);

    start_args wrong_token = a;
    wrong_token.token = "not-a-customer";
    EXPECT_EQ(start(wrong_token), -41);
    EXPECT_EQ(get_vpn_status(), -41);
    EXPECT_EQ(dump_state(net_.cli), before);
    EXPECT_EQ(received(MSG_DISCONN), 0u);

    ASSERT_EQ(start(a), 0);
    EXPECT_EQ(get_vpn_status(), 0);
    EXPECT_EQ(start(a), -4);
    EXPECT_EQ(get_vpn_status(), 0);
    EXPECT_TRUE(ping_lan_host(2));
    stop_vpn(0);
    EXPECT_EQ(received(MSG_DISCONN), 0u);
    EXPECT_EQ(get_vpn_status(), 0);
    EXPECT_EQ(dump_state(net_.cli), before);
    stop_vpn(1);  // idle: nothing happens
    EXPECT_EQ(received(MSG_DISCONN), 0u);
}

TEST_F(TunnelTest, SilentServerFailsTheKeyExchange) {
    fault_switches faults;
    faults.drop_s1 = true;
    start_server(faults);
    const net_state before = dump_state(net_.cli);
    EXPECT_EQ(start(defaults()), -20);
    EXPECT_EQ(get_vpn_status(), -20);
    EXPECT_EQ(received(MSG_AUTH_KX), 3u);
    EXPECT_EQ(dump_state(net_.cli), before);
}

TEST_F(TunnelTest, MssIsClampedOnTheWayToTheServer) {
    ASSERT_EQ(start(defaults()), 0);
    const std::string source = tunnel_address();

    // A raw TCP socket behind the server sees the SYN as it arrived.
    int watcher = -1;
    {
        netns_scope in_lan(net_.lan);
        watcher = socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
    }
    ASSERT_GE(watcher, 0);
    timeval tv{5, 0};
    setsockopt(watcher, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    // A SYN offering MSS 1460, written as a forwarded packet would arrive at the TUN device.
    uint8_t syn[44] = {};
    syn[0] = 0x45;
    syn[3] = sizeof(syn);
    syn[8] = 64;
    syn[9] = IPPROTO_TCP;
    inet_pton(AF_INET, source.c_str(), &syn[12]);
    inet_pton(AF_INET, TUNNEL_LAN_HOST, &syn[16]);
    uint8_t* tcp = syn + 20;
    tcp[0] = 0xAB, tcp[1] = 0xCD, tcp[3] = 9;  // ports 43981 -> 9
    tcp[12] = 6 << 4;
    tcp[13] = 0x02;
    tcp[20] = 2, tcp[21] = 4, tcp[22] = 1460 >> 8, tcp[23] = 1460 & 0xFF;
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    ASSERT_GE(raw, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    inet_pton(AF_INET, TUNNEL_LAN_HOST, &to.sin_addr);
    ASSERT_EQ(sendto(raw, syn, sizeof(syn), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              static_cast<ssize_t>(sizeof(syn)));
    close(raw);

    int seen_mss = -1;
    uint8_t buf[2048];
    for (int i = 0; i < 50 && seen_mss < 0; ++i) {
        ssize_t n = recv(watcher, buf, sizeof(buf), 0);
        if (n < 0) {
            break;
        }
        const int ihl = (buf[0] & 0x0F) * 4;
        const uint8_t* t = buf + ihl;
        if (n >= ihl + 24 && t[0] == 0xAB && t[1] == 0xCD && (t[13] & 0x02) && t[20] == 2) {
            seen_mss = (t[22] << 8) | t[23];
        }
    }
    close(watcher);
    EXPECT_EQ(seen_mss, MTU - 40);
}

TEST_F(TunnelTest, SendSequenceAtItsLimitRekeysAndTrafficResumes) {
    ASSERT_EQ(start(defaults()), 0);
    ASSERT_TRUE(ping_lan_host(1));
    {
        std::lock_guard<std::mutex> lock(session_lock());
        running_session()->proto->tx_seq.store(TX_SEQ_REKEY_LIMIT - 2);
    }
    // The first packets use up the sequence space; the next are dropped and trigger S4.
    net_.cli.exec({"ping", "-c", "4", "-i", "0.2", "-W", "1", "-n", TUNNEL_LAN_HOST});
    ASSERT_TRUE(test_support::wait_until([&] { return received(MSG_REKEY) >= 1; }));
    EXPECT_TRUE(ping_lan_host(3));
    EXPECT_EQ(received(MSG_REKEY), 1u);
    {
        std::lock_guard<std::mutex> lock(session_lock());
        EXPECT_LT(running_session()->proto->tx_seq.load(), 0x100000000ULL);
    }
    auto up = transfer(net_.cli, net_.lan, TUNNEL_LAN_HOST, 2'000'000);
    EXPECT_EQ(up.bytes, 2'000'000u);
}

TEST_F(TunnelTest, UnansweredRekeyIsRepeatedAtMostEveryThreeSeconds) {
    fault_switches faults;
    faults.drop_s4 = true;
    start_server(faults);
    ASSERT_EQ(start(defaults()), 0);
    {
        std::lock_guard<std::mutex> lock(session_lock());
        running_session()->proto->tx_seq.store(TX_SEQ_REKEY_LIMIT);
    }
    // Every packet from the device is dropped now; ten a second for seven seconds.
    const auto began = std::chrono::steady_clock::now();
    net_.cli.exec({"ping", "-i", "0.1", "-w", "7", "-n", "-q", TUNNEL_LAN_HOST});
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const uint64_t requests = received(MSG_REKEY);
    EXPECT_GE(requests, 2u);
    EXPECT_LE(static_cast<double>(requests), spent / 3.0 + 1.0);
    EXPECT_EQ(data_->to_network(), 0u);
}

// Offers UDP at a steady rate well above a limit and measures what arrives, free of the
// feedback a TCP flow would add. Returns payload bytes per second received between 1 s after
// the first datagram and the end of the offer.
double udp_arrival_rate(const netns& from, const netns& to, const std::string& to_addr,
                        uint16_t port, double offered_bytes_per_s, double seconds) {
    constexpr size_t DATAGRAM = 1000;
    int rx = -1;
    {
        netns_scope in_receiver(to);
        rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        EXPECT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        timeval tv{0, 200000};
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    std::thread sender([&] {
        netns_scope in_sender(from);
        int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, to_addr.c_str(), &addr.sin_addr);
        std::vector<uint8_t> payload(DATAGRAM, 0x42);
        const auto start = std::chrono::steady_clock::now();
        const auto gap = std::chrono::duration<double>(DATAGRAM / offered_bytes_per_s);
        for (int i = 0;
             std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds);
             ++i) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<std::chrono::nanoseconds>(gap * i));
            sendto(tx, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                   sizeof(addr));
        }
        close(tx);
    });
    uint8_t buf[2048];
    std::chrono::steady_clock::time_point first{};
    uint64_t counted = 0;
    for (;;) {
        ssize_t n = recv(rx, buf, sizeof(buf), 0);
        const auto now = std::chrono::steady_clock::now();
        if (n > 0 && first == std::chrono::steady_clock::time_point{}) {
            first = now;
        }
        const double at = std::chrono::duration<double>(now - first).count();
        if (n < 0 && first != std::chrono::steady_clock::time_point{} && at > seconds) {
            break;
        }
        if (n > 0 && at >= 1.0 && at <= seconds) {
            counted += static_cast<uint64_t>(n);
        }
        if (at > seconds + 1) {
            break;
        }
    }
    sender.join();
    close(rx);
    return counted / (seconds - 1.0);
}

TEST_F(TunnelTest, RateLimitsHoldTheAverageAndLiftAtOnce) {
    start_args a = defaults();
    a.upload_limit = 100000;
    a.download_limit = 100000;
    ASSERT_EQ(start(a), 0);
    // The average runs from one keepalive reply to the next, and time without traffic counts
    // at the next packet: light traffic keeps both directions accounted until the first
    // reply opens a fresh window, so that the window starts now and not at the last session.
    std::atomic<bool> window_open{false};
    std::thread pinger([&] {
        while (!window_open.load()) {
            net_.cli.exec({"ping", "-c", "1", "-W", "1", "-n", "-q", TUNNEL_LAN_HOST});
            std::this_thread::sleep_for(200ms);
        }
    });
    const bool replied =
        test_support::wait_until([&] { return received(MSG_KEEPALIVE) >= 1; }, 20s);
    window_open = true;
    pinger.join();
    ASSERT_TRUE(replied);

    // Both directions at once, each offered three times its limit. The limiter counts whole
    // messages (headers and tag included), so payload arrives a little under the limit.
    const std::string client_addr = tunnel_address();
    auto down = std::async(std::launch::async, [&] {
        return udp_arrival_rate(net_.lan, net_.cli, client_addr, 7002, 300000, 5.0);
    });
    const double up_rate = udp_arrival_rate(net_.cli, net_.lan, TUNNEL_LAN_HOST, 7001, 300000, 5.0);
    const double down_rate = down.get();
    EXPECT_GT(up_rate, 80000);
    EXPECT_LT(up_rate, 105000);
    EXPECT_GT(down_rate, 80000);
    EXPECT_LT(down_rate, 105000);

    update_limit_rate(0, 0);
    auto free_up = transfer(net_.cli, net_.lan, TUNNEL_LAN_HOST, 5'000'000);
    EXPECT_LT(free_up.seconds, 3.0);
    auto free_down = transfer(net_.lan, net_.cli, client_addr, 5'000'000);
    EXPECT_LT(free_down.seconds, 3.0);
}

TEST_F(TunnelTest, HundredStartStopCyclesLeakNothing) {
    const net_state before = dump_state(net_.cli);
    start_args a = defaults();
    a.proxy = true;
    // One cycle first, so that lazily created process-wide things exist before counting.
    ASSERT_EQ(start(a), 0);
    stop_vpn(1);
    const size_t fds = entries_in("/proc/self/fd");
    const size_t threads = entries_in("/proc/self/task");
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(start(a), 0) << "cycle " << i;
        stop_vpn(1);
    }
    EXPECT_EQ(entries_in("/proc/self/fd"), fds);
    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(dump_state(net_.cli), before);
    EXPECT_EQ(received(MSG_DISCONN), 101u);
    EXPECT_EQ(server_->session_count(), 0u);
}

// Voluntary context switches so far of each thread of this process, by thread id.
std::map<std::string, long> voluntary_switches() {
    std::map<std::string, long> switches;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::istringstream status(test_support::read_file(task.path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                switches[task.path().filename()] = std::stol(line.substr(24));
            }
        }
    }
    return switches;
}

// The engine's threads sleep in the kernel until there is work: one wake-up per packet under
// light traffic, next to none idle, never a timer that looks for work.
TEST_F(TunnelTest, LightTrafficWakesTheEngineOncePerPacketAndIdleHardlyAtAll) {
    const std::map<std::string, long> before_start = voluntary_switches();
    ASSERT_EQ(start(defaults()), 0);
    ASSERT_TRUE(ping_lan_host(1));
    const auto engine_switches = [&before_start] {
        long sum = 0;
        for (const auto& [tid, count] : voluntary_switches()) {
            sum += before_start.count(tid) == 0 ? count : 0;  // threads the start made
        }
        return sum;
    };
    long from = engine_switches();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long idle = engine_switches() - from;
    constexpr int PINGS = 50;  // 20 ms apart, each crossing the engine once each way
    from = engine_switches();
    EXPECT_EQ(net_.cli
                  .exec({"ping", "-c", std::to_string(PINGS), "-i", "0.02", "-W", "2", "-q", "-n",
                         TUNNEL_LAN_HOST})
                  .status,
              0);
    const long light = engine_switches() - from;
    stop_vpn(1);
    EXPECT_LT(idle, 20) << "in 2 s idle";
    EXPECT_LT(light, 3 * 2 * PINGS) << "for " << 2 * PINGS << " packets";
}

// The give-up count without the real period: once the server is gone, every pass of the
// worker begins a period. Five requests go out, the sixth period ends the keepalive and only
// its thread; the data workers run until the stop.
TEST_F(TunnelTest, KeepaliveGivesUpAtTheSixthSilentPeriod) {
    ASSERT_EQ(start(defaults()), 0);
    const int counter = silence_the_server();
    ASSERT_GE(counter, 0);
    const size_t threads = entries_in("/proc/self/task");
    std::shared_ptr<qn_ctx_t> session;
    {
        std::lock_guard<std::mutex> lock(session_lock());
        session = running_session();
    }
    ASSERT_TRUE(session);
    session->keepalive_period_s.store(0);

    int requests = 0;
    const auto started = std::chrono::steady_clock::now();
    // Until the status changes, and half a second past it for a request still in flight.
    for (bool ended = false, drained = false; !drained;) {
        const bool request = is_keepalive(counter);
        requests += request;
        drained = ended && !request;
        ended = ended || get_vpn_status() == -72;
        ASSERT_LT(std::chrono::steady_clock::now() - started, 30s) << requests << " requests";
    }
    close(counter);
    EXPECT_EQ(requests, 5);
    EXPECT_EQ(session->keepalive_missed.load(), 6);
    EXPECT_TRUE(session->running.load());
    EXPECT_TRUE(
        test_support::wait_until([&] { return entries_in("/proc/self/task") == threads - 1; }));
    stop_vpn(0);
    EXPECT_EQ(get_vpn_status(), -72);
}

// The client's uplink loses its address for 2 s and then for 10 s, as in a renewal, a roam or a
// flap, and then the session moves to a second network while the first goes away. Each time
// the session lives, the route to the server is pinned again, the server is checked at once
// and traffic through the tunnel resumes within 2 s.
TEST_F(TunnelTest, ProxyModeLivesThroughUplinkLossesAndANewNetwork) {
    netns_test::connect(net_.cli, "wan1", net_.srv, "cli1");
    net_.cli.ip("addr add 172.31.0.2/24 dev wan1");
    net_.srv.ip("addr add 172.31.0.1/24 dev cli1");
    const net_state before = dump_state(net_.cli);
    start_args a = defaults();
    a.proxy = true;
    ASSERT_EQ(start(a), 0);
    echo_probe probe(net_.cli, net_.lan, TUNNEL_LAN_HOST, 7009);
    ASSERT_GE(probe.first_answer_after(steady::now(), 5s), 0.0);

    auto has_route = [&](const std::string& route) {
        const std::vector<std::string> routes = main_routes(net_.cli);
        return std::find(routes.begin(), routes.end(), route) != routes.end();
    };
    const struct {
        const char* what;
        std::vector<std::string> lose, regain;
        std::chrono::seconds gone;
        std::string server_route;
    } changes[] = {
        {"2 s without an address",
         {"addr del 172.30.0.2/24 dev wan0"},
         {"addr add 172.30.0.2/24 dev wan0", "route add default via 172.30.0.1 dev wan0"},
         2s,
         "172.30.0.1 via 172.30.0.1 dev wan0 proto 113"},
        {"10 s without an address",
         {"addr del 172.30.0.2/24 dev wan0"},
         {"addr add 172.30.0.2/24 dev wan0", "route add default via 172.30.0.1 dev wan0"},
         10s,
         "172.30.0.1 via 172.30.0.1 dev wan0 proto 113"},
        {"a new network, the old one gone",
         {},
         {"route replace default via 172.31.0.1 dev wan1", "addr del 172.30.0.2/24 dev wan0"},
         0s,
         "172.30.0.1 via 172.31.0.1 dev wan1 proto 113"},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        for (const std::string& command : change.lose) {
            net_.cli.ip(command);
        }
        std::this_thread::sleep_for(change.gone);
        const uint64_t keepalives = received(MSG_KEEPALIVE);
        const auto back = steady::now();
        for (const std::string& command : change.regain) {
            net_.cli.ip(command);
        }
        const double resumed = probe.first_answer_after(back, 5s);
        EXPECT_GE(resumed, 0.0);
        EXPECT_LT(resumed, 2.0);
        EXPECT_TRUE(test_support::wait_until([&] { return has_route(change.server_route); }, 1s))
            << ::testing::PrintToString(main_routes(net_.cli));
        std::cout << change.what << ": traffic again after " << resumed
                  << " s, server route pinned after "
                  << std::chrono::duration<double>(steady::now() - back).count() << " s\n";
        EXPECT_TRUE(
            test_support::wait_until([&] { return received(MSG_KEEPALIVE) > keepalives; }, 2s))
            << "no check of the server after the change";
        EXPECT_EQ(get_vpn_status(), 0);
    }
    EXPECT_EQ(server_->session_count(), 1u);

    // Back on the first network, so that the stop can be compared with the start.
    net_.cli.ip("addr add 172.30.0.2/24 dev wan0");
    net_.cli.ip("route replace default via 172.30.0.1 dev wan0");
    EXPECT_TRUE(test_support::wait_until(
        [&] { return has_route("172.30.0.1 via 172.30.0.1 dev wan0 proto 113"); }, 2s));
    stop_vpn(1);
    EXPECT_TRUE(test_support::wait_until([&] { return received(MSG_DISCONN) == 1; }));
    EXPECT_EQ(dump_state(net_.cli), before);
}

// Without the uplink's address the host has no route to the server but the tunnel's (a proxy
// network holds it here; a public server sits in the default proxy networks): each datagram of
// the session's own that comes back through tun is dropped there, and does not go round.
TEST_F(TunnelTest, OwnDatagramsRoutedIntoTheTunnelAreDroppedOnce) {
    const std::filesystem::path log_path = engine_log::log_file_path();
    std::filesystem::remove(log_path);
    start_args a = defaults();
    a.proxy = true;
    a.proxy_routes = {route("172.30.0.0", 16), route("198.51.100.0", 24)};
    ASSERT_EQ(start(a), 0);
    // Gone again before the count: it sends all the time.
    auto answered = [&] {
        echo_probe probe(net_.cli, net_.lan, TUNNEL_LAN_HOST, 7009);
        return probe.first_answer_after(steady::now(), 5s) >= 0.0;
    };
    ASSERT_TRUE(answered());

    // Packets the host handed to the engine through tun0.
    auto read_from_tun = [&] {
        const std::string json = net_.cli.ip("-s -j link show dev tun0");
        const size_t packets = json.find("\"packets\":", json.find("\"tx\":"));
        return std::stoull(json.substr(packets + 10));
    };
    net_.cli.ip("addr del 172.30.0.2/24 dev wan0");
    std::this_thread::sleep_for(300ms);
    const uint64_t before = read_from_tun();
    constexpr int SENT = 10;
    {
        netns_scope in_client(net_.cli);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(7010);
        inet_pton(AF_INET, TUNNEL_LAN_HOST, &to.sin_addr);
        for (int i = 0; i < SENT; ++i) {
            sendto(fd, "loop?", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        }
        close(fd);
    }
    std::this_thread::sleep_for(500ms);
    const uint64_t read = read_from_tun() - before;
    std::cout << SENT << " datagrams sent into the tunnel, " << read << " packets read from tun\n";
    // Each datagram, and its sealed copy once (several in one read where the socket sends them
    // as one segmented run); a check of the server or two besides.
    EXPECT_GT(read, uint64_t{SENT});
    EXPECT_LE(read, 2u * SENT + 4);
    EXPECT_NE(test_support::read_file(log_path).find("A datagram to the server came back "
                                                     "through tun"),
              std::string::npos);

    net_.cli.ip("addr add 172.30.0.2/24 dev wan0");
    net_.cli.ip("route add default via 172.30.0.1 dev wan0");
    EXPECT_TRUE(answered());
    EXPECT_EQ(get_vpn_status(), 0);
}

// An IPv6 server behind the client's IPv6 default route: in proxy mode its own route goes
// through that default, outside the IPv6 the session holds in the tunnel, follows the default
// when it moves, and goes with the session.
TEST_F(TunnelTest, ProxyModeKeepsAnIPv6ServerOutsideTheHeldIPv6) {
    net_.srv.ip("-6 addr add fd00:30::1/64 dev cli0 nodad");
    net_.srv.ip("-6 addr add fd00:30::3/64 dev cli0 nodad");
    net_.srv.ip("-6 addr add fd00:99::1/128 dev lo");
    net_.cli.ip("-6 addr add fd00:30::2/64 dev wan0 nodad");
    net_.cli.ip("-6 route add default via fd00:30::1 dev wan0");
    start_server({}, "fd00:99::1");
    const net_state before = dump_state(net_.cli);
    start_args a = defaults();
    a.proxy = true;
    a.server = "fd00:0099:0000:0000:0000:0000:0000:0001";
    ASSERT_EQ(start(a), 0);
    auto answered = [&] {
        echo_probe probe(net_.cli, net_.lan, TUNNEL_LAN_HOST, 7009);
        return probe.first_answer_after(steady::now(), 5s) >= 0.0;
    };
    auto server_route = [&] {
        const std::string routes = net_.cli.ip("-6 route show fd00:99::1/128");
        return routes.substr(0, routes.find(" proto"));
    };
    EXPECT_TRUE(answered());
    EXPECT_EQ(server_route(), "fd00:99::1 via fd00:30::1 dev wan0");

    net_.cli.ip("-6 route replace default via fd00:30::3 dev wan0");
    // A roam changes the IPv4 side too, which wakes the session's watch at once.
    net_.cli.ip("addr add 172.30.0.9/24 dev wan0");
    EXPECT_TRUE(test_support::wait_until(
        [&] { return server_route() == "fd00:99::1 via fd00:30::3 dev wan0"; }, 2s))
        << server_route();
    EXPECT_TRUE(answered());
    net_.cli.ip("addr del 172.30.0.9/24 dev wan0");
    net_.cli.ip("-6 route replace default via fd00:30::1 dev wan0");

    stop_vpn(1);
    EXPECT_EQ(dump_state(net_.cli), before);
}

// An uplink whose MTU is below the sealed datagrams' size (a network the session moved to): the
// datagrams go out fragmented, both ways, and the session lives.
TEST_F(TunnelTest, AnUplinkOfASmallerMtuCarriesFullSizePackets) {
    ASSERT_EQ(start(defaults()), 0);
    net_.cli.ip("link set wan0 mtu 1280");
    net_.srv.ip("link set cli0 mtu 1280");
    EXPECT_EQ(transfer(net_.cli, net_.lan, TUNNEL_LAN_HOST, 2'000'000).bytes, 2'000'000u);
    EXPECT_EQ(transfer(net_.lan, net_.cli, tunnel_address(), 2'000'000).bytes, 2'000'000u);
    EXPECT_EQ(get_vpn_status(), 0);
}

// The machine slept (the wall clock jumped ahead of the awake clock): the server is checked at
// once, outside the periods and without counting as one; a check the server does not answer
// is logged within seconds, while the give-up rule stays that of six silent periods.
TEST_F(TunnelTest, AClockJumpChecksTheServerAtOnceAndAnUnansweredCheckIsLogged) {
    // The session starts a log of its own, read as the engine writes it.
    const std::filesystem::path log_path = engine_log::log_file_path();
    std::filesystem::remove(log_path);
    auto logged = [&](const std::string& text, std::chrono::milliseconds within) {
        return test_support::wait_until(
            [&] { return test_support::read_file(log_path).find(text) != std::string::npos; },
            within);
    };
    ASSERT_EQ(start(defaults()), 0);
    std::shared_ptr<qn_ctx_t> session;
    {
        std::lock_guard<std::mutex> lock(session_lock());
        session = running_session();
    }
    ASSERT_TRUE(session);
    std::this_thread::sleep_for(1500ms);  // a tick of the keepalive's with the clocks in step
    ASSERT_EQ(received(MSG_KEEPALIVE), 0u) << "a period already";
    session->wall_clock_shift_s.fetch_add(3600);
    const auto jumped = steady::now();
    ASSERT_TRUE(test_support::wait_until([&] { return received(MSG_KEEPALIVE) == 1; }, 3s));
    const double checked = std::chrono::duration<double>(steady::now() - jumped).count();
    std::cout << "checked after " << checked << " s\n";
    EXPECT_LT(checked, 1.5);
    EXPECT_TRUE(logged("the machine slept. Checking the server at once.", 1s))
        << test_support::read_file(log_path);

    // Asleep again, and the server gone meanwhile.
    const int counter = silence_the_server();
    ASSERT_GE(counter, 0);
    session->wall_clock_shift_s.fetch_add(3600);
    const auto asleep = steady::now();
    EXPECT_TRUE(test_support::wait_until([&] { return is_keepalive(counter); }, 2s));
    EXPECT_TRUE(
        logged("[Function: qn_keepalive]  No answer from the server 3 s after the check "
               "for a sleep: the session may be gone; the keepalive gives it up after 6 "
               "silent periods.",
               6s))
        << test_support::read_file(log_path);
    std::cout << "unanswered check logged after "
              << std::chrono::duration<double>(steady::now() - asleep).count() << " s\n";
    close(counter);
    EXPECT_EQ(session->keepalive_missed.load(), 0) << "a check counted as a period";
    EXPECT_EQ(get_vpn_status(), 0);
}

// refused when it is given, and the keepalives go on with the token the session has.
TEST_F(TunnelTest, TokenNoKeepaliveCanCarryIsRefused) {
    ASSERT_EQ(start(defaults()), 0);
    std::shared_ptr<qn_ctx_t> session;
    {
        std::lock_guard<std::mutex> lock(session_lock());
        session = running_session();
    }
    ASSERT_TRUE(session);
    update_token(std::string(TOKEN_FIELD, 't').c_str());
    session->keepalive_period_s.store(0);
    const uint64_t before = received(MSG_KEEPALIVE);
    // About one keepalive a second now; a token that cannot be sent stops them at once.
    ASSERT_TRUE(
        test_support::wait_until([&] { return received(MSG_KEEPALIVE) >= before + 4; }, 10s));
    EXPECT_EQ(get_vpn_status(), 0);
    EXPECT_EQ(session->keepalive_missed.load() <= 1, true);
    token_lock_acquire(session.get());
    const std::string kept = session->token;
    token_lock_release(session.get());
    EXPECT_EQ(kept, TOKEN);

    const std::string longest(TOKEN_FIELD - 1, 't');
    update_token(longest.c_str());
    token_lock_acquire(session.get());
    const std::string taken = session->token;
    token_lock_release(session.get());
    EXPECT_EQ(taken, longest);
}

// The real period, which the test above shortens: requests to a silent server leave one period
// apart, so the sixth period ends the keepalive about 90 s after the server fell silent.
TEST_F(TunnelTest, KeepaliveRequestsToASilentServerLeaveFifteenSecondsApart) {
    ASSERT_EQ(start(defaults()), 0);
    const int counter = silence_the_server();
    ASSERT_GE(counter, 0);
    std::vector<std::chrono::steady_clock::time_point> sent;
    const auto started = std::chrono::steady_clock::now();
    while (sent.size() < 2 && std::chrono::steady_clock::now() - started < 40s) {
        if (is_keepalive(counter)) {
            sent.push_back(std::chrono::steady_clock::now());
        }
    }
    close(counter);
    ASSERT_EQ(sent.size(), 2u);
    const double apart = std::chrono::duration<double>(sent[1] - sent[0]).count();
    EXPECT_GT(apart, 14.5);
    EXPECT_LT(apart, 17.5);
    EXPECT_EQ(get_vpn_status(), 0);
}

// What the engine puts on the wire during a bulk upload, datagram by datagram as the server
// receives them: each at most the tunnel MTU plus the message overhead, in sequence order,
// and each opening to exactly one IP packet. With offload the device hands over super-packets
// and the socket sends runs of datagrams per call; none of that may show.
TEST_F(TunnelTest, EveryDatagramOfABulkUploadCarriesOneSealedPacket) {
    constexpr uint16_t RELAY_PORT = TUNNEL_SERVER_PORT + 1;
    datagram_relay relay;
    {
        netns_scope in_server(net_.srv);
        std::string error;
        ASSERT_TRUE(relay.start(TUNNEL_SERVER_ADDR, RELAY_PORT, TUNNEL_SERVER_ADDR,
                                TUNNEL_SERVER_PORT, &error))
            << error;
    }
    start_args a = defaults();
    a.port = RELAY_PORT;
    ASSERT_EQ(start(a), 0);
    session_keys keys{};
    uint32_t sid = 0;
    {
        std::lock_guard<std::mutex> lock(session_lock());
        auto session = running_session();
        keys = *session->proto->keys.load();
        sid = session->proto->sid;
        if (offload_allowed()) {
            EXPECT_NE(session->tun->offload & TUN_OFFLOAD_TSO4, 0u) << "offload path not taken";
        }
    }
    EXPECT_EQ(transfer(net_.cli, net_.lan, TUNNEL_LAN_HOST, 20'000'000).bytes, 20'000'000u);
    stop_vpn(1);
    relay.stop();

    uint64_t last_seq = 0;
    size_t data_messages = 0;
    std::vector<uint8_t> plain(65536);
    for (const auto& msg : relay.from_client()) {
        ASSERT_GT(msg.size(), static_cast<size_t>(VPN_HEADER_LEN));
        if (msg[0] != MSG_DATA_TRANS) {
            continue;
        }
        ++data_messages;
        const vpn_header header = parse_vpn_header(msg.data());
        ASSERT_EQ(header.sid, sid);
        ASSERT_LE(msg.size(), static_cast<size_t>(MTU + VPN_HEADER_LEN + AEAD_TAG_LEN));
        ASSERT_GT(header.seq, last_seq) << "message " << data_messages;
        last_seq = header.seq;
        int plain_len = 0;
        ASSERT_EQ(open_payload(keys.tx_key, msg.data(), static_cast<int>(msg.size()), plain.data(),
                               &plain_len),
                  0)
            << "message " << data_messages << " does not open";
        // The kernel's own IPv6 messages on the interface travel too.
        ASSERT_GE(plain_len, 40);
        const int version = plain[0] >> 4;
        ASSERT_TRUE(version == 4 || version == 6);
        const int ip_len = version == 4 ? get_be16(&plain[2]) : 40 + get_be16(&plain[4]);
        EXPECT_EQ(ip_len, plain_len) << "not exactly one IP packet";
    }
    // 20 MB in segments of at most MTU - 40 payload bytes.
    EXPECT_GT(data_messages, 20'000'000u / (MTU - 40));
}

}  // namespace
