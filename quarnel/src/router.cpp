#include "router.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <tuple>

#include "engine_log.h"
#include "forwarding.h"
#include "host_journal.h"
#include "ipv4_text.h"
#include "log_limit.h"
#include "netcard_tool.h"
#include "network_changes.h"
#include "platform_net.h"
#include "route_backend.h"
#include "session.h"
#include "socket_util.h"
#include "tun_util.h"

const char* const split_default_routes[SPLIT_DEFAULT_ROUTE_COUNT] = {
    "0.0.0.0/5",      "8.0.0.0/7",      "11.0.0.0/8",     "12.0.0.0/6",     "16.0.0.0/4",
    "32.0.0.0/3",     "64.0.0.0/2",     "128.0.0.0/3",    "160.0.0.0/5",    "168.0.0.0/6",
    "172.0.0.0/12",   "172.32.0.0/11",  "172.64.0.0/10",  "172.128.0.0/9",  "173.0.0.0/8",
    "174.0.0.0/7",    "176.0.0.0/4",    "192.0.0.0/9",    "192.128.0.0/11", "192.160.0.0/13",
    "192.169.0.0/16", "192.170.0.0/15", "192.172.0.0/14", "192.176.0.0/12", "192.192.0.0/10",
    "193.0.0.0/8",    "194.0.0.0/7",    "196.0.0.0/6",    "200.0.0.0/5",    "208.0.0.0/4",
};

namespace {

// Rounds that would catch a change the system did not tell of; a change it tells of starts a
// round at once.
constexpr auto PROTECT_FIRST_ROUND = std::chrono::seconds(15);
constexpr auto PROTECT_PERIOD = std::chrono::seconds(5);

route_request make_request(uint32_t dest, uint8_t prefix_len, uint32_t next_hop, int32_t if_index) {
    return route_request{dest, prefix_len, next_hop, static_cast<uint32_t>(if_index), false};
}

void request_prefixes(const route_prefix* prefixes, int count, uint32_t next_hop, int32_t if_index,
                      std::vector<route_request>& requests) {
    for (int i = 0; i < count; ++i) {
        requests.push_back(
            make_request(prefixes[i].addr, prefixes[i].prefix_len, next_hop, if_index));
    }
}

void request_split_default_routes(uint32_t next_hop, int32_t if_index,
                                  std::vector<route_request>& requests) {
    for (const char* text : split_default_routes) {
        std::string prefix(text);
        size_t slash = prefix.find('/');
        uint32_t dest = ipv4_from_text(prefix.substr(0, slash).c_str());
        auto len = static_cast<uint8_t>(std::atoi(prefix.c_str() + slash + 1));
        requests.push_back(make_request(dest, len, next_hop, if_index));
    }
}

uint8_t prefix_len_of_mask(uint32_t mask_be) {
    uint32_t mask = ntohl(mask_be);
    uint8_t trailing_zeros = 0;
    while (trailing_zeros < 32 && (mask & (1u << trailing_zeros)) == 0) {
        ++trailing_zeros;
    }
    return static_cast<uint8_t>(32 - trailing_zeros);
}

// Reads the uplink into the session; false when there is no default route.
bool refresh_wan(qn_ctx_t* ctx) {
    char gateway[16] = {};
    if (!GetWanInfo(&ctx->wan_if_index, gateway)) {
        return false;
    }
    ctx->wan_gateway = gateway;
    return true;
}

}  // namespace

void add_server_route(qn_ctx_t* ctx, std::vector<route_request>& requests) {
    route_request request =
        make_request(ipv4_from_text(ctx->server_ip.c_str()), 32,
                     ipv4_from_text(ctx->wan_gateway.c_str()), ctx->wan_if_index);
    request.is_server_route = true;
    requests.push_back(request);
}

namespace {

// The session's record of a route it is about to create.
host_change route_change(const route_row& row, bool server_route) {
    host_change change;
    change.kind = host_change_kind::route;
    change.route = row;
    change.server_route = server_route;
    return change;
}

}  // namespace

