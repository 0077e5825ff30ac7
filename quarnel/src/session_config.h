// What a session is asked to be, built once from the arguments of start_vpn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "route_entry.h"
#include "route_prefix.h"

struct session_config {
    std::string os_type;
    std::string client_version;
    std::string token;
    std::string uuid;
    uint8_t server_pk[32] = {};
    std::string static_ip;
    std::string server_ip;
    uint16_t server_port = 0;
    std::vector<route_prefix> local_routes;
    std::vector<route_prefix> remote_routes;
    std::vector<route_prefix> proxy_routes;
    int mtu = 0;
    int32_t upload_limit = 0;
    int32_t download_limit = 0;
    bool proxy_mode = false;
    std::string dns;
    std::string backup_dns;
};

// Decodes the 64 hexadecimal characters of the server key; false with the reason otherwise.
bool decode_server_pk(const char* text, uint8_t out[32], std::string* error);

// The client's route records in the engine's form, in their order into `out`; false at the
// first record that names no network, which the log names.
bool to_prefixes(const route_entry_str_t* routes, int count, std::vector<route_prefix>* out);
