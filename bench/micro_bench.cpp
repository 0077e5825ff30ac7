// Per-packet costs of the data path, without I/O.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <mutex>
#include <vector>

#include "data_handler.h"
#include "packet_queue.h"
#include "protocol.h"

namespace {

constexpr int PACKET = 1400;

// A protocol context with keys, as after a handshake; tx and rx keys equal so a message
// sealed here also opens here.
proto_ctx& keyed_context() {
    static proto_ctx* proto = [] {
        if (sodium_init() < 0) {
            std::abort();
        }
        auto* p = new proto_ctx();
        session_keys keys{};
        randombytes_buf(keys.tx_key, sizeof(keys.tx_key));
        std::copy(keys.tx_key, keys.tx_key + KEY_LEN, keys.rx_key);
        p->install_keys(keys, 1, 0);
        p->sid = 0x01020304;
        return p;
    }();
    return *proto;
}

std::vector<uint8_t> tcp_syn(int size) {
    std::vector<uint8_t> p(static_cast<size_t>(size), 0);
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(size >> 8);
    p[3] = static_cast<uint8_t>(size);
    p[9] = 6;
    p[20 + 12] = 6 << 4;
    p[20 + 13] = 0x02;
    p[20 + 20] = 2;
    p[20 + 21] = 4;
    p[20 + 22] = 0x05;
    p[20 + 23] = 0xB4;
    return p;
}

void BM_Seal(benchmark::State& state) {
    proto_ctx& proto = keyed_context();
    std::vector<uint8_t> packet(PACKET, 0x5A);
    std::vector<uint8_t> msg(MSG_BUF_LEN);
    for (auto _ : state) {
        int len = 0;
        data_trans_encrypt(&proto, packet.data(), PACKET, msg.data(), &len);
        benchmark::DoNotOptimize(len);
    }
    state.SetBytesProcessed(state.iterations() * PACKET);
}
BENCHMARK(BM_Seal);

void BM_Open(benchmark::State& state) {
    proto_ctx& proto = keyed_context();
    std::vector<uint8_t> packet(PACKET, 0x5A);
    std::vector<uint8_t> msg(MSG_BUF_LEN);
    int len = 0;
    data_trans_encrypt(&proto, packet.data(), PACKET, msg.data(), &len);
    std::vector<uint8_t> plain(MSG_BUF_LEN);
    for (auto _ : state) {
        int plain_len = 0;
        if (data_trans_decrypt(&proto, msg.data(), len, plain.data(), &plain_len) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        benchmark::DoNotOptimize(plain_len);
    }
    state.SetBytesProcessed(state.iterations() * PACKET);
}
BENCHMARK(BM_Open);

void BM_HeaderCheck(benchmark::State& state) {
    proto_ctx& proto = keyed_context();
    std::vector<uint8_t> packet(PACKET, 0x5A);
    std::vector<uint8_t> msg(MSG_BUF_LEN);
    int len = 0;
    data_trans_encrypt(&proto, packet.data(), PACKET, msg.data(), &len);
    for (auto _ : state) {
        benchmark::DoNotOptimize(check_vpn_header(&proto, msg.data(), len));
    }
}
BENCHMARK(BM_HeaderCheck);

void BM_QueuePushPop(benchmark::State& state) {
    packet_queue queue;
    for (auto _ : state) {
        queue.push(std::vector<uint8_t>(PACKET + 31));
        benchmark::DoNotOptimize(queue.front().data());
        queue.pop();
    }
}
BENCHMARK(BM_QueuePushPop);

void BM_ClampTcpMss(benchmark::State& state) {
    std::vector<uint8_t> syn = tcp_syn(44);
    for (auto _ : state) {
        syn[20 + 22] = 0x05;
        syn[20 + 23] = 0xB4;
        clamp_tcp_mss(syn.data(), 44, 1377);
        benchmark::DoNotOptimize(syn.data());
    }
}
BENCHMARK(BM_ClampTcpMss);

// What the reading side does per packet: clamp, seal into a fresh entry, queue under the
// lock, and the sending side's dequeue.
void BM_SendingSide(benchmark::State& state) {
    proto_ctx& proto = keyed_context();
    packet_queue queue;
    std::mutex lock;
    std::vector<uint8_t> packet(PACKET, 0x5A);
    packet[0] = 0x45;
    for (auto _ : state) {
        clamp_tcp_mss(packet.data(), PACKET, 1377);
        std::vector<uint8_t> msg(PACKET + VPN_HEADER_LEN + AEAD_TAG_LEN);
        int len = 0;
        data_trans_encrypt(&proto, packet.data(), PACKET, msg.data(), &len);
        {
            std::lock_guard<std::mutex> guard(lock);
            queue.push(std::move(msg));
        }
        std::vector<uint8_t> out;
        {
            std::lock_guard<std::mutex> guard(lock);
            out = std::move(queue.front());
            queue.pop();
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * PACKET);
}
BENCHMARK(BM_SendingSide);

}  // namespace

BENCHMARK_MAIN();