int perform_add_routes(qn_ctx_t* /*ctx*/, const std::vector<route_request>& requests) {
    host_journal& journal = session_journal();
    // A route the table already holds under the same prefix and metric would come back as
    // existing: it is neither made nor recorded, so a protect round that changes nothing
    // writes nothing.
    std::set<std::tuple<uint32_t, uint8_t, uint32_t>> present;
    std::vector<route_row> table;
    int table_error = 0;
    if (route_table_read(&table, &table_error)) {
        std::set<std::tuple<uint32_t, uint8_t, uint32_t, int32_t, uint32_t>> rows;
        for (const route_row& r : table) {
            present.emplace(r.dest, r.prefix_len, r.metric);
            rows.emplace(r.dest, r.prefix_len, r.gateway, r.if_index, r.metric);
        }
        // A route of the session gone from the table (with its uplink, or deleted by someone)
        // leaves nothing to undo: settled, so that one made again is held once.
        for (const journal_record& record : journal.outstanding(host_change_kind::route)) {
            const route_row& r = record.change.route;
            if (rows.count(
                    std::make_tuple(r.dest, r.prefix_len, r.gateway, r.if_index, r.metric)) == 0) {
                journal.settle(record.id);
            }
        }
    }
    std::vector<route_row> rows;
    std::vector<host_change> changes;
    std::vector<size_t> recorded;  // index into changes for each row, or SIZE_MAX
    for (const route_request& request : requests) {
        route_row row;
        int error = 0;
        row.if_index = static_cast<int32_t>(request.if_index);
        interface_metric_setting interface;
        if (!interface_metric_get(row.if_index, &interface, &error)) {
            QN_ERROR("GetIpInterfaceEntry failed, dwError={}!", error);
            return -1;
        }
        row.metric = interface.metric;
        row.dest = request.dest;
        row.prefix_len = request.prefix_len;
        row.gateway = request.next_hop;
        rows.push_back(row);
        if (present.count(std::make_tuple(row.dest, row.prefix_len, row.metric)) != 0) {
            recorded.push_back(SIZE_MAX);
        } else {
            recorded.push_back(changes.size());
            changes.push_back(route_change(row, request.is_server_route));
        }
    }
    // One durable write for the whole list, before any route exists.
    std::vector<uint64_t> ids;
    if (!changes.empty() && !journal.record(changes, &ids)) {
        return -1;
    }
    auto settle = [&](size_t i) {
        if (recorded[i] != SIZE_MAX) {
            journal.settle(ids[recorded[i]]);
        }
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        if (recorded[i] == SIZE_MAX) {
            continue;  // never made unrecorded: a route gone since the look is made next round
        }
        int error = 0;
        switch (route_create(rows[i], &error)) {
            case ROUTE_CREATED:
                break;
            case ROUTE_EXISTS:
                settle(i);  // someone else's: never ours to delete
                break;
            case ROUTE_FAILED:
                QN_ERROR("CreateIpForwardEntry2 failed with err:{}.", error);
                for (size_t rest = i; rest < rows.size(); ++rest) {
                    settle(rest);
                }
                return -1;
        }
    }
    return 0;
}

