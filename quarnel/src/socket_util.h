// The session's UDP socket and the one-datagram request/reply primitive.
#pragma once

#include <cstdint>

#include "platform_net.h"

struct udp_socket {
    native_socket_t s;
    union {
        sockaddr sa;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } peer;
    int peer_len;
};

constexpr int IO_WAIT_MS = 3000;

// 0 IPv4 dotted quad, 1 full-form IPv6, 2 neither.
int classify_ip(const char* text);

int socket_open(const char* ip, unsigned short port, udp_socket** out);

// Sends msg; with reply and reply_len also waits for one datagram of at most *reply_len bytes.
int udp_send_and_recv(udp_socket* sock, const uint8_t* msg, int len, uint8_t* reply,
                      int* reply_len);

void socket_close(udp_socket* sock);
