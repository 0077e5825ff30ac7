// Per-packet costs of the data path, without I/O, and reading back a session's host journal.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "aead.h"
#include "data_handler.h"
#include "host_journal.h"
#include "packet_queue.h"
#include "protocol.h"
#include "tcp_offload.h"

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

// Sealing and opening the payload of a data message by each implementation, as the protocol
// does: the 15-byte header as associated data, its sequence bytes as nonce. One thread, so
// the rate is per core; "bytes" is in decimal units (G/s = GB/s).
struct aead_bench {
    const aead* impl;
    int size;
    uint8_t key[AEAD_KEY_LEN];
    std::vector<uint8_t> msg;

    aead_bench(const aead* impl, int size)
        : impl(impl), size(size), msg(VPN_HEADER_LEN + size + AEAD_TAG_LEN, 0x5A) {
        randombytes_buf(key, sizeof key);
        put_vpn_header(msg.data(), MSG_DATA_TRANS, 0x01020304, 1,
                       static_cast<uint16_t>(size + AEAD_TAG_LEN));
    }
    void seal() {
        impl->seal(key, msg.data() + 5, msg.data(), VPN_HEADER_LEN, msg.data() + VPN_HEADER_LEN,
                   static_cast<size_t>(size), msg.data() + VPN_HEADER_LEN);
    }
    bool open(uint8_t* plain) const {
        return impl->open(key, msg.data() + 5, msg.data(), VPN_HEADER_LEN,
                          msg.data() + VPN_HEADER_LEN, static_cast<size_t>(size + AEAD_TAG_LEN),
                          plain);
    }
    void report(benchmark::State& state) const {
        state.counters["bytes"] = benchmark::Counter(static_cast<double>(state.iterations() * size),
                                                     benchmark::Counter::kIsRate);
    }
};

void BM_AeadSeal(benchmark::State& state, const aead* impl, int size) {
    aead_bench b(impl, size);
    for (auto _ : state) {
        b.seal();
        benchmark::DoNotOptimize(b.msg.data());
    }
    b.report(state);
}

void BM_AeadOpen(benchmark::State& state, const aead* impl, int size) {
    aead_bench b(impl, size);
    b.seal();
    std::vector<uint8_t> plain(static_cast<size_t>(size));
    for (auto _ : state) {
        if (!b.open(plain.data())) {
            state.SkipWithError("open failed");
            break;
        }
        benchmark::DoNotOptimize(plain.data());
    }
    b.report(state);
}

// Both implementations next to each other for each size.
bool register_aead_benchmarks() {
    if (sodium_init() < 0)
        std::abort();
    for (int size : {64, 576, 1400, 1500}) {
        for (const auto& [op, run] : {std::pair{"seal", BM_AeadSeal}, {"open", BM_AeadOpen}}) {
            for (const aead* impl : {&sodium_aead(), openssl_aead()}) {
                if (impl == nullptr)
                    continue;
                const std::string name =
                    std::string(op) + "/" + impl->name() + "/" + std::to_string(size);
                benchmark::RegisterBenchmark(name.c_str(), run, impl, size);
            }
        }
    }
    return true;
}
const bool aead_benchmarks_registered = register_aead_benchmarks();

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

// A 64,000-byte TCP super-packet as a TUN read returns it (vnet header, IPv4, TCP with the
// timestamp option), to be cut into 1,448-byte segments.
std::vector<uint8_t> tcp_super_packet() {
    constexpr int HDR = 20 + 32;
    constexpr int PAYLOAD = 64000;
    std::vector<uint8_t> b(OFFLOAD_HEADER_LEN + HDR + PAYLOAD, 0x5A);
    offload_header h;
    h.flags = OFFLOAD_F_NEEDS_CSUM;
    h.gso_type = OFFLOAD_GSO_TCPV4;
    h.hdr_len = HDR;
    h.gso_size = 1448;
    h.csum_start = 20;
    h.csum_offset = 16;
    offload_header_write(h, b.data());
    uint8_t* p = b.data() + OFFLOAD_HEADER_LEN;
    std::fill(p, p + HDR, 0);
    p[0] = 0x45;
    put_be16(p + 2, HDR + PAYLOAD);
    p[8] = 64;
    p[9] = 6;
    put_be32(p + 12, 0x0A000001);
    put_be32(p + 16, 0x0A000002);
    p[20 + 12] = 8 << 4;
    p[20 + 13] = 0x10;
    return b;
}

void BM_OffloadSplit(benchmark::State& state) {
    const std::vector<uint8_t> original = tcp_super_packet();
    std::vector<uint8_t> buf = original;
    const size_t headers = OFFLOAD_HEADER_LEN + 52;
    for (auto _ : state) {
        // The split rewrites the headers in place; the payload bytes it leaves do not matter.
        std::copy(original.begin(), original.begin() + headers, buf.begin());
        int bytes = 0;
        offload_split(buf.data(), static_cast<int>(buf.size()), 1500, [&](uint8_t*, int n) {
            bytes += n;
            return true;
        });
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(original.size()));
}
BENCHMARK(BM_OffloadSplit);

void BM_OffloadCoalesce(benchmark::State& state) {
    std::vector<uint8_t> buf = tcp_super_packet();
    std::vector<std::vector<uint8_t>> segments;
    offload_split(buf.data(), static_cast<int>(buf.size()), 1500, [&](uint8_t* p, int n) {
        segments.emplace_back(p, p + n);
        return true;
    });
    std::vector<packet_ref> refs;
    for (const auto& s : segments) {
        refs.push_back({s.data(), static_cast<int>(s.size())});
    }
    std::vector<uint8_t> out(OFFLOAD_COALESCE_OUT_LEN);
    for (auto _ : state) {
        int outputs =
            offload_coalesce(refs.data(), static_cast<int>(refs.size()), out.data(),
                             static_cast<int>(out.size()), [](uint8_t*, int) { return true; });
        if (outputs != 1) {
            state.SkipWithError("segments not coalesced");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buf.size()));
}
BENCHMARK(BM_OffloadCoalesce);

// A journal of as many route records as the argument, every other one settled: its parse must
// stay linear (100,000 records well under a second).
void BM_ParseJournal(benchmark::State& state) {
    const auto count = static_cast<uint64_t>(state.range(0));
    std::string text = journal_header_line({"boot", "4097", "3:4"});
    host_change change;
    change.kind = host_change_kind::route;
    change.route.if_index = 7;
    for (uint64_t id = 1; id <= count; ++id) {
        change.route.dest = htonl(0x0A000000u | static_cast<uint32_t>(id << 8));
        change.route.prefix_len = 24;
        text += journal_record_line(id, change);
        if (id % 2 == 0) {
            text += journal_settle_line(id);
        }
    }
    for (auto _ : state) {
        parsed_journal journal;
        if (!parse_journal(text, &journal) || journal.records.size() != count) {
            state.SkipWithError("journal not read back");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}
BENCHMARK(BM_ParseJournal)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
