// start_vpn called with the values of a start request, as an in-process caller passes them:
// for the service, which makes the call for its clients, and for a program that runs as root.
#pragma once

#include <vector>

#include "quarnel_api.h"
#include "service_protocol.h"

namespace engine_service {

inline int start_vpn_with(const start_values& v) {
    // An empty list goes with count 0, so the engine never reads its pointer.
    const auto list = [](const std::vector<route_entry_str_t>& routes) {
        return routes.empty() ? nullptr : routes.data();
    };
    const auto count = [](const std::vector<route_entry_str_t>& routes) {
        return static_cast<int>(routes.size());
    };
    return start_vpn(v.os_type.c_str(), v.client_version.c_str(), v.token.c_str(), v.uuid.c_str(),
                     v.server_pk.c_str(), v.static_ip.c_str(), v.server_ip.c_str(), v.server_port,
                     list(v.local_routes), count(v.local_routes), list(v.remote_routes),
                     count(v.remote_routes), list(v.proxy_routes), count(v.proxy_routes), v.mtu,
                     v.upload_limit, v.download_limit, v.proxy_mode, v.dns.c_str(),
                     v.backup_dns.c_str());
}

}  // namespace engine_service
