#include "daemon_options.h"

#include <cstring>

#include "quarnel_defaults.h"

namespace {

bool known_dns_backend(const std::string& name) {
    for (const char* known : QUARNEL_DNS_BACKEND_NAMES) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string daemon_usage() {
    return std::string(
               "usage: quarneld [--socket PATH] [--group NAME] [--dns-backend NAME]\n"
               "The engine service: drives the VPN engine for programs that run without the\n"
               "rights it needs, over a local stream socket.\n"
               "  --socket PATH  the socket to serve when systemd hands none over (default ") +
           engine_service::DEFAULT_SOCKET +
           ")\n"
           "  --group NAME   the group whose members may use the service (default " +
           QUARNELD_DEFAULT_GROUP +
           ");\n"
           "                 root may always\n"
           "  --dns-backend NAME  who takes a session's DNS servers: systemd-resolved,\n"
           "                 NetworkManager, resolvconf or file (default: asked of the host\n"
           "                 at each start)\n"
           "  --help         this text\n";
}

bool parse_daemon_options(int argc, char** argv, daemon_options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            o->help = true;
            return true;
        }
        const bool socket = std::strcmp(arg, "--socket") == 0;
        const bool dns = std::strcmp(arg, "--dns-backend") == 0;
        if (!socket && !dns && std::strcmp(arg, "--group") != 0) {
            *error = std::string("unknown option '") + arg + "'";
            return false;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            *error = std::string("option '") + arg + "' needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (socket && value[0] != '/') {
            *error = "--socket needs an absolute path";
            return false;
        }
        if (dns && !known_dns_backend(value)) {
            *error = "unknown DNS backend '" + value + "'";
            return false;
        }
        (socket ? o->socket_path : dns ? o->dns_backend : o->group) = value;
    }
    return true;
}
