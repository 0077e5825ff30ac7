// The session record, shared by the steps and workers of a session, and the engine status.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packet_queue.h"
#include "protocol.h"
#include "route_prefix.h"
#include "route_row.h"
#include "run_state.h"

struct tun_device;
struct udp_socket;
struct traffic_stats;

// Process-wide engine status: 0 healthy, or the negative code of the last failure.
extern std::atomic<int32_t> g_engine_status;

constexpr int QN_THREAD_COUNT = 5;
constexpr int32_t KEEPALIVE_PERIOD_S = 15;
constexpr size_t REMOTE_ROUTES_RESERVED = 10000;

struct qn_ctx_t {
    proto_ctx* proto = nullptr;
    std::string token;
    std::string uuid;
    std::string server_ip;
    uint8_t server_pk[32] = {};
    tun_device* tun = nullptr;
    std::string tun_ip;
    std::string tun_netmask;
    int32_t wan_if_index = -1;
    std::string wan_gateway;
    udp_socket* sock = nullptr;
    packet_queue send_queue;
    packet_queue recv_queue;
    std::mutex send_mutex;
    std::condition_variable_any send_cond;
    std::mutex recv_mutex;
    std::condition_variable_any recv_cond;
    // Under the queue's mutex: a batch of that direction is being sent or written right now,
    // so whoever sends next must queue behind it to keep the order.
    bool send_in_flight = false;
    bool write_in_flight = false;
    run_state running;
    std::shared_ptr<std::thread> threads[QN_THREAD_COUNT];
    std::shared_ptr<std::thread> protect_thread;
    traffic_stats* traffic = nullptr;
    std::atomic<int32_t> keepalive_missed{0};
    // Raised by udp_receiver at every sign of life (what resets keepalive_missed), so that the
    // keepalive can tell whether a check was answered.
    std::atomic<uint32_t> life_signs{0};
    // Seconds after which a keepalive period ends; a variable so that tests need not wait.
    std::atomic<int32_t> keepalive_period_s{KEEPALIVE_PERIOD_S};
    // Added to the keepalive's readings of the wall clock: how tests make the machine seem to
    // have slept.
    std::atomic<int64_t> wall_clock_shift_s{0};
    std::atomic<int32_t> upload_limit{0};
    std::atomic<int32_t> download_limit{0};
    std::atomic<int32_t> token_lock{0};
    std::vector<route_prefix> remote_routes;
    // The routes, forwarding, resolver and metric it changed are in session_journal().
    bool proxy_mode = false;
    // The host's IPv6 goes into the device (proxy mode); set before the protect worker starts,
    // which alone then keeps the way to an IPv6 server (its gateway all zero: none yet).
    bool ipv6_held = false;
    route6_row server6_way;
    std::string dns;
    std::string backup_dns;
    bool router_started = false;

    qn_ctx_t() {
        remote_routes.reserve(REMOTE_ROUTES_RESERVED);
        running.wake_at_stop(send_mutex, send_cond);
        running.wake_at_stop(recv_mutex, recv_cond);
    }
    qn_ctx_t(const qn_ctx_t&) = delete;
    qn_ctx_t& operator=(const qn_ctx_t&) = delete;
};

// Spin lock of qn_ctx_t::token: acquire by exchanging 1 (yielding while held), release with 0.
inline void token_lock_acquire(qn_ctx_t* ctx) {
    while (ctx->token_lock.exchange(1) != 0) {
        std::this_thread::yield();
    }
}
inline void token_lock_release(qn_ctx_t* ctx) {
    ctx->token_lock.exchange(0);
}
