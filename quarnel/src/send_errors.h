// How a failed send to the server is taken. The path to the server comes and goes (an
// uplink's address renewed, a roam, a link that flaps, a firewall's rule): while it is gone a
// datagram is lost as on a silent path, and the keepalive alone decides whether the server is
// gone. What only a broken socket or a fault of the engine can cause stays fatal: no later
// send would do better, and the session ends at once with the reason in the log.
#pragma once

#include "packet_io.h"

// again, no_buffer, unreachable or failed for the system's error code of a send.
port_status send_error_status(int error);
