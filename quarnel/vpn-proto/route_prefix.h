// A route in the engine's own form, as the S2 request carries it.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
// Address in network order, then the prefix length.
struct route_prefix {
    uint32_t addr;
    uint8_t prefix_len;
};
#pragma pack(pop)
static_assert(sizeof(route_prefix) == 5, "route_prefix is a 5-byte wire record");
