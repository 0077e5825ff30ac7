#include "tunnel_topology.h"

#include <gtest/gtest.h>

#include <chrono>

namespace netns_test {

tunnel_topology::tunnel_topology() {
    connect(cli, "wan0", srv, "cli0");
    connect(srv, "lan0", lan, "eth0");
    cli.ip("addr add 172.30.0.2/24 dev wan0");
    srv.ip("addr add 172.30.0.1/24 dev cli0");
    srv.ip("addr add 198.51.100.1/24 dev lan0");
    lan.ip("addr add 198.51.100.2/24 dev eth0");
    cli.ip("route add default via 172.30.0.1");
    lan.ip("route add default via 198.51.100.1");
    srv.set_forwarding("1");
}

std::future<tcp_stream::receive_result> start_verified_transfer(const netns& from, const netns& to,
                                                                const std::string& to_addr,
                                                                uint16_t port, uint64_t bytes) {
    std::string error;
    int listener = -1;
    {
        netns_scope in_receiver(to);
        listener = tcp_stream::listen_on(port, &error);
    }
    EXPECT_GE(listener, 0) << error;
    auto receiver = std::async(std::launch::async, [listener] {
        return tcp_stream::receive_verified(listener, std::chrono::seconds(30));
    });
    return std::async(std::launch::async,
                      [&from, to_addr, port, bytes, receiver = std::move(receiver)]() mutable {
                          std::string send_error;
                          {
                              netns_scope in_sender(from);
                              tcp_stream::send_stream(to_addr, port, bytes, &send_error);
                          }
                          auto result = receiver.get();
                          if (!result.verified) {
                              result.error += " / " + send_error;
                          }
                          return result;
                      });
}

bool start_tunnel_server(const netns& srv, server_options options,
                         std::unique_ptr<tun_data_path> data, std::unique_ptr<ref_server>* server,
                         std::string* error, const char* listen) {
    options.listen = listen;
    options.port = TUNNEL_SERVER_PORT;
    netns_scope in_server(srv);
    if (!data->open("qsrv0", TUNNEL_GATEWAY, 24, 1500, error)) {
        return false;
    }
    *server = std::make_unique<ref_server>(options, std::move(data));
    return (*server)->start(error);
}

bool start_tunnel_server(const netns& srv, const std::string& token,
                         std::unique_ptr<ref_server>* server, std::string* error) {
    server_options options;
    options.tokens = {token};
    return start_tunnel_server(srv, options, std::make_unique<tun_data_path>(), server, error);
}

}  // namespace netns_test
