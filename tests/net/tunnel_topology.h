// The three namespaces every end-to-end tunnel test runs in: a client, the VPN server (also
// a router) and a host on the LAN behind the server, joined only to each other.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "netns.h"
#include "ref_server.h"
#include "tcp_stream.h"
#include "tun_data_path.h"

namespace netns_test {

constexpr const char* TUNNEL_SERVER_ADDR = "172.30.0.1";
constexpr uint16_t TUNNEL_SERVER_PORT = 51820;
constexpr const char* TUNNEL_LAN_HOST = "198.51.100.2";
constexpr uint32_t TUNNEL_GATEWAY = 0x0A080001;  // 10.8.0.1, the server's TUN address

// Client 172.30.0.2 (uplink wan0, default route via the server), server 172.30.0.1 and
// 198.51.100.1 with forwarding on, LAN host 198.51.100.2.
struct tunnel_topology {
    tunnel_topology();
    netns cli, srv, lan;
};

// Starts moving `bytes` of the verified stream from one namespace to an address and port in
// another; the future holds what the receiver saw (with the sender's error if it failed).
std::future<tcp_stream::receive_result> start_verified_transfer(const netns& from, const netns& to,
                                                                const std::string& to_addr,
                                                                uint16_t port, uint64_t bytes);

// Opens the data path as qsrv0 (the gateway's /24) and starts the reference server on the
// server's port and `listen` (its IPv4 address unless told), inside srv; false with the error.
bool start_tunnel_server(const netns& srv, server_options options,
                         std::unique_ptr<tun_data_path> data, std::unique_ptr<ref_server>* server,
                         std::string* error, const char* listen = TUNNEL_SERVER_ADDR);

// The same over a real TUN device, with default options but the one token it accepts.
bool start_tunnel_server(const netns& srv, const std::string& token,
                         std::unique_ptr<ref_server>* server, std::string* error);

}  // namespace netns_test
