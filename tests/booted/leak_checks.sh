#!/usr/bin/env bash
# The scripts run inside the systems take their values as arguments:
# shellcheck disable=SC2016
# Does a proxy-mode tunnel keep the host's DNS queries and IPv6 traffic away from the
# physical link, and does the host get back exactly what it had, on the systems users run?
# One scenario, run on each system (tests/booted/booted_system.sh): systemd-resolved and
# NetworkManager (booted, the engine service socket-activated by systemd), Debian's
# resolvconf and a resolv.conf nobody manages (the service started by hand).
#
# The world around the client, in namespaces of this script: NAME-srv is the uplink router,
# the ISP's resolver (logs every query) and the VPN server (the reference server, whose TUN
# qsrv0 is 10.8.0.1, with the tunnel's resolver behind it); NAME-far is the Internet with an
# IPv6 listener that logs each connection. The ISP answers probe.test names with 192.0.2.1
# (2001:db8:ffff::1), the tunnel's resolver with 192.0.2.2 (::2), so every answer tells who
# gave it.
#
# Usage: tests/booted/leak_checks.sh DEB [VARIANT...]  (BUILD: the normal build, for
# ref_server, default build/; LEAK_CHECKS_KEEP=1 keeps the logs and state snapshots)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source=booted_system.sh source-path=SCRIPTDIR
. "$here/booted_system.sh"

[ $# -ge 1 ] || {
    echo "usage: $0 DEB [VARIANT...]" >&2
    exit 64
}
deb=$(realpath "$1")
shift
read -r -a variants <<<"${*:-$BS_VARIANTS}"
build=${BUILD:-$root/build}
ref_server=$build/tools/ref_server/ref_server
[ -x "$ref_server" ] || {
    echo "no $ref_server: build first (scripts/setup.sh)" >&2
    exit 1
}

started=$(date +%s)
# ip netns add makes /run/netns a mount point where it was none; taken back at the end.
netns_was_mounted=no
mountpoint -q /run/netns && netns_was_mounted=yes
work=$(mktemp -d /var/tmp/lumar-leaks.XXXXXX)
name=lbt$$
srv=$name-srv
far=$name-far
server_key=""
token=leak-token
listener=2001:db8:2::2
world_pids=()
passed=0
failed=0
summary=""

cleanup() {
    local status=$? pid
    trap - EXIT INT TERM
    if [ -z "$summary" ]; then
        echo "FAIL the checks did not run to their end (exit status $status)"
        failed=$((failed + 1))
        echo "$passed passed, $failed failed"
    fi
    bs_stop
    for pid in "${world_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${world_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    for ns in "$srv" "$far"; do
        ip netns delete "$ns" 2>/dev/null || true
    done
    if [ $netns_was_mounted = no ] && mountpoint -q /run/netns && [ -z "$(ip netns list 2>/dev/null)" ]; then
        umount /run/netns
    fi
    rm -rf "$work/system"
    if [ -n "${LEAK_CHECKS_KEEP:-}" ]; then
        echo "evidence kept in $work"
    else
        rm -rf "$work"
    fi
    echo "leak checks: $(($(date +%s) - started)) s"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# check VARIANT WHAT EVIDENCE_FILE CMD...: PASS when CMD succeeds, else FAIL and the evidence.
check() {
    local variant=$1 what=$2 evidence=$3
    shift 3
    if "$@"; then
        echo "PASS $variant: $what"
        passed=$((passed + 1))
        return 0
    fi
    echo "FAIL $variant: $what"
    failed=$((failed + 1))
    if [ -n "$evidence" ] && [ -s "$evidence" ]; then
        sed 's/^/    | /' "$evidence"
    fi
    return 1
}

# ---- the world ----

world_up() {
    ip netns add "$srv"
    ip netns add "$far"
    ip -n "$srv" link set lo up
    ip -n "$far" link set lo up
    # The uplink's addresses sit on a bridge, so that they and the programs bound to them
    # outlive each system's veth.
    ip -n "$srv" link add br0 type bridge forward_delay 0
    ip -n "$srv" addr add "$BS_GW4/24" dev br0
    ip -n "$srv" addr add "$BS_GW6/64" dev br0 nodad
    ip -n "$srv" link set br0 up
    ip -n "$srv" link add far0 type veth peer name eth0 netns "$far"
    ip -n "$srv" addr add 2001:db8:2::1/64 dev far0 nodad
    ip -n "$far" addr add "$listener/64" dev eth0 nodad
    ip -n "$srv" link set far0 up
    ip -n "$far" link set eth0 up
    ip -n "$far" -6 route add default via 2001:db8:2::1
    ip netns exec "$srv" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1

    # Every process of the world ends by itself after an hour at the latest.
    ip netns exec "$srv" timeout 3600 "$ref_server" --listen "$BS_GW4" --port 51820 \
        --key-file "$work/server.key" --tokens "$token" --tun qsrv0 >"$work/server.log" 2>&1 &
    world_pids+=($!)
    for _ in $(seq 50); do
        server_key=$(sed -n 's/^public key \([0-9a-f]\{64\}\)$/\1/p' "$work/server.log")
        [ -n "$server_key" ] && ip -n "$srv" -4 addr show dev qsrv0 2>/dev/null | grep -q 10.8.0.1 &&
            break
        sleep 0.1
    done
    [ -n "$server_key" ] || {
        cat "$work/server.log" >&2
        return 1
    }
    dns_server "$BS_ISP_DNS" 1 "$work/isp.log"
    # The tunnel's resolver refuses fail.test names, as one whose upstream is down.
    dns_server 10.8.0.1 2 "$work/tunnel-dns.log" --server=/fail.test/#
    ip netns exec "$far" timeout 3600 python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 8080))