namespace {

// The two halves of the IPv6 space: longer prefixes than any default route, shorter than those
// of the link-local, on-link and multicast routes, so the LAN and neighbour discovery go on.
route6_row ipv6_half(uint8_t first_byte, int32_t if_index) {
    route6_row row;
    row.dest[0] = first_byte;
    row.prefix_len = 1;
    row.if_index = if_index;
    return row;
}

// Records and creates the rows; a route that is there already is someone else's.
int create_routes6(const std::vector<route6_row>& rows) {
    std::vector<host_change> changes;
    for (const route6_row& row : rows) {
        host_change change;
        change.kind = host_change_kind::route6;
        change.route6 = row;
        changes.push_back(change);
    }
    host_journal& journal = session_journal();
    std::vector<uint64_t> ids;
    if (!journal.record(changes, &ids)) {
        return -1;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
        int error = 0;
        switch (route6_create(rows[i], &error)) {
            case ROUTE_CREATED:
                break;
            case ROUTE_EXISTS:
                journal.settle(ids[i]);  // someone else's: never ours to delete
                break;
            case ROUTE_FAILED:
                QN_ERROR("IPv6 route failed, errNo={}", error);
                for (size_t rest = i; rest < ids.size(); ++rest) {
                    journal.settle(ids[rest]);
                }
                return -1;
        }
    }
    return 0;
}

// The way to an IPv6 server outside the held IPv6: its /128 through the host's IPv6 default
// route, which the halves (longer than any default) would otherwise take over. False for an
// IPv4 server, and where there is no default (a longer route, if any, still reaches it).
bool ipv6_server_way(const qn_ctx_t* ctx, route6_row* row) {
    if (ctx->sock == nullptr || ctx->sock->peer.sa.sa_family != AF_INET6) {
        return false;
    }
    uint8_t server[16];
    std::memcpy(server, &ctx->sock->peer.v6.sin6_addr, sizeof(server));
    int error = 0;
    if (!route6_default_way(server, row, &error)) {
        if (error != 0) {
            QN_ERROR_LIMITED("IPv6 route table read failed, errNo={}", error);
        }
        return false;
    }
    return true;
}

bool same_route6(const route6_row& a, const route6_row& b) {
    return std::memcmp(a.dest, b.dest, sizeof(a.dest)) == 0 && a.prefix_len == b.prefix_len &&
           a.if_index == b.if_index && std::memcmp(a.gateway, b.gateway, sizeof(a.gateway)) == 0;
}

// An IPv6 server's route follows the host's IPv6 default when it changes.
void follow_ipv6_default(qn_ctx_t* ctx) {
    route6_row way;
    if (!ctx->ipv6_held || !ipv6_server_way(ctx, &way) || same_route6(way, ctx->server6_way)) {
        return;
    }
    host_journal& journal = session_journal();
    for (const journal_record& record : journal.outstanding(host_change_kind::route6)) {
        if (has_gateway(record.change.route6)) {
            route6_delete(record.change.route6);
            journal.settle(record.id);
        }
    }
    QN_INFO("The host's IPv6 default route changed: the route to the server follows it.");
    ctx->server6_way = way;
    if (create_routes6({way}) == -1) {
        QN_ERROR_LIMITED("IPv6 route to the server failed.");
    }
}

// The tunnel carries IPv4 only: in proxy mode the host's IPv6 goes into the device too, where
// the reader refuses it, rather than out of the uplink beside the tunnel; an IPv6 server's own
// route stays outside.
int hold_ipv6(qn_ctx_t* ctx, int32_t tun_index) {
    std::string why;
    if (!route6_possible(tun_index, &why)) {
        QN_INFO("IPv6 not held in the tunnel: {}.", why);
        return 0;
    }
    std::vector<route6_row> rows;
    if (ipv6_server_way(ctx, &ctx->server6_way)) {
        rows.push_back(ctx->server6_way);
    }
    rows.push_back(ipv6_half(0x00, tun_index));
    rows.push_back(ipv6_half(0x80, tun_index));
    if (create_routes6(rows) == -1) {
        return -1;
    }
    ctx->ipv6_held = true;
    return 0;
}

// The steps of set_route_table; each failure is logged here and undone by the caller.
int install_route_table(qn_ctx_t* ctx, const route_prefix* remote_routes, int remote_route_count,
                        const route_prefix* proxy_routes, int proxy_route_count, bool proxy_mode) {
    if (!refresh_wan(ctx)) {
        QN_ERROR_IN("set_route_table", "GetWanInfo failed.");
        return -1;
    }
    const int32_t tun_index = ctx->tun->if_index;
    const uint32_t tun_ip = ipv4_from_text(ctx->tun_ip.c_str());
    const uint32_t tun_mask = ipv4_from_text(ctx->tun_netmask.c_str());
    const uint32_t tun_gateway = htonl(ntohl(tun_ip & tun_mask) + 1);
    std::vector<route_request> requests;
    // The protect worker reads the remote list from its first round on.
    ctx->remote_routes.assign(remote_routes, remote_routes + remote_route_count);

    if (proxy_mode) {
        if (proxy_route_count >= 1) {
            request_prefixes(proxy_routes, proxy_route_count, tun_gateway, tun_index, requests);
        } else {
            request_split_default_routes(tun_gateway, tun_index, requests);
        }
        request_prefixes(remote_routes, remote_route_count,
                         ipv4_from_text(ctx->wan_gateway.c_str()), ctx->wan_if_index, requests);
        if (classify_ip(ctx->server_ip.c_str()) == 0) {
            add_server_route(ctx, requests);
        }
        if (perform_add_routes(ctx, requests) == -1) {
            QN_ERROR_IN("set_route_table", "perform_add_routes failed!");
            return -1;
        }
        if (hold_ipv6(ctx, tun_index) == -1) {
            QN_ERROR_IN("set_route_table", "hold_ipv6 failed!");
            return -1;
        }
        try {
            ctx->protect_thread = std::make_shared<std::thread>(qn_protect_threadfunc, ctx);
        } catch (const std::exception& e) {
            QN_ERROR_IN("set_route_table", "create_protect_thread failed, {}", e.what());
            return -1;
        }
    } else {
        requests.push_back(
            make_request(tun_ip & tun_mask, prefix_len_of_mask(tun_mask), tun_gateway, tun_index));
        request_prefixes(remote_routes, remote_route_count, tun_gateway, tun_index, requests);
        if (perform_add_routes(ctx, requests) == -1) {
            QN_ERROR_IN("set_route_table", "perform_add_routes failed!");
            return -1;
        }
        // From here on a reset stops the routing again, whether the start worked or not.
        ctx->router_started = true;
        if (start_router() == -1) {
            QN_ERROR_IN("set_route_table", "start_router failed!");
            return -1;
        }
    }
    return 0;
}

}  // namespace

