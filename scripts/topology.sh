#!/usr/bin/env bash
# Three network namespaces for running the tunnel on one machine:
#   NAME-cli  the client; uplink 172.30.0.2/24, default route via the server namespace
#   NAME-srv  the VPN server and a router; 172.30.0.1/24 to the client, 198.51.100.1/24 to
#             the LAN behind it, IPv4 forwarding on (the reference server adds 10.8.0.1/24
#             on its TUN interface)
#   NAME-lan  a host behind the server, 198.51.100.2/24
# They are joined only to each other, never to the host's namespace.
# Usage: topology.sh create NAME | destroy NAME | destroy-prefix PREFIX
set -euo pipefail

create() {
    local n=$1
    destroy "$n"
    ip netns add "$n-cli"
    ip netns add "$n-srv"
    ip netns add "$n-lan"
    for ns in cli srv lan; do
        ip -n "$n-$ns" link set lo up
    done
    ip -n "$n-cli" link add wan0 type veth peer name cli0 netns "$n-srv"
    ip -n "$n-srv" link add lan0 type veth peer name eth0 netns "$n-lan"
    ip -n "$n-cli" addr add 172.30.0.2/24 dev wan0
    ip -n "$n-srv" addr add 172.30.0.1/24 dev cli0
    ip -n "$n-srv" addr add 198.51.100.1/24 dev lan0
    ip -n "$n-lan" addr add 198.51.100.2/24 dev eth0
    ip -n "$n-cli" link set wan0 up
    ip -n "$n-srv" link set cli0 up
    ip -n "$n-srv" link set lan0 up
    ip -n "$n-lan" link set eth0 up
    ip -n "$n-cli" route add default via 172.30.0.1
    ip -n "$n-lan" route add default via 198.51.100.1
    ip netns exec "$n-srv" sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'
}

destroy() {
    local n=$1
    for ns in cli srv lan; do
        if ip netns list | grep -qx "$n-$ns\( (id: [0-9]*)\)\?"; then
            # Processes left in the namespace would keep its interfaces alive.
            ip netns pids "$n-$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
            ip netns delete "$n-$ns"
        fi
    done
}

destroy_prefix() {
    local prefix=$1
    ip netns list | awk '{print $1}' | grep "^$prefix" | sed -E 's/-(cli|srv|lan)$//' | sort -u |
        while read -r n; do destroy "$n"; done
}

case "${1:-}" in
create) create "$2" ;;
destroy) destroy "$2" ;;
destroy-prefix) destroy_prefix "$2" ;;
*)
    echo "usage: $0 create NAME | destroy NAME | destroy-prefix PREFIX" >&2
    exit 64
    ;;
esac
