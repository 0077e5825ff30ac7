// The UDP socket, the request/reply primitive and the ping against simple loopback peers.
#include "socket_util.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "business.h"
#include "log_capture.h"
#include "protocol.h"

using test_support::log_capture;

namespace {

using bytes = std::vector<uint8_t>;

// A loopback UDP peer that answers each datagram with what reply() returns (nothing if empty).
class udp_responder {
  public:
    explicit udp_responder(std::function<bytes(const bytes&)> reply) : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~udp_responder() {
        stop_.store(true);
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }

  private:
    void serve() {
        std::vector<uint8_t> buf(0x10000);
        while (!stop_.load()) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, 20) != 1)
                continue;
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0)
                continue;
            const bytes answer = reply_(bytes(buf.begin(), buf.begin() + n));
            if (!answer.empty())
                sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       from_len);
        }
    }

    std::function<bytes(const bytes&)> reply_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SocketOpenTest, RefusesWhatIsNotAnAddressLiteralOrPort) {
    log_capture log;
    struct {
        const char* ip;
        unsigned short port;
    } cases[] = {{nullptr, 9000},    {"", 9000},          {"192.168.001.1", 9000}, {"1.2.3", 9000},
                 {"1.2.3.4.", 9000}, {"localhost", 9000}, {"fe80::1", 9000},       {"1.2.3.4", 0}};
    for (const auto& c : cases) {
        log.clear();
        udp_socket* sock = reinterpret_cast<udp_socket*>(1);
        EXPECT_EQ(socket_open(c.ip, c.port, &sock), -1) << (c.ip ? c.ip : "null");
        EXPECT_EQ(sock, nullptr);
        EXPECT_EQ(log.count("Param error", "socket_open"), 1) << log.dump();
    }
}

TEST(SocketOpenTest, FillsPeerForIpv4AndFullFormIpv6) {
    udp_socket* sock = nullptr;
    ASSERT_EQ(socket_open("10.1.2.3", 4500, &sock), 0);
    EXPECT_EQ(sock->peer_len, 16);
    EXPECT_EQ(sock->peer.v4.sin_family, AF_INET);
    EXPECT_EQ(ntohs(sock->peer.v4.sin_port), 4500);
    EXPECT_EQ(sock->peer.v4.sin_addr.s_addr, htonl(0x0A010203));
    EXPECT_GE(sock->s, 0);
    socket_close(sock);

    ASSERT_EQ(socket_open("fe80:0:0:0:0:0:0:1", 4500, &sock), 0);
    EXPECT_EQ(sock->peer_len, 28);
    EXPECT_EQ(sock->peer.v6.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(sock->peer.v6.sin6_port), 4500);
    EXPECT_EQ(sock->peer.v6.sin6_addr.s6_addr[0], 0xfe);
    EXPECT_EQ(sock->peer.v6.sin6_addr.s6_addr[15], 1);
    socket_close(sock);
}

TEST(UdpSendAndRecvTest, ReplyLargerThanBufferFailsAndSocketStaysUsable) {
    log_capture log;
    udp_responder peer([](const bytes& request) { return bytes(request[0], 0xAB); });
    udp_socket* sock = nullptr;
    ASSERT_EQ(socket_open("127.0.0.1", peer.port(), &sock), 0);
    uint8_t reply[100];

    const uint8_t too_big[1] = {101};
    int reply_len = sizeof reply;
    EXPECT_EQ(udp_send_and_recv(sock, too_big, 1, reply, &reply_len), -1);
    const std::string emsgsize = std::to_string(EMSGSIZE) + ".";
    EXPECT_EQ(log.count("WSARecvFrom failed: " + emsgsize, "udp_send_and_recv") +
                  log.count("WSAGetOverlappedResult failed: " + emsgsize, "udp_send_and_recv"),
              1)
        << log.dump();

    const uint8_t exact[1] = {100};
    reply_len = sizeof reply;
    EXPECT_EQ(udp_send_and_recv(sock, exact, 1, reply, &reply_len), 0) << log.dump();
    EXPECT_EQ(reply_len, 100);
    EXPECT_EQ(reply[99], 0xAB);

    // Send only: no reply is waited for.
    EXPECT_EQ(udp_send_and_recv(sock, exact, 1, nullptr, nullptr), 0);
    socket_close(sock);
}

TEST(UdpPingTest, FailuresMapToTheirCodes) {
    log_capture log;
    uint16_t rtt_ms = 7;
    EXPECT_EQ(udp_ping_impl("localhost", 9000, &rtt_ms), -6);
    EXPECT_TRUE(log.has("socket_open fail.", "udp_ping_impl"));

    // A datagram of another type, even with a correct length, is no ping reply.
    udp_responder wrong_type([](const bytes& request) {
        bytes answer = request;
        answer[0] = MSG_DATA_TRANS;
        return answer;
    });
    EXPECT_EQ(udp_ping_impl("127.0.0.1", wrong_type.port(), &rtt_ms), -77);
    EXPECT_TRUE(log.has("check_vpn_header failed.", "check_ping_reply")) << log.dump();
    EXPECT_TRUE(log.has("check_ping_reply fail.", "udp_ping_impl"));

    udp_responder silent([](const bytes&) { return bytes(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(udp_ping_impl("127.0.0.1", silent.port(), &rtt_ms), -76);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(IO_WAIT_MS));
    EXPECT_LT(waited, std::chrono::milliseconds(IO_WAIT_MS + 1000));
    EXPECT_TRUE(log.has("WaitForSingleObject timeout.", "udp_send_and_recv"));
    EXPECT_TRUE(log.has("udp_send_and_recv fail.", "udp_ping_impl"));
    EXPECT_EQ(rtt_ms, 7) << "a failed ping must not write the round trip";
}

}  // namespace
