#include "route_backend.h"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netlink/route/nexthop.h>
#include <netlink/route/route.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "netlink_linux.h"

namespace {

// Marks the session's routes so that a deletion can only ever match a route of ours, never an
// equal one that someone else made (the kernel treats an unset priority as "any").
constexpr uint8_t QN_ROUTE_PROTOCOL = 0x71;

constexpr uint32_t METRIC_AUTOMATIC = 0;
constexpr uint32_t METRIC_FIXED = 1;

std::mutex metric_lock;
std::map<int32_t, uint32_t> fixed_metrics;

using route_ptr = std::unique_ptr<rtnl_route, decltype(&rtnl_route_put)>;
using addr_ptr = std::unique_ptr<nl_addr, decltype(&nl_addr_put)>;

addr_ptr make_addr(uint32_t addr_be, int prefix_len) {
    addr_ptr addr(nl_addr_build(AF_INET, &addr_be, sizeof(addr_be)), &nl_addr_put);
    if (addr) {
        nl_addr_set_prefixlen(addr.get(), prefix_len);
    }
    return addr;
}

route_ptr build_route(const route_row& row) {
    route_ptr route(rtnl_route_alloc(), &rtnl_route_put);
    addr_ptr dst = make_addr(row.dest, row.prefix_len);
    rtnl_nexthop* hop = rtnl_route_nh_alloc();
    if (!route || !dst || hop == nullptr) {
        if (hop != nullptr) {
            rtnl_route_nh_free(hop);
        }
        return route_ptr(nullptr, &rtnl_route_put);
    }
    rtnl_route_set_family(route.get(), AF_INET);
    rtnl_route_set_table(route.get(), RT_TABLE_MAIN);
    rtnl_route_set_type(route.get(), RTN_UNICAST);
    rtnl_route_set_protocol(route.get(), QN_ROUTE_PROTOCOL);
    rtnl_route_set_priority(route.get(), row.metric);
    rtnl_route_set_scope(route.get(), row.gateway != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK);
    rtnl_route_set_dst(route.get(), dst.get());
    rtnl_route_nh_set_ifindex(hop, row.if_index);
    if (row.gateway != 0) {
        addr_ptr gateway = make_addr(row.gateway, 32);
        if (!gateway) {
            rtnl_route_nh_free(hop);
            return route_ptr(nullptr, &rtnl_route_put);
        }
        rtnl_route_nh_set_gateway(hop, gateway.get());
    }
    rtnl_route_add_nexthop(route.get(), hop);
    return route;
}

uint32_t addr_of(nl_addr* addr) {
    uint32_t value = 0;
    if (addr != nullptr && nl_addr_get_len(addr) == sizeof(value)) {
        std::memcpy(&value, nl_addr_get_binary_addr(addr), sizeof(value));
    }
    return value;
}

bool interface_exists(int32_t if_index, int* error) {
    char name[IF_NAMESIZE];
    if (if_index <= 0 || if_indextoname(static_cast<unsigned>(if_index), name) == nullptr) {
        *error = if_index <= 0 ? ENODEV : errno;
        return false;
    }
    return true;
}

}  // namespace

route_create_result route_create(const route_row& row, int* error) {
    rtnl_socket sock;
    *error = sock.open_error();
    if (*error != 0) {
        return ROUTE_FAILED;
    }
    route_ptr route = build_route(row);
    if (!route) {
        *error = ENOMEM;
        return ROUTE_FAILED;
    }
    *error = sock.error_of(rtnl_route_add(sock.get(), route.get(), NLM_F_EXCL));
    if (*error == EEXIST) {
        return ROUTE_EXISTS;
    }
    return *error == 0 ? ROUTE_CREATED : ROUTE_FAILED;
}

int route_delete(const route_row& row) {
    if (row.if_index <= 0) {
        return 0;  // never created: every route of a session has an interface
    }
    rtnl_socket sock;
    if (sock.open_error() != 0) {
        return sock.open_error();
    }
    route_ptr route = build_route(row);
    if (!route) {
        return ENOMEM;
    }
    int error = sock.error_of(rtnl_route_delete(sock.get(), route.get(), 0));
    return error == ESRCH || error == ENODEV ? 0 : error;
}

bool route_table_read(std::vector<route_row>* rows, int* error) {
    rtnl_socket sock;
    *error = sock.open_error();
    if (*error != 0) {
        return false;
    }
    nl_cache* cache = nullptr;
    *error = sock.error_of(rtnl_route_alloc_cache(sock.get(), AF_INET, 0, &cache));
    if (*error != 0) {
        return false;
    }
    std::unique_ptr<nl_cache, decltype(&nl_cache_free)> owner(cache, &nl_cache_free);
    rows->clear();
    for (nl_object* obj = nl_cache_get_first(cache); obj != nullptr; obj = nl_cache_get_next(obj)) {
        auto* route = reinterpret_cast<rtnl_route*>(obj);
        if (rtnl_route_get_table(route) != RT_TABLE_MAIN ||
            rtnl_route_get_type(route) != RTN_UNICAST) {
            continue;
        }
        route_row row;
        nl_addr* dst = rtnl_route_get_dst(route);
        row.dest = addr_of(dst);
        row.prefix_len = static_cast<uint8_t>(dst != nullptr ? nl_addr_get_prefixlen(dst) : 0);
        row.metric = rtnl_route_get_priority(route);
        if (rtnl_nexthop* hop = rtnl_route_nexthop_n(route, 0)) {
            row.if_index = rtnl_route_nh_get_ifindex(hop);
            row.gateway = addr_of(rtnl_route_nh_get_gateway(hop));
        }
        rows->push_back(row);
    }
    return true;
}

bool interface_metric_get(int32_t if_index, uint32_t* metric, int* error, bool* automatic) {
    if (!interface_exists(if_index, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(metric_lock);
    auto it = fixed_metrics.find(if_index);
    *metric = it != fixed_metrics.end() ? it->second : METRIC_AUTOMATIC;
    if (automatic != nullptr) {
        *automatic = *metric == METRIC_AUTOMATIC;
    }
    return true;
}

bool interface_metric_set(int32_t if_index, bool automatic, int* error) {
    if (!interface_exists(if_index, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(metric_lock);
    if (automatic) {
        fixed_metrics.erase(if_index);
    } else {
        fixed_metrics[if_index] = METRIC_FIXED;
    }
    return true;
}

void interface_metric_forget(int32_t if_index) {
    std::lock_guard<std::mutex> lock(metric_lock);
    fixed_metrics.erase(if_index);
}