int set_route_table(qn_ctx_t* ctx, const route_prefix* remote_routes, int remote_route_count,
                    const route_prefix* proxy_routes, int proxy_route_count, bool proxy_mode) {
    // Known from the start, so that a stop after a failure here does not take a proxy-mode
    // session for a split-mode one and wait for its routing service.
    ctx->proxy_mode = proxy_mode;
    int result = -1;
    try {
        result = install_route_table(ctx, remote_routes, remote_route_count, proxy_routes,
                                     proxy_route_count, proxy_mode);
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
    }
    if (result != 0) {
        reset_route_table(ctx);
    }
    return result;
}

int protect_wan_routes(qn_ctx_t* ctx) {
    try {
        follow_ipv6_default(ctx);
        const int32_t old_index = ctx->wan_if_index;
        const std::string old_gateway = ctx->wan_gateway;
        if (!refresh_wan(ctx)) {
            // A link that comes and goes can bring this about at will: limited.
            QN_ERROR_LIMITED("GetWanInfo failed.");
            return -1;
        }
        if (ctx->wan_if_index != old_index || ctx->wan_gateway != old_gateway) {
            QN_INFO(
                "Uplink now via {} on interface {}: the routes to the server and the remote "
                "networks follow it.",
                ctx->wan_gateway, ctx->wan_if_index);
        }
        const uint32_t wan_gateway = ipv4_from_text(ctx->wan_gateway.c_str());
        std::vector<route_request> requests;
        request_prefixes(ctx->remote_routes.data(), static_cast<int>(ctx->remote_routes.size()),
                         wan_gateway, ctx->wan_if_index, requests);
        if (classify_ip(ctx->server_ip.c_str()) == 0) {
            add_server_route(ctx, requests);
        }
        // Everything the session pinned to an earlier uplink goes: the server route and the
        // remote routes alike, which would otherwise hold their prefixes on the old gateway.
        const int32_t tun_index = ctx->tun != nullptr ? ctx->tun->if_index : -1;
        host_journal& journal = session_journal();
        for (const journal_record& record : journal.outstanding(host_change_kind::route)) {
            const route_row& route = record.change.route;
            const bool pinned = record.change.server_route || route.if_index != tun_index;
            if (pinned && (route.gateway != wan_gateway || route.if_index != ctx->wan_if_index)) {
                route_delete(route);
                journal.settle(record.id);
            }
        }
        if (perform_add_routes(ctx, requests) == -1) {
            QN_ERROR_LIMITED("perform_add_routes failed!");
            return -1;
        }
        return 0;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return -1;
    }
}

void qn_protect_threadfunc(qn_ctx_t* ctx) {
    // Every wait ends as soon as the session's stop is raised; no lock is held across one.
    network_changes changes(ctx->running, ctx->tun != nullptr ? ctx->tun->if_index : -1, __func__);
    auto next_round = std::chrono::steady_clock::now() + PROTECT_FIRST_ROUND;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            next_round - std::chrono::steady_clock::now());
        const network_changes::result woke =
            changes.wait(std::max(left, std::chrono::milliseconds(0)));
        if (woke == network_changes::STOPPED) {
            return;
        }
        if (woke == network_changes::CHANGED || std::chrono::steady_clock::now() >= next_round) {
            if (protect_wan_routes(ctx) == -1) {
                QN_ERROR_LIMITED("protect_wan_routes failed.");
            }
            next_round = std::chrono::steady_clock::now() + PROTECT_PERIOD;
        }
    }
}

int stop_router() {
    return session_journal().unwind({host_change_kind::forwarding}) == 0 ? 0 : -1;
}

void reset_route_table(qn_ctx_t* ctx) {
    if (ctx->protect_thread) {
        // Putting the routes back is part of stopping the session.
        ctx->running.stop();
        if (ctx->protect_thread->joinable()) {
            ctx->protect_thread->join();
        }
        ctx->protect_thread.reset();
    }
    // Newest first: what came after the routes (the resolver), then forwarding, then the routes
    // and what came before them.
    host_journal& journal = session_journal();
    journal.unwind({host_change_kind::resolver_file, host_change_kind::resolver_registration});
    if (ctx->router_started && stop_router() == -1) {
        QN_ERROR("stop_router failed!");
    }
    journal.unwind();
}
