#include <arpa/inet.h>

#include <cerrno>
#include <sstream>

#include "resolver.h"

int parse_servers(const char* dns, const char* backup_dns, std::vector<std::string>* servers) {
    servers->clear();
    for (const char* server : {dns, backup_dns}) {
        if (server == nullptr || *server == '\0') {
            continue;
        }
        unsigned char buffer[sizeof(in6_addr)];
        if (inet_pton(AF_INET, server, buffer) != 1 && inet_pton(AF_INET6, server, buffer) != 1) {
            return EINVAL;
        }
        servers->push_back(server);
    }
    return 0;
}

std::string join_servers(const std::vector<std::string>& servers) {
    std::string joined;
    for (const std::string& server : servers) {
        joined += (joined.empty() ? "" : ",") + server;
    }
    return joined;
}

std::vector<std::string> split_servers(const std::string& joined) {
    std::vector<std::string> servers;
    std::istringstream in(joined);
    for (std::string server; std::getline(in, server, ',');) {
        servers.push_back(server);
    }
    return servers;
}
