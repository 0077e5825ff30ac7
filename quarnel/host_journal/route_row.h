// A route in the system table, as this session created it (the platform's route row).
#pragma once

#include <cstdint>

struct route_row {
    uint32_t dest = 0;  // network order
    uint8_t prefix_len = 0;
    uint32_t gateway = 0;  // network order
    int32_t if_index = 0;
    uint32_t metric = 0;
    // Where the system ranks a route by its own metric plus its interface's (Windows), the
    // interface's part; a route is made and matched by `metric` alone.
    uint32_t interface_metric = 0;
};

// An interface's metric setting, under a name that outlives a restart: the interface's LUID on
// Windows, where indexes are handed out anew at boot; its index on Linux, where the setting
// lives only in this process.
struct interface_metric_setting {
    uint64_t interface_id = 0;
    bool automatic = true;
    uint32_t metric = 0;  // the system's choice where automatic
};

// An IPv6 route of this session: onto an interface (the host's IPv6 held in the tunnel), or
// through a gateway on it (an IPv6 server kept outside). Its metric is the system's default.
struct route6_row {
    uint8_t dest[16] = {};
    uint8_t prefix_len = 0;
    int32_t if_index = 0;
    uint8_t gateway[16] = {};  // all zero: none
};

inline bool has_gateway(const route6_row& row) {
    for (uint8_t byte : row.gateway) {
        if (byte != 0) {
            return true;
        }
    }
    return false;
}
