#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "peer_check.h"

namespace {

// Beyond this many groups the account is taken as not in the group: the lists are bounded.
constexpr int MAX_GROUPS = 65536;
constexpr size_t MAX_PASSWD_BUFFER = 1 << 20;

}  // namespace

bool peer_identity_of(int fd, peer_identity* out) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof(credentials)) {
        return false;
    }
    *out = peer_identity{credentials.uid, credentials.pid};
    return true;
}

bool peer_allowed(uid_t uid, gid_t group) {
    if (uid == 0) {
        return true;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    int error = 0;
    while ((error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < MAX_PASSWD_BUFFER) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr) {
        return false;
    }
    if (entry.pw_gid == group) {
        return true;
    }
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size()) || count > MAX_GROUPS) {
            return false;
        }
        groups.resize(static_cast<size_t>(count));
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}
