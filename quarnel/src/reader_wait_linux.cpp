#include "reader_wait_linux.h"

#include <poll.h>

#include <cerrno>

namespace {

using wait_clock = std::chrono::steady_clock;

constexpr int SLICE_MS = 1;

// Whole milliseconds from now to deadline, rounded up so a wait never ends early.
int ms_left(wait_clock::time_point deadline, wait_clock::time_point now) {
    if (deadline <= now) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

}  // namespace

port_wait wait_fd(int fd, short events, int wakeup_fd, int timeout_ms, int* error,
                  reader_linger* linger) {
    pollfd fds[2] = {{fd, events, 0}, {wakeup_fd, POLLIN, 0}};
    const wait_clock::time_point deadline =
        wait_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        const wait_clock::time_point now = wait_clock::now();
        const int left = timeout_ms < 0 ? -1 : ms_left(deadline, now);
        const bool lingering = linger != nullptr && now - linger->last_ready < READER_LINGER;
        const int slice = lingering && (left < 0 || left > SLICE_MS) ? SLICE_MS : left;
        const int r = poll(fds, 2, slice);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            *error = errno;
            return port_wait::failed;
        }
        if (r == 0) {
            if (slice != left) {
                continue;
            }
            return port_wait::timed_out;
        }
        if (fds[1].revents != 0) {
            return port_wait::woken;
        }
        if (linger != nullptr) {
            linger->last_ready = wait_clock::now();
        }
        return port_wait::ready;
    }
}
