// The socket quarneld serves: the one systemd hands over (socket activation), else one it binds
// itself, reachable by root and the allowed group only.
#pragma once

#include <sys/types.h>

#include <string>

struct listen_socket {
    int fd = -1;
    // Empty when systemd handed the socket over; then it is systemd's to remove.
    std::string bound_path;
};

// false with the reason in *error.
bool open_listen_socket(const std::string& path, gid_t group, listen_socket* out,
                        std::string* error);
void close_listen_socket(listen_socket* socket);
