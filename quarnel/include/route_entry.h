// A route as a program passes it to start_vpn.
#pragma once

#include <cstdint>

struct route_entry_str_t {
    char ip[16];
    int32_t bitlen;
};
static_assert(sizeof(route_entry_str_t) == 20, "route_entry_str_t is a 20-byte ABI record");
