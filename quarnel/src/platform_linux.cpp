#include "platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace platform {

std::string executable_directory() {
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return ".";
    }
    std::string full(path, static_cast<size_t>(n));
    size_t slash = full.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : full.substr(0, slash);
}

// Linux sockets and network configuration need no per-process or per-thread set-up.
int net_startup() { return 0; }
void net_cleanup() {}
int com_startup() { return 0; }
void com_cleanup() {}

std::string error_text(int code) {
    char buf[256] = {};
    return strerror_r(code, buf, sizeof(buf));
}

int last_error() { return errno; }

int64_t wall_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace platform
