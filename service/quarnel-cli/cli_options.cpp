#include "cli_options.h"

#include <cstring>
#include <functional>
#include <limits>
#include <map>

#include "quarnel_defaults.h"
#include "route_entry_check.h"

namespace {

bool parse_int(const std::string& text, int min, int max, int* out) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    if (used != text.size() || value < min || value > max) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

// The engine's own rule for a dotted quad, as route records are read.
bool is_ipv4(const std::string& text) {
    uint8_t address[4] = {};
    return parse_dotted_quad(text.c_str(), address);
}

// Only where an option name is expected: "--help" may well be some option's value.
bool is_help(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

}  // namespace

bool parse_route(const std::string& text, route_entry_str_t* route) {
    const size_t slash = text.find('/');
    route_entry_str_t entry{};
    if (slash == std::string::npos || slash >= sizeof(entry.ip) ||
        !parse_int(text.substr(slash + 1), std::numeric_limits<int>::min(),
                   std::numeric_limits<int>::max(), &entry.bitlen)) {
        return false;
    }
    std::memcpy(entry.ip, text.data(), slash);
    uint8_t network[4] = {};
    if (check_route_entry(entry, network) != route_fault::none) {
        return false;
    }
    *route = entry;
    return true;
}

std::string cli_usage() {
    return "usage:\n"
           "  quarnel-cli connect --server ADDR --port N --server-key HEX64 --token TEXT\n"
           "              [--uuid TEXT] [--static-ip IPV4] [--mode split|proxy]\n"
           "              [--local-route CIDR]... [--remote-route CIDR]... [--proxy-route "
           "CIDR]...\n"
           "              [--dns IPV4] [--backup-dns IPV4] [--mtu N]\n"
           "              [--upload-limit BYTES_PER_S] [--download-limit BYTES_PER_S]\n"
           "              [--status-interval SECONDS]\n"
           "  quarnel-cli ping --server ADDR --port N [--count N]\n"
           "  quarnel-cli cleanup\n"
           "  quarnel-cli --help\n"
           "connect runs until SIGINT or SIGTERM, then disconnects. As root it drives the\n"
           "engine itself; otherwise the service quarneld does, at $QUARNEL_SOCKET or\n"
           "/run/quarnel/engine.sock.\n";
}

namespace {

// Reads an option's value into its place; false with the reason in the error text.
using value_reader = std::function<bool(const std::string&)>;

value_reader route_list(std::vector<route_entry_str_t>* list, std::string* error) {
    return [list, error](const std::string& v) {
        route_entry_str_t route{};
        if (!parse_route(v, &route)) {
            *error = "'" + v + "' is not an IPv4 prefix such as 10.0.0.0/8";
            return false;
        }
        list->push_back(route);
        return true;
    };
}

value_reader number(int* out, int min, int max, std::string* error) {
    return [out, min, max, error](const std::string& v) {
        if (!parse_int(v, min, max, out)) {
            *error = "'" + v + "' is not a number from " + std::to_string(min) + " to " +
                     std::to_string(max);
            return false;
        }
        return true;
    };
}

value_reader text(std::string* out) {
    return [out](const std::string& v) {
        *out = v;
        return true;
    };
}

value_reader address(std::string* out, std::string* error) {
    return [out, error](const std::string& v) {
        if (!is_ipv4(v)) {
            *error = "'" + v + "' is not an IPv4 address";
            return false;
        }
        *out = v;
        return true;
    };
}

value_reader mode(int32_t* proxy_mode, std::string* error) {
    return [proxy_mode, error](const std::string& v) {
        if (v != "split" && v != "proxy") {
            *error = "--mode takes split or proxy";
            return false;
        }
        *proxy_mode = v == "proxy" ? 1 : 0;
        return true;
    };
}

// Every option of connect and ping, with where its value goes.
std::map<std::string, value_reader> option_readers(cli_options* o, std::string* error) {
    start_record& s = o->start;
    return {
        {"--server", text(&s.server_ip)},
        {"--port", number(&s.server_port, 1, 65535, error)},
        {"--server-key", text(&s.server_pk)},
        {"--token", text(&s.token)},
        {"--uuid", text(&s.uuid)},
        {"--static-ip", address(&s.static_ip, error)},
        {"--local-route", route_list(&s.local_routes, error)},
        {"--remote-route", route_list(&s.remote_routes, error)},
        {"--proxy-route", route_list(&s.proxy_routes, error)},
        {"--mode", mode(&s.proxy_mode, error)},
        {"--dns", address(&s.dns, error)},
        {"--backup-dns", address(&s.backup_dns, error)},
        {"--mtu", number(&s.mtu, 68, 65535, error)},
        {"--upload-limit", number(&s.upload_limit, 0, 2147483647, error)},
        {"--download-limit", number(&s.download_limit, 0, 2147483647, error)},
        {"--status-interval", number(&o->status_interval_s, 1, 3600, error)},
        {"--count", number(&o->count, 1, 1000000, error)},
    };
}

}  // namespace

bool parse_cli_options(int argc, char** argv, cli_options* o, std::string* error) {
    if (argc >= 2 && is_help(argv[1])) {
        o->help = true;
        return true;
    }
    if (argc < 2) {
        *error = "missing command";
        return false;
    }
    o->command = argv[1];
    if (o->command == "cleanup") {
        if (argc > 2 && is_help(argv[2])) {
            o->help = true;
        } else if (argc > 2) {
            *error = std::string("cleanup takes no option, got '") + argv[2] + "'";
            return false;
        }
        return true;
    }
    if (o->command != "connect" && o->command != "ping") {
        *error = "unknown command '" + o->command + "'";
        return false;
    }
    o->start.mtu = QUARNEL_DEFAULT_MTU;
    const std::map<std::string, value_reader> readers = option_readers(o, error);
    for (int i = 2; i < argc; ++i) {
        if (is_help(argv[i])) {
            o->help = true;
            return true;
        }
        auto it = readers.find(argv[i]);
        if (it == readers.end()) {
            *error = std::string("unknown option '") + argv[i] + "'";
            return false;
        }
        if (i + 1 >= argc) {
            *error = std::string("option '") + argv[i] + "' needs a value";
            return false;
        }
        if (!it->second(argv[++i])) {
            return false;
        }
    }
    if (o->start.server_ip.empty() || o->start.server_port == 0) {
        *error = "--server and --port are required";
        return false;
    }
    if (o->command == "connect" && (o->start.server_pk.empty() || o->start.token.empty())) {
        *error = "connect needs --server-key and --token";
        return false;
    }
    return true;
}
