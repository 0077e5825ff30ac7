#include "netlink_linux.h"

#include <netlink/errno.h>
#include <netlink/msg.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>

#include <cerrno>
#include <memory>

rtnl_socket::rtnl_socket() {
    sock_ = nl_socket_alloc();
    if (sock_ == nullptr) {
        open_error_ = ENOMEM;
        return;
    }
    errno = 0;
    if (nl_connect(sock_, NETLINK_ROUTE) < 0) {
        open_error_ = errno != 0 ? errno : EIO;
        return;
    }
    nl_socket_modify_err_cb(sock_, NL_CB_CUSTOM, &rtnl_socket::on_error, &kernel_error_);
}

rtnl_socket::~rtnl_socket() {
    if (sock_ != nullptr) {
        nl_socket_free(sock_);
    }
}

int rtnl_socket::on_error(sockaddr_nl*, nlmsgerr* err, void* arg) {
    *static_cast<int*>(arg) = -err->error;
    return NL_STOP;
}

int rtnl_socket::error_of(int nl_result) {
    int error = 0;
    if (nl_result < 0) {
        // libnl folds errno values into its own codes; keep the kernel's where there is one.
        if (kernel_error_ != 0) {
            error = kernel_error_;
        } else if (nl_result == -NLE_NOMEM) {
            error = ENOMEM;
        } else {
            error = EIO;
        }
    }
    kernel_error_ = 0;
    return error;
}

int rtnl_socket::request(nl_msg* msg) {
    int result = nl_send_auto(sock_, msg);
    nlmsg_free(msg);
    if (result >= 0) {
        result = nl_wait_for_ack(sock_);
    }
    return error_of(result);
}

int rtnl_link_update(const char* name, uint32_t mtu, unsigned int set_flags) {
    rtnl_socket sock;
    if (sock.open_error() != 0) {
        return sock.open_error();
    }
    rtnl_link* found = nullptr;
    int error = sock.error_of(rtnl_link_get_kernel(sock.get(), 0, name, &found));
    if (error != 0) {
        return error;
    }
    std::unique_ptr<rtnl_link, decltype(&rtnl_link_put)> link(found, &rtnl_link_put);
    std::unique_ptr<rtnl_link, decltype(&rtnl_link_put)> change(rtnl_link_alloc(), &rtnl_link_put);
    if (!change) {
        return ENOMEM;
    }
    if (mtu != 0) {
        rtnl_link_set_mtu(change.get(), mtu);
    }
    if (set_flags != 0) {
        rtnl_link_set_flags(change.get(), set_flags);
    }
    return sock.error_of(rtnl_link_change(sock.get(), link.get(), change.get(), 0));
}
