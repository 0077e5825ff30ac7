#include "data_handler.h"

#include <chrono>

#include "business.h"
#include "engine_log.h"
#include "platform.h"
#include "quarnel.h"
#include "result_codes.h"

namespace {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint16_t load_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void store_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Incremental checksum update after one 16-bit word changed from old_word to new_word.
uint16_t adjust_checksum(uint16_t checksum, uint16_t old_word, uint16_t new_word) {
    int32_t sum = static_cast<int32_t>(checksum) + old_word - new_word;
    if (sum >= 0) {
        sum = (sum >> 16) + (sum & 0xFFFF);
        sum += sum >> 16;
        return static_cast<uint16_t>(sum);
    }
    sum = -sum;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}

}  // namespace

void clamp_tcp_mss(uint8_t* p, int n, int mss) {
    constexpr int ip_min = 20;
    constexpr int tcp_min = 20;
    if (n < ip_min || p[9] != 6 || load_be16(p + 2) != n || (load_be16(p + 6) & 0x1FFF) != 0) {
        return;
    }
    const int h = (p[0] & 0x0F) * 4;
    if (h > n || n - h < tcp_min) {
        return;
    }
    uint8_t* tcp = p + h;
    const int d = (tcp[12] >> 4) * 4;
    if ((tcp[13] & 0x02) == 0 || d <= tcp_min || d > n - h) {
        return;
    }
    uint8_t* opt = tcp + tcp_min;
    int left = d - tcp_min;
    while (left > 0) {
        const uint8_t kind = opt[0];
        if (kind == 0) {
            return;
        }
        if (kind == 1) {
            ++opt;
            --left;
            continue;
        }
        if (left < 2) {
            return;
        }
        const int len = opt[1];
        if (len == 0 || len > left) {
            return;
        }
        if (kind == 2 && len == 4) {
            const uint16_t old_mss = load_be16(opt + 2);
            if (old_mss > mss) {
                const uint16_t new_mss = static_cast<uint16_t>(mss);
                store_be16(opt + 2, new_mss);
                store_be16(tcp + 16, adjust_checksum(load_be16(tcp + 16), old_mss, new_mss));
            }
        }
        opt += len;
        left -= len;
    }
}

bool rate_limited(int32_t limit, const std::atomic<uint64_t>& bytes,
                  const std::atomic<uint64_t>& time_us) {
    if (limit == 0) {
        return false;
    }
    // 0/0 is NaN, never greater: the first entry after a reset always passes.
    const double rate =
        static_cast<double>(bytes.load()) / static_cast<double>(time_us.load()) * 1000000.0;
    return rate > static_cast<double>(limit);
}

void account_pass(rate_account& account, uint64_t pass_bytes) {
    const auto now = std::chrono::steady_clock::now();
    const auto elapsed_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - account.mark).count();
    account.time_us.fetch_add(static_cast<uint64_t>(elapsed_ns) / 1000);
    account.bytes.fetch_add(pass_bytes);
    account.mark = std::chrono::steady_clock::now();
}

void request_rekey_throttled(qn_ctx_t* ctx, std::atomic<int64_t>& last_request_ms,
                             const char* worker) {
    const int64_t now = steady_ms();
    if (now - last_request_ms.load() <= REKEY_INTERVAL_MS) {
        return;
    }
    last_request_ms.store(now);
    if (send_rekey_req(ctx) == -1) {
        QN_ERROR_IN(worker, "send_rekey_req failed.");
    }
}

int qn_keepalive(qn_ctx_t* ctx) {
    int64_t last = platform::wall_seconds();
    while (ctx->running.load()) {
        if (platform::wall_seconds() - last > ctx->keepalive_period_s.load()) {
            last = platform::wall_seconds();
            const int32_t missed = ctx->keepalive_missed.fetch_add(1) + 1;
            if (missed >= KEEPALIVE_MISSED_LIMIT) {
                QN_ERROR("Response not received.");
                g_engine_status.exchange(QN_SERVER_SILENT);
                return 0;
            }
            if (send_heartbeat_req(ctx) == -1) {
                QN_ERROR("send_heartbeat_req fail.");
            }
        }
        worker_wakeup_wait(ctx->wakeup, 1000);
    }
    return 0;
}
