#include "route_backend.h"

#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netlink/route/nexthop.h>
#include <netlink/route/route.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "netlink_linux.h"

namespace {

constexpr uint32_t METRIC_AUTOMATIC = 0;

std::mutex metric_lock;
std::map<int32_t, uint32_t> fixed_metrics;

using route_ptr = std::unique_ptr<rtnl_route, decltype(&rtnl_route_put)>;
using addr_ptr = std::unique_ptr<nl_addr, decltype(&nl_addr_put)>;

addr_ptr make_addr(int family, const void* addr, size_t len, int prefix_len) {
    addr_ptr made(nl_addr_build(family, addr, len), &nl_addr_put);
    if (made) {
        nl_addr_set_prefixlen(made.get(), prefix_len);
    }
    return made;
}

// A route of the engine's in the main table to dst over the interface, through gateway if one
// is given.
route_ptr build_tagged_route(int family, const addr_ptr& dst, const addr_ptr* gateway,
                             int32_t if_index) {
    route_ptr route(rtnl_route_alloc(), &rtnl_route_put);
    rtnl_nexthop* hop = rtnl_route_nh_alloc();
    if (!route || !dst || hop == nullptr || (gateway != nullptr && !*gateway)) {
        if (hop != nullptr) {
            rtnl_route_nh_free(hop);
        }
        return route_ptr(nullptr, &rtnl_route_put);
    }
    rtnl_route_set_family(route.get(), static_cast<uint8_t>(family));
    rtnl_route_set_table(route.get(), RT_TABLE_MAIN);
    rtnl_route_set_type(route.get(), RTN_UNICAST);
    rtnl_route_set_protocol(route.get(), QN_ROUTE_PROTOCOL);
    rtnl_route_set_dst(route.get(), dst.get());
    rtnl_route_nh_set_ifindex(hop, if_index);
    if (gateway != nullptr) {
        rtnl_route_nh_set_gateway(hop, gateway->get());
    }
    rtnl_route_add_nexthop(route.get(), hop);
    return route;
}

route_ptr build_route(const route_row& row) {
    const addr_ptr dst = make_addr(AF_INET, &row.dest, sizeof(row.dest), row.prefix_len);
    const addr_ptr gateway = make_addr(AF_INET, &row.gateway, sizeof(row.gateway), 32);
    route_ptr route =
        build_tagged_route(AF_INET, dst, row.gateway != 0 ? &gateway : nullptr, row.if_index);
    if (route) {
        rtnl_route_set_priority(route.get(), row.metric);
        rtnl_route_set_scope(route.get(), row.gateway != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK);
    }
    return route;
}

route_ptr build_route6(const route6_row& row) {
    const addr_ptr gateway = make_addr(AF_INET6, row.gateway, sizeof(row.gateway), 128);
    return build_tagged_route(AF_INET6,
                              make_addr(AF_INET6, row.dest, sizeof(row.dest), row.prefix_len),
                              has_gateway(row) ? &gateway : nullptr, row.if_index);
}

// Adds the route exclusively.
route_create_result add_route(const route_ptr& route, int* error) {
    rtnl_socket sock;
    *error = sock.open_error();
    if (*error != 0) {
        return ROUTE_FAILED;
    }
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

// Deletes the route; 0 also when it is not there.
int delete_route(const route_ptr& route) {
    rtnl_socket sock;
    if (sock.open_error() != 0) {
        return sock.open_error();
    }
    if (!route) {
        return ENOMEM;
    }
    const int error = sock.error_of(rtnl_route_delete(sock.get(), route.get(), 0));
    // Without IPv6 in the namespace no IPv6 route can be left.
    return error == ESRCH || error == ENODEV || error == EAFNOSUPPORT ? 0 : error;
}

// The first line of a small file, without its newline; false (errno set) when it cannot be read.
bool read_line(const std::string& path, std::string* line) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[64] = {};
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    const int read_error = errno;
    close(fd);
    if (n < 0) {
        errno = read_error;
        return false;
    }
    line->assign(text, static_cast<size_t>(n));
    line->erase(line->find_last_not_of('\n') + 1);
    return true;
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

using cache_ptr = std::unique_ptr<nl_cache, decltype(&nl_cache_free)>;

// The family's routes of every table, read once; null with *error when they cannot be.
cache_ptr route_cache_of(int family, int* error) {
    rtnl_socket sock;
    *error = sock.open_error();
    nl_cache* cache = nullptr;
    if (*error == 0) {
        *error = sock.error_of(rtnl_route_alloc_cache(sock.get(), family, 0, &cache));
    }
    return cache_ptr(*error == 0 ? cache : nullptr, &nl_cache_free);
}

}  // namespace

route_create_result route_create(const route_row& row, int* error) {
    return add_route(build_route(row), error);
}

int route_delete(const route_row& row) {
    if (row.if_index <= 0) {
        return 0;  // never created: every route of a session has an interface
    }
    return delete_route(build_route(row));
}

bool route6_possible(int32_t if_index, std::string* why) {
    // The sysctls are those of the calling thread's network namespace.
    if (access("/proc/sys/net/ipv6", F_OK) != 0) {
        *why = "the host has no IPv6";
        return false;
    }
    char name[IF_NAMESIZE] = {};
    if (if_index <= 0 || if_indextoname(static_cast<unsigned>(if_index), name) == nullptr) {
        return true;  // the route itself fails and says why
    }
    std::string disabled;
    if (!read_line(std::string("/proc/sys/net/ipv6/conf/") + name + "/disable_ipv6", &disabled)) {
        if (errno != ENOENT) {
            return true;
        }
        // An interface whose MTU is below IPv6's minimum has no IPv6 settings at all.
        *why = std::string("the interface ") + name + " has no IPv6";
        return false;
    }
    if (disabled != "0") {
        *why = std::string("IPv6 is disabled on ") + name;
        return false;
    }
    return true;
}

route_create_result route6_create(const route6_row& row, int* error) {
    return add_route(build_route6(row), error);
}

int route6_delete(const route6_row& row) {
    return row.if_index <= 0 ? 0 : delete_route(build_route6(row));
}

bool route6_default_way(const uint8_t (&dest)[16], route6_row* row, int* error) {
    const cache_ptr cache = route_cache_of(AF_INET6, error);
    if (!cache) {
        return false;
    }
    bool found = false;
    uint32_t best_metric = 0;
    for (nl_object* obj = nl_cache_get_first(cache.get()); obj != nullptr;
         obj = nl_cache_get_next(obj)) {
        auto* route = reinterpret_cast<rtnl_route*>(obj);
        nl_addr* dst = rtnl_route_get_dst(route);
        rtnl_nexthop* hop = rtnl_route_nexthop_n(route, 0);
        nl_addr* gateway = hop != nullptr ? rtnl_route_nh_get_gateway(hop) : nullptr;
        if (rtnl_route_get_table(route) != RT_TABLE_MAIN ||
            rtnl_route_get_type(route) != RTN_UNICAST ||
            (dst != nullptr && nl_addr_get_prefixlen(dst) != 0) || gateway == nullptr ||
            nl_addr_get_len(gateway) != sizeof(row->gateway) ||
            (found && rtnl_route_get_priority(route) >= best_metric)) {
            continue;
        }
        found = true;
        best_metric = rtnl_route_get_priority(route);
        *row = route6_row();
        std::memcpy(row->dest, dest, sizeof(row->dest));
        row->prefix_len = 128;
        row->if_index = rtnl_route_nh_get_ifindex(hop);
        std::memcpy(row->gateway, nl_addr_get_binary_addr(gateway), sizeof(row->gateway));
    }
    return found;
}

bool route_table_read(std::vector<route_row>* rows, int* error) {
    const cache_ptr cache = route_cache_of(AF_INET, error);
    if (!cache) {
        return false;
    }
    rows->clear();
    for (nl_object* obj = nl_cache_get_first(cache.get()); obj != nullptr;
         obj = nl_cache_get_next(obj)) {
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

bool interface_metric_get(int32_t if_index, interface_metric_setting* setting, int* error) {
    if (!interface_exists(if_index, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(metric_lock);
    auto it = fixed_metrics.find(if_index);
    setting->interface_id = static_cast<uint64_t>(if_index);
    setting->automatic = it == fixed_metrics.end();
    setting->metric = setting->automatic ? METRIC_AUTOMATIC : it->second;
    return true;
}

bool interface_metric_set(const interface_metric_setting& setting, int* error) {
    const auto if_index = static_cast<int32_t>(setting.interface_id);
    if (setting.interface_id > INT32_MAX) {
        *error = ENODEV;
        return false;
    }
    if (!interface_exists(if_index, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(metric_lock);
    if (setting.automatic) {
        fixed_metrics.erase(if_index);
    } else {
        fixed_metrics[if_index] = setting.metric;
    }
    return true;
}

void interface_metric_forget(int32_t if_index) {
    std::lock_guard<std::mutex> lock(metric_lock);
    fixed_metrics.erase(if_index);
}
