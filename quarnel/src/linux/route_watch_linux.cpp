// The watch over route netlink: a socket in the groups of links, IPv4 addresses and IPv4
// routes, read without blocking whenever poll finds it readable.
#include <errno.h>
#include <linux/rtnetlink.h>
#include <netlink/attr.h>
#include <netlink/errno.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>
#include <poll.h>

#include <chrono>
#include <new>

#include "netlink_linux.h"
#include "route_watch.h"
#include "worker_wakeup_linux.h"

struct route_watch {
    nl_sock* sock = nullptr;
    int32_t tunnel = -1;
    bool changed = false;
    int failed_reads = 0;  // in a row
};

namespace {

// Reads in a row that fail before the watch is given up: a socket that overran (notifications
// lost) fails once and then reads again.
constexpr int FAILED_READS_LIMIT = 8;
// Room for the bursts a link going away brings (its routes and addresses, one message each).
constexpr int RECEIVE_BUFFER = 1 << 20;

uint32_t u32_attribute(nlmsghdr* h, int header_len, int type, uint32_t otherwise) {
    nlattr* a = nlmsg_find_attr(h, header_len, type);
    return a != nullptr ? nla_get_u32(a) : otherwise;
}

// Whether a notification may concern the way to the server: anything but the tunnel's own
// interface and the session's own routes (and the kernel's local and other tables).
bool concerns_the_uplink(nlmsghdr* h, int32_t tunnel) {
    switch (h->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
            return nlmsg_valid_hdr(h, sizeof(ifinfomsg)) &&
                   static_cast<const ifinfomsg*>(nlmsg_data(h))->ifi_index != tunnel;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            return nlmsg_valid_hdr(h, sizeof(ifaddrmsg)) &&
                   static_cast<int32_t>(static_cast<const ifaddrmsg*>(nlmsg_data(h))->ifa_index) !=
                       tunnel;
        case RTM_NEWROUTE:
        case RTM_DELROUTE: {
            if (!nlmsg_valid_hdr(h, sizeof(rtmsg))) {
                return false;
            }
            const auto* route = static_cast<const rtmsg*>(nlmsg_data(h));
            if (route->rtm_protocol == QN_ROUTE_PROTOCOL ||
                u32_attribute(h, sizeof(rtmsg), RTA_TABLE, route->rtm_table) != RT_TABLE_MAIN) {
                return false;
            }
            const uint32_t none = 0;  // a route over several next hops names no one interface
            return static_cast<int32_t>(u32_attribute(h, sizeof(rtmsg), RTA_OIF, none)) != tunnel;
        }
        default:
            return false;
    }
}

int on_notification(nl_msg* msg, void* arg) {
    auto* watch = static_cast<route_watch*>(arg);
    if (concerns_the_uplink(nlmsg_hdr(msg), watch->tunnel)) {
        watch->changed = true;
    }
    return NL_OK;
}

int join_groups(route_watch* watch) {
    errno = 0;
    if (nl_connect(watch->sock, NETLINK_ROUTE) < 0) {
        return errno != 0 ? errno : EIO;
    }
    if (nl_socket_add_memberships(watch->sock, RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR,
                                  RTNLGRP_IPV4_ROUTE, 0) < 0 ||
        nl_socket_set_nonblocking(watch->sock) < 0) {
        return errno != 0 ? errno : EIO;
    }
    nl_socket_set_buffer_size(watch->sock, RECEIVE_BUFFER, 0);  // the default will do otherwise
    return 0;
}

}  // namespace

route_watch* route_watch_open(int32_t tunnel_if_index, int* error) {
    auto* watch = new (std::nothrow) route_watch;
    if (watch == nullptr || (watch->sock = nl_socket_alloc()) == nullptr) {
        delete watch;
        *error = ENOMEM;
        return nullptr;
    }
    watch->tunnel = tunnel_if_index;
    // Notifications come unasked: no sequence numbers to match.
    nl_socket_disable_seq_check(watch->sock);
    nl_socket_modify_cb(watch->sock, NL_CB_VALID, NL_CB_CUSTOM, on_notification, watch);
    *error = join_groups(watch);
    if (*error != 0) {
        route_watch_close(watch);
        return nullptr;
    }
    return watch;
}

void route_watch_close(route_watch* watch) {
    if (watch != nullptr) {
        nl_socket_free(watch->sock);
        delete watch;
    }
}

watch_result route_watch_wait(route_watch* watch, worker_wakeup* wakeup, int timeout_ms,
                              int* error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd fds[2] = {{nl_socket_get_fd(watch->sock), POLLIN, 0},
                         {wakeup != nullptr ? wakeup->fd : -1, POLLIN, 0}};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int n = poll(fds, 2, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = errno;
            return watch_result::failed;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return watch_result::woken;
        }
        if (n == 0) {
            return watch_result::timed_out;
        }
        watch->changed = false;
        if (nl_recvmsgs_default(watch->sock) < 0) {
            // Notifications may have been lost: whatever they said may have changed.
            if (++watch->failed_reads >= FAILED_READS_LIMIT) {
                *error = EIO;
                return watch_result::failed;
            }
            return watch_result::changed;
        }
        watch->failed_reads = 0;
        if (watch->changed) {
            return watch_result::changed;
        }
        // Only the session's own changes: wait on.
    }
}
