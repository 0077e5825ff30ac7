#include "data_handler.h"

#include <chrono>

#include "business.h"
#include "engine_log.h"
#include "packet_bytes.h"
#include "session.h"

namespace {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void clamp_tcp_mss(uint8_t* p, int n, int mss) {
    constexpr int tcp_min = 20;
    if (n < IPV4_MIN_HEADER || ipv4_protocol(p) != IP_PROTO_TCP || ipv4_total_len(p) != n ||
        (ipv4_fragment_word(p) & IPV4_FRAGMENT_OFFSET) != 0) {
        return;
    }
    const int h = ipv4_header_len(p);
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
            const uint16_t old_mss = get_be16(opt + 2);
            if (old_mss > mss) {
                const uint16_t new_mss = static_cast<uint16_t>(mss);
                put_be16(opt + 2, new_mss);
                put_be16(tcp + 16, csum_adjust(get_be16(tcp + 16), old_mss, new_mss));
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
