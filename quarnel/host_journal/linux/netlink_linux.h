// Route-netlink access shared by the Linux adapter, address and route code.
#pragma once

#include <netlink/netlink.h>

#include <cstdint>

// Marks the session's routes so that a deletion can only ever match a route of ours, never an
// equal one that someone else made (the kernel treats an unset priority as "any"), and so that
// a watch of the routes can tell the session's own changes apart.
constexpr uint8_t QN_ROUTE_PROTOCOL = 0x71;

// A route-netlink socket in the network namespace of the calling thread. One per operation:
// libnl sockets are not shared between threads, and a namespace is fixed at creation.
class rtnl_socket {
  public:
    rtnl_socket();
    ~rtnl_socket();
    rtnl_socket(const rtnl_socket&) = delete;
    rtnl_socket& operator=(const rtnl_socket&) = delete;

    // 0 once connected, otherwise the errno value of the failure.
    int open_error() const { return open_error_; }
    nl_sock* get() const { return sock_; }

    // The errno value behind a libnl result (0 for success); the kernel's own when it sent one.
    int error_of(int nl_result);

    // Sends a request, waits for its acknowledgement and frees it; an errno value or 0.
    int request(nl_msg* msg);

  private:
    static int on_error(sockaddr_nl* peer, nlmsgerr* err, void* arg);

    nl_sock* sock_ = nullptr;
    int open_error_ = 0;
    int kernel_error_ = 0;
};

// Sets the MTU of a link (when mtu is nonzero) and raises the given flags; an errno value or 0,
// ENODEV when there is no link of that name.
int rtnl_link_update(const char* name, uint32_t mtu, unsigned int set_flags);
