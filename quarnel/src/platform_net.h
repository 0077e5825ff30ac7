// Socket headers and address helpers for the portable core.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using native_socket_t = SOCKET;
constexpr native_socket_t NO_SOCKET = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
using native_socket_t = int;
constexpr native_socket_t NO_SOCKET = -1;
#endif

#include <cstdint>
#include <string>

// Dotted IPv4 text to a network-order address; 0 when the text is not an address.
uint32_t ipv4_from_text(const char* text);

// Network-order IPv4 address to dotted text.
std::string ipv4_to_text(uint32_t addr_be);
