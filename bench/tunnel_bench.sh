#!/usr/bin/env bash
# Tunnel benchmark: TCP throughput (1 and 4 streams, both directions), ping latency idle and
# under load, and the CPU time of the engine and the server, each also measured on the raw
# path without the tunnel in the same run. Several runs; medians, ranges and ratios on
# standard output, everything in a JSON file.
# Usage: bench/tunnel_bench.sh [--runs N] [--seconds S] [--json FILE] [--build DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
seconds=5
json="$root/bench/results/latest.json"
BUILD="$root/build"
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --json) json=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    *) echo "usage: $0 [--runs N] [--seconds S] [--json FILE] [--build DIR]" >&2; exit 64 ;;
    esac
done
source "$root/scripts/tunnel_env.sh"
TARGET_MBPS=750

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

# Mbit/s received in one iperf3 run from the client to the LAN host; extra iperf3 options.
iperf() {
    in_ns cli iperf3 -c "$TUNNEL_LAN_HOST" -t "$seconds" -O 1 -J "$@" >"$work/iperf.json"
    jq '.end.sum_received.bits_per_second / 1e6' "$work/iperf.json"
}

# Average round trip in ms of 100 pings, 10 ms apart.
ping_avg() {
    in_ns cli ping -c 100 -i 0.01 -q -n "$TUNNEL_LAN_HOST" |
        sed -n 's|^rtt [^=]*= [0-9.]*/\([0-9.]*\)/.*|\1|p'
}

ping_under_load() {
    in_ns cli iperf3 -c "$TUNNEL_LAN_HOST" -t $((seconds + 2)) >/dev/null &
    local load=$!
    sleep 1
    ping_avg
    wait "$load"
}

# CPU share (percent of one core) of a process during an iperf3 run with the given options;
# prints "mbps cpu%".
iperf_with_cpu() {
    local pid=$1
    shift
    local before after mbps
    before=$(cpu_ticks "$pid")
    mbps=$(iperf "$@")
    after=$(cpu_ticks "$pid")
    echo "$mbps $(awk -v t=$((after - before)) -v hz="$ticks_per_s" -v s="$((seconds + 1))" \
        'BEGIN { printf "%.1f", 100 * t / hz / s }')"
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
            read -r mbps cpu < <(iperf_with_cpu "$client")
            record "$path.tcp1_up" "$mbps"
            record "$path.engine_cpu_up" "$cpu"
            read -r mbps cpu < <(iperf_with_cpu "$server" -R)
            record "$path.tcp1_down" "$mbps"
            record "$path.server_cpu_down" "$cpu"
        else
            record "$path.tcp1_up" "$(iperf)"
            record "$path.tcp1_down" "$(iperf -R)"
        fi
        record "$path.tcp4_up" "$(iperf -P 4)"
        record "$path.tcp4_down" "$(iperf -P 4 -R)"
        record "$path.ping_idle_ms" "$(ping_avg)"
        record "$path.ping_load_ms" "$(ping_under_load)"
    done
}

# Numbers of 100 and more as integers, smaller ones with three significant digits.
shown='function shown(x) { return x >= 100 ? sprintf("%.0f", x) : sprintf("%.3g", x) }'
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk "$shown"' {v[NR]=$1} END {print shown((NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2)}'; }
range() { tr ' ' '\n' | grep -v '^$' | sort -g | awk "$shown"' NR==1 {lo=$1} {hi=$1} END {printf "%s-%s", shown(lo), shown(hi)}'; }

bash "$root/scripts/topology.sh" create "$name"
echo "raw path (no tunnel)" >&2
in_ns lan iperf3 -s >/dev/null 2>&1 &
iperf_pid=$!
sleep 0.5
measure_set raw
echo "tunnel" >&2
# The topology exists already; tunnel_up recreates it, so start the iperf3 server again.
kill "$iperf_pid" 2>/dev/null || true
tunnel_up "$name" "$work" --remote-route 198.51.100.0/24
in_ns lan iperf3 -s >/dev/null 2>&1 &
iperf_pid=$!
sleep 0.5
measure_set tunnel

metrics="tcp1_up tcp1_down tcp4_up tcp4_down ping_idle_ms ping_load_ms engine_cpu_up server_cpu_down"
printf '\n%-16s %22s %22s %8s\n' metric "raw median (range)" "tunnel median (range)" ratio
entries=()
for m in $metrics; do
    raw="${samples[raw.$m]:-}"
    tun="${samples[tunnel.$m]:-}"
    rm_=$([ -n "$raw" ] && echo "$raw" | median || echo "")
    tm=$([ -n "$tun" ] && echo "$tun" | median || echo "")
    ratio=$([ -n "$rm_" ] && [ -n "$tm" ] && awk -v a="$tm" -v b="$rm_" 'BEGIN { if (b > 0) printf "%.2f", a / b }' || echo "")
    printf '%-16s %22s %22s %8s\n' "$m" \
        "${rm_:+$rm_ ($(echo "$raw" | range))}" "${tm:+$tm ($(echo "$tun" | range))}" "$ratio"
    entries+=("$(jq -n --arg m "$m" --arg raw "$raw" --arg tun "$tun" --arg ratio "$ratio" '
        def nums: split(" ") | map(select(length > 0) | tonumber);
        {($m): {raw: ($raw | nums), tunnel: ($tun | nums),
                ratio: (if $ratio == "" then null else ($ratio | tonumber) end)}}')")
done
up=$(echo "${samples[tunnel.tcp1_up]}" | median)
down=$(echo "${samples[tunnel.tcp1_down]}" | median)
added=$(awk -v t="$(echo "${samples[tunnel.ping_idle_ms]}" | median)" \
    -v r="$(echo "${samples[raw.ping_idle_ms]}" | median)" 'BEGIN { printf "%.3f", t - r }')
verdict=$(awk -v u="$up" -v d="$down" -v a="$added" -v t="$TARGET_MBPS" \
    'BEGIN { print (u >= t && d >= t && a < 0.2) ? "met" : "not met" }')
printf '\nsingle stream through the tunnel: up %s Mbit/s, down %s Mbit/s; added idle latency %s ms\n' \
    "$up" "$down" "$added"
printf 'target (>= %s Mbit/s each way, < 0.2 ms added latency): %s\n' "$TARGET_MBPS" "$verdict"

mkdir -p "$(dirname "$json")"
printf '%s\n' "${entries[@]}" | jq -s --arg cpu "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')" \
    --arg kernel "$(uname -r)" --argjson cores "$(nproc)" --argjson runs "$runs" \
    --argjson seconds "$seconds" --arg date "$(date -u +%FT%TZ)" --arg verdict "$verdict" \
    '{date: $date, machine: {cpu: $cpu, cores: $cores, kernel: $kernel},
      runs: $runs, seconds_per_run: $seconds, target: $verdict, metrics: add}' >"$json"
echo "results written to $json"
