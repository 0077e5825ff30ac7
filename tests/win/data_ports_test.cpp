// The Windows data ports for real: overlapped reads and writes on a duplex message pipe that
// stands in for the TAP device, overlapped sends and receives to the reference server, whose
// echo sends every packet back sealed. Only the driver itself is missing.
#include <gtest/gtest.h>

#include <mswsock.h>
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "business.h"
#include "data_handler.h"
#include "data_ports.h"
#include "ipv4_text.h"
#include "log_capture.h"
#include "send_errors.h"
#include "session.h"
#include "session_config.h"
#include "socket_util.h"
#include "test_support.h"
#include "tun_device_win.h"
#include "tun_util.h"
#include "win_test_support.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr int MTU = 1400;
constexpr DWORD PIPE_BUFFER = 1 << 16;

// One overlapped operation of the test's end, waited for up to timeout_ms; the byte count, or
// -1 when it failed or did not finish (then it is cancelled and its end observed).
int overlapped_io(HANDLE pipe, bool write, uint8_t* data, DWORD len, DWORD timeout_ms) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    const BOOL now =
        write ? WriteFile(pipe, data, len, nullptr, &ov) : ReadFile(pipe, data, len, nullptr, &ov);
    bool ok = now != FALSE || GetLastError() == ERROR_IO_PENDING;
    if (ok && WaitForSingleObject(ov.hEvent, timeout_ms) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &ov);
        ok = false;
    }
    ok = GetOverlappedResult(pipe, &ov, &n, TRUE) != FALSE && ok;
    CloseHandle(ov.hEvent);
    return ok ? static_cast<int>(n) : -1;
}

// An IPv4/UDP packet from the tunnel address whose payload tells which one it is.
bytes udp_packet(uint32_t from, uint32_t to, uint32_t index) {
    bytes p(28 + 4 + index * 37 % (MTU - 60));
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(p.size() >> 8);
    p[3] = static_cast<uint8_t>(p.size());
    p[8] = 64;
    p[9] = 17;
    std::memcpy(&p[12], &from, 4);
    std::memcpy(&p[16], &to, 4);
    p[24] = static_cast<uint8_t>((p.size() - 20) >> 8);
    p[25] = static_cast<uint8_t>(p.size() - 20);
    for (size_t i = 28; i < p.size(); ++i) {
        p[i] = static_cast<uint8_t>(index >> (8 * ((i - 28) % 4)));
    }
    return p;
}

