#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_addr.h>
#include <net/if.h>
#include <netlink/attr.h>
#include <netlink/route/addr.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "engine_log.h"
#include "netcard_tool.h"
#include "netlink_linux.h"

extern char** environ;

namespace {

// The kernel's own route to the adapter's subnet gets the metric Windows gives on-link routes,
// so that a session route to the same subnet (metric 0 or 1) is a route of its own.
constexpr uint32_t SUBNET_ROUTE_METRIC = 256;

const char RESOLV_CONF[] = "/etc/resolv.conf";
// On disk beside the file, so that a session that dies cannot leave the resolver changed for good:
// the next change or restore puts it back first.
const char RESOLV_BACKUP[] = "/etc/resolv.conf.quarnel";
const char RESOLV_TEMP[] = "/etc/resolv.conf.quarnel-new";

std::mutex dns_lock;
bool registered_with_resolvconf = false;

int prefix_of_mask(uint32_t mask_be, int* prefix) {
    uint32_t mask = ntohl(mask_be);
    int ones = 0;
    while (ones < 32 && (mask & (0x80000000u >> ones)) != 0) {
        ++ones;
    }
    if (ones < 32 && (mask << ones) != 0) {
        return EINVAL;  // not contiguous
    }
    *prefix = ones;
    return 0;
}

// Deletes every IPv4 address of the link, then adds address/prefix.
int replace_ipv4_address(const char* name, const char* ip, const char* netmask) {
    in_addr addr{};
    in_addr mask{};
    int prefix = 0;
    if (inet_pton(AF_INET, ip, &addr) != 1 || inet_pton(AF_INET, netmask, &mask) != 1 ||
        prefix_of_mask(mask.s_addr, &prefix) != 0) {
        return EINVAL;
    }
    int if_index = static_cast<int>(if_nametoindex(name));
    if (if_index == 0) {
        return errno;
    }
    rtnl_socket sock;
    if (sock.open_error() != 0) {
        return sock.open_error();
    }
    nl_cache* cache = nullptr;
    int error = sock.error_of(rtnl_addr_alloc_cache(sock.get(), &cache));
    if (error != 0) {
        return error;
    }
    std::unique_ptr<nl_cache, decltype(&nl_cache_free)> owner(cache, &nl_cache_free);
    for (nl_object* obj = nl_cache_get_first(cache); obj != nullptr; obj = nl_cache_get_next(obj)) {
        auto* old = reinterpret_cast<rtnl_addr*>(obj);
        if (rtnl_addr_get_ifindex(old) != if_index || rtnl_addr_get_family(old) != AF_INET) {
            continue;
        }
        // Removing a primary address takes its secondaries along; those are already gone.
        error = sock.error_of(rtnl_addr_delete(sock.get(), old, 0));
        if (error != 0 && error != EADDRNOTAVAIL) {
            return error;
        }
    }

    std::unique_ptr<rtnl_addr, decltype(&rtnl_addr_put)> fresh(rtnl_addr_alloc(), &rtnl_addr_put);
    std::unique_ptr<nl_addr, decltype(&nl_addr_put)> local(
        nl_addr_build(AF_INET, &addr.s_addr, sizeof(addr.s_addr)), &nl_addr_put);
    if (!fresh || !local) {
        return ENOMEM;
    }
    nl_addr_set_prefixlen(local.get(), prefix);
    rtnl_addr_set_ifindex(fresh.get(), if_index);
    rtnl_addr_set_family(fresh.get(), AF_INET);
    error = sock.error_of(rtnl_addr_set_local(fresh.get(), local.get()));
    if (error != 0) {
        return error;
    }
    nl_msg* msg = nullptr;
    error = sock.error_of(rtnl_addr_build_add_request(fresh.get(), NLM_F_REPLACE, &msg));
    if (error != 0) {
        return error;
    }
    if (nla_put_u32(msg, IFA_RT_PRIORITY, SUBNET_ROUTE_METRIC) < 0) {
        nlmsg_free(msg);
        return ENOMEM;
    }
    return sock.request(msg);
}

// Empty entries (the working directory) are skipped: the engine runs as root.
std::string find_on_path(const char* program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + program;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

int write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Runs the program with the text as its standard input: 0, its nonzero exit status, or an errno.
int run_program(const std::string& program, const std::vector<std::string>& args,
                const std::string& input) {
    int in = memfd_create("quarnel-input", MFD_CLOEXEC);
    if (in < 0) {
        return errno;
    }
    int error = write_all(in, input);
    if (error == 0 && lseek(in, 0, SEEK_SET) < 0) {
        error = errno;
    }
    posix_spawn_file_actions_t actions;
    pid_t pid = -1;
    if (error == 0) {
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    close(in);
    if (error != 0) {
        return error;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

int read_file(const char* path, std::string* content, mode_t* mode) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    int error = fstat(fd, &st) == 0 ? 0 : errno;
    *mode = st.st_mode & 07777;
    char buffer[4096];
    while (error == 0) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        content->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return error;
}

// Writes a whole file in place, which keeps its inode, owner and any bind mount on it.
int write_file(const char* path, const std::string& content, mode_t mode, bool durable) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return errno;
    }
    int error = write_all(fd, content);
    if (error == 0 && fchmod(fd, mode) != 0) {
        error = errno;
    }
    if (error == 0 && durable && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

int save_backup() {
    struct stat st {};
    if (lstat(RESOLV_CONF, &st) != 0) {
        return errno;
    }
    unlink(RESOLV_TEMP);
    int error = 0;
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(RESOLV_CONF, &target[0], target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size()) {
            return n < 0 ? errno : EAGAIN;
        }
        target.resize(static_cast<size_t>(n));
        error = symlink(target.c_str(), RESOLV_TEMP) == 0 ? 0 : errno;
    } else {
        std::string content;
        mode_t mode = 0;
        error = read_file(RESOLV_CONF, &content, &mode);
        if (error == 0) {
            error = write_file(RESOLV_TEMP, content, mode, true);
        }
    }
    if (error == 0 && rename(RESOLV_TEMP, RESOLV_BACKUP) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(RESOLV_TEMP);
    }
    return error;
}

// A symlinked file belongs to whoever manages its target: replace the link, leave the target.
int write_servers(const std::string& servers) {
    struct stat st {};
    if (lstat(RESOLV_CONF, &st) == 0 && !S_ISLNK(st.st_mode)) {
        return write_file(RESOLV_CONF, servers, st.st_mode & 07777, false);
    }
    unlink(RESOLV_TEMP);
    int error = write_file(RESOLV_TEMP, servers, 0644, true);
    if (error == 0 && rename(RESOLV_TEMP, RESOLV_CONF) != 0) {
        error = errno;
        unlink(RESOLV_TEMP);
    }
    return error;
}

// Puts a kept backup back; 0 when there is none.
int restore_backup() {
    struct stat backup {};
    if (lstat(RESOLV_BACKUP, &backup) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    struct stat current {};
    bool in_place =
        S_ISREG(backup.st_mode) && lstat(RESOLV_CONF, &current) == 0 && S_ISREG(current.st_mode);
    if (!in_place) {
        return rename(RESOLV_BACKUP, RESOLV_CONF) == 0 ? 0 : errno;
    }
    std::string content;
    mode_t mode = 0;
    int error = read_file(RESOLV_BACKUP, &content, &mode);
    if (error == 0) {
        error = write_file(RESOLV_CONF, content, mode, false);
    }
    if (error == 0 && unlink(RESOLV_BACKUP) != 0) {
        error = errno;
    }
    return error;
}

// "nameserver" lines for the given servers; EINVAL for a text that is not an address.
int nameserver_lines(const char* dns, const char* backup_dns, std::string* lines) {
    for (const char* server : {dns, backup_dns}) {
        if (server == nullptr || *server == '\0') {
            continue;
        }
        unsigned char buffer[sizeof(in6_addr)];
        if (inet_pton(AF_INET, server, buffer) != 1 && inet_pton(AF_INET6, server, buffer) != 1) {
            return EINVAL;
        }
        *lines += std::string("nameserver ") + server + "\n";
    }
    return 0;
}

}  // namespace

bool SetAdapterIP(const char* guid, const char* ip, const char* netmask) {
    int error = replace_ipv4_address(guid, ip, netmask);
    if (error != 0) {
        QN_ERROR("set ip and mask address failed, errNo={}, ip={}, mask={}", error, ip, netmask);
        return false;
    }
    return true;
}

bool EnableTapAdapter(const char* name) {
    int error = rtnl_link_update(name, 0, IFF_UP);
    if (error == ENODEV) {
        return false;  // no such interface: no message, as for an unknown connection
    }
    if (error != 0) {
        QN_ERROR("set link {} up failed, errNo={}", name, error);
        return false;
    }
    return true;
}

bool SetAdapterDNS(const char* guid, const char* dns, const char* backup_dns) {
    std::lock_guard<std::mutex> lock(dns_lock);
    std::string lines;
    int error = nameserver_lines(dns, backup_dns, &lines);
    if (error == 0 && !lines.empty()) {
        error = restore_backup();
        std::string resolvconf = find_on_path("resolvconf");
        if (error == 0 && !resolvconf.empty()) {
            error = run_program(resolvconf, {"-a", guid}, lines);
            registered_with_resolvconf = error == 0;
        } else if (error == 0) {
            error = save_backup();
            if (error == 0) {
                error = write_servers(lines);
                if (error != 0) {
                    restore_backup();
                }
            }
        }
    }
    if (error != 0) {
        QN_ERROR("set dns failed, errNo={}", error);
        return false;
    }
    return true;
}

void RestoreAdapterDNS(const char* guid) {
    std::lock_guard<std::mutex> lock(dns_lock);
    int error = 0;
    if (registered_with_resolvconf) {
        std::string resolvconf = find_on_path("resolvconf");
        error = resolvconf.empty() ? ENOENT : run_program(resolvconf, {"-d", guid}, "");
        registered_with_resolvconf = false;
    }
    int file_error = restore_backup();
    if (error != 0 || file_error != 0) {
        QN_ERROR("restore dns failed, errNo={}", error != 0 ? error : file_error);
    }
}
