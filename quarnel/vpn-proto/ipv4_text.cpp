#include "ipv4_text.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

uint32_t ipv4_from_text(const char* text) {
    in_addr addr{};
    if (text == nullptr || inet_pton(AF_INET, text, &addr) != 1) {
        return 0;
    }
    return addr.s_addr;
}

std::string ipv4_to_text(uint32_t addr_be) {
    in_addr addr{};
    addr.s_addr = addr_be;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &addr, text, sizeof(text)) == nullptr) {
        return std::string();
    }
    return text;
}
