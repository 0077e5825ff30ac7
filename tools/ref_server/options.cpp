#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <functional>
#include <map>

#include "protocol.h"

namespace {

constexpr const char* DEFAULT_KEY_FILE = "ref_server.key";

template <typename T>
bool parse_number(const std::string& text, T min, T max, T* out) {
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < min || value > max)
        return false;
    *out = value;
    return true;
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        if (comma > start)
            items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

}  // namespace

bool parse_options(int argc, const char* const* argv, server_options* options, bool* help,
                   std::string* error) {
    *help = false;
    options->key_file = DEFAULT_KEY_FILE;
    fault_switches& faults = options->faults;

    const std::map<std::string, bool*> flags = {
        {"--drop-s1", &faults.drop_s1},           {"--drop-s2", &faults.drop_s2},
        {"--drop-s4", &faults.drop_s4},           {"--fail-s1", &faults.fail_s1},
        {"--fail-s2", &faults.fail_s2},           {"--foreign-key", &faults.foreign_key},
        {"--stale-s2-seq", &faults.stale_s2_seq},
    };

    // Each option with a value parses it and says whether it was acceptable.
    using value_parser = std::function<bool(const std::string&)>;
    auto text = [](std::string* field) -> value_parser {
        return [field](const std::string& v) {
            *field = v;
            return !v.empty();
        };
    };
    auto number = [](auto* field, auto min, auto max) -> value_parser {
        return [=](const std::string& v) { return parse_number(v, min, max, field); };
    };
    const std::map<std::string, value_parser> valued = {
        {"--listen", text(&options->listen)},
        {"--port", number(&options->port, uint16_t{0}, uint16_t{65535})},
        {"--key-file", text(&options->key_file)},
        {"--tokens",
         [&](const std::string& v) {
             options->tokens = split_list(v);
             return true;
         }},
        {"--pool", text(&options->pool)},
        {"--idle-timeout", number(&options->idle_timeout_s, 1, 86400)},
        {"--log-level", text(&options->log_level)},
        {"--tun", text(&options->tun)},
        {"--wire-mtu", number(&options->wire_mtu, 68, 65535)},
        {"--signed-reply-len", number(&faults.signed_reply_len, 80, CONTROL_BUF_LEN)},
        {"--delay-ms", number(&faults.delay_ms, 0, 600000)},
        {"--silent-after", number(&faults.silent_after, int64_t{0}, INT64_MAX)},
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            *help = true;
            return true;
        }
        if (arg == "--no-offload") {
            options->offload = false;
            continue;
        }
        if (auto flag = flags.find(arg); flag != flags.end()) {
            *flag->second = true;
            continue;
        }
        auto option = valued.find(arg);
        if (option == valued.end()) {
            *error = "unknown option " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *error = arg + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (!option->second(value)) {
            *error = "bad value for " + arg + ": " + value;
            return false;
        }
    }
    return true;
}

std::string usage_text(const char* program) {
    return std::string("usage: ") + program +
           " [options]\n"
           "  --listen ADDR          IPv4 or IPv6 address to listen on (127.0.0.1)\n"
           "  --port N               UDP port, 0 for any free one (9000)\n"
           "  --key-file F           Ed25519 key file, created on first run (ref_server.key)\n"
           "  --tokens a,b           accepted user tokens (default: every token)\n"
           "  --pool CIDR            tunnel address pool, gateway .1 (10.8.0.0/24)\n"
           "  --idle-timeout S       drop sessions silent this many seconds (120)\n"
           "  --log-level L          trace, debug, info, warn, error, off (info)\n"
           "  --tun NAME             carry the clients' packets through this TUN interface,\n"
           "                         whose address is the pool's gateway (default: echo them)\n"
           "  --no-offload           one packet per read, write and datagram: no segmentation\n"
           "                         offload on the TUN device, no UDP GSO or GRO (also with\n"
           "                         QUARNEL_OFFLOAD=0 in the environment)\n"
           "  --wire-mtu N           longest packet a client's S3 message should carry; longer\n"
           "                         ones are counted in the wire check (1500)\n"
           "faults:\n"
           "  --drop-s1 | --drop-s2 | --drop-s4  never answer S1 / S2 / S4\n"
           "  --fail-s1 | --fail-s2  answer S1 / S2 with status 1\n"
           "  --foreign-key          sign S1 and S4 replies with another key\n"
           "  --signed-reply-len N   total length of S1 and S4 replies (120)\n"
           "  --stale-s2-seq         answer S2 with a sequence number below the S1 one\n"
           "  --delay-ms N           hold every reply back N ms\n"
           "  --silent-after N       ignore every datagram after the first N\n";
}
