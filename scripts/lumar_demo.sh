#!/usr/bin/env bash
# lumar at work on one machine: the reference server and a host behind it each in a network
# namespace of their own, lumar in a client namespace on this display (on a private Xvfb when
# there is none). lumar's page connects to the server by itself (its demo preset); a ping and
# a verified 20 MB transfer go through the tunnel; SIGTERM then makes lumar disconnect and
# quit, as at the end of a desktop session. Screenshots of the window, not connected and
# connected, go to BUILD_DIR/artifacts. Usage: lumar_demo.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
source "$(dirname "$0")/tunnel_env.sh"

name=qlumar$$
work=$(mktemp -d)
shots="$BUILD/artifacts"
prog="$work/program"
xvfb_pid=""
cleanup() {
    tunnel_down "$name" "$work"
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { printf '\n== %s\n' "$*"; }
in_ns() { ip netns exec "$name-$1" "${@:2}"; }

start_xvfb() {
    local n
    for n in $(seq 90 199); do
        if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then
            continue
        fi
        Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 50); do
            if [ -e "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            sleep 0.1
        done
        return 1
    done
    return 1
}

# A copy of the program beside its page. The window opens index.html plainly, so index.html
# forwards to the page with its URL parameters (see the page's header comment).
prepare_program() {
    mkdir -p "$prog" "$work/runtime" "$work/tmp"
    chmod 700 "$work/runtime"
    cp "$BUILD/Corvel_Web/lumar" "$prog/"
    cp "$BUILD/Corvel_Web/index.html" "$prog/lumar_page.html"
}

# start_lumar QUERY: lumar in the client namespace, its page opened with QUERY.
start_lumar() {
    printf '<!DOCTYPE html><meta charset="utf-8"><script>location.replace("lumar_page.html?%s");</script>\n' \
        "$1" >"$prog/index.html"
    tunnel_client_start "$name" "$work" "$work/lumar.log" env XDG_RUNTIME_DIR="$work/runtime" \
        TMPDIR="$work/tmp" XDG_SESSION_ID="lumar-demo-$$" "$prog/lumar"
}

window_id() {
    xwininfo -name lumar 2>/dev/null | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p'
}

# screenshot NAME: the lumar window as BUILD_DIR/artifacts/NAME.png.
screenshot() {
    mkdir -p "$shots"
    import -window "$(window_id)" "$shots/$1.png"
    echo "screenshot: $shots/$1.png"
}

wait_for() {
    local what=$1 tries=$2
    shift 2
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        if ! kill -0 "$(cat "$work/client.pid")" 2>/dev/null; then
            break
        fi
        sleep 0.2
    done
    echo "lumar: no $what; its output:" >&2
    cat "$work/lumar.log" >&2
    return 1
}

if [ -z "${DISPLAY:-}" ]; then
    start_xvfb || { echo "cannot start Xvfb" >&2; exit 1; }
    echo "no display: lumar runs on a private Xvfb ($DISPLAY)"
fi

step "namespaces: client 172.30.0.2, server 172.30.0.1, LAN host $TUNNEL_LAN_HOST behind it"
tunnel_server_up "$name" "$work"
sed 's/^/server: /' "$work/server.log"
prepare_program
before=$(in_ns cli ip -4 route show)

step "lumar, not connected yet"
start_lumar "preset=demo&pk=$TUNNEL_SERVER_KEY"
wait_for "window" 100 window_id
sleep 3  # the page renders
screenshot lumar_not_connected
tunnel_disconnect "$work"

step "lumar connects through its page (demo preset, autoconnect)"
start_lumar "preset=demo&pk=$TUNNEL_SERVER_KEY&autoconnect"
wait_for "tunnel" 150 in_ns cli ip link show tun0
wait_for "session at the server" 50 grep -q authenticated "$work/server.log"
sed 's/^/server: /' "$work/server.log" | grep authenticated
sleep 2  # the page shows the new state
screenshot lumar_connected

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

step "disconnect: SIGTERM to lumar, which stops the tunnel and then quits"
tunnel_disconnect "$work"
sed 's/^/server: /' "$work/server.log" | grep 'ended (disconnected)'

step "client routes after the disconnect (as before the connect)"
after=$(in_ns cli ip -4 route show)
echo "$after"
if [ "$before" != "$after" ]; then
    echo "the client's routes differ from before the connect" >&2
    exit 1
fi
