// Command line of the engine's command-line client.
#pragma once

#include <string>
#include <vector>

#include "quarnel_defaults.h"
#include "route_entry.h"

struct cli_options {
    std::string command;  // "connect", "ping" or "cleanup"
    bool help = false;    // usage asked for: nothing else is checked
    std::string server;
    int port = 0;
    std::string server_key;
    std::string token;
    std::string uuid;
    std::string static_ip;
    std::vector<route_entry_str_t> local_routes;
    std::vector<route_entry_str_t> remote_routes;
    std::vector<route_entry_str_t> proxy_routes;
    bool proxy_mode = false;
    std::string dns;
    std::string backup_dns;
    int mtu = QUARNEL_DEFAULT_MTU;
    int upload_limit = 0;
    int download_limit = 0;
    int status_interval_s = 5;
    int count = 4;
};

// Fills options from argv; false with a message in *error when the command line is wrong.
bool parse_cli_options(int argc, char** argv, cli_options* options, std::string* error);

// "10.0.0.0/8" to a route record; false when it names no network (route_entry_check.h).
bool parse_route(const std::string& text, route_entry_str_t* route);

std::string cli_usage();
