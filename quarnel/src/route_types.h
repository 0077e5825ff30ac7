// Route records shared by the exports, the handshake and the route table.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
// The engine's own form of a route: address in network order, then the prefix length.
struct route_prefix {
    uint32_t addr;
    uint8_t prefix_len;
};
#pragma pack(pop)
static_assert(sizeof(route_prefix) == 5, "route_prefix is a 5-byte wire record");

// A route as the client passes it.
struct route_entry_str_t {
    char ip[16];
    int32_t bitlen;
};
static_assert(sizeof(route_entry_str_t) == 20, "route_entry_str_t is a 20-byte ABI record");

// A route in the system table, as this session created it (the platform's route row).
struct route_row {
    uint32_t dest = 0;  // network order
    uint8_t prefix_len = 0;
    uint32_t gateway = 0;  // network order
    int32_t if_index = 0;
    uint32_t metric = 0;
};
