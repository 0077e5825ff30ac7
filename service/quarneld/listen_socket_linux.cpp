#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "listen_socket.h"

namespace {

constexpr int BACKLOG = 16;

std::string system_error(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

bool make_address(const std::string& path, sockaddr_un* address, std::string* error) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path)) {
        *error = "the socket path " + path + " is too long";
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size());
    return true;
}

// A socket left by an ended service may go; anything else at the path stays, and so does a
// socket another service still answers on.
bool clear_path(const std::string& path, const sockaddr_un& address, std::string* error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = system_error("cannot look at " + path, errno);
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *error = path + " exists and is not a socket: it is left alone";
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // A full backlog (EAGAIN) is a service that answers too.
    const bool answered = probe >= 0 && (connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                                 sizeof(address)) == 0 ||
                                         errno == EAGAIN);
    if (probe >= 0) {
        close(probe);
    }
    if (answered) {
        *error = "another service answers on " + path;
        return false;
    }
    if (unlink(path.c_str()) != 0) {
        *error = system_error("cannot remove the old socket " + path, errno);
        return false;
    }
    return true;
}

bool bind_socket(const std::string& path, gid_t group, int* fd, std::string* error) {
    sockaddr_un address{};
    if (!make_address(path, &address, error)) {
        return false;
    }
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty() && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = system_error("cannot create " + dir, errno);
        return false;
    }
    if (!clear_path(path, address, error)) {
        return false;
    }
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (*fd < 0) {
        *error = system_error("cannot create a socket", errno);
        return false;
    }
    // Born 0660, so that nobody outside root and the group can ever connect.
    const mode_t saved = umask(0117);
    const int bound = bind(*fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int bind_error = errno;
    umask(saved);
    if (bound != 0) {
        *error = system_error("cannot bind " + path, bind_error);
    } else if (fchownat(AT_FDCWD, path.c_str(), 0, group, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = system_error("cannot give " + path + " to its group", errno);
        unlink(path.c_str());
    } else if (listen(*fd, BACKLOG) != 0) {
        *error = system_error("cannot listen on " + path, errno);
        unlink(path.c_str());
    } else {
        return true;
    }
    close(*fd);
    *fd = -1;
    return false;
}

}  // namespace

bool open_listen_socket(const std::string& path, gid_t group, listen_socket* out,
                        std::string* error) {
    const int handed = sd_listen_fds(1);
    if (handed < 0) {
        *error = system_error("cannot take the sockets systemd hands over", -handed);
        return false;
    }
    if (handed > 1) {
        *error = "systemd handed over " + std::to_string(handed) + " sockets, not one";
        return false;
    }
    if (handed == 1) {
        const int fd = SD_LISTEN_FDS_START;
        if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
            *error = "the socket systemd handed over is not a listening local stream socket";
            return false;
        }
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        *out = listen_socket{fd, std::string()};
        return true;
    }
    int fd = -1;
    if (!bind_socket(path, group, &fd, error)) {
        return false;
    }
    *out = listen_socket{fd, path};
    return true;
}

void close_listen_socket(listen_socket* socket) {
    if (socket->fd < 0) {
        return;
    }
    close(socket->fd);
    if (!socket->bound_path.empty()) {
        unlink(socket->bound_path.c_str());
    }
    socket->fd = -1;
}
