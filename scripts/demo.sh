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

step() { printf '\n== %s\n' "$*"; }
in_ns() { ip netns exec "$name-$1" "${@:2}"; }

step "namespaces: client 172.30.0.2, server 172.30.0.1, LAN host $TUNNEL_LAN_HOST behind it"
tunnel_up "$name" "$work" --remote-route 198.51.100.0/24 --status-interval 2
sed 's/^/server: /' "$work/server.log"
sed 's/^/client: /' "$work/client.log"

step "client routes while connected (the LAN goes through the tunnel)"
in_ns cli ip -4 route show
in_ns cli ip -4 addr show dev tun0 | sed -n 's/^ *inet /inet /p'

step "ping through the tunnel"
in_ns cli ping -c 3 -i 0.3 -n "$TUNNEL_LAN_HOST"

step "20 MB over TCP through the tunnel, content verified on arrival"
in_ns lan "$BUILD/tools/tcp_transfer" serve --port 5001 --timeout 30 >"$work/receiver.log" &
receiver=$!
sleep 0.3
in_ns cli "$BUILD/tools/tcp_transfer" send --host "$TUNNEL_LAN_HOST" --port 5001 --bytes 20000000
wait "$receiver"
cat "$work/receiver.log"

step "disconnect"
tunnel_disconnect "$work"
sed 's/^/client: /' "$work/client.log" | tail -3

step "client routes after the disconnect (as before the connect)"
in_ns cli ip -4 route show
