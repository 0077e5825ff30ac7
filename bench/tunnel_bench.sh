#!/usr/bin/env bash
# Tunnel benchmark: TCP throughput (1 and 4 streams, both directions), ping latency idle, with pings 0.5 ms apart, at
# 50 packets a second and under load, the CPU time of the engine and the server (share of a
# core, and seconds per gigabit carried) and their wake-ups a second idle and at 50 packets a
# second each way, each also measured on the raw path without the tunnel in the same run.
# Two namespaces (client to the server's own tunnel address) or three (client to a host behind
# the server, which forwards). Several runs; medians, ranges and ratios on standard output,
# everything in a JSON file.
# Usage: bench/tunnel_bench.sh [--namespaces 2|3] [--runs N] [--seconds S] [--json FILE]
#                              [--build DIR] [--no-offload]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
seconds=5
json="$root/bench/results/latest.json"
BUILD="$root/build"
namespaces=2
usage="usage: $0 [--namespaces 2|3] [--runs N] [--seconds S] [--json FILE] [--build DIR] [--no-offload]"
while [ $# -gt 0 ]; do
    case "$1" in
    --namespaces) namespaces=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --json) json=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    # Engine and server alike: one packet per device read and write, one datagram per send.
    --no-offload) export QUARNEL_OFFLOAD=0; shift ;;
    *) echo "$usage" >&2; exit 64 ;;
    esac
done
source "$root/scripts/tunnel_env.sh"
TUNNEL_SERVER_TUN_ADDR=10.8.0.1
case "$namespaces" in
# The server namespace answers itself: on its uplink address raw, on its tunnel address
# through the tunnel.
2) iperf_ns=srv raw_target=$TUNNEL_SERVER_ADDR tunnel_target=$TUNNEL_SERVER_TUN_ADDR
   TARGET_MBPS=4000 ;;
# The host behind the server, reached through the server's forwarding either way.
3) iperf_ns=lan raw_target=$TUNNEL_LAN_HOST tunnel_target=$TUNNEL_LAN_HOST TARGET_MBPS=750 ;;
*) echo "$usage" >&2; exit 64 ;;
esac
target=$raw_target
# A current userspace peer's wake-ups a second at 50 packets/s each way, measured beside this
# engine on the benchmark's machine (TUN offload, UDP GSO/GRO).
PEER_WAKEUPS_50PPS=442

name=qbench$$
work=$(mktemp -d)
iperf_pid=""
cleanup() {
    [ -n "$iperf_pid" ] && kill "$iperf_pid" 2>/dev/null
    tunnel_down "$name" "$work"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_ns() { ip netns exec "$name-$1" "${@:2}"; }
ticks_per_s=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Mbit/s received in one iperf3 run from the client to the target; extra iperf3 options.
iperf() {
    in_ns cli iperf3 -c "$target" -t "$seconds" -O 1 -J "$@" >"$work/iperf.json"
    jq '.end.sum_received.bits_per_second / 1e6' "$work/iperf.json"
}

# Average round trip in ms of 100 pings, 10 ms apart, or COUNT pings INTERVAL seconds apart.
ping_avg() {
    in_ns cli ping -c "${1:-100}" -i "${2:-0.01}" -q -n "$target" |
        sed -n 's|^rtt [^=]*= [0-9.]*/\([0-9.]*\)/.*|\1|p'
}

# Pings 0.5 ms apart: no processor on the path has time to fall idle between them. On a
# virtual machine, waking an idle virtual processor can cost more than the tunnel's own work;
# the difference between this and the idle figure is that cost.
ping_rapid() {
    ping_avg 1000 0.0005
}

# Pings 20 ms apart for the run's seconds: 50 packets a second each way, as a call, a game or a
# remote shell sends them.
ping_light() {
    ping_avg $((seconds * 50)) 0.02
}

# Context switches of all of a process's threads so far, voluntary or not: each is a wake-up
# or a preemption, and each keeps a processor from its deep idle states.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n }'
}

