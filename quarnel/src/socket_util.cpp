#include "socket_util.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos - start));
        if (pos == std::string::npos) {
            return parts;
        }
        start = pos + 1;
    }
}

bool is_ipv4_part(const std::string& part) {
    if (part.empty() || part.size() > 3) {
        return false;
    }
    for (char c : part) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    int value = std::stoi(part);
    // "0" passes, "01" does not: the part must be the value's own decimal text.
    return value <= 255 && std::to_string(value) == part;
}

bool is_ipv6_part(const std::string& part) {
    if (part.empty() || part.size() > 4) {
        return false;
    }
    for (char c : part) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}

bool all_parts(const std::vector<std::string>& parts, bool (*check)(const std::string&)) {
    for (const std::string& part : parts) {
        if (!check(part)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int classify_ip(const char* text) {
    if (text == nullptr) {
        return 2;
    }
    const std::string s(text);
    size_t first = s.find_first_of(".:");
    if (first == std::string::npos) {
        return 2;
    }
    if (s[first] == '.') {
        std::vector<std::string> parts = split(s, '.');
        return parts.size() == 4 && all_parts(parts, is_ipv4_part) ? 0 : 2;
    }
    std::vector<std::string> parts = split(s, ':');
    return parts.size() == 8 && all_parts(parts, is_ipv6_part) ? 1 : 2;
}
