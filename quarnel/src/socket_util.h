// The session's UDP socket and the one-datagram request/reply primitive.
#pragma once

#include <cstdint>
#include <string>

#include "platform_net.h"

struct socket_overlapped;

struct udp_socket {
    native_socket_t s;
    union {
        sockaddr sa;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } peer;
    int peer_len;
    socket_overlapped* io;  // the backend's records of udp_send_and_recv, where it has any
};

constexpr int IO_WAIT_MS = 3000;

// 0 IPv4 dotted quad, 1 full-form IPv6, 2 neither.
int classify_ip(const char* text);

int socket_open(const char* ip, unsigned short port, udp_socket** out);

// Sends msg; with reply and reply_len also waits for one datagram of at most *reply_len bytes.
int udp_send_and_recv(udp_socket* sock, const uint8_t* msg, int len, uint8_t* reply,
                      int* reply_len);

void socket_close(udp_socket* sock);

// Address text and port of a sockaddr of either family ("" and 0 for another family).
void describe_address(const void* address, std::string* host, uint16_t* port);

// Backend: the system socket for the peer's family, with whatever the exchanges need beside it;
// 0 or the system error.
int socket_create(udp_socket* sock);
// Text of a getaddrinfo error.
std::string resolve_error_text(int code);
