// The keepalive worker: a request to the server every period, and the session given up after
// six periods without a sign of life. Beside the periods, and without counting as one, a check
// at once when the machine has slept or the host's network has changed, so that a session that
// did not live through either is known in seconds; its missing answer is logged.
#include <algorithm>
#include <chrono>

#include "business.h"
#include "data_handler.h"
#include "engine_log.h"
#include "log_limit.h"
#include "network_changes.h"
#include "platform.h"
#include "result_codes.h"
#include "session.h"
#include "tun_util.h"

namespace {

constexpr int64_t TICK_MS = 1000;
// The wall clock gaining more than this on the awake clock from one tick to the next means the
// machine slept (or the clock was set forward); less is the wall clock's whole seconds and a
// late tick.
constexpr int64_t SLEEP_GAIN_S = 5;
// A check after a change of the network waits this long, so that the route to the server has
// followed the uplink first.
constexpr int64_t CHECK_AFTER_CHANGE_MS = 500;
// A check still unanswered this long after it went out is logged.
constexpr int64_t CHECK_ANSWER_MS = 3000;
constexpr int64_t NONE = -1;

// A check outside the periods: due, then sent and awaiting its answer.
struct server_check {
    int64_t due_ms = NONE;
    const char* reason = "";
    int64_t sent_ms = NONE;
    uint32_t life_signs = 0;  // udp_receiver's count when it went out
};

int64_t wall_seconds(const qn_ctx_t* ctx) {
    return platform::wall_seconds() + ctx->wall_clock_shift_s.load();
}

}  // namespace

int qn_keepalive(qn_ctx_t* ctx) {
    network_changes changes(ctx->running, ctx->tun != nullptr ? ctx->tun->if_index : -1, __func__);
    // Periods run on the awake clock: a clock set back does not hold the requests up, and the
    // time asleep is told apart by the wall clock.
    int64_t period_start = platform::awake_milliseconds();
    int64_t last_awake = period_start;
    int64_t last_wall = wall_seconds(ctx);
    server_check check;
    while (ctx->running.load()) {
        const int64_t now = platform::awake_milliseconds();
        const int64_t wall = wall_seconds(ctx);
        const int64_t gained = (wall - last_wall) - (now - last_awake) / 1000;
        last_awake = now;
        last_wall = wall;
        if (gained > SLEEP_GAIN_S) {
            QN_INFO(
                "The wall clock moved {} s ahead of the awake clock: the machine slept. "
                "Checking the server at once.",
                gained);
            check.due_ms = now;
            check.reason = "a sleep";
        }

        bool request = false;
        if (now - period_start > int64_t{ctx->keepalive_period_s.load()} * 1000) {
            period_start = now;
            const int32_t missed = ctx->keepalive_missed.fetch_add(1) + 1;
            if (missed >= KEEPALIVE_MISSED_LIMIT) {
                QN_ERROR("Response not received.");
                g_engine_status.exchange(QN_SERVER_SILENT);
                return 0;
            }
            request = true;
        }
        if (check.due_ms != NONE && now >= check.due_ms) {
            // A period's request that goes out now answers for the check as well.
            check.due_ms = NONE;
            check.sent_ms = now;
            check.life_signs = ctx->life_signs.load();
            request = true;
        }
        if (request && send_heartbeat_req(ctx) == -1) {
            QN_ERROR("send_heartbeat_req fail.");
        }
        if (check.sent_ms != NONE && now - check.sent_ms >= CHECK_ANSWER_MS) {
            if (ctx->life_signs.load() == check.life_signs) {
                QN_WARN_LIMITED(
                    "No answer from the server {} s after the check for {}: the "
                    "session may be gone; the keepalive gives it up after {} "
                    "silent periods.",
                    CHECK_ANSWER_MS / 1000, check.reason, KEEPALIVE_MISSED_LIMIT);
            }
            check.sent_ms = NONE;
        }

        int64_t wake = now + TICK_MS;
        if (check.due_ms != NONE) {
            wake = std::min(wake, check.due_ms);
        }
        if (check.sent_ms != NONE) {
            wake = std::min(wake, check.sent_ms + CHECK_ANSWER_MS);
        }
        const int64_t wait_ms = std::max<int64_t>(0, wake - platform::awake_milliseconds());
        switch (changes.wait(std::chrono::milliseconds(wait_ms))) {
            case network_changes::STOPPED:
                return 0;
            case network_changes::CHANGED:
                if (check.due_ms == NONE) {
                    QN_INFO_LIMITED("The host's network changed: checking the server.");
                    check.due_ms = platform::awake_milliseconds() + CHECK_AFTER_CHANGE_MS;
                    check.reason = "a change of the network";
                }
                break;
            case network_changes::TIMED_OUT:
                break;
        }
    }
    return 0;
}
