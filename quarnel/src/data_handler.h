// The session's workers: data path, rate limits, keepalive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "data_ports.h"
#include "send_losses.h"

struct qn_ctx_t;

struct traffic_stats {
    qn_ctx_t* ctx = nullptr;
    std::atomic<uint64_t> tx_bytes{0};
    std::atomic<uint64_t> rx_bytes{0};
    std::atomic<uint64_t> tx_time_us{0};
    std::atomic<uint64_t> rx_time_us{0};
    // The workers' device and socket, opened before the workers start.
    std::unique_ptr<data_ports> ports;
    send_losses losses;
};

constexpr int MSG_BUF_LEN = 2048;
constexpr uint64_t TX_SEQ_REKEY_LIMIT = 0x0FFFFFFFFFFFFFF0ULL;
constexpr uint64_t RX_SEQ_REKEY_LIMIT = 0x0FFFFFFFFFFFFE00ULL;
constexpr int64_t REKEY_INTERVAL_MS = 3000;
constexpr int KEEPALIVE_MISSED_LIMIT = 6;

int tun_reader(traffic_stats* traffic);
int udp_sender(traffic_stats* traffic);
int udp_receiver(traffic_stats* traffic);
int tun_writer(traffic_stats* traffic);
int qn_keepalive(qn_ctx_t* ctx);

void clamp_tcp_mss(uint8_t* packet, int length, int mss);

// Rate limiter of one direction: the session's counters and the worker's process-wide mark.
struct rate_account {
    std::atomic<uint64_t>& bytes;
    std::atomic<uint64_t>& time_us;
    std::chrono::steady_clock::time_point& mark;
};
bool rate_limited(int32_t limit, const std::atomic<uint64_t>& bytes,
                  const std::atomic<uint64_t>& time_us);
void account_pass(rate_account& account, uint64_t pass_bytes);

// Sends an S4 request unless this worker sent one within the last 3 seconds.
void request_rekey_throttled(qn_ctx_t* ctx, std::atomic<int64_t>& last_request_ms,
                             const char* worker);
