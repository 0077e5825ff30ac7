#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fd_io_linux.h"
#include "host_journal.h"
#include "resolver.h"
#include "route_backend.h"
#include "router.h"

namespace {

// Persistent, not /run: a rewritten resolver file survives a power loss, and its record must
// too. The boot id in each journal keeps what a restart undid (routes, forwarding) from being
// undone again.
const char DEFAULT_DIR[] = "/var/lib/quarnel";
const char DIR_VARIABLE[] = "QUARNEL_JOURNAL_DIR";
const char PREFIX[] = "session-";
const char SUFFIX[] = ".journal";
const char TEMP_PREFIX[] = ".session-";
constexpr off_t MAX_JOURNAL_SIZE = 16 << 20;

struct journal_file {
    int fd = -1;
    int dir_fd = -1;
    std::string name;
};

std::string journal_dir() {
    const char* dir = std::getenv(DIR_VARIABLE);
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

bool has_affixes(const std::string& name, const std::string& prefix, const std::string& suffix) {
    return name.size() > prefix.size() + suffix.size() &&
           name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string id_of(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        return "none";
    }
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
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
    return host_identity{boot_id(), id_of("/proc/thread-self/ns/net"), id_of("/etc")};
}

int undo_host_change(const host_change& change) {
    switch (change.kind) {
        case host_change_kind::route:
            return route_delete(change.route);
        case host_change_kind::forwarding:
            return restore_forwarding(change.before, change.after);
        case host_change_kind::resolver_file:
            return restore_resolver_file(change.found, change.after);
        case host_change_kind::resolver_registration:
            return unregister_resolver(change.name);
        case host_change_kind::interface_metric: {
            int error = 0;
            if (interface_metric_set(change.if_index, change.automatic_before, &error)) {
                return 0;
            }
            return error == ENODEV || error == ENXIO ? 0 : error;  // gone with its interface
        }
    }
    return EINVAL;
}

void* journal_store_create(const std::string& header, int* error) {
    auto file = std::make_unique<journal_file>();
    file->dir_fd = open_dir(true);
    if (file->dir_fd < 0) {
        *error = errno;
        return nullptr;
    }
    // Written and locked under a name no replay takes, then renamed: a journal that a replay
    // can see is always held by its live process or left by an ended one.
    std::string temp = journal_dir() + "/" + TEMP_PREFIX + "XXXXXX";
    file->fd = mkostemp(&temp[0], O_CLOEXEC);
    if (file->fd < 0) {
        *error = errno;
        close(file->dir_fd);
        return nullptr;
    }
    const std::string temp_name = temp.substr(temp.rfind('/') + 1);
    file->name = PREFIX + temp_name.substr(sizeof(TEMP_PREFIX) - 1) + SUFFIX;
    *error = flock(file->fd, LOCK_EX) == 0 ? 0 : errno;
    if (*error == 0) {
        *error = write_all(file->fd, header);
    }
    if (*error == 0 && fsync(file->fd) != 0) {
        *error = errno;
    }
    if (*error == 0 &&
        renameat(file->dir_fd, temp_name.c_str(), file->dir_fd, file->name.c_str()) != 0) {
        *error = errno;
    }
    if (*error == 0 && fsync(file->dir_fd) != 0) {
        *error = errno;
    }
    if (*error != 0) {
        unlinkat(file->dir_fd, temp_name.c_str(), 0);
        close(file->fd);
        close(file->dir_fd);
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
        unlinkat(file->dir_fd, file->name.c_str(), 0);
        fsync(file->dir_fd);
    }
    close(file->fd);
    close(file->dir_fd);
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

int journal_store_for_each_orphan(const std::function<bool(const std::string& text)>& handle) {
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
    for (const std::string& name : names) {
        const bool temp = has_affixes(name, TEMP_PREFIX, "");
        if (!temp && !has_affixes(name, PREFIX, SUFFIX)) {
            continue;
        }
        const owned_fd file(
            openat(dir.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        const int fd = file.fd;
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        struct stat linked {};
        // Held by its live process, or replaced or removed since it was listed: not ours.
        bool ours = flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &st) == 0 &&
                    S_ISREG(st.st_mode) && trusted(st) && st.st_size <= MAX_JOURNAL_SIZE &&
                    fstatat(dir.fd, name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
                    linked.st_ino == st.st_ino && linked.st_dev == st.st_dev;
        // A temporary journal's process ended before it could record anything.
        if (ours && (temp || handle(read_text(fd, st.st_size)))) {
            unlinkat(dir.fd, name.c_str(), 0);
        }
    }
    fsync(dir.fd);
    return 0;
}