s.listen(16)
while True:
    c, peer = s.accept()
    print("accepted", peer[0], flush=True)
    c.close()' "$listener" >"$work/listener.log" 2>&1 &
    world_pids+=($!)
    for _ in $(seq 50); do
        ip netns exec "$far" ss -Hltn "sport = :8080" | grep -q . && return 0
        sleep 0.1
    done
    echo "the IPv6 listener did not start" >&2
    return 1
}

# dns_server ADDR N LOG [OPTION...]: a resolver bound to ADDR alone, logging every query; it
# answers probe.test names with 192.0.2.N and 2001:db8:ffff::N (both kinds, so that no query
# is refused), every other name with 192.0.2.99 and 2001:db8:ffff::99.
dns_server() {
    ip netns exec "$srv" timeout 3600 dnsmasq --keep-in-foreground --log-facility=- \
        --log-queries --no-resolv --no-hosts --bind-interfaces --listen-address="$1" \
        --except-interface=lo --pid-file= --user=root --cache-size=0 \
        --address="/probe.test/192.0.2.$2" --address="/probe.test/2001:db8:ffff::$2" "${@:4}" \
        --address=/#/192.0.2.99 --address=/#/2001:db8:ffff::99 >"$3" 2>&1 &
    world_pids+=($!)
    for _ in $(seq 50); do
        grep -q 'started, version' "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "dnsmasq on $1 did not start:" >&2
    cat "$3" >&2
    return 1
}

# ---- inside the system ----

# who ADDRESS: which resolver gave this answer.
who() {
    case $1 in
    192.0.2.1 | 2001:db8:ffff::1) echo isp ;;
    192.0.2.2 | 2001:db8:ffff::2) echo tunnel ;;
    *) echo "none ($1)" ;;
    esac
}

# lookup METHOD NAME: the first answer, as alice, or "none".
lookup() {
    local answer=""
    case $1 in
    getent) answer=$(as_alice timeout 10 getent hosts "$2" | awk 'NR == 1 { print $1 }') ;;
    glibc) answer=$(as_alice timeout 10 getent ahostsv4 "$2" | awk 'NR == 1 { print $1 }') ;;
    resolvectl)
        answer=$(as_alice timeout 10 resolvectl query --legend=no "$2" |
            awk 'NR == 1 { print $2 }')
        ;;
    esac || true
    echo "${answer:-none}"
}

# The system's ways of looking a name up: glibc twice (gethostbyname, getaddrinfo), and the
# resolver manager's own where there is one.
lookup_methods() {
    echo getent glibc
    [ "$1" = resolved ] && echo resolvectl
    return 0
}

# isp_saw NAME FROM_OFFSET: the ISP's log shows a query for NAME past the offset (waits 1 s
# for it).
isp_saw() {
    for _ in $(seq 10); do
        tail -c +"$(($2 + 1))" "$work/isp.log" | grep -qF " $1 " && return 0
        sleep 0.1
    done
    return 1
}

