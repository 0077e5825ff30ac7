// Whether a route record names a network. The engine's start, the service and the client's
// parameters hold every record to this one rule, so that a bad record is refused wherever it
// comes in instead of being bent into another route.
#pragma once

#include <cstdint>
#include <string>

#include "route_entry.h"

enum class route_fault { none, not_ipv4, prefix_out_of_range, host_bits_set };

// Exactly four decimal parts of 0 to 255, each without leading zeros, into the address's bytes
// in network order; false for any other text.
bool parse_dotted_quad(const char* text, uint8_t address[4]);

// What is wrong with the record; for a good one, `address` gets its bytes in network order.
route_fault check_route_entry(const route_entry_str_t& entry, uint8_t address[4]);

// The fault in words, for a log line ("not an IPv4 address", ...); empty for none.
const char* route_fault_text(route_fault fault);

// The record's address text as far as it goes within its 16 bytes, every byte that is not
// printable ASCII shown as '?': fit for a log line whatever the record holds.
std::string route_entry_address(const route_entry_str_t& entry);
