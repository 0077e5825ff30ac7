// Dotted IPv4 text and network-order addresses.
#pragma once

#include <cstdint>
#include <string>

// Dotted IPv4 text to a network-order address; 0 when the text is not an address.
uint32_t ipv4_from_text(const char* text);

// Network-order IPv4 address to dotted text.
std::string ipv4_to_text(uint32_t addr_be);
