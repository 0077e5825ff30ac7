// The data workers' loops over in-memory ports standing for the device and the socket.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <new>
#include <thread>

#include "data_handler.h"
#include "data_ports.h"
#include "device_framing.h"
#include "log_capture.h"
#include "result_codes.h"
#include "session.h"
#include "tcp_offload.h"
#include "test_support.h"
#include "tun_util.h"

using namespace std::chrono_literals;

namespace {

constexpr int MTU = 1400;
using bytes = std::vector<uint8_t>;

// Device and socket in memory. The device holds frames, with or without an offload header,
// and frames them as the system's device port does. Waits return at once when something is
// there and otherwise time out after a millisecond, so the workers keep testing `running`.
class memory_ports : public data_ports {
  public:
    explicit memory_ports(bool header) : framing_(header, MTU) {}

    port_wait wait_device(bool writable, int, int*) override {
        return writable || has(device_in) ? port_wait::ready : idle();
    }
    port_wait wait_socket(bool writable, int, int*) override {
        return writable || has(socket_in) ? port_wait::ready : idle();
    }

    port_status read_device(packet_sink sink, int* error) override {
        if (on_read) {
            on_read();
        }
        std::vector<bytes> frames;
        {
            std::lock_guard<std::mutex> lock(mutex);
            frames.assign(device_in.begin(), device_in.end());
            device_in.clear();
            *error = read_error;
        }
        for (bytes& f : frames) {
            framing_.unpack(f.data(), f.size(), sink);
        }
        return read_status;
    }

    port_status write_device(const packet_ref* packets, size_t count, uint64_t* written,
                             int* error) override {
        return framing_.write(
            packets, count,
            [this](const uint8_t* frame, size_t len, int* write_error) {
                std::lock_guard<std::mutex> lock(mutex);
                ++write_attempts;
                if (write_status != port_status::done) {
                    *write_error = 5;
                    return write_status;
                }
                device_out.emplace_back(frame, frame + len);
                return port_status::done;
            },
            written, error);
    }

    port_status send_datagrams(const outgoing_datagram* d, size_t count, size_t* sent,
                               int* error) override {
        std::lock_guard<std::mutex> lock(mutex);
        *sent = 0;
        if (send_status != port_status::done) {
            *error = 7;
            return send_status;
        }
        for (size_t i = 0; i < count; ++i) {
            sent_datagrams.emplace_back(d[i].data, d[i].data + d[i].len);
        }
        *sent = count;
        return port_status::done;
    }

    port_status receive_datagrams(std::vector<incoming_datagram>* out, int* error) override {
        if (on_receive) {
            on_receive();
        }
        std::lock_guard<std::mutex> lock(mutex);
        out->clear();
        received_now.clear();
        while (!socket_in.empty()) {
            received_now.push_back(std::move(socket_in.front()));
            socket_in.pop_front();
        }
        for (bytes& d : received_now) {
            out->push_back({d.data(), d.size(), false, nullptr});
        }
        *error = receive_error;
        return receive_status;
    }

    void describe_sender(const void*, std::string* host, uint16_t* port) const override {
        *host = "192.0.2.9";
        *port = 4000;
    }

    template <typename T>
    T locked(const std::function<T()>& read) {
        std::lock_guard<std::mutex> lock(mutex);
        return read();
    }

    std::mutex mutex;
    std::deque<bytes> device_in, socket_in;
    std::vector<bytes> device_out, sent_datagrams;
    std::vector<bytes> received_now;
    port_status read_status = port_status::done, write_status = port_status::done,
                send_status = port_status::done, receive_status = port_status::done;
    int read_error = 0, receive_error = 0;
    uint64_t write_attempts = 0;
    std::function<void()> on_read, on_receive;

