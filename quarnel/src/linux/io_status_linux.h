// What a device or socket call's errno means to the data workers.
#pragma once

#include "packet_io.h"

// done for 0, again for EAGAIN, no_buffer for ENOBUFS, failed for anything else.
port_status io_error_status(int error);
