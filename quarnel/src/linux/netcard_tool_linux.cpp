#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <net/if.h>
#include <netlink/attr.h>
#include <netlink/route/addr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine_log.h"
#include "host_journal.h"
#include "netcard_tool.h"
#include "netlink_linux.h"
#include "quarnel_defaults.h"
#include "resolver.h"

namespace {

// The kernel's own route to the adapter's subnet gets the metric Windows gives on-link routes,
// so that a session route to the same subnet (metric 0 or 1) is a route of its own.
constexpr uint32_t SUBNET_ROUTE_METRIC = 256;

int prefix_of_mask(uint32_t mask_be, int* prefix) {
    uint32_t mask = ntohl(mask_be);
    int ones = 0;
    while (ones < 32 && (mask & (0x80000000u >> ones)) != 0) {
        ++ones;
    }
    if (ones < 32 && (mask << ones) != 0) {
        return EINVAL;  // not contiguous
    }
    *prefix = ones;
    return 0;
}

// Deletes every IPv4 address of the link, then adds address/prefix.
int replace_ipv4_address(const char* name, const char* ip, const char* netmask) {
    in_addr addr{};
    in_addr mask{};
    int prefix = 0;
    if (inet_pton(AF_INET, ip, &addr) != 1 || inet_pton(AF_INET, netmask, &mask) != 1 ||
        prefix_of_mask(mask.s_addr, &prefix) != 0) {
        return EINVAL;
    }
    int if_index = static_cast<int>(if_nametoindex(name));
    if (if_index == 0) {
        return errno;
    }
    rtnl_socket sock;
    if (sock.open_error() != 0) {
        return sock.open_error();
    }
    nl_cache* cache = nullptr;
    int error = sock.error_of(rtnl_addr_alloc_cache(sock.get(), &cache));
    if (error != 0) {
        return error;
    }
    std::unique_ptr<nl_cache, decltype(&nl_cache_free)> owner(cache, &nl_cache_free);
    for (nl_object* obj = nl_cache_get_first(cache); obj != nullptr; obj = nl_cache_get_next(obj)) {
        auto* old = reinterpret_cast<rtnl_addr*>(obj);
        if (rtnl_addr_get_ifindex(old) != if_index || rtnl_addr_get_family(old) != AF_INET) {
            continue;
        }
        // Removing a primary address takes its secondaries along; those are already gone.
        error = sock.error_of(rtnl_addr_delete(sock.get(), old, 0));
        if (error != 0 && error != EADDRNOTAVAIL) {
            return error;
        }
    }

    std::unique_ptr<rtnl_addr, decltype(&rtnl_addr_put)> fresh(rtnl_addr_alloc(), &rtnl_addr_put);
    std::unique_ptr<nl_addr, decltype(&nl_addr_put)> local(
        nl_addr_build(AF_INET, &addr.s_addr, sizeof(addr.s_addr)), &nl_addr_put);
    if (!fresh || !local) {
        return ENOMEM;
    }
    nl_addr_set_prefixlen(local.get(), prefix);
    rtnl_addr_set_ifindex(fresh.get(), if_index);
    rtnl_addr_set_family(fresh.get(), AF_INET);
    error = sock.error_of(rtnl_addr_set_local(fresh.get(), local.get()));
    if (error != 0) {
        return error;
    }
    nl_msg* msg = nullptr;
    error = sock.error_of(rtnl_addr_build_add_request(fresh.get(), NLM_F_REPLACE, &msg));
    if (error != 0) {
        return error;
    }
    if (nla_put_u32(msg, IFA_RT_PRIORITY, SUBNET_ROUTE_METRIC) < 0) {
        nlmsg_free(msg);
        return ENOMEM;
    }
    return sock.request(msg);
}

std::string nameserver_lines(const std::vector<std::string>& servers) {
    std::string lines;
    for (const std::string& server : servers) {
        lines += "nameserver " + server + "\n";
    }
    return lines;
}

// Recorded before it is made; a change cut short may have taken effect, so it stays recorded
// for the unwind unless it was surely not made.
int change_through_manager(host_change change, const std::function<int()>& make) {
    host_journal& journal = session_journal();
    uint64_t id = 0;
    if (!journal.record(change, &id)) {
        return EIO;
    }
    int error = make();
    if (error != 0 && error != ETIMEDOUT) {
        journal.settle(id);
    }
    return error;
}

int change_resolver_file(const std::string& lines) {
    host_journal& journal = session_journal();
    host_change change;
    change.kind = host_change_kind::resolver_file;
    change.after = lines;
    int error = read_resolver_file(&change.found);
    if (error != 0) {
        return error;
    }
    uint64_t id = 0;
    if (!journal.record(change, &id)) {
        return EIO;
    }
    error = write_resolver_file(lines);
    if (error != 0 && put_back_resolver_file(change.found) == 0) {
        journal.settle(id);
    }
    if (error == 0) {
        keep_resolver_file(lines);
    }
    return error;
}

int change_resolver(const char* name, const resolver_choice& choice, const resolver_facts& facts,
                    const std::vector<std::string>& servers) {
    host_change change;
    change.after = join_servers(servers);
    switch (choice.backend) {
        case resolver_backend::resolved: {
            const int if_index = static_cast<int>(if_nametoindex(name));
            if (if_index == 0) {
                return errno;
            }
            change.kind = host_change_kind::resolver_link;
            change.if_index = if_index;
            return change_through_manager(change,
                                          [&] { return resolved_set_link(if_index, servers); });
        }
        case resolver_backend::network_manager:
            change.kind = host_change_kind::resolver_global;
            return change_through_manager(change, [&] { return nm_set_global_dns(servers); });
        case resolver_backend::resolvconf:
            change.kind = host_change_kind::resolver_registration;
            change.name = name;
            change.after.clear();
            return change_through_manager(change, [&] {
                return register_resolver(facts.resolvconf, facts.resolvconf_exclusive, name,
                                         nameserver_lines(servers));
            });
        case resolver_backend::file:
            break;
    }
    return change_resolver_file(nameserver_lines(servers));
}

}  // namespace

bool SetAdapterIP(const char* guid, const char* ip, const char* netmask) {
    int error = replace_ipv4_address(guid, ip, netmask);
    if (error != 0) {
        QN_ERROR("set ip and mask address failed, errNo={}, ip={}, mask={}", error, ip, netmask);
        return false;
    }
    return true;
}

bool EnableTapAdapter(const char* name) {
    int error = rtnl_link_update(name, 0, IFF_UP);
    if (error == ENODEV) {
        return false;  // no such interface: no message, as for an unknown connection
    }
    if (error != 0) {
        QN_ERROR("set link {} up failed, errNo={}", name, error);
        return false;
    }
    return true;
}

bool SetAdapterDNS(const char* guid, const char* dns, const char* backup_dns) {
    std::vector<std::string> servers;
    int error = parse_servers(dns, backup_dns, &servers);
    if (error == 0 && !servers.empty()) {
        const resolver_facts facts = observe_resolver_facts();
        resolver_choice choice;
        std::string reason;
        if (!choose_resolver(facts, std::getenv(QUARNEL_DNS_BACKEND_VARIABLE), &choice, &reason)) {
            QN_ERROR("{}", reason);
            error = EINVAL;
        } else {
            QN_INFO("DNS through {} on {}: {}", resolver_backend_name(choice.backend), guid,
                    choice.reason);
            error = change_resolver(guid, choice, facts, servers);
        }
    }
    if (error != 0) {
        QN_ERROR("set dns failed, errNo={}", error);
        return false;
    }
    return true;
}
