#include "socket_util.h"

#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "engine_log.h"
#include "route_entry_check.h"

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
        uint8_t address[4] = {};
        return parse_dotted_quad(text, address) ? 0 : 2;
    }
    std::vector<std::string> parts = split(s, ':');
    return parts.size() == 8 && all_parts(parts, is_ipv6_part) ? 1 : 2;
}

namespace {

// Resolves an IPv6 literal into the peer; 0 or the getaddrinfo error.
int resolve_ipv6(const char* ip, unsigned short port, udp_socket* sock) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(ip, std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        return rc;
    }
    std::memcpy(&sock->peer, list->ai_addr, list->ai_addrlen);
    sock->peer_len = static_cast<int>(list->ai_addrlen);
    freeaddrinfo(list);
    return 0;
}

}  // namespace

void describe_address(const void* address, std::string* host, uint16_t* port) {
    const auto* addr = static_cast<const sockaddr_storage*>(address);
    char text[INET6_ADDRSTRLEN] = {};
    *port = 0;
    if (addr->ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
        *port = ntohs(a->sin_port);
    } else if (addr->ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
        *port = ntohs(a->sin6_port);
    }
    *host = text;
}

int socket_open(const char* ip, unsigned short port, udp_socket** out) {
    *out = nullptr;
    if (ip == nullptr || *ip == '\0' || port == 0) {
        QN_ERROR("Param error");
        return -1;
    }
    int kind = 0;
    udp_socket* sock = nullptr;
    try {
        kind = classify_ip(ip);
        if (kind == 0 || kind == 1) {
            sock = new udp_socket{};
        }
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return -1;
    }
    if (sock == nullptr) {
        QN_ERROR("Param error");
        return -1;
    }
    sock->s = NO_SOCKET;
    if (kind == 0) {
        sock->peer.v4.sin_family = AF_INET;
        sock->peer.v4.sin_port = htons(port);
        inet_pton(AF_INET, ip, &sock->peer.v4.sin_addr);
        sock->peer_len = sizeof(sockaddr_in);
    } else if (const int rc = resolve_ipv6(ip, port, sock); rc != 0) {
        QN_ERROR("getaddrinfo error: {}", resolve_error_text(rc));
        socket_close(sock);
        return -1;
    }
    if (const int error = socket_create(sock); error != 0) {
        QN_ERROR("WSASocket failed with error: {}.", error);
        socket_close(sock);
        return -1;
    }
    *out = sock;
    return 0;
}
