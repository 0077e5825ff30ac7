#include "session_config.h"

#include <cstring>

#include "engine_log.h"
#include "hex_text.h"
#include "route_entry_check.h"

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

bool to_prefixes(const route_entry_str_t* routes, int count, std::vector<route_prefix>* out) {
    out->clear();
    if (routes == nullptr || count <= 0) {
        return true;
    }
    out->reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        uint8_t address[4] = {};
        const route_fault fault = check_route_entry(routes[i], address);
        if (fault != route_fault::none) {
            QN_ERROR("Refused route {}/{}: {}.", route_entry_address(routes[i]), routes[i].bitlen,
                     route_fault_text(fault));
            return false;
        }
        route_prefix prefix{};
        std::memcpy(&prefix.addr, address, sizeof(address));
        prefix.prefix_len = static_cast<uint8_t>(routes[i].bitlen);
        out->push_back(prefix);
    }
    return true;
}
