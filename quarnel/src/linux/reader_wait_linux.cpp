#include "reader_wait_linux.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace {

using wait_clock = std::chrono::steady_clock;

// Whole milliseconds from now to deadline, rounded up so a wait never ends early.
int ms_left(wait_clock::time_point deadline) {
    const wait_clock::time_point now = wait_clock::now();
    if (deadline <= now) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

}  // namespace

port_wait wait_fd(int fd, short events, int wakeup_fd, int timeout_ms, int* error) {
    pollfd fds[2] = {{fd, events, 0}, {wakeup_fd, POLLIN, 0}};
    const wait_clock::time_point deadline =
        wait_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        const int r = poll(fds, 2, timeout_ms < 0 ? -1 : ms_left(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            *error = errno;
            return port_wait::failed;
        }
        if (r == 0) {
            return port_wait::timed_out;
        }
        return fds[1].revents != 0 ? port_wait::woken : port_wait::ready;
    }
}
