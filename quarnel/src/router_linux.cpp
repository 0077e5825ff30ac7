#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "engine_log.h"
#include "quarnel.h"
#include "router.h"

namespace {

const char IP_FORWARD[] = "/proc/sys/net/ipv4/ip_forward";

// The value start_router found; stop_router gives it back (containers and routers on the host
// may rely on forwarding, so it is never simply switched off). Start and stop run on the thread
// that starts and stops the session.
std::string saved_forwarding;

}  // namespace

int start_router(qn_ctx_t* ctx) {
    int fd = open(IP_FORWARD, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        QN_ERROR("OpenService failed.");
        return -1;
    }
    int result = 0;
    char value[16] = {};
    ssize_t n = pread(fd, value, sizeof(value) - 1, 0);
    if (n <= 0) {
        QN_ERROR("QueryServiceStatus failed.");
        result = -1;
    } else {
        std::string current(value, static_cast<size_t>(n));
        current.erase(current.find_last_not_of("\n") + 1);
        if (saved_forwarding.empty()) {
            saved_forwarding = current;
        }
        if (current != "1" && pwrite(fd, "1", 1, 0) != 1) {
            QN_ERROR("StartService failed.");
            result = -1;
        }
    }
    close(fd);
    ctx->router_started = true;
    return result;
}

int stop_router() {
    if (saved_forwarding.empty()) {
        return 0;
    }
    int fd = open(IP_FORWARD, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        QN_ERROR("OpenService failed.");
        return -1;
    }
    int result = 0;
    if (pwrite(fd, saved_forwarding.data(), saved_forwarding.size(), 0) !=
        static_cast<ssize_t>(saved_forwarding.size())) {
        QN_ERROR("ControlService failed.");
        result = -1;
    } else {
        saved_forwarding.clear();
    }
    close(fd);
    return result;
}