# Switches a second of the engine and of the server while a command runs (none: the run's
# seconds idle); prints "engine server", then the command's own output.
switches_during() {
    local client=$1 server=$2 c0 s0 t0 c1 s1 t1 out
    shift 2
    c0=$(switches "$client") s0=$(switches "$server") t0=$(date +%s.%N)
    if [ $# -gt 0 ]; then out=$("$@"); else sleep "$seconds"; out=""; fi
    c1=$(switches "$client") s1=$(switches "$server") t1=$(date +%s.%N)
    awk -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.0f %.0f\n", c / (b - a), s / (b - a) }'
    [ -z "$out" ] || echo "$out"
}

ping_under_load() {
    in_ns cli iperf3 -c "$target" -t $((seconds + 2)) >/dev/null &
    local load=$!
    sleep 1
    ping_avg
    wait "$load"
}

# An iperf3 run with the given options and the CPU time the engine and the server took
# meanwhile (all their threads, user and system), as the share of one core and as CPU
# seconds per gigabit carried; prints "mbps engine% server% engine_s/Gbit server_s/Gbit".
iperf_with_cpu() {
    local client=$1 server=$2
    shift 2
    local c0 s0 t0 c1 s1 t1 mbps
    c0=$(cpu_ticks "$client") s0=$(cpu_ticks "$server") t0=$(date +%s.%N)
    mbps=$(iperf "$@")
    c1=$(cpu_ticks "$client") s1=$(cpu_ticks "$server") t1=$(date +%s.%N)
    awk -v m="$mbps" -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v hz="$ticks_per_s" \
        -v w="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" 'BEGIN {
            gbit = m / 1000 * w
            printf "%s %.1f %.1f %.3f %.3f\n", m, 100 * c / hz / w, 100 * s / hz / w,
                c / hz / gbit, s / hz / gbit }'
}

declare -A samples
record() { samples[$1]="${samples[$1]:-} $2"; }

measure_set() {
    local path=$1
    for run in $(seq "$runs"); do
        echo "  $path run $run/$runs" >&2
        if [ "$path" = tunnel ]; then
            local client server
            client=$(cat "$work/client.pid")
            server=$(cat "$work/server.pid")
            local dir opts mbps e_cpu s_cpu e_gbit s_gbit
            for dir in up down; do
                opts=$([ $dir = down ] && echo -R || true)
                read -r mbps e_cpu s_cpu e_gbit s_gbit < <(iperf_with_cpu "$client" "$server" $opts)
                record "$path.tcp1_$dir" "$mbps"
                record "$path.engine_cpu_$dir" "$e_cpu"
                record "$path.server_cpu_$dir" "$s_cpu"
                record "$path.engine_s_per_gbit_$dir" "$e_gbit"
                record "$path.server_s_per_gbit_$dir" "$s_gbit"
            done
            local e_wake s_wake light
            sleep 1  # what the last transfer left in flight is done
            read -r e_wake s_wake < <(switches_during "$client" "$server")
            record "$path.engine_wakeups_idle" "$e_wake"
            record "$path.server_wakeups_idle" "$s_wake"
            { read -r e_wake s_wake; read -r light; } < <(switches_during "$client" "$server" ping_light)
            record "$path.engine_wakeups_50pps" "$e_wake"
            record "$path.server_wakeups_50pps" "$s_wake"
            record "$path.ping_50pps_ms" "$light"
        else
            record "$path.ping_50pps_ms" "$(ping_light)"
            record "$path.tcp1_up" "$(iperf)"
            record "$path.tcp1_down" "$(iperf -R)"
        fi
        record "$path.tcp4_up" "$(iperf -P 4)"
        record "$path.tcp4_down" "$(iperf -P 4 -R)"
        record "$path.ping_idle_ms" "$(ping_avg)"
        record "$path.ping_rapid_ms" "$(ping_rapid)"
        record "$path.ping_load_ms" "$(ping_under_load)"
    done
}

# Numbers of 100 and more as integers, smaller ones with three significant digits.
shown='function shown(x) { return x >= 100 ? sprintf("%.0f", x) : sprintf("%.3g", x) }'
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk "$shown"' {v[NR]=$1} END {print shown((NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2)}'; }
range() { tr ' ' '\n' | grep -v '^$' | sort -g | awk "$shown"' NR==1 {lo=$1} {hi=$1} END {printf "%s-%s", shown(lo), shown(hi)}'; }

bash "$root/scripts/topology.sh" create "$name"
echo "$namespaces namespaces, raw path (no tunnel) to $raw_target" >&2
in_ns "$iperf_ns" iperf3 -s >/dev/null 2>&1 &
iperf_pid=$!
sleep 0.5
measure_set raw
echo "tunnel to $tunnel_target" >&2
# The topology exists already; tunnel_up recreates it, so start the iperf3 server again.
kill "$iperf_pid" 2>/dev/null || true
tunnel_up "$name" "$work" --remote-route 198.51.100.0/24
grep -i 'offload\|UDP:' "$work/server.log" "$work/client.log" >&2 || true
in_ns "$iperf_ns" iperf3 -s >/dev/null 2>&1 &
iperf_pid=$!
sleep 0.5
target=$tunnel_target
measure_set tunnel

metrics="tcp1_up tcp1_down tcp4_up tcp4_down ping_idle_ms ping_rapid_ms ping_50pps_ms ping_load_ms
    engine_cpu_up server_cpu_up engine_cpu_down server_cpu_down
    engine_s_per_gbit_up server_s_per_gbit_up engine_s_per_gbit_down server_s_per_gbit_down
    engine_wakeups_idle server_wakeups_idle engine_wakeups_50pps server_wakeups_50pps"
