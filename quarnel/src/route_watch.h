// Word from the system when the host's links, IPv4 addresses or IPv4 routes change, so that a
// worker can act at once rather than at its next round. What happens on the tunnel's own
// interface, and to the routes carrying the engine's tag, is the session's own doing and is
// not told.
#pragma once

#include <cstdint>

struct worker_wakeup;
struct route_watch;

// Null where the system tells nothing or the watch could not be set up (*error then holds the
// system's code, 0 where there is no such watch at all): the caller keeps to its rounds.
route_watch* route_watch_open(int32_t tunnel_if_index, int* error);
void route_watch_close(route_watch* watch);

enum class watch_result { changed, timed_out, woken, failed };

// Waits up to timeout_ms for a change, or until the wakeup is signalled; failed (with *error)
// when the watch no longer works.
watch_result route_watch_wait(route_watch* watch, worker_wakeup* wakeup, int timeout_ms,
                              int* error);
