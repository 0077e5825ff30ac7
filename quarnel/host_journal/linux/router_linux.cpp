#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine_log.h"
#include "forwarding.h"
#include "host_journal.h"

namespace {

const char IP_FORWARD[] = "/proc/sys/net/ipv4/ip_forward";

int read_forwarding(int fd, std::string* value) {
    char text[16] = {};
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n <= 0) {
        return n < 0 ? errno : EIO;
    }
    value->assign(text, static_cast<size_t>(n));
    value->erase(value->find_last_not_of("\n") + 1);
    return 0;
}

int write_forwarding(int fd, const std::string& value) {
    return pwrite(fd, value.data(), value.size(), 0) == static_cast<ssize_t>(value.size()) ? 0
                                                                                           : errno;
}

}  // namespace

int start_router() {
    int fd = open(IP_FORWARD, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        QN_ERROR("OpenService failed.");
        return -1;
    }
    int result = 0;
    std::string current;
    if (read_forwarding(fd, &current) != 0) {
        QN_ERROR("QueryServiceStatus failed.");
        result = -1;
    } else if (current != "1") {
        host_change change;
        change.kind = host_change_kind::forwarding;
        change.before = current;
        change.after = "1";
        uint64_t id = 0;
        if (!session_journal().record(change, &id)) {
            QN_ERROR("StartService failed.");
            result = -1;
        } else if (write_forwarding(fd, change.after) != 0) {
            session_journal().settle(id);
            QN_ERROR("StartService failed.");
            result = -1;
        }
    }
    close(fd);
    return result;
}

bool forwarding_state_valid(const std::string& state) {
    return state == "0" || state == "1";
}

// Containers and routers on the host may rely on forwarding: it is never simply switched
// off, and a value someone else set since the session is left as it is.
int restore_forwarding(const std::string& before, const std::string& after) {
    int fd = open(IP_FORWARD, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        QN_ERROR("OpenService failed.");
        return error;
    }
    std::string current;
    int error = read_forwarding(fd, &current);
    if (error != 0) {
        QN_ERROR("QueryServiceStatus failed.");
    } else if (current == after && (error = write_forwarding(fd, before)) != 0) {
        QN_ERROR("ControlService failed.");
    }
    close(fd);
    return error;
}
