#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine_log.h"
#include "fd_io_linux.h"
#include "forwarding.h"
#include "host_journal.h"
#include "resolver.h"
#include "route_backend.h"

namespace {

// Persistent, not /run: a rewritten resolver file survives a power loss, and its record must
// too. The boot id in each journal keeps what a restart undid (routes, forwarding) from being
// undone again.
const char DEFAULT_DIR[] = "/var/lib/quarnel";

// Its descriptors close with it; nothing allocates once the first is open.
struct journal_file {
    journal_file() = default;
    journal_file(const journal_file&) = delete;
    journal_file& operator=(const journal_file&) = delete;
    ~journal_file() {
        if (fd >= 0) {
            close(fd);
        }
        if (dir_fd >= 0) {
            close(dir_fd);
        }
    }

    int fd = -1;
    int dir_fd = -1;
    char name[48] = "";  // empty until it has a name in the directory
};

std::string journal_dir() {
    const char* dir = std::getenv(JOURNAL_DIR_VARIABLE);
    return dir != nullptr && dir[0] == '/' ? dir : DEFAULT_DIR;
}

// Only the engine's own user may have written anything in it.
bool trusted(const struct stat& st) {
    return st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

int open_dir(bool create) {
    const std::string dir = journal_dir();
    if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return -1;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !trusted(st))) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

std::string read_text(int fd, off_t size) {
    std::string text(static_cast<size_t>(size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pread(fd, &text[done], text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return text;
}

// Whether the name in the directory is still the open file.
bool links_to(int dir_fd, const char* name, int fd) {
    struct stat held {};
    struct stat linked {};
    return fstat(fd, &held) == 0 && fstatat(dir_fd, name, &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
           linked.st_ino == held.st_ino && linked.st_dev == held.st_dev;
}

std::string id_of(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        return "none";
    }
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// The network namespace of the calling thread, by the cookie that the kernel never hands out
// again (its inode number it does); empty when the kernel has none.
std::string net_cookie() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint64_t cookie = 0;
    socklen_t size = sizeof(cookie);
    const bool known = fd >= 0 &&
                       getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &size) == 0 &&
                       size == sizeof(cookie);
    if (fd >= 0) {
        close(fd);
    }
    return known ? std::to_string(cookie) : std::string();
}

std::string boot_id() {
    int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "unknown";
    }
    std::string id = read_text(fd, 64);
    close(fd);
    id.erase(id.find_last_not_of('\n') + 1);
    return id.empty() ? "unknown" : id;
}

}  // namespace

host_identity current_host_identity() {
    // Per thread: a session runs in the network namespace of the thread that starts it.
    return host_identity{boot_id(), net_cookie(), id_of("/etc")};
}

int undo_host_change(const host_change& change) {
    switch (change.kind) {
        case host_change_kind::route:
            return route_delete(change.route);
        case host_change_kind::route6:
            return route6_delete(change.route6);
        case host_change_kind::forwarding:
            return restore_forwarding(change.before, change.after);
        case host_change_kind::resolver_file:
            return restore_resolver_file(change.found, change.after);
        case host_change_kind::resolver_registration:
            return unregister_resolver(change.name);
        case host_change_kind::resolver_link:
            return resolved_revert_link(change.if_index, change.after);
        case host_change_kind::resolver_global:
            return nm_revert_global_dns(change.after);
        case host_change_kind::interface_metric: {
            int error = 0;
            if (interface_metric_set(change.metric_before, &error)) {
                return 0;
            }
            return error == ENODEV || error == ENXIO ? 0 : error;  // gone with its interface
        }
    }
    return EINVAL;
}

namespace {

bool syncs(int fd, int* error) {
    if (fsync(fd) != 0) {
        *error = errno;
    }
    return *error == 0;
}

// Random hexadecimal digits between the prefix and the suffix; false (errno set) on failure.
bool random_name(const char* prefix, const char* suffix, char (&out)[48]) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof(random), 0) != sizeof(random)) {
        return false;
    }
    std::snprintf(out, sizeof(out), "%s%016llx%s", prefix, static_cast<unsigned long long>(random),
                  suffix);
    return true;
}

