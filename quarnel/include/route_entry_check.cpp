#include "route_entry_check.h"

#include <cstring>

bool parse_dotted_quad(const char* text, uint8_t address[4]) {
    if (text == nullptr) {
        return false;
    }
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') {
            return false;
        }
        const char* digits = p;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9' && p - digits < 3) {
            value = value * 10 + static_cast<unsigned>(*p++ - '0');
        }
        // Some parsers read "010" as octal 8: a leading zero has no single meaning.
        const bool leading_zero = p - digits > 1 && *digits == '0';
        if (p == digits || leading_zero || value > 255 || (*p >= '0' && *p <= '9')) {
            return false;
        }
        address[part] = static_cast<uint8_t>(value);
    }
    return *p == '\0';
}

route_fault check_route_entry(const route_entry_str_t& entry, uint8_t address[4]) {
    // A record without its terminator holds no text at all.
    if (std::memchr(entry.ip, '\0', sizeof(entry.ip)) == nullptr ||
        !parse_dotted_quad(entry.ip, address)) {
        return route_fault::not_ipv4;
    }
    if (entry.bitlen < 0 || entry.bitlen > 32) {
        return route_fault::prefix_out_of_range;
    }
    const uint32_t value = static_cast<uint32_t>(address[0]) << 24 |
                           static_cast<uint32_t>(address[1]) << 16 |
                           static_cast<uint32_t>(address[2]) << 8 | address[3];
    // Shifted as 64 bits: a 32-bit shift by 32 is undefined.
    const auto host_mask = static_cast<uint32_t>(0xFFFFFFFFull >> entry.bitlen);
    return (value & host_mask) != 0 ? route_fault::host_bits_set : route_fault::none;
}

const char* route_fault_text(route_fault fault) {
    switch (fault) {
        case route_fault::none:
            return "";
        case route_fault::not_ipv4:
            return "not an IPv4 address";
        case route_fault::prefix_out_of_range:
            return "prefix length out of range";
        case route_fault::host_bits_set:
            return "host bits set";
    }
    return "";
}

std::string route_entry_address(const route_entry_str_t& entry) {
    std::string text;
    for (const char c : entry.ip) {
        if (c == '\0') {
            break;
        }
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}
