#include "network_changes.h"

#include <algorithm>

#include "engine_log.h"
#include "run_state.h"

namespace {

// A change is acted on once the host has been quiet this long after it, and at the latest
// this long after it: well within a second either way.
constexpr auto SETTLE_QUIET = std::chrono::milliseconds(100);
constexpr auto SETTLE_MAX = std::chrono::milliseconds(500);

int milliseconds(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, 24 * 3600 * 1000));
}

}  // namespace

network_changes::network_changes(run_state& running, int32_t tunnel_if_index, const char* worker)
    : running_(running), worker_(worker) {
    // Without the stop's wake-up a watch's wait could not be cut short by the stop.
    if (running_.wakeup() == nullptr) {
        return;
    }
    int error = 0;
    watch_ = route_watch_open(tunnel_if_index, &error);
    if (watch_ == nullptr && error != 0) {
        QN_WARN_IN(worker_,
                   "No watch of the host's routes and addresses ({}): changes are seen at "
                   "the next round only.",
                   error);
    }
}

network_changes::~network_changes() {
    route_watch_close(watch_);
}

bool network_changes::stopped() {
    return running_.wait_for(std::chrono::milliseconds(0));
}

void network_changes::give_up_watch(int error) {
    QN_WARN_IN(worker_,
               "The watch of the host's routes and addresses failed ({}): changes are "
               "seen at the next round only.",
               error);
    route_watch_close(watch_);
    watch_ = nullptr;
}

bool network_changes::settle() {
    const auto latest = std::chrono::steady_clock::now() + SETTLE_MAX;
    for (;;) {
        const auto left = latest - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        int error = 0;
        switch (route_watch_wait(
            watch_, running_.wakeup(),
            milliseconds(std::min<std::chrono::steady_clock::duration>(left, SETTLE_QUIET)),
            &error)) {
            case watch_result::changed:
                continue;
            case watch_result::woken:
                return false;
            case watch_result::failed:
                give_up_watch(error);
                return true;
            case watch_result::timed_out:
                return true;
        }
    }
}

network_changes::result network_changes::wait(std::chrono::milliseconds timeout) {
    if (watch_ == nullptr) {
        return running_.wait_for(timeout) ? STOPPED : TIMED_OUT;
    }
    const auto began = std::chrono::steady_clock::now();
    int error = 0;
    switch (route_watch_wait(watch_, running_.wakeup(), milliseconds(timeout), &error)) {
        case watch_result::changed:
            return settle() ? CHANGED : STOPPED;
        case watch_result::woken:
            return STOPPED;
        case watch_result::timed_out:
            return stopped() ? STOPPED : TIMED_OUT;
        case watch_result::failed:
            give_up_watch(error);
            break;
    }
    const auto left = timeout - (std::chrono::steady_clock::now() - began);
    return running_.wait_for(std::max<std::chrono::steady_clock::duration>(
               left, std::chrono::steady_clock::duration::zero()))
               ? STOPPED
               : TIMED_OUT;
}
