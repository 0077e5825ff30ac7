// What a session is asked to be, built once from the arguments of start_vpn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "route_entry.h"
#include "route_prefix.h"
#include "start_record.h"

struct session_config {
    // The values as start_vpn was given them, the port to its 16 bits; the key and the route
    // lists are kept decoded below instead.
    start_record given;
    uint8_t server_pk[32] = {};
    std::vector<route_prefix> local_routes;
    std::vector<route_prefix> remote_routes;
    std::vector<route_prefix> proxy_routes;

    bool proxy() const { return given.proxy_mode == 1; }
};

// Decodes the 64 hexadecimal characters of the server key; false with the reason otherwise.
bool decode_server_pk(const char* text, uint8_t out[32], std::string* error);

// The client's route records in the engine's form, in their order into `out`; false at the
// first record that names no network, which the log names.
bool to_prefixes(const route_entry_str_t* routes, int count, std::vector<route_prefix>* out);