// An unnamed journal (O_TMPFILE), locked and holding its header before a link gives it a name:
// no replay can ever see it unlocked. EOPNOTSUPP or EISDIR when the filesystem cannot.
int create_unnamed(journal_file* file, const std::string& header) {
    file->fd = openat(file->dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file->fd < 0) {
        return errno;
    }
    int error = flock(file->fd, LOCK_EX) == 0 ? 0 : errno;
    if (error == 0) {
        error = write_all(file->fd, header);
    }
    if (error != 0 || !syncs(file->fd, &error)) {
        return error;
    }
    // Through /proc rather than AT_EMPTY_PATH, which needs a capability the service lacks.
    char self[48];
    std::snprintf(self, sizeof(self), "/proc/self/fd/%d", file->fd);
    char name[48];
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!random_name(JOURNAL_PREFIX, JOURNAL_SUFFIX, name)) {
            return errno;
        }
        if (linkat(AT_FDCWD, self, file->dir_fd, name, AT_SYMLINK_FOLLOW) == 0) {
            std::memcpy(file->name, name, sizeof(name));
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

// Where O_TMPFILE is refused: a temporary name that no replay takes while it is locked. A
// replay may remove it in the moment before the lock, so the name is checked once locked.
int create_renamed(journal_file* file, const std::string& header) {
    char temp[48];
    for (int attempt = 0; file->fd < 0; ++attempt) {
        if (attempt == 16) {
            return EAGAIN;
        }
        if (!random_name(JOURNAL_TEMP_PREFIX, "", temp)) {
            return errno;
        }
        file->fd =
            openat(file->dir_fd, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file->fd < 0 && errno != EEXIST) {
            return errno;
        }
        if (file->fd >= 0 &&
            (flock(file->fd, LOCK_EX) != 0 || !links_to(file->dir_fd, temp, file->fd))) {
            close(file->fd);
            file->fd = -1;
        }
    }
    char name[48];
    std::snprintf(name, sizeof(name), "%s%.16s%s", JOURNAL_PREFIX,
                  temp + sizeof(JOURNAL_TEMP_PREFIX) - 1, JOURNAL_SUFFIX);
    int error = write_all(file->fd, header);
    // A link, unlike a rename, never takes the place of another session's journal.
    if (error == 0 && syncs(file->fd, &error)) {
        if (linkat(file->dir_fd, temp, file->dir_fd, name, 0) == 0) {
            std::memcpy(file->name, name, sizeof(name));
        } else {
            error = errno;
        }
    }
    unlinkat(file->dir_fd, temp, 0);
    return error;
}

}  // namespace

void* journal_store_create(const std::string& header, int* error) {
    auto file = std::make_unique<journal_file>();
    file->dir_fd = open_dir(true);
    if (file->dir_fd < 0) {
        *error = errno;
        return nullptr;
    }
    *error = create_unnamed(file.get(), header);
    if (*error == EOPNOTSUPP || *error == EISDIR) {
        if (file->fd >= 0) {
            close(file->fd);
            file->fd = -1;
        }
        *error = create_renamed(file.get(), header);
    }
    if (*error == 0) {
        syncs(file->dir_fd, error);
    }
    if (*error != 0) {
        if (file->name[0] != '\0') {
            unlinkat(file->dir_fd, file->name, 0);
        }
        return nullptr;
    }
    return file.release();
}

int journal_store_append(void* store, const std::string& lines, bool durable) {
    auto* file = static_cast<journal_file*>(store);
    int error = write_all(file->fd, lines);
    if (error == 0 && durable && fdatasync(file->fd) != 0) {
        error = errno;
    }
    return error;
}

void journal_store_close(void* store, bool remove) {
    std::unique_ptr<journal_file> file(static_cast<journal_file*>(store));
    if (remove) {
        // Still locked: no replay can take the records of a finished session for a dead one's.
        unlinkat(file->dir_fd, file->name, 0);
        fsync(file->dir_fd);
    }
}

namespace {
struct listing_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Closes its descriptor however the scope ends.
struct owned_fd {
    explicit owned_fd(int value) : fd(value) {}
    ~owned_fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    const int fd;
};
}  // namespace

int journal_store_for_each_orphan(
    const std::function<bool(const std::string& text, std::string* settled)>& handle) {
    int dir_fd = open_dir(false);
    if (dir_fd < 0) {
        return errno == ENOENT ? 0 : errno;  // none: no journal was ever kept here
    }
    // Closed however this ends: an allocation may fail while the names are read.
    std::unique_ptr<DIR, listing_closer> listing(fdopendir(dir_fd));
    if (!listing) {
        int error = errno;
        close(dir_fd);
        return error;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(listing.get())) {
        names.push_back(entry->d_name);
    }
    const owned_fd dir(dup(dirfd(listing.get())));  // the descriptor outlives the listing
    const int dup_error = errno;
    listing.reset();
    if (dir.fd < 0) {
        return dup_error;
    }
    int result = 0;
    for (const std::string& name : names) {
        const journal_entry entry = journal_entry_of(name);
        if (entry == journal_entry::other) {
            continue;
        }
        const bool temp = entry == journal_entry::unnamed;
        const owned_fd file(
            openat(dir.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        const int fd = file.fd;
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        // Held by its live process, or replaced or removed since it was listed: not ours.
        bool ours = flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &st) == 0 &&
                    S_ISREG(st.st_mode) && trusted(st) && links_to(dir.fd, name.c_str(), fd);
        if (ours && st.st_size > static_cast<off_t>(MAX_JOURNAL_SIZE)) {
            // No session writes one this large: kept for whoever looks into it.
            QN_ERROR("host journal {} holds {} bytes, more than the {} a replay reads: left alone",
                     name, st.st_size, MAX_JOURNAL_SIZE);
            result = EFBIG;
            continue;
        }
        std::string settled;
        // A temporary journal's process ended before it could record anything.
        if (ours && (temp || handle(read_text(fd, st.st_size), &settled))) {
            unlinkat(dir.fd, name.c_str(), 0);
        } else if (ours && !settled.empty()) {
            // Reopened for writing only now that it is known to be a journal of ours.
            const owned_fd writable(open(("/proc/self/fd/" + std::to_string(fd)).c_str(),
                                         O_WRONLY | O_APPEND | O_CLOEXEC));
            int error = writable.fd < 0 ? errno : write_all(writable.fd, settled);
            if (error == 0 && fdatasync(writable.fd) != 0) {
                error = errno;
            }
            // Unsettled, a put-back change could be taken for one a later session made again.
            result = error != 0 ? error : result;
        }
    }
    fsync(dir.fd);
    return result;
}