// A session through the handshake with the reference server, its four data workers on ports
// over the pipe's engine end.
class DataPorts : public ::testing::Test {
  protected:
    void SetUp() override {
        g_engine_status.store(0);
        win_test::test_server server;
        ASSERT_TRUE(win_test::server_from_environment(&server));
        const std::string name = "\\\\.\\pipe\\quarnel-test-" +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(std::random_device{}());
        engine_end_ = CreateNamedPipeA(
            name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, PIPE_BUFFER, PIPE_BUFFER, 0,
            nullptr);
        ASSERT_NE(engine_end_, INVALID_HANDLE_VALUE) << GetLastError();
        test_end_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(test_end_, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD mode = PIPE_READMODE_MESSAGE;
        ASSERT_TRUE(SetNamedPipeHandleState(test_end_, &mode, nullptr, nullptr));

        ctx_.proto = new proto_ctx();
        ASSERT_EQ(
            socket_open(server.ip.c_str(), static_cast<unsigned short>(server.port), &ctx_.sock),
            0);
        ctx_.server_ip = server.ip;
        session_config config;
        std::string error;
        ASSERT_TRUE(decode_server_pk(server.key.c_str(), config.server_pk, &error)) << error;
        config.given.os_type = "WINDOWS";
        config.given.client_version = "3.1.8";
        config.given.token = server.token;
        config.given.uuid = "wine-data-ports";
        config.given.mtu = MTU;
        ASSERT_EQ(key_exchange(&ctx_, "", config.server_pk), 0);
        ASSERT_EQ(user_auth(&ctx_, config), 0);

        records_.read_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        records_.write_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        tun_.handle = engine_end_;
        tun_.io = &records_;
        tun_.mtu = MTU;
        ctx_.tun = &tun_;
        traffic_.ctx = &ctx_;
        ctx_.traffic = &traffic_;
        // Opened on a thread that ends at once, as a host's pool thread may: Windows cancels
        // a thread's outstanding I/O when it exits, and the ports must not depend on it.
        std::thread([this] { traffic_.ports = data_ports_open(&ctx_); }).join();
        ctx_.running.start();
        for (auto worker : {tun_reader, udp_sender, udp_receiver, tun_writer}) {
            workers_.emplace_back(worker, &traffic_);
        }
    }

    void TearDown() override {
        stop_workers();
        if (ctx_.sock != nullptr) {
            send_disconn_req(&ctx_);
            socket_close(ctx_.sock);
        }
        delete ctx_.proto;
        for (HANDLE h :
             {engine_end_, test_end_, records_.read_ov.hEvent, records_.write_ov.hEvent}) {
            if (h != nullptr && h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
        }
    }

    // Raises the stop, joins the workers and closes the ports (which cancel what is
    // outstanding); how long the joins took.
    std::chrono::milliseconds stop_workers() {
        ctx_.running.stop();
        const auto start = std::chrono::steady_clock::now();
        for (std::thread& t : workers_) {
            t.join();
        }
        const auto took = std::chrono::steady_clock::now() - start;
        workers_.clear();
        traffic_.ports.reset();
        return std::chrono::duration_cast<std::chrono::milliseconds>(took);
    }

    HANDLE engine_end_ = INVALID_HANDLE_VALUE;
    HANDLE test_end_ = INVALID_HANDLE_VALUE;
    device_overlapped records_;
    tun_device tun_{};
    qn_ctx_t ctx_;
    traffic_stats traffic_;
    std::vector<std::thread> workers_;
};

TEST_F(DataPorts, PacketsGoSealedToTheServerAndComeBackThroughTheDevice) {
    constexpr uint32_t COUNT = 600;
    constexpr uint32_t WINDOW = 32;  // in flight at once: no socket buffer overflows
    const uint32_t from = ipv4_from_text(ctx_.tun_ip.c_str());
    const uint32_t to = ipv4_from_text("10.8.0.1");
    std::vector<bytes> sent;
    std::vector<bytes> echoed;
    std::mutex lock;
    std::atomic<uint32_t> back{0};
    std::thread reader([&] {
        bytes buffer(PIPE_BUFFER);
        while (back.load() < COUNT) {
            const int n = overlapped_io(test_end_, false, buffer.data(), PIPE_BUFFER, 10000);
            if (n < 0) {
                return;
            }
            std::lock_guard<std::mutex> guard(lock);
            echoed.emplace_back(buffer.begin(), buffer.begin() + n);
            back.fetch_add(1);
        }
    });
    uint64_t packet_bytes = 0;
    for (uint32_t i = 0; i < COUNT; ++i) {
        ASSERT_TRUE(test_support::wait_until([&] { return i - back.load() < WINDOW; },
                                             std::chrono::seconds(10)))
            << i << " sent, " << back.load() << " back";
        bytes packet = udp_packet(from, to, i);
        ASSERT_EQ(
            overlapped_io(test_end_, true, packet.data(), static_cast<DWORD>(packet.size()), 5000),
            static_cast<int>(packet.size()));
        packet_bytes += packet.size();
        sent.push_back(std::move(packet));
    }
    reader.join();
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(echoed.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(echoed[i], sent[i]) << "packet " << i;
    }
    // Each packet went as one datagram of its own; the bytes the device took are counted.
    EXPECT_EQ(traffic_.tx_bytes.load(), packet_bytes + COUNT * (VPN_HEADER_LEN + AEAD_TAG_LEN));
    EXPECT_EQ(traffic_.rx_bytes.load(), packet_bytes);
    EXPECT_EQ(g_engine_status.load(), 0);
}

// Winsock as documented for an unconnected UDP socket on a system without the switches that
// stop the reports: an ICMP port unreachable or time exceeded answering an earlier send fails
// the next receive with WSAECONNRESET or WSAENETRESET. Wine delivers no such errors.
std::mutex switch_lock;
std::vector<std::string> switches_asked;
std::atomic<int> icmp_error{0};  // reported by the next receive posted

int WSAAPI ioctl_without_switches(SOCKET s, DWORD code, LPVOID in, DWORD in_len, LPVOID out,
                                  DWORD out_len, LPDWORD n, LPWSAOVERLAPPED ov,
                                  LPWSAOVERLAPPED_COMPLETION_ROUTINE done) {
    if (code != SIO_UDP_CONNRESET && code != _WSAIOW(IOC_VENDOR, 15)) {
        return ::WSAIoctl(s, code, in, in_len, out, out_len, n, ov, done);
    }
    const bool off = in != nullptr && in_len == sizeof(BOOL) && *static_cast<BOOL*>(in) == FALSE;
    std::lock_guard<std::mutex> guard(switch_lock);
    switches_asked.push_back((code == SIO_UDP_CONNRESET ? "connreset" : "netreset") +
                             std::string(off ? " off" : " on"));
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
}

int WSAAPI receive_with_icmp_errors(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD n,
                                    LPDWORD flags, sockaddr* from, LPINT from_len,
                                    LPWSAOVERLAPPED ov, LPWSAOVERLAPPED_COMPLETION_ROUTINE done) {
    if (const int error = icmp_error.exchange(0); error != 0) {
        WSASetLastError(error);
        return SOCKET_ERROR;
    }
    return ::WSARecvFrom(s, buffers, count, n, flags, from, from_len, ov, done);
}

class DataPortsIcmp : public DataPorts {
  protected:
    void SetUp() override {
        switches_asked.clear();
        icmp_error.store(0);
        win().WSAIoctl = ioctl_without_switches;
        win().WSARecvFrom = receive_with_icmp_errors;
        DataPorts::SetUp();
    }
    win_test::calls_restored restore_;
};

TEST_F(DataPortsIcmp, ReportsAreSwitchedOffAndWhereTheyStillComeTheReceiverGoesOn) {
    EXPECT_EQ(switches_asked, (std::vector<std::string>{"connreset off", "netreset off"}));
    test_support::log_capture log;
    const uint32_t from = ipv4_from_text(ctx_.tun_ip.c_str());
    const uint32_t to = ipv4_from_text("10.8.0.1");
    // An error armed after one packet fails the receive posted once the next is back; the
    // packet after that shows the receiver went on.
    const int errors[] = {WSAECONNRESET, WSAENETRESET, 0, 0};
    for (uint32_t i = 0; i < 4; ++i) {
        bytes packet = udp_packet(from, to, i);
        ASSERT_EQ(
            overlapped_io(test_end_, true, packet.data(), static_cast<DWORD>(packet.size()), 5000),
            static_cast<int>(packet.size()));
        bytes echoed(PIPE_BUFFER);
        const int n = overlapped_io(test_end_, false, echoed.data(), PIPE_BUFFER, 5000);
        ASSERT_GT(n, 0) << "packet " << i << log.dump();
        echoed.resize(static_cast<size_t>(n));
        EXPECT_EQ(echoed, packet);
        ASSERT_TRUE(test_support::wait_until([] { return icmp_error.load() == 0; })) << i;
        icmp_error.store(errors[i]);
    }
    EXPECT_EQ(g_engine_status.load(), 0) << log.dump();
}

TEST_F(DataPorts, AFailedDeviceReadEndsTheReaderAndTheStopEndsEveryOtherWait) {
    test_support::log_capture log;
    // The reader has a read outstanding on the device; the other end goes away.
    CloseHandle(test_end_);
    test_end_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(test_support::wait_until([] { return g_engine_status.load() == -1; }))
        << log.dump();
    EXPECT_TRUE(
        log.has("ReadFile failed: " + std::to_string(ERROR_BROKEN_PIPE) + ".", "tun_reader"))
        << log.dump();
    // The receiver waits on its socket and the sender and writer on their queues: the stop's
    // wake-up ends the receive wait at once rather than at its 3,000 ms time-out.
    EXPECT_LT(stop_workers(), std::chrono::milliseconds(2000));
}

// Which failed sends to the server lose only their datagrams and which end the sender.
TEST(SendErrors, APathThatComesAndGoesLosesDatagramsABrokenSocketEndsTheSession) {
    const struct {
        int error;
        port_status status;
    } cases[] = {
        {0, port_status::done},
        {WSA_IO_PENDING, port_status::again},
        {WSAENOBUFS, port_status::no_buffer},
        // The uplink's address or routes gone for a moment, a firewall's rule, a server
        // restarting (ICMP port unreachable of an earlier datagram).
        {WSAENETUNREACH, port_status::unreachable},
        {WSAEHOSTUNREACH, port_status::unreachable},
        {WSAENETDOWN, port_status::unreachable},
        {WSAEADDRNOTAVAIL, port_status::unreachable},
        {WSAEACCES, port_status::unreachable},
        {WSAECONNRESET, port_status::unreachable},
        // What no later send would do better.
        {WSAENOTSOCK, port_status::failed},
        {WSAEINVAL, port_status::failed},
        {WSAEFAULT, port_status::failed},
        {WSAEMSGSIZE, port_status::failed},
        {WSANOTINITIALISED, port_status::failed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(send_error_status(c.error), c.status) << "error " << c.error;
    }
}

}  // namespace
