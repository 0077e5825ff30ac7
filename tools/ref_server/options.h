// Configuration of the reference server and its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"

struct server_options {
    std::string listen = "127.0.0.1";
    uint16_t port = 9000;             // 0: any free port
    std::string key_file;             // empty: a fresh key for this run only
    std::vector<std::string> tokens;  // empty: every token is accepted
    std::string pool = "10.8.0.0/24";
    int idle_timeout_s = 120;  // sessions silent this long are dropped
    std::string log_level = "info";
    std::string tun;      // TUN interface carrying the clients' packets; empty: echo them back
    int wire_mtu = 1500;  // longest packet one S3 message may carry (counted, not refused)
    bool offload = true;  // segmentation offload on the TUN device and UDP GSO/GRO
    fault_switches faults;
};

// Fills options from argv; false with a message in error. Sets *help for --help.
bool parse_options(int argc, const char* const* argv, server_options* options, bool* help,
                   std::string* error);

std::string usage_text(const char* program);
