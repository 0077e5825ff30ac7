// What a program asks the engine to start, in start_vpn's order: filled once by the program's
// parser (the page's parameters, the command line) with the program's own values, carried as it
// is by the service's protocol, and turned into the exported call's twenty arguments in one
// place (start_call.h). Texts as the engine receives them (Latin-1); the three route lists carry
// their own counts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "route_entry.h"

struct start_record {
    std::string os_type;
    std::string client_version;
    std::string token;
    std::string uuid;
    std::string server_pk;
    std::string static_ip;
    std::string server_ip;
    int32_t server_port = 0;
    std::vector<route_entry_str_t> local_routes;
    std::vector<route_entry_str_t> remote_routes;
    std::vector<route_entry_str_t> proxy_routes;
    int32_t mtu = 0;
    int32_t upload_limit = 0;
    int32_t download_limit = 0;
    int32_t proxy_mode = 0;
    std::string dns;
    std::string backup_dns;
};

// The engine's answer to a start it can refuse from the record alone: QN_ROUTES_FAILED when a
// route record names no network (`why` says which and why), else QN_OK.
int32_t start_refusal(const start_record& record, std::string* why);
