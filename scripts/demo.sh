#!/usr/bin/env bash
# The tunnel at work on one machine: a client, the reference server and a host behind it,
# each in a network namespace of its own. Usage: demo.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
source "$(dirname "$0")/tunnel_env.sh"

name=qdemo$$
work=$(mktemp -d)
cleanup() {
    tunnel_down "$name" "$work"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_ns() { ip netns exec "$name-$1" "${@:2}"; }

tunnel_step "namespaces: client 172.30.0.2, server 172.30.0.1, LAN host $TUNNEL_LAN_HOST behind it"
tunnel_up "$name" "$work" --remote-route 198.51.100.0/24 --status-interval 2
sed 's/^/server: /' "$work/server.log"
sed 's/^/client: /' "$work/client.log"

tunnel_show_traffic "$name" "$work"

tunnel_step "disconnect"
tunnel_disconnect "$work"
sed 's/^/client: /' "$work/client.log" | tail -3

tunnel_step "client routes after the disconnect (as before the connect)"
in_ns cli ip -4 route show
