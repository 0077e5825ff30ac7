#include <winsock2.h>

#include "send_errors.h"

port_status send_error_status(int error) {
    switch (error) {
        case 0:
            return port_status::done;
        case WSA_IO_PENDING:
        case WSAEWOULDBLOCK:
            return port_status::again;
        case WSAENOBUFS:
            return port_status::no_buffer;
        // No route to the server: the uplink's address or its default route is gone for now.
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEHOSTDOWN:
        case WSAENETRESET:
        // The source address the route names was removed (a renewal, a roam).
        case WSAEADDRNOTAVAIL:
        // A firewall's rule refused the datagram; rules change while a session runs.
        case WSAEACCES:
        // An earlier datagram met a closed port (ICMP port unreachable): the server restarting.
        case WSAECONNRESET:
            return port_status::unreachable;
        // Everything else (WSAENOTSOCK, WSAEFAULT, WSAEINVAL, WSAEMSGSIZE, WSAEAFNOSUPPORT,
        // WSANOTINITIALISED, ...) is a broken socket or a datagram no system would ever take.
        default:
            return port_status::failed;
    }
}
