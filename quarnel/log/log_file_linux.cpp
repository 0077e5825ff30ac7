#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log_file.h"

namespace {

// The client's rule for its own files: empty when root or the process's own user owns the
// directory and nobody else may write to it.
std::string directory_fault(const struct stat& st) {
    const uid_t self = geteuid();
    if (st.st_uid != 0 && st.st_uid != self) {
        return "its directory belongs to uid " + std::to_string(st.st_uid) +
               (self == 0 ? ", not root" : ", neither root nor uid " + std::to_string(self));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "its directory is writable by group or others";
    }
    return {};
}

std::string file_fault(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
        return "it is not a regular file";
    }
    if (st.st_uid != geteuid()) {
        return "it belongs to uid " + std::to_string(st.st_uid) + ", not uid " +
               std::to_string(geteuid());
    }
    return {};
}

// The trusted directory, as a handle that later calls go through: a name inside it cannot be
// redirected by renaming a directory on the way. -1 with the reason.
int open_directory(const std::string& directory, std::string* why) {
    const int dir = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        *why = errno == ELOOP ? "its directory is a symbolic link" : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    *why = fstat(dir, &st) != 0 ? std::strerror(errno) : directory_fault(st);
    if (!why->empty()) {
        ::close(dir);
        return -1;
    }
    return dir;
}

}  // namespace

log_file::~log_file() {
    close();
}

bool log_file::open(const std::string& directory, const std::string& name, std::string* why) {
    close();
    const int dir = open_directory(directory, why);
    if (dir < 0) {
        return false;
    }
    // O_NONBLOCK: a FIFO planted at the name must not hold the engine's start; a regular file
    // ignores it.
    const int fd =
        openat(dir, name.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const int open_error = errno;
    ::close(dir);
    if (fd < 0) {
        *why = open_error == ELOOP   ? "it is a symbolic link"
               : open_error == ENXIO ? "it is not a regular file"
                                     : std::strerror(open_error);
        return false;
    }
    struct stat st {};
    *why = fstat(fd, &st) != 0 ? std::strerror(errno) : file_fault(st);
    if (!why->empty()) {
        ::close(fd);
        return false;
    }
    // A file an older version made under a laxer umask is the user's alone from now on.
    if ((st.st_mode & 077) != 0) {
        fchmod(fd, 0600);
    }
    handle_ = fd;
    return true;
}

uint64_t log_file::size() const {
    struct stat st {};
    if (!is_open() || fstat(static_cast<int>(handle_), &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.st_size);
}

bool log_file::write(const char* data, size_t size, std::string* why) {
    while (size > 0) {
        const ssize_t n = ::write(static_cast<int>(handle_), data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *why = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void log_file::close() {
    if (is_open()) {
        ::close(static_cast<int>(handle_));
        handle_ = closed;
    }
}

bool log_file_rename(const std::string& directory, const std::string& from, const std::string& to,
                     std::string* why) {
    const int dir = open_directory(directory, why);
    if (dir < 0) {
        return false;
    }
    const bool renamed = renameat(dir, from.c_str(), dir, to.c_str()) == 0;
    if (!renamed) {
        *why = std::strerror(errno);
    }
    ::close(dir);
    return renamed;
}

void log_directory_make(const std::string& directory) {
    // One that a user made would be refused to root anyway.
    if (geteuid() == 0) {
        mkdir(directory.c_str(), 0700);
    }
}
