#include "session_config.h"

#include <cstring>

#include "hex_text.h"
#include "ipv4_text.h"

namespace {
constexpr size_t server_pk_text_len = 64;
}

bool decode_server_pk(const char* text, uint8_t out[32], std::string* error) {
    const size_t len = strnlen(text, server_pk_text_len);
    if (len < server_pk_text_len) {
        *error = "expected 64 hexadecimal characters, got " + std::to_string(len);
        return false;
    }
    return hex_decode(text, server_pk_text_len, out, error);
}

std::vector<route_prefix> to_prefixes(const route_entry_str_t* routes, int count) {
    std::vector<route_prefix> prefixes;
    if (routes == nullptr || count <= 0) {
        return prefixes;
    }
    prefixes.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        char ip[sizeof(routes[i].ip) + 1] = {};
        std::memcpy(ip, routes[i].ip, sizeof(routes[i].ip));
        prefixes.push_back({ipv4_from_text(ip), static_cast<uint8_t>(routes[i].bitlen & 0xFF)});
    }
    return prefixes;
}
