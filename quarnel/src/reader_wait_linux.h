// The Linux data port's waits for a descriptor or the session's stop. A reader that has just
// had traffic waits in 1 ms slices for a while instead of in one long sleep: where a processor
// that has slept for long wakes slowly (virtual machines above all), the slices keep the next
// packet's wake-up cheap. They end soon after the traffic does, so an idle session does not
// wake at all.
#pragma once

#include <chrono>

#include "data_ports.h"

// How long a reader waits in slices after its descriptor was last ready.
constexpr std::chrono::milliseconds READER_LINGER{20};

// One reader's record of its last traffic; only that reader's waits use it.
struct reader_linger {
    std::chrono::steady_clock::time_point last_ready{};
};

// Up to timeout_ms (negative: no limit) for events on fd or for input on wakeup_fd (-1: none).
// With a linger: in slices while it lasts, and renewed when fd is found ready.
port_wait wait_fd(int fd, short events, int wakeup_fd, int timeout_ms, int* error,
                  reader_linger* linger = nullptr);
