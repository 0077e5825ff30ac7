// Command line of the engine's command-line client.
#pragma once

#include <string>
#include <vector>

#include "route_entry.h"
#include "start_record.h"

struct cli_options {
    std::string command;  // "connect", "ping" or "cleanup"
    bool help = false;    // usage asked for: nothing else is checked
    // The server (ping: the address and port alone) and the session's values; the program's
    // own (os_type, client_version, uuid when not given) are added by the connect.
    start_record start;
    int status_interval_s = 5;
    int count = 4;
};

// Fills options from argv; false with a message in *error when the command line is wrong.
bool parse_cli_options(int argc, char** argv, cli_options* options, std::string* error);

// "10.0.0.0/8" to a route record; false when it names no network (route_entry_check.h).
bool parse_route(const std::string& text, route_entry_str_t* route);

std::string cli_usage();
