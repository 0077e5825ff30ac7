// Process-level services of the operating system that the portable core needs.
#pragma once

#include <cstdint>

namespace platform {

// Socket library start-up and clean-up (WSAStartup / WSACleanup); 0 on success.
int net_startup();
void net_cleanup();

// Per-thread COM apartment (CoInitializeEx / CoUninitialize); 0 on success.
int com_startup();
void com_cleanup();

// Last error of the calling thread (errno, GetLastError).
int last_error();

// Wall clock in whole seconds (_time64 / time).
int64_t wall_seconds();

// A monotonic clock that stands still while the machine sleeps, in milliseconds
// (QueryUnbiasedInterruptTime / CLOCK_MONOTONIC): beside the wall clock it tells a sleep.
int64_t awake_milliseconds();

}  // namespace platform
