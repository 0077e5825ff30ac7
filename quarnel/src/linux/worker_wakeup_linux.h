// The stop's wake-up on Linux: an eventfd that the stop makes readable for good, which every
// wait of the session's threads polls beside what it waits for.
#pragma once

struct worker_wakeup {
    int fd;
};