  private:
    bool has(const std::deque<bytes>& q) {
        std::lock_guard<std::mutex> lock(mutex);
        return !q.empty();
    }
    static port_wait idle() {
        std::this_thread::sleep_for(1ms);
        return port_wait::timed_out;
    }
    device_framing framing_;
};

uint16_t fold(uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

uint32_t add_words(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    }
    if (n % 2 != 0) {
        sum += static_cast<uint32_t>(p[n - 1]) << 8;
    }
    return sum;
}

// IPv4 + TCP segment of one flow with valid checksums; the payload follows the sequence.
bytes tcp_segment(uint32_t seq, size_t payload, uint16_t id, uint8_t flags = 0x10) {
    bytes p(40 + payload);
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(p.size() >> 8);
    p[3] = static_cast<uint8_t>(p.size());
    p[4] = static_cast<uint8_t>(id >> 8);
    p[5] = static_cast<uint8_t>(id);
    p[6] = 0x40;
    p[8] = 64;
    p[9] = 6;
    const uint8_t addrs[] = {10, 8, 0, 2, 198, 51, 100, 2};
    std::copy(addrs, addrs + 8, &p[12]);
    const uint16_t ip_sum = fold(add_words(p.data(), 20));
    p[10] = static_cast<uint8_t>(ip_sum >> 8);
    p[11] = static_cast<uint8_t>(ip_sum);
    uint8_t* t = &p[20];
    t[0] = 0x9C, t[1] = 0x40, t[2] = 0x14, t[3] = 0x51;
    for (int i = 0; i < 4; ++i) {
        t[4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    }
    t[11] = 1;
    t[12] = 5 << 4;
    t[13] = flags;
    t[14] = 0x01;
    for (size_t i = 0; i < payload; ++i) {
        p[40 + i] = static_cast<uint8_t>((seq + i) * 7);
    }
    uint32_t sum = add_words(&p[12], 8);
    sum += 6 + static_cast<uint32_t>(p.size() - 20);
    const uint16_t tcp_sum = fold(add_words(t, p.size() - 20, sum));
    t[16] = static_cast<uint8_t>(tcp_sum >> 8);
    t[17] = static_cast<uint8_t>(tcp_sum);
    return p;
}

// Both checksums verify, and apart from them the packets are the same: a header checksum may
// be stored as 0 or as 0xFFFF, both valid.
::testing::AssertionResult same_packet(const bytes& seen, const bytes& expected) {
    if (seen.size() != expected.size() || seen.size() < 40) {
        return ::testing::AssertionFailure() << seen.size() << " bytes, not " << expected.size();
    }
    if (fold(add_words(seen.data(), 20)) != 0) {
        return ::testing::AssertionFailure() << "IP checksum does not verify";
    }
    uint32_t pseudo = add_words(&seen[12], 8) + 6 + static_cast<uint32_t>(seen.size() - 20);
    if (fold(add_words(&seen[20], seen.size() - 20, pseudo)) != 0) {
        return ::testing::AssertionFailure() << "TCP checksum does not verify";
    }
    bytes a = seen, b = expected;
    for (bytes* p : {&a, &b}) {
        (*p)[10] = (*p)[11] = (*p)[36] = (*p)[37] = 0;
    }
    return a == b ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "differ";
}

// A session's two ends: the engine's context over memory ports, and the server's keys.
class DataWorkers : public ::testing::Test {
  protected:
    void SetUp() override {
        g_engine_status.store(0);
        session_keys up{}, down{};
        std::fill(std::begin(up.tx_key), std::end(up.tx_key), 0x11);
        std::fill(std::begin(up.rx_key), std::end(up.rx_key), 0x22);
        down = {};
        std::copy(std::begin(up.rx_key), std::end(up.rx_key), down.tx_key);
        std::copy(std::begin(up.tx_key), std::end(up.tx_key), down.rx_key);
        client_.sid = server_.sid = 77;
        client_.install_keys(up, 1, 1);
        server_.install_keys(down, 1, 1);
        tun_.mtu = MTU;
        ctx_.proto = &client_;
        ctx_.tun = &tun_;
        ctx_.running.start();
        traffic_.ctx = &ctx_;
    }

    memory_ports& use_ports(bool header) {
        auto ports = std::make_unique<memory_ports>(header);
        memory_ports& ref = *ports;
        traffic_.ports = std::move(ports);
        return ref;
    }

    // Runs a worker until the condition holds (or 5 s pass), then stops it.
    void run_until(int (*worker)(traffic_stats*), const std::function<bool()>& condition) {
        std::thread thread(worker, &traffic_);
        EXPECT_TRUE(test_support::wait_until(condition));
        ctx_.running.stop();
        thread.join();
    }

    bytes seal_from_server(const bytes& packet) {
        bytes msg(packet.size() + VPN_HEADER_LEN + AEAD_TAG_LEN);
        int len = 0;
        EXPECT_EQ(data_trans_encrypt(&server_, packet.data(), static_cast<int>(packet.size()),
                                     msg.data(), &len),
                  0);
        msg.resize(static_cast<size_t>(len));
        return msg;
    }

    bytes open_at_server(const bytes& msg) {
        bytes packet(msg.size());
        int len = 0;
        EXPECT_EQ(data_trans_decrypt(&server_, msg.data(), static_cast<int>(msg.size()),
                                     packet.data(), &len),
                  0);
        packet.resize(static_cast<size_t>(len));
        return packet;
    }

    proto_ctx client_, server_;
    tun_device tun_{};
    qn_ctx_t ctx_;
    traffic_stats traffic_;
};

bytes with_header(const offload_header& h, const bytes& packet) {
    bytes frame(OFFLOAD_HEADER_LEN);
    offload_header_write(h, frame.data());
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

// What the kernel hands over for a TCP send of several segments: one super-packet.
bytes super_packet(const std::vector<bytes>& segments) {
    std::vector<packet_ref> refs;
    for (const bytes& s : segments) {
        refs.push_back({s.data(), static_cast<int>(s.size())});
    }
    bytes out(OFFLOAD_COALESCE_OUT_LEN), frame;
    const int frames = offload_coalesce(refs.data(), static_cast<int>(refs.size()), out.data(),
                                        static_cast<int>(out.size()), [&](uint8_t* f, int n) {
                                            frame.assign(f, f + n);
                                            return true;
                                        });
    EXPECT_EQ(frames, 1);
    return frame;
}

TEST_F(DataWorkers, SuperPacketsLeaveAsOneSealedPacketPerDatagram) {
    memory_ports& ports = use_ports(true);
    std::vector<bytes> segments;
    for (int i = 0; i < 45; ++i) {
        segments.push_back(
            tcp_segment(1000 + i * (MTU - 40), MTU - 40, static_cast<uint16_t>(300 + i)));
    }
    // An MSS option in place of four payload bytes: the clamp must still see the SYN.
    bytes syn = tcp_segment(999, 4, 299, 0x02);
    syn[32] = 6 << 4;
    syn[40] = 2, syn[41] = 4, syn[42] = 1460 >> 8, syn[43] = 1460 & 0xFF;
    {
        std::lock_guard<std::mutex> lock(ports.mutex);
        ports.device_in.push_back(with_header({}, syn));
        ports.device_in.push_back(super_packet(segments));
    }
    run_until(tun_reader, [&] {
        return ports.locked<size_t>([&] { return ports.sent_datagrams.size(); }) == 46;
    });

    uint64_t last_seq = 0;
    for (size_t i = 0; i < ports.sent_datagrams.size(); ++i) {
        const bytes& msg = ports.sent_datagrams[i];
        ASSERT_LE(msg.size(), static_cast<size_t>(MTU + VPN_HEADER_LEN + AEAD_TAG_LEN));
        const uint64_t seq = parse_vpn_header(msg.data()).seq;
        EXPECT_GT(seq, last_seq);
        last_seq = seq;
        const bytes packet = open_at_server(msg);
        if (i == 0) {
            EXPECT_EQ((packet[42] << 8) | packet[43], MTU - 40) << "MSS clamped";
        } else {
            EXPECT_TRUE(same_packet(packet, segments[i - 1])) << "segment " << i - 1;
        }
    }
    EXPECT_EQ(g_engine_status.load(), 0);
}

TEST_F(DataWorkers, SegmentsFromTheServerReachTheDeviceCoalescedAndWhole) {
    for (bool header : {true, false}) {
        SCOPED_TRACE(header ? "with offload header" : "plain");
        SetUp();
        traffic_.rx_bytes = 0;
        memory_ports& ports = use_ports(header);
        std::vector<bytes> packets;
        uint64_t total = 0;
        for (int i = 0; i < 20; ++i) {
            packets.push_back(
                tcp_segment(5000 + i * 1000, 1000, static_cast<uint16_t>(40 + i), 0x10));
        }
        packets.back() = tcp_segment(5000 + 19 * 1000, 1000, 59, 0x18);  // PSH on the last
        packets.push_back(tcp_segment(1, 10, 7, 0x12));  // a SYN-ACK is never coalesced
        for (const bytes& p : packets) {
            total += p.size();
            std::lock_guard<std::mutex> lock(ports.mutex);
            ports.socket_in.push_back(seal_from_server(p));
        }
        run_until(udp_receiver, [&] { return traffic_.rx_bytes.load() == total; });

        std::vector<bytes> seen;
        for (bytes& f : ports.device_out) {
            if (!header) {
                seen.push_back(f);
                continue;
            }
            ASSERT_GE(offload_split(f.data(), static_cast<int>(f.size()), MTU,
                                    [&](uint8_t* p, int n) {
                                        seen.emplace_back(p, p + n);
                                        return true;
                                    }),
                      1);
        }
        EXPECT_EQ(ports.device_out.size(), header ? 2u : packets.size());
        ASSERT_EQ(seen.size(), packets.size());
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_TRUE(same_packet(seen[i], packets[i])) << "packet " << i;
        }
        EXPECT_EQ(ctx_.keepalive_missed.load(), 0);
        ctx_.recv_queue = packet_queue();
    }
}

TEST_F(DataWorkers, OversizedShortAndUnknownDatagramsAreDroppedAndLogged) {
    test_support::log_capture log;
    memory_ports& ports = use_ports(true);
    {
        std::lock_guard<std::mutex> lock(ports.mutex);
        ports.socket_in.push_back(bytes(MSG_BUF_LEN + 1, MSG_DATA_TRANS));
        ports.socket_in.push_back(bytes(VPN_HEADER_LEN, MSG_DATA_TRANS));
        ports.socket_in.push_back(bytes(VPN_HEADER_LEN + 1, 9));
        ports.socket_in.push_back(seal_from_server(tcp_segment(1, 1, 1)));
    }
    run_until(udp_receiver,
              [&] { return ports.locked<size_t>([&] { return ports.device_out.size(); }) == 1; });
    EXPECT_TRUE(log.has("Datagram larger than 2048 bytes dropped.", "udp_receiver"));
    EXPECT_TRUE(log.has("recv 15 bytes from host(192.0.2.9:4000)", "udp_receiver"));
    EXPECT_TRUE(log.has("Error packet type.", "udp_receiver"));
    EXPECT_EQ(g_engine_status.load(), 0);
}

// Each failing primitive ends its worker with the worker's own code and log line.
TEST_F(DataWorkers, FailedPrimitivesGiveUpWithTheWorkersCodes) {
    struct give_up_case {
        const char* what;
        int (*worker)(traffic_stats*);
        std::function<void(memory_ports&, qn_ctx_t&)> arrange;
        int32_t code;
        const char* text;
        const char* function;
    };
    const give_up_case cases[] = {
        {"read", tun_reader,
         [](memory_ports& p, qn_ctx_t&) {
             p.device_in.push_back(bytes(10, 0));
             p.read_status = port_status::failed;
             p.read_error = 5;
         },
         QN_FAILED, "ReadFile failed: 5.", "tun_reader"},
        {"receive", udp_receiver,
         [](memory_ports& p, qn_ctx_t&) {
             p.socket_in.push_back(bytes(20, 3));
             p.receive_status = port_status::failed;
             p.receive_error = 9;
         },
         QN_RECEIVE_FAILED, "WSARecvFrom failed: 9.", "udp_receiver"},
        {"send", udp_sender,
         [](memory_ports& p, qn_ctx_t& c) {
             p.send_status = port_status::failed;
             c.send_queue.push(bytes(100, 3));
         },
         QN_SEND_FAILED, "WSASendTo failed: 7.", "udp_sender"},
        {"write", tun_writer,
         [](memory_ports& p, qn_ctx_t& c) {
             p.write_status = port_status::failed;
             c.recv_queue.push(tcp_segment(1, 1, 1));
         },
         QN_FAILED, "WriteFile failed: 5.", "tun_writer"},
    };
    for (const give_up_case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        test_support::log_capture log;
        memory_ports& ports = use_ports(false);
        c.arrange(ports, ctx_);
        auto ended = std::async(std::launch::async, c.worker, &traffic_);
        ASSERT_EQ(ended.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(g_engine_status.load(), c.code);
        EXPECT_TRUE(log.has(c.text, c.function)) << log.dump();
        EXPECT_TRUE(ctx_.running.load()) << "a worker that gives up ends only itself";
        ctx_.send_queue = packet_queue();
        ctx_.recv_queue = packet_queue();
    }
}

// While the path to the server is gone (the uplink's address renewed, a roam) a send loses its
// datagrams, from the sender's queue and from the reader's own sends alike; the session goes
// on, the log says so a few times and once more when the server is reachable again.
TEST_F(DataWorkers, APathThatIsGoneLosesDatagramsNotTheSession) {
    test_support::log_capture log;
    memory_ports& ports = use_ports(false);
    ports.send_status = port_status::unreachable;
    for (int i = 0; i < 10; ++i) {
        ctx_.send_queue.push(bytes(100, 3));
    }
    std::thread sender(udp_sender, &traffic_);
    std::thread reader(tun_reader, &traffic_);
    for (uint16_t i = 0; i < 40; ++i) {
        {
            std::lock_guard<std::mutex> lock(ports.mutex);
            ports.device_in.push_back(tcp_segment(i, 100, i));
        }
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(test_support::wait_until([&] { return traffic_.losses.total() == 50; }))
        << traffic_.losses.total();
    {
        std::lock_guard<std::mutex> lock(ports.mutex);
        ports.send_status = port_status::done;
        ports.device_in.push_back(tcp_segment(100, 100, 100));
    }
    EXPECT_TRUE(test_support::wait_until(
        [&] { return ports.locked<size_t>([&] { return ports.sent_datagrams.size(); }) == 1; }));
    EXPECT_TRUE(test_support::wait_until([&] {
        return log.dump().find("The server is reachable again: 50 datagrams lost in") !=
               std::string::npos;
    })) << log.dump();
    ctx_.running.stop();
    sender.join();
    reader.join();
    EXPECT_EQ(g_engine_status.load(), 0);
    size_t warnings = 0;
    for (const auto& line : log.lines()) {
        warnings +=
            line.text.rfind("WSASendTo failed: 7. No way to the server for now: ", 0) == 0 &&
            line.function == "udp_sender";
    }
    EXPECT_GE(warnings, 1u);
    EXPECT_LE(warnings, 3u) << log.dump();
}

TEST_F(DataWorkers, AnExceptionEndsOnlyThatWorkerWithFailure) {
    for (auto worker : {tun_reader, udp_receiver}) {
        SetUp();
        test_support::log_capture log;
        memory_ports& ports = use_ports(true);
        ports.device_in.push_back(bytes(20, 0));
        ports.socket_in.push_back(bytes(20, 3));
        ports.on_read = ports.on_receive = [] { throw std::bad_alloc(); };
        int result = -100;
        EXPECT_NO_THROW(result = worker(&traffic_));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(g_engine_status.load(), QN_FAILED);
        EXPECT_TRUE(log.has("std::bad_alloc.")) << log.dump();
    }
}

TEST_F(DataWorkers, DeviceShortOfBuffersPausesAndStillStops) {
    test_support::log_capture log;
    memory_ports& ports = use_ports(false);
    ports.write_status = port_status::no_buffer;
    ctx_.recv_queue.push(tcp_segment(1, 100, 1));
    std::thread writer(tun_writer, &traffic_);
    std::this_thread::sleep_for(200ms);
    const uint64_t attempts = ports.locked<uint64_t>([&] { return ports.write_attempts; });
    ctx_.running.stop();
    std::this_thread::sleep_for(50ms);
    const uint64_t after_stop = ports.locked<uint64_t>([&] { return ports.write_attempts; });
    std::this_thread::sleep_for(100ms);
    const uint64_t later = ports.locked<uint64_t>([&] { return ports.write_attempts; });
    {
        std::lock_guard<std::mutex> lock(ports.mutex);
        ports.write_status = port_status::done;  // lets a writer that ignored the stop end
    }
    writer.join();
    // About one attempt per millisecond, not a busy loop.
    EXPECT_GE(attempts, 20u);
    EXPECT_LE(attempts, 400u);
    EXPECT_EQ(later, after_stop) << "the writer went on retrying after the stop";
    EXPECT_TRUE(ports.device_out.empty());
    EXPECT_TRUE(log.has("No enough buffer.", "tun_writer"));
    EXPECT_EQ(g_engine_status.load(), 0);
}

}  // namespace
