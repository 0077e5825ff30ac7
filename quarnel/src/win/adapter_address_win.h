// The adapter's new address as the system hands it out.
#pragma once

#include <chrono>
#include <cstdint>

// Waits, at most `bound`, until the adapter's address (network order) is usable: the system
// refuses routes through an adapter whose address is still being checked or not yet applied.
// False, logged, when the bound passed; the routes' own errors then tell what followed.
bool wait_for_adapter_address(int32_t if_index, uint32_t address,
                              std::chrono::milliseconds bound = std::chrono::seconds(10));
