// quarneld's command line.
#pragma once

#include <string>

#include "service_protocol.h"

struct daemon_options {
    bool help = false;
    std::string socket_path = engine_service::DEFAULT_SOCKET;
    std::string group = QUARNELD_DEFAULT_GROUP;
    std::string dns_backend;  // empty: the engine asks the host at each start
};

// Fills options from argv; false with a message in *error when the command line is wrong.
bool parse_daemon_options(int argc, char** argv, daemon_options* options, std::string* error);

std::string daemon_usage();
