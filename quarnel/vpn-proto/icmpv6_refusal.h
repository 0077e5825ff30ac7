// The answer to an IPv6 packet that the tunnel will not carry: an ICMPv6 "destination
// unreachable, administratively prohibited", so that the sender fails at once instead of
// waiting for a time-out.
#pragma once

#include <cstddef>
#include <cstdint>

// No answer is larger: the minimum IPv6 MTU, which every link on the way back can carry.
constexpr size_t ICMPV6_REFUSAL_MAX = 1280;

// Writes the answer to the n bytes at packet into out (room for ICMPV6_REFUSAL_MAX bytes) and
// returns its length; 0 when the packet gets none: not one whole IPv6 packet, an ICMPv6 error
// message, a multicast destination, an unspecified or multicast source, or a fragment other
// than the first (whose upper layer cannot be told).
size_t icmpv6_refusal(const uint8_t* packet, size_t n, uint8_t* out);
