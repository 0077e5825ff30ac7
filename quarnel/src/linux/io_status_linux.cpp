#include "io_status_linux.h"

#include <cerrno>

port_status io_error_status(int error) {
    switch (error) {
        case 0:
            return port_status::done;
        case EAGAIN:
            return port_status::again;
        case ENOBUFS:
            return port_status::no_buffer;
        default:
            return port_status::failed;
    }
}
