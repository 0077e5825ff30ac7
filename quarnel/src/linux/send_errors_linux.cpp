#include <cerrno>

#include "io_status_linux.h"
#include "send_errors.h"

port_status send_error_status(int error) {
    switch (error) {
        // No route to the server: the uplink's address or its default route is gone for now.
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN:
        // The source address the route names was removed (a renewal, a roam).
        case EADDRNOTAVAIL:
        // A firewall's rule refused the datagram; rules change while a session runs.
        case EPERM:
        // An earlier datagram met a closed port: the server restarting.
        case ECONNREFUSED:
            return port_status::unreachable;
        // Everything else (EBADF, ENOTSOCK, EFAULT, EINVAL, EMSGSIZE, EAFNOSUPPORT,
        // EDESTADDRREQ, ...) is a broken socket or a datagram no system would ever take.
        default:
            return io_error_status(error);
    }
}
