#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine_log.h"
#include "fd_io_linux.h"
#include "resolver.h"
#include "resolver_file_keeper_linux.h"

namespace {

const char RESOLV_CONF[] = "/etc/resolv.conf";
const char RESOLV_TEMP[] = "/etc/resolv.conf.quarnel-new";

int read_file(const char* path, std::string* content, mode_t* mode) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    int error = fstat(fd, &st) == 0 ? 0 : errno;
    *mode = st.st_mode & 0777;
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

// Puts a new file or link in place of the resolver file in one step.
int replace_with(const resolver_file_state& state) {
    unlink(RESOLV_TEMP);
    int error = state.kind == resolver_file_state::link
                    ? (symlink(state.data.c_str(), RESOLV_TEMP) == 0 ? 0 : errno)
                    : write_file(RESOLV_TEMP, state.data, state.mode, true);
    if (error == 0 && rename(RESOLV_TEMP, RESOLV_CONF) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(RESOLV_TEMP);
    }
    return error;
}

}  // namespace

int read_resolver_file(resolver_file_state* state) {
    *state = resolver_file_state{};
    struct stat st {};
    if (lstat(RESOLV_CONF, &st) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(RESOLV_CONF, &target[0], target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
            return n < 0 ? errno : EAGAIN;
        }
        target.resize(static_cast<size_t>(n));
        state->kind = resolver_file_state::link;
        state->data = target;
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    mode_t mode = 0;
    int error = read_file(RESOLV_CONF, &state->data, &mode);
    state->kind = resolver_file_state::file;
    state->mode = mode;
    return error;
}

// A symlinked file belongs to whoever manages its target: replace the link, leave the target.
int write_resolver_file(const std::string& content) {
    struct stat st {};
    if (lstat(RESOLV_CONF, &st) == 0 && S_ISREG(st.st_mode)) {
        return write_file(RESOLV_CONF, content, st.st_mode & 0777, true);
    }
    return replace_with(resolver_file_state{resolver_file_state::file, 0644, content});
}

int restore_resolver_file(const resolver_file_state& found, const std::string& written) {
    stop_keeping_resolver_file();
    resolver_file_state now;
    int error = read_resolver_file(&now);
    if (error != 0) {
        return error;
    }
    if (now.kind != resolver_file_state::file || now.data != written) {
        QN_INFO("resolver file changed by someone else since the session wrote it: left as it is");
        return 0;
    }
    return put_back_resolver_file(found);
}

int put_back_resolver_file(const resolver_file_state& found) {
    switch (found.kind) {
        case resolver_file_state::file:
            return write_file(RESOLV_CONF, found.data, found.mode, true);
        case resolver_file_state::link:
            return replace_with(found);
        case resolver_file_state::absent:
            return unlink(RESOLV_CONF) == 0 || errno == ENOENT ? 0 : errno;
    }
    return EINVAL;
}
