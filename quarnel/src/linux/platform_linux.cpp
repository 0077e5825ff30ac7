#include "platform.h"

#include <cerrno>
#include <ctime>

namespace platform {

// Linux sockets and network configuration need no per-process or per-thread set-up.
int net_startup() {
    return 0;
}
void net_cleanup() {}
int com_startup() {
    return 0;
}
void com_cleanup() {}

int last_error() {
    return errno;
}

int64_t wall_seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t awake_milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace platform