# lookups VARIANT TAG EXPECT EVIDENCE: a fresh name per method; status_answer says whether
# every answer came from EXPECT (isp or tunnel), status_isp_all whether the ISP saw every
# name, status_isp_none whether it saw none (0: yes).
lookups() {
    local variant=$1 tag=$2 expect=$3 evidence=$4 method qname answer offset seen=0 unseen=0
    offset=$(stat -c %s "$work/isp.log")
    status_answer=0
    : >"$evidence"
    for method in $(lookup_methods "$variant"); do
        qname=$tag-$method-$$.probe.test
        answer=$(lookup "$method" "$qname")
        echo "$method $qname -> $answer, from $(who "$answer")" >>"$evidence"
        [ "$(who "$answer")" = "$expect" ] || status_answer=1
        if isp_saw "$qname" "$offset"; then
            seen=$((seen + 1))
        else
            unseen=$((unseen + 1))
        fi
    done
    {
        echo "the ISP's resolver logged:"
        tail -c +"$((offset + 1))" "$work/isp.log" | grep -F "$tag-" || echo "(nothing)"
    } >>"$evidence"
    status_isp_all=$((unseen > 0))
    status_isp_none=$((seen > 0))
}

# failing_lookup VARIANT EVIDENCE: a name the tunnel's resolver refuses; status_isp_none says
# whether the ISP did not see it (0: it did not).
failing_lookup() {
    local qname=fail-$1-$$.fail.test offset
    offset=$(stat -c %s "$work/isp.log")
    echo "getent ahosts $qname -> $(lookup glibc "$qname")" >"$2"
    status_isp_none=0
    if isp_saw "$qname" "$offset"; then
        status_isp_none=1
        tail -c +"$((offset + 1))" "$work/isp.log" | grep -F "$qname" >>"$2"
    fi
}

# ipv6_try: 0 when a TCP connection to the far listener was made and the listener logged it.
ipv6_try() {
    local before
    before=$(wc -l <"$work/listener.log")
    if as_alice timeout 5 bash -c "exec 3<>/dev/tcp/$listener/8080" 2>/dev/null; then
        sleep 0.3
    else
        sleep 1
    fi
    [ "$(wc -l <"$work/listener.log")" -gt "$before" ]
}

# The host's network state as the session may change it, without what the kernel changes by
# itself (lifetimes, the link-layer neighbours).
host_state() {
    local variant=$1
    # Whatever part cannot be read shows as missing in the comparison.
    in_booted sh -c '
        echo "# links"; ip -o link show | sed "s/^[0-9]*: //"
        echo "# addresses"; ip -o addr show | sed "s/^[0-9]*: //; s/ *valid_lft.*//"
        echo "# routes"; ip -4 route show table all; ip -6 route show table all
        echo "# rules"; ip -4 rule; ip -6 rule
        echo "# sysctl"
        sysctl net.ipv4.ip_forward net.ipv6.conf.all.disable_ipv6 net.ipv6.conf.eth0.disable_ipv6
        echo "# /etc/resolv.conf: $(readlink /etc/resolv.conf || echo "a file"), sha256" \
            "$(sha256sum </etc/resolv.conf | cut -c1-16), without comments:"
        grep -v "^#" /etc/resolv.conf
        echo "# /var/lib/quarnel"; ls -A /var/lib/quarnel 2>/dev/null || true' |
        sed -E 's/ expires [0-9]+sec//' || true
    case $variant in
    resolved)
        echo "# resolvectl status"
        in_booted resolvectl status --no-pager || true
        ;;
    networkmanager)
        echo "# NetworkManager"
        in_booted sh -c 'nmcli -t -f DEVICE,TYPE,STATE,CONNECTION device
            nmcli -t -f IP4.DNS,IP6.DNS device show eth0
            busctl get-property org.freedesktop.NetworkManager /org/freedesktop/NetworkManager \
                org.freedesktop.NetworkManager GlobalDnsConfiguration' || true
        ;;
    resolvconf)
        echo "# resolvconf"
        in_booted sh -c 'cd /run/resolvconf/interface && for f in *; do echo "$f: $(cat "$f")"; done' ||
            true
        ;;
    esac
}

