// start_vpn called with a start record: the one place the record becomes the exported call's
// twenty arguments, for every in-process caller (the service for its clients, a program that
// runs with the engine's rights).
#pragma once

#include <vector>

#include "quarnel_api.h"
#include "start_record.h"

inline int start_vpn_with(const start_record& r) {
    // An empty list goes with count 0, so the engine never reads its pointer.
    const auto list = [](const std::vector<route_entry_str_t>& routes) {
        return routes.empty() ? nullptr : routes.data();
    };
    const auto count = [](const std::vector<route_entry_str_t>& routes) {
        return static_cast<int>(routes.size());
    };
    return start_vpn(r.os_type.c_str(), r.client_version.c_str(), r.token.c_str(), r.uuid.c_str(),
                     r.server_pk.c_str(), r.static_ip.c_str(), r.server_ip.c_str(), r.server_port,
                     list(r.local_routes), count(r.local_routes), list(r.remote_routes),
                     count(r.remote_routes), list(r.proxy_routes), count(r.proxy_routes), r.mtu,
                     r.upload_limit, r.download_limit, r.proxy_mode, r.dns.c_str(),
                     r.backup_dns.c_str());
}
