// The Linux data port's waits for a descriptor or the session's stop: one sleep in the kernel
// until there is work, so that light traffic costs a wake-up per packet and an idle session
// none.
#pragma once

#include "data_ports.h"

// Up to timeout_ms (negative: no limit) for events on fd or for input on wakeup_fd (-1: none).
port_wait wait_fd(int fd, short events, int wakeup_fd, int timeout_ms, int* error);