# resolver_config VARIANT FILE: the resolver part of the host's state, kept in FILE.
resolver_config() {
    host_state "$1" >"$2" 2>&1
    sed -n '/^# \/etc\/resolv.conf/,/^# \/var/p; /^# resolv/,$p; /^# Network/,$p' "$2" |
        grep -v '^# /var'
}

# uplink_again VARIANT: the uplink connects again (a Wi-Fi roam, a cable plugged back), as
# the system's network manager handles it; fails where nothing manages it.
uplink_again() {
    case $1 in
    resolved) in_booted networkctl reconfigure eth0 ;;
    networkmanager) in_booted nmcli connection up uplink >/dev/null ;;
    resolvconf)
        in_booted sh -c 'resolvconf -d host0.dhcp && echo "nameserver $1" | resolvconf -a host0.dhcp' \
            sh "$BS_ISP_DNS"
        ;;
    *) return 1 ;;
    esac
}

# state_is_back VARIANT SNAPSHOT DIFF: the state equals the snapshot (given 5 s to settle).
state_is_back() {
    for _ in $(seq 10); do
        host_state "$1" >"$work/now.state" 2>&1
        diff -u "$2" "$work/now.state" >"$3" && return 0
        sleep 0.5
    done
    return 1
}

engine_start() {
    if [ "$BS_MODE" = boot ]; then
        in_booted systemctl start quarneld.service
    else
        # Ready once this start's own "serving" line is there (a killed one's socket stays).
        in_booted sh -c 'mkdir -p /run/quarnel-test
            touch /var/log/quarneld.log
            starts=$(grep -c "serving .* for root and group" /var/log/quarneld.log || true)
            quarneld --socket /run/quarnel-test/engine.sock --group "$1" >>/var/log/quarneld.log 2>&1 &
            echo $! >/run/quarneld.pid
            for _ in $(seq 50); do
                [ "$(grep -c "serving .* for root and group" /var/log/quarneld.log)" -gt "$starts" ] && exit 0
                sleep 0.1
            done
            exit 1' sh "$BS_GROUP"
    fi
}

# tun_made_by_service EVIDENCE: with no /dev/net/tun when the socket starts the service, the
# service makes the node and opens it, asked over the socket as the client program's driver
# check asks it (the load_tun request; root here, from outside the system).
tun_made_by_service() {
    [ "$(in_booted systemctl is-active quarneld.service)" = inactive ] || {
        echo "the service ran before the node was removed" >"$1"
        return 1
    }
    in_booted rm -f /dev/net/tun
    python3 - "/proc/$BS_PID/root/run/quarnel/engine.sock" >"$1" 2>&1 <<'PYTHON' && return 0
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(30)
s.connect(sys.argv[1])
s.sendall(struct.pack(">I", 4) + b"QN\x01\x08")
data = b""
while len(data) < 4 or len(data) < 4 + struct.unpack(">I", data[:4])[0]:
    chunk = s.recv(64)
    if not chunk:
        break
    data += chunk
body = data[4:]
# An answer to load_tun: "QN", version 1, ok, the request, the outcome, a round trip.
if len(body) == 11 and body[:5] == b"QN\x01\x80\x08":
    outcome = struct.unpack(">i", body[5:9])[0]
    print("the service: " + {0: "the device works", 1: "the node could not be made",
                             2: "the node does not open"}.get(outcome, str(outcome)))
    sys.exit(0 if outcome == 0 else 1)
print("the service answered " + data.hex())
sys.exit(1)
PYTHON
    {
        in_booted ls -l /dev/net
        engine_log | grep -iE 'tun|device' | tail -n 5
    } >>"$1" 2>&1 || true
    return 1
}

engine_kill() {
    if [ "$BS_MODE" = boot ]; then
        in_booted systemctl kill -s KILL quarneld.service
    else
        # As after a crash: the process is gone before anything starts again (a zombie
        # leader may still have threads that hold the socket; the namespace's init reaps it).
        in_booted sh -c 'pid=$(cat /run/quarneld.pid); kill -KILL "$pid"
            for _ in $(seq 200); do
                [ -e "/proc/$pid" ] || exit 0
                sleep 0.1
            done
            echo "quarneld (pid $pid) still there 20 s after SIGKILL:"
            grep "^State" "/proc/$pid/status"
            exit 1'
    fi
}

