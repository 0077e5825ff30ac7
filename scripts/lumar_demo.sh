#!/usr/bin/env bash
# lumar at work on one machine: the reference server and a host behind it each in a network
# namespace of their own; in a client namespace the engine service quarneld (root) and lumar as
# the unprivileged user nobody, with a home of its own, on this display (on a private Xvfb when
# there is none). lumar's page connects to the server by itself (its demo preset and the
# server's key from page_options.json) through the service; a ping and a verified 20 MB
# transfer go through the tunnel; a click on the page's "断开" button disconnects; SIGTERM then
# ends lumar and the service. Screenshots of the window, connected and disconnected, go to
# BUILD_DIR/artifacts.
# Usage: lumar_demo.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
source "$(dirname "$0")/tunnel_env.sh"

name=qlumar$$
work=$(mktemp -d)
shots="$BUILD/artifacts"
prog="$work/program"
user=nobody
group=$(id -gn "$user")
xvfb_pid=""
cleanup() {
    tunnel_disconnect "$work"
    stop_service
    tunnel_down "$name" "$work"
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

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

# A copy of the program beside its page, owned by the user as a build tree of their own
# would be, with the page's options: the demo preset, the server's key, and a connect as soon
# as the page is ready. The user's home, runtime and temporary directories are private.
prepare_program() {
    chmod 711 "$work"
    mkdir -p "$prog" "$work/home" "$work/runtime" "$work/tmp"
    cp "$BUILD/Corvel_Web/lumar" "$BUILD/Corvel_Web/index.html" "$prog/"
    printf '{"preset": "demo", "pk": "%s", "autoconnect": true}\n' "$TUNNEL_SERVER_KEY" \
        >"$prog/page_options.json"
    if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
        cp "$XAUTHORITY" "$work/home/.Xauthority"
    fi
    chown -R "$user:$group" "$prog" "$work/home" "$work/runtime" "$work/tmp"
    chmod 700 "$work/home" "$work/runtime" "$work/tmp"
}

# The engine service in the client namespace, serving the user's group on a socket of the
# demo's own; its DNS change stays in a private /etc as the command-line client's does.
start_service() {
    tunnel_ns_start "$name" "$work" "$work/service.log" "$work/service.pid" \
        "$BUILD/service/quarneld" --socket "$work/engine.sock" --group "$group"
    for _ in $(seq 50); do
        grep -q 'serving ' "$work/service.log" && return 0
        sleep 0.1
    done
    echo "quarneld did not start:" >&2
    cat "$work/service.log" >&2
    return 1
}

stop_service() {
    local pid
    pid=$(cat "$work/service.pid" 2>/dev/null) || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$work/service.pid"
}

# nobody has no session bus; one started for it on demand would outlive the demo.
start_lumar() {
    local xauth=()
    if [ -f "$work/home/.Xauthority" ]; then
        xauth=(XAUTHORITY="$work/home/.Xauthority")
    fi
    ip netns exec "$name-cli" setpriv --reuid="$user" --regid="$group" --init-groups -- \
        env -i PATH=/usr/bin:/bin DISPLAY="$DISPLAY" "${xauth[@]}" HOME="$work/home" \
        XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" XDG_SESSION_ID="lumar-demo-$$" \
        QUARNEL_SOCKET="$work/engine.sock" LUMAR_LOG_LEVEL=0 \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" "$prog/lumar" \
        >"$work/lumar.log" 2>&1 &
    echo $! >"$work/client.pid"
}

window_id() {
    xwininfo -name lumar 2>/dev/null | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p'
}

# click_disconnect: a left click on the page's "断开" button, as a person would. The page lays
# it out at (180, 465) of the 360 x 728 window; the window's real width gives the scale.
click_disconnect() {
    local id width
    id=$(window_id)
    width=$(xwininfo -id "$id" | sed -n 's/^ *Width: //p')
    xdotool mousemove --window "$id" $((180 * width / 360)) $((465 * width / 360)) click 1
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

tunnel_step "namespaces: client 172.30.0.2, server 172.30.0.1, LAN host $TUNNEL_LAN_HOST behind it"
tunnel_server_up "$name" "$work"
sed 's/^/server: /' "$work/server.log"
prepare_program
before=$(in_ns cli ip -4 route show)

tunnel_step "quarneld serves the engine in the client namespace to the group $group"
start_service
sed 's/^/quarneld: /' "$work/service.log"

tunnel_step "lumar as $user connects through its page and the service (demo preset, autoconnect)"
start_lumar
wait_for "window" 100 window_id
wait_for "tunnel" 150 in_ns cli ip link show tun0
wait_for "session at the server" 50 grep -q authenticated "$work/server.log"
sed 's/^/server: /' "$work/server.log" | grep authenticated
grep -m1 'session started' "$work/service.log" | sed 's/^/quarneld: /'
echo "lumar runs as: $(ps -o user=,pid=,comm= -p "$(cat "$work/client.pid")")"
wait_for "connected page" 50 grep -q 'on_vpnStarted executed' "$prog/Corvel.log"
sleep 1  # the page paints its new state
screenshot lumar_connected

tunnel_show_traffic "$name" "$work"

tunnel_step "disconnect: a click on the page's 断开 button"
click_disconnect
wait_for "disconnect at the server" 100 grep -q 'ended (disconnected)' "$work/server.log"
sed 's/^/server: /' "$work/server.log" | grep 'ended (disconnected)'
wait_for "disconnected page" 50 grep -q 'on_vpnStopped executed' "$prog/Corvel.log"
sleep 1
screenshot lumar_disconnected

tunnel_step "client routes after the disconnect (as before the connect)"
after=$(in_ns cli ip -4 route show)
echo "$after"
if [ "$before" != "$after" ]; then
    echo "the client's routes differ from before the connect" >&2
    exit 1
fi

tunnel_step "lumar ends (SIGTERM, as at the end of a desktop session), then the service"
tunnel_disconnect "$work"
stop_service
sed 's/^/quarneld: /' "$work/service.log" | tail -n 3
