// Which failed sends to the server lose only the datagram and which end the session.
#include <gtest/gtest.h>

#include <cerrno>

#include "send_errors.h"

TEST(SendErrors, APathThatComesAndGoesLosesDatagramsABrokenSocketEndsTheSession) {
    const struct {
        int error;
        port_status status;
    } cases[] = {
        {0, port_status::done},
        {EAGAIN, port_status::again},
        {ENOBUFS, port_status::no_buffer},
        // The uplink's address or routes gone for a moment, a firewall's rule, a server
        // restarting.
        {ENETUNREACH, port_status::unreachable},
        {EHOSTUNREACH, port_status::unreachable},
        {ENETDOWN, port_status::unreachable},
        {EHOSTDOWN, port_status::unreachable},
        {EADDRNOTAVAIL, port_status::unreachable},
        {EPERM, port_status::unreachable},
        {ECONNREFUSED, port_status::unreachable},
        // What no later send would do better.
        {EBADF, port_status::failed},
        {ENOTSOCK, port_status::failed},
        {EINVAL, port_status::failed},
        {EFAULT, port_status::failed},
        {EMSGSIZE, port_status::failed},
        {EAFNOSUPPORT, port_status::failed},
        {EDESTADDRREQ, port_status::failed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(send_error_status(c.error), c.status) << "errno " << c.error;
    }
}