engine_log() {
    if [ "$BS_MODE" = boot ]; then
        in_booted journalctl -u quarneld.service --no-pager -o cat
    else
        in_booted cat /var/log/quarneld.log
    fi
}

# service_view: /etc/resolv.conf as the host and as the running service see it (the service
# has a mount namespace of its own under systemd).
service_view() {
    [ "$BS_MODE" = boot ] || return 0
    in_booted sh -c '
        pid=$(systemctl show -p MainPID --value quarneld.service)
        echo "/etc/resolv.conf, host:    $(stat -L -c "inode %i, %s bytes" /etc/resolv.conf)"
        [ "${pid:-0}" != 0 ] || exit 0
        echo "/etc/resolv.conf, service: $(nsenter -t "$pid" -m stat -L -c "inode %i, %s bytes" /etc/resolv.conf)," \
            "mounted there: $(nsenter -t "$pid" -m findmnt -no OPTIONS /etc/resolv.conf || echo "nothing")"
        nsenter -t "$pid" -m cat /etc/resolv.conf | sed "s/^/  service sees: /"'
}

# connect LOG: quarnel-cli as alice, through the service, until "connected" (15 s).
connect() {
    local log=$1 socket_env=()
    [ "$BS_MODE" = boot ] || socket_env=(QUARNEL_SOCKET=/run/quarnel-test/engine.sock)
    as_alice env "${socket_env[@]}" sh -c 'echo $$ >/tmp/quarnel-cli.pid; exec "$@"' sh \
        quarnel-cli connect --server "$BS_GW4" --port 51820 --server-key "$server_key" \
        --token "$token" --mode proxy --dns 10.8.0.1 >"$log" 2>&1 &
    for _ in $(seq 150); do
        grep -q '^connected$' "$log" && return 0
        sleep 0.1
    done
    return 1
}

client_signal() {
    in_booted sh -c 'pid=$(cat /tmp/quarnel-cli.pid) && kill -s "$1" "$pid" &&
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.1; done; exit 1' \
        sh "$1"
}

# The results of the last lookups.
answered() { [ "$status_answer" -eq 0 ]; }
isp_saw_all() { [ "$status_isp_all" -eq 0 ]; }
isp_saw_none() { [ "$status_isp_none" -eq 0 ]; }
answered_by_isp() { answered && isp_saw_all; }
# Only a check that saw the leak before connecting can tell its absence (scenario's locals).
dns_sealed() { [ "$can_see_dns" = yes ] && isp_saw_none; }
tunnel_only() { answered && dns_sealed; }
ipv6_sealed() { [ "$can_see_ipv6" = yes ] && ! ipv6_try; }
no_journal_left() { ! in_booted sh -c 'ls -A /var/lib/quarnel' | grep -q journal; }
socket_ready() {
    [ "$(in_booted systemctl is-enabled quarneld.socket)" = enabled ] &&
        [ "$(in_booted systemctl is-active quarneld.socket)" = active ]
}

# ---- the scenario ----

# connect_checked VARIANT LOG WHAT: connect as a check; on failure the engine's last lines
# and the resolver file as the service sees it.
connect_checked() {
    local t=$EPOCHREALTIME
    if check "$1" "$3" "$2" connect "$2"; then
        echo "  (connected in $(bs_since "$t") s)"
        return 0
    fi
    engine_log | tail -n 15 | sed 's/^/    | engine: /' || true
    service_view | sed 's/^/    | /' || true
    return 1
}

