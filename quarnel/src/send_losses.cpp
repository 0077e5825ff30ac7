#include "send_losses.h"

#include "engine_log.h"
#include "log_limit.h"

namespace {

// The sending threads log under the sender's name: the reader sends for it when it can.
constexpr const char* UDP_SENDER = "udp_sender";

}  // namespace

void send_losses::lost(size_t count, int error) {
    total_.fetch_add(count);
    outage_lost_.fetch_add(count);
    if (!outage_.exchange(true)) {
        outage_start_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    QN_WARN_LIMITED_IN(UDP_SENDER,
                       "WSASendTo failed: {0}. No way to the server for now: {1} datagrams "
                       "dropped, {2} in this session; the keepalive decides whether it is gone.",
                       error, count, total_.load());
}

void send_losses::end_outage() {
    if (!outage_.exchange(false)) {
        return;
    }
    const auto began = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(outage_start_.load()));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    QN_INFO_LIMITED_IN(UDP_SENDER, "The server is reachable again: {} datagrams lost in {:.1f} s.",
                       outage_lost_.exchange(0), seconds);
}