printf '\n%-22s %22s %22s %8s\n' metric "raw median (range)" "tunnel median (range)" ratio
entries=()
for m in $metrics; do
    raw="${samples[raw.$m]:-}"
    tun="${samples[tunnel.$m]:-}"
    rm_=$([ -n "$raw" ] && echo "$raw" | median || echo "")
    tm=$([ -n "$tun" ] && echo "$tun" | median || echo "")
    ratio=$([ -n "$rm_" ] && [ -n "$tm" ] && awk -v a="$tm" -v b="$rm_" 'BEGIN { if (b > 0) printf "%.2f", a / b }' || echo "")
    printf '%-22s %22s %22s %8s\n' "$m" \
        "${rm_:+$rm_ ($(echo "$raw" | range))}" "${tm:+$tm ($(echo "$tun" | range))}" "$ratio"
    entries+=("$(jq -n --arg m "$m" --arg raw "$raw" --arg tun "$tun" --arg ratio "$ratio" '
        def nums: split(" ") | map(select(length > 0) | tonumber);
        {($m): {raw: ($raw | nums), tunnel: ($tun | nums),
                ratio: (if $ratio == "" then null else ($ratio | tonumber) end)}}')")
done
tunnel_median() { echo "${samples[tunnel.$1]}" | median; }
up=$(tunnel_median tcp1_up)
down=$(tunnel_median tcp1_down)
up4=$(tunnel_median tcp4_up)
down4=$(tunnel_median tcp4_down)
# Round trip the tunnel adds to the raw path, for a ping metric.
added_by_tunnel() {
    awk -v t="$(tunnel_median "$1")" -v r="$(echo "${samples[raw.$1]}" | median)" \
        'BEGIN { printf "%.3f", t - r }'
}
added=$(added_by_tunnel ping_idle_ms)
wakeups=$(tunnel_median engine_wakeups_50pps)
# Four streams must not do worse than one in either direction.
verdict=$(awk -v u="$up" -v d="$down" -v u4="$up4" -v d4="$down4" -v a="$added" \
    -v w="$wakeups" -v t="$TARGET_MBPS" -v peer="$PEER_WAKEUPS_50PPS" 'BEGIN {
        printf "throughput %s, added idle latency %s, wake-ups %s",
            (u >= t && d >= t && u4 >= u && d4 >= d) ? "met" : "not met",
            a < 0.2 ? "met" : "not met", w <= peer ? "met" : "not met" }')
printf '\nsingle stream through the tunnel: up %s Mbit/s, down %s Mbit/s; 4 streams: up %s, down %s\n' \
    "$up" "$down" "$up4" "$down4"
printf 'added latency: idle %s ms, pings 0.5 ms apart %s ms\n' "$added" "$(added_by_tunnel ping_rapid_ms)"
printf 'wake-ups a second: engine %s idle, %s at 50 packets/s; server %s idle, %s at 50 packets/s\n' \
    "$(tunnel_median engine_wakeups_idle)" "$(tunnel_median engine_wakeups_50pps)" \
    "$(tunnel_median server_wakeups_idle)" "$(tunnel_median server_wakeups_50pps)"
printf 'CPU seconds per Gbit: engine %s up, %s down; server %s up, %s down\n' \
    "$(tunnel_median engine_s_per_gbit_up)" "$(tunnel_median engine_s_per_gbit_down)" \
    "$(tunnel_median server_s_per_gbit_up)" "$(tunnel_median server_s_per_gbit_down)"
printf 'targets (%s namespaces: >= %s Mbit/s single stream each way, 4 streams no lower; < 0.2 ms added idle latency; engine wake-ups at 50 packets/s <= %s): %s\n' \
    "$namespaces" "$TARGET_MBPS" "$PEER_WAKEUPS_50PPS" "$verdict"

mkdir -p "$(dirname "$json")"
printf '%s\n' "${entries[@]}" | jq -s --arg cpu "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')" \
    --arg kernel "$(uname -r)" --argjson cores "$(nproc)" --argjson runs "$runs" \
    --argjson seconds "$seconds" --argjson namespaces "$namespaces" \
    --arg offload "${QUARNEL_OFFLOAD:-on}" --arg date "$(date -u +%FT%TZ)" --arg verdict "$verdict" \
    '{date: $date, machine: {cpu: $cpu, cores: $cores, kernel: $kernel},
      namespaces: $namespaces, offload: (if $offload == "0" then "off" else "on" end),
      runs: $runs, seconds_per_run: $seconds, target: $verdict, metrics: add}' >"$json"
echo "results written to $json"
