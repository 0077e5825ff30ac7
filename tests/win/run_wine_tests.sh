#!/usr/bin/env bash
# Runs the x86_64 twin's tests under wine64, in a client network namespace beside a server one
# where the Linux reference server answers. Wine's sockets live in its wineserver's namespace,
# so the wine prefix is this run's own and wine is started inside the client namespace; its
# output goes to files (its helper processes keep inherited pipes open) and its wineserver is
# ended when the run is done. Usage: run_wine_tests.sh WIN64_BUILD LINUX_BUILD
set -euo pipefail
win_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
server_bin=$linux_build/tools/ref_server/ref_server
for file in "$win_build/bin/quarnel_win_tests.exe" "$win_build/bin/dll_exports_test.exe" \
    "$win_build/bin/quarnel.dll" "$server_bin" /usr/lib/wine/wine64; do
    [ -e "$file" ] || { echo "run_wine_tests: $file is missing" >&2; exit 1; }
done

name=qnwine$$
work=$(mktemp -d /tmp/qn-wine.XXXXXX)
server_ip=172.30.0.1
server_port=51820
token=wine-token
export WINEPREFIX=$work/prefix WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml="

in_client() { ip netns exec "$name-cli" "$@"; }

cleanup() {
    in_client /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    [ -f "$work/server.pid" ] && kill "$(cat "$work/server.pid")" 2>/dev/null || true
    bash "$root/scripts/topology.sh" destroy "$name"
    rm -rf "$work"
}
trap cleanup EXIT

bash "$root/scripts/topology.sh" create "$name"
ip netns exec "$name-srv" "$server_bin" --listen "$server_ip" --port "$server_port" \
    --key-file "$work/server.key" --tokens "$token" >"$work/server.log" 2>&1 &
echo $! >"$work/server.pid"
key=""
for _ in $(seq 50); do
    key=$(sed -n 's/^public key \([0-9a-f]\{64\}\)$/\1/p' "$work/server.log")
    [ -n "$key" ] && break
    sleep 0.1
done
[ -n "$key" ] || { echo "the reference server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }

# The prefix, created inside the namespace so that its wineserver lives there.
start=$(date +%s)
in_client /usr/lib/wine/wine64 wineboot --init >"$work/wineboot.log" 2>&1
echo "wine prefix ready in $(($(date +%s) - start)) s"

# Each program from a copy of the bin folder, so that its quarnel.log is this run's; the DLL's
# host program from one named outside the ANSI code page and deeper than MAX_PATH.
deep_name="Программы VPN — 日本語のフォルダ ünïcødé"
status=0
for program in quarnel_win_tests dll_exports_test; do
    run=$work/run-$program
    if [ "$program" = dll_exports_test ]; then
        for _ in 1 2 3 4 5 6 7 8; do run=$run/$deep_name; done
    fi
    mkdir -p "$(dirname "$run")"
    cp -r "$win_build/bin" "$run"
    # From the work folder: what a program writes to its current directory goes with the run.
    cd "$work"
    set +e
    # A program that hangs (at its exit, say) fails the run instead of holding CI.
    in_client env QN_TEST_SERVER="$server_ip:$server_port" QN_TEST_SERVER_KEY="$key" \
        QN_TEST_TOKEN="$token" timeout 600 /usr/lib/wine/wine64 "$run/$program.exe" \
        >"$work/$program.log" 2>&1
    rc=$?
    set -e
    cat "$work/$program.log"
    echo "$program: exit $rc"
    [ $rc -eq 0 ] || status=1
done
echo "reference server log:"
tail -n 20 "$work/server.log"
exit $status
