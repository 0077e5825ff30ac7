#include "datagram_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

sockaddr_in address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

}  // namespace

datagram_relay::~datagram_relay() {
    stop();
}

bool datagram_relay::start(const char* listen_addr, uint16_t listen_port, const char* server_addr,
                           uint16_t server_port, std::string* error) {
    client_side_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    server_side_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in listen = address(listen_addr, listen_port);
    const sockaddr_in server = address(server_addr, server_port);
    if (client_side_ < 0 || server_side_ < 0 ||
        bind(client_side_, reinterpret_cast<const sockaddr*>(&listen), sizeof(listen)) != 0 ||
        connect(server_side_, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0) {
        *error = std::string("relay sockets: ") + std::strerror(errno);
        stop();
        return false;
    }
    running_ = true;
    thread_ = std::thread(&datagram_relay::run, this);
    return true;
}

void datagram_relay::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int* fd : {&client_side_, &server_side_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

std::vector<std::vector<uint8_t>> datagram_relay::from_client() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return from_client_;
}

void datagram_relay::run() {
    sockaddr_in client{};
    socklen_t client_len = 0;
    std::vector<uint8_t> buf(65536);
    pollfd fds[2] = {{client_side_, POLLIN, 0}, {server_side_, POLLIN, 0}};
    while (running_) {
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            socklen_t len = sizeof(client);
            const ssize_t n = recvfrom(client_side_, buf.data(), buf.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&client), &len);
            if (n >= 0) {
                client_len = len;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    from_client_.emplace_back(buf.begin(), buf.begin() + n);
                }
                send(server_side_, buf.data(), static_cast<size_t>(n), 0);
            }
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = recv(server_side_, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n >= 0 && client_len != 0) {
                sendto(client_side_, buf.data(), static_cast<size_t>(n), 0,
                       reinterpret_cast<const sockaddr*>(&client), client_len);
            }
        }
    }
}