scenario() {
    local v=$1 e=$work/$1 t can_see_dns=no can_see_ipv6=no
    mkdir -p "$e"
    echo "== $v"
    t=$EPOCHREALTIME
    if ! bs_start "$work/system" "$v" "$deb" "$srv" cl0; then
        check "$v" "the system starts with the package installed" "" false || true
        bs_stop
        return 0
    fi
    ip -n "$srv" link set cl0 master br0
    if [ "$BS_MODE" = boot ]; then
        check "$v" "the package's installation enabled the socket unit; it listens" \
            "$work/system/install.log" socket_ready || true
        # The session below opens the node the service made.
        check "$v" "no /dev/net/tun when the service starts: it makes the node and opens it" \
            "$e/tun" tun_made_by_service "$e/tun" || true
    else
        engine_start || echo "  the engine service did not start"
    fi
    echo "  (system up in $(bs_since "$t") s)"

    # The checks below can see a leak: before connecting, the ISP answers and IPv6 goes out.
    lookups "$v" before isp "$e/before"
    check "$v" "before connecting, the ISP's resolver answers and logs every lookup" \
        "$e/before" answered_by_isp && can_see_dns=yes
    check "$v" "before connecting, IPv6 reaches the listener" "" ipv6_try && can_see_ipv6=yes
    host_state "$v" >"$e/snapshot" 2>&1

    if ! connect_checked "$v" "$e/client1.log" "alice connects in proxy mode through the service"; then
        bs_stop
        return 0
    fi
    # What a resolver manager does a moment after the tunnel came up counts too.
    sleep 2
    lookups "$v" tunnel tunnel "$e/tunnel"
    local sealed=yes
    check "$v" "connected, every lookup is answered by the tunnel's resolver" "$e/tunnel" \
        answered || sealed=no
    check "$v" "connected, the ISP's resolver sees none of the lookups" "$e/tunnel" \
        dns_sealed || sealed=no
    if [ $sealed = no ]; then
        echo "    | the resolver configuration while connected:"
        resolver_config "$v" "$e/connected" | sed 's/^/    | /'
    fi
    # Debian's resolvconf merges every interface's servers, the tunnel's first: glibc asks the
    # next one when the tunnel's fails a name. It has no way to register exclusively.
    if [ "$v" = resolvconf ]; then
        echo "note $v: a name the tunnel's resolver fails may go to the next server (no exclusive registration)"
    else
        failing_lookup "$v" "$e/failing"
        check "$v" "connected, a name the tunnel's resolver refuses is not asked of the ISP" \
            "$e/failing" dns_sealed || true
    fi
    check "$v" "connected, IPv6 does not reach the listener outside the tunnel" "" \
        ipv6_sealed || true
    # The uplink connects again meanwhile: the resolver manager writes its configuration anew.
    if uplink_again "$v"; then
        sleep 2
        lookups "$v" renewed tunnel "$e/renewed"
        resolver_config "$v" "$e/renewed.state" >>"$e/renewed"
        check "$v" "connected, the uplink connected again, lookups still go through the tunnel only" \
            "$e/renewed" tunnel_only || true
    fi
    echo "  the engine's lines on DNS:"
    engine_log | grep -iE 'dns|resolv' | sed 's/^/    /' || echo "    (none)"

    client_signal TERM || true
    check "$v" "disconnected, the host is as before" "$e/diff1" \
        state_is_back "$v" "$e/snapshot" "$e/diff1" || true
    lookups "$v" after isp "$e/after"
    check "$v" "disconnected, lookups go to the ISP again" "$e/after" answered_by_isp || true

    # The same service serves the next session, whatever the host did meanwhile; where it
    # cannot, a restarted one serves it, so that the checks below still run.
    if ! connect_checked "$v" "$e/client2.log" "alice connects again, to the same service"; then
        engine_kill || true
        engine_start || echo "  the engine service did not start again"
        if ! connect_checked "$v" "$e/client3.log" "alice connects to a restarted service"; then
            bs_stop
            return 0
        fi
    fi
    # A killed service: its next start puts back what the session's record holds.
    engine_kill || true
    client_signal KILL || true
    engine_start || echo "  the engine service did not start again"
    check "$v" "service killed and started again, the host is as before" "$e/diff2" \
        state_is_back "$v" "$e/snapshot" "$e/diff2" || true
    lookups "$v" restarted isp "$e/restarted"
    check "$v" "service killed and started again, lookups go to the ISP" "$e/restarted" \
        answered_by_isp || true
    if ! check "$v" "service killed and started again, no record of host changes left" "" \
        no_journal_left; then
        in_booted sh -c 'ls -l /var/lib/quarnel' | sed 's/^/    | /' || true
        engine_log | grep -iE 'undo|put back|notification|tun0' | tail -n 8 |
            sed 's/^/    | engine: /' || true
    fi
    engine_log >"$e/engine.log" 2>&1 || true
    bs_stop
}

echo "== the world: uplink router, ISP resolver, VPN server, IPv6 listener"
world_up
for variant in "${variants[@]}"; do
    scenario "$variant"
done
summary="$passed passed, $failed failed"
echo "$summary"
[ "$failed" -eq 0 ]
