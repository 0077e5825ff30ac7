#include "platform.h"

#include <cerrno>
#include <cstring>
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

std::string error_text(int code) {
    char buf[256] = {};
    return strerror_r(code, buf, sizeof(buf));
}

int last_error() {
    return errno;
}

int64_t wall_seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace platform
