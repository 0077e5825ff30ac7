# Shell helpers shared by the demos and the tunnel benchmark: three namespaces, the
# reference server in one, a client (lumar or the command-line client) in another. Source
# it; set BUILD first.

TUNNEL_SERVER_ADDR=172.30.0.1
TUNNEL_SERVER_PORT=51820
TUNNEL_LAN_HOST=198.51.100.2
TUNNEL_TOKEN=demo-token
tunnel_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# tunnel_server_up NAME WORKDIR: namespaces and the reference server; sets TUNNEL_SERVER_KEY.
tunnel_server_up() {
    local name=$1 work=$2
    bash "$tunnel_scripts/topology.sh" create "$name"
    ip netns exec "$name-srv" "$BUILD/tools/ref_server/ref_server" \
        --listen "$TUNNEL_SERVER_ADDR" --port "$TUNNEL_SERVER_PORT" \
        --key-file "$work/server.key" --tokens "$TUNNEL_TOKEN" --tun qsrv0 \
        >"$work/server.log" 2>&1 &
    echo $! >"$work/server.pid"
    TUNNEL_SERVER_KEY=""
    for _ in $(seq 50); do
        TUNNEL_SERVER_KEY=$(sed -n 's/^public key \([0-9a-f]\{64\}\)$/\1/p' "$work/server.log")
        [ -n "$TUNNEL_SERVER_KEY" ] && return 0
        sleep 0.1
    done
    echo "the reference server did not start:" >&2
    cat "$work/server.log" >&2
    return 1
}

# tunnel_client_start NAME WORKDIR LOG COMMAND...: starts the command in the background in
# the client namespace, with a copy-on-write /etc of its own so that its DNS change stays
# inside (ip netns exec already gives it a private mount namespace). Its pid goes to
# WORKDIR/client.pid.
tunnel_client_start() {
    tunnel_ns_start "$1" "$2" "$3" "$2/client.pid" "${@:4}"
}

# tunnel_ns_start NAME WORKDIR LOG PIDFILE COMMAND...: as tunnel_client_start, the pid to
# PIDFILE.
tunnel_ns_start() {
    local name=$1 work=$2 log=$3 pidfile=$4
    shift 4
    mkdir -p "$work/etc"
    ip netns exec "$name-cli" sh -c '
        mount -t tmpfs tmpfs "$1" && mkdir "$1/upper" "$1/work" &&
        mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/upper,workdir=$1/work" /etc &&
        shift && exec "$@"' sh "$work/etc" "$@" >"$log" 2>&1 &
    echo $! >"$pidfile"
}

# tunnel_up NAME WORKDIR [client options...]: namespaces, server, connected client.
tunnel_up() {
    local name=$1 work=$2
    shift 2
    tunnel_server_up "$name" "$work" || return 1
    tunnel_client_start "$name" "$work" "$work/client.log" \
        "$BUILD/service/quarnel-cli/quarnel-cli" connect --server "$TUNNEL_SERVER_ADDR" \
        --port "$TUNNEL_SERVER_PORT" --server-key "$TUNNEL_SERVER_KEY" --token "$TUNNEL_TOKEN" \
        --dns 10.8.0.1 "$@"
    for _ in $(seq 150); do
        grep -q '^connected$' "$work/client.log" && return 0
        if ! kill -0 "$(cat "$work/client.pid")" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "the client did not connect:" >&2
    cat "$work/client.log" >&2
    return 1
}

# tunnel_disconnect WORKDIR: SIGTERM to the client, which then disconnects (SIGINT would be
# lost: a script's background commands start with it ignored).
tunnel_disconnect() {
    local work=$1 pid
    pid=$(cat "$work/client.pid" 2>/dev/null) || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$work/client.pid"
}

# tunnel_down NAME WORKDIR: stops everything and removes what tunnel_up created.
tunnel_down() {
    local name=$1 work=$2
    tunnel_disconnect "$work"
    if [ -f "$work/server.pid" ]; then
        kill -TERM "$(cat "$work/server.pid")" 2>/dev/null || true
        wait "$(cat "$work/server.pid")" 2>/dev/null || true
        rm -f "$work/server.pid"
    fi
    bash "$tunnel_scripts/topology.sh" destroy "$name"
}

tunnel_step() { printf '\n== %s\n' "$*"; }

# tunnel_show_traffic NAME WORKDIR: the client's routes, a ping and a verified 20 MB TCP
# transfer from the client to the LAN host, through the tunnel.
tunnel_show_traffic() {
    local name=$1 work=$2 receiver
    tunnel_step "client routes while connected (the LAN goes through the tunnel)"
    ip netns exec "$name-cli" ip -4 route show
    ip netns exec "$name-cli" ip -4 addr show dev tun0 | sed -n 's/^ *inet /inet /p'

    tunnel_step "ping through the tunnel"
    ip netns exec "$name-cli" ping -c 3 -i 0.3 -n "$TUNNEL_LAN_HOST"

    tunnel_step "20 MB over TCP through the tunnel, content verified on arrival"
    ip netns exec "$name-lan" "$BUILD/tools/tcp_transfer" serve --port 5001 --timeout 30 \
        >"$work/receiver.log" &
    receiver=$!
    sleep 0.3
    ip netns exec "$name-cli" "$BUILD/tools/tcp_transfer" send --host "$TUNNEL_LAN_HOST" \
        --port 5001 --bytes 20000000
    wait "$receiver"
    cat "$work/receiver.log"
}
