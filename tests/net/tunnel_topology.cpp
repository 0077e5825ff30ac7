#include "tunnel_topology.h"

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

bool start_tunnel_server(const netns& srv, server_options options,
                         std::unique_ptr<tun_data_path> data, std::unique_ptr<ref_server>* server,
                         std::string* error) {
    options.listen = TUNNEL_SERVER_ADDR;
    options.port = TUNNEL_SERVER_PORT;
    netns_scope in_server(srv);
    if (!data->open("qsrv0", TUNNEL_GATEWAY, 24, 1500, error)) {
        return false;
    }
    *server = std::make_unique<ref_server>(options, std::move(data));
    return (*server)->start(error);
}

}  // namespace netns_test
