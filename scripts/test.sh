#!/usr/bin/env bash
# Sets up, builds and runs every test: the include rule of the engine's layers, the normal
# build (engine and client program; the client's tests each on a private X server), the Debian
# package (built from a fresh build directory and checked), the Windows build (the 32-bit DLL
# inspected, the 64-bit twin's tests under wine64), the package installed on booted Debian
# systems for the leak checks, AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer for
# the multi-threaded engine tests. Ends with a table of the stages' seconds and the compiler
# cache's hit rate. Needs root (network namespaces, TUN devices).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/compiler_cache.sh

stage_names=()
stage_seconds=()
current_stage=""
report() {
    local status=$? i
    [ -n "$current_stage" ] && stage_names+=("$current_stage (failed)") &&
        stage_seconds+=($(($(date +%s) - stage_start)))
    echo
    echo "== stages"
    for i in "${!stage_names[@]}"; do
        printf '%6d s  %s\n' "${stage_seconds[$i]}" "${stage_names[$i]}"
    done
    if command -v ccache >/dev/null; then
        ccache --show-stats | sed -n 's/^ *Hits: *\(.*\)/compiler cache hits: \1/p'
    fi
    exit "$status"
}
trap report EXIT

# stage NAME COMMAND...: runs the command as one timed stage.
stage() {
    current_stage=$1
    stage_start=$(date +%s)
    echo "== $1"
    "${@:2}"
    stage_names+=("$1")
    stage_seconds+=($(($(date +%s) - stage_start)))
    current_stage=""
}

build_and_test() {
    local dir=$1 ctest_args=("${@:2}")
    bash scripts/setup.sh "$root/$dir" "${cmake_args[@]}"
    (cd "$dir" && ctest --output-on-failure "${ctest_args[@]}")
}

package_and_check() {
    deb=$(bash scripts/package.sh "$root/build-package")
    bash scripts/check_package.sh "$deb"
}

windows() {
    # The 32-bit product DLL alone (its tests cannot run here), the 64-bit twin with its tests.
    bash scripts/build_windows.sh win32-dll win64
    bash tests/win/check_dll.sh build-win32/bin/quarnel.dll
    bash tests/win/run_wine_tests.sh build-win64 build
}

# The booted systems' roots (downloads and package installs: mostly waiting) are built while
# the Windows builds take the processors; the systems' checks run after, on a quiet machine.
windows_beside_booted_roots() {
    local log=$root/build/booted-roots.log roots
    (
        . tests/booted/booted_system.sh
        for variant in $BS_VARIANTS; do
            bs_build "$variant" "$(realpath "$deb")" >/dev/null
        done
    ) >"$log" 2>&1 &
    roots=$!
    windows
    wait "$roots" || {
        cat "$log" >&2
        return 1
    }
    cat "$log"
}

command -v ccache >/dev/null && ccache --zero-stats >/dev/null
stage "include rule of the engine's layers" bash scripts/check_layers.sh
# The layer rule ran above; its ctest entry would read the same files again.
cmake_args=()
stage "build and test" build_and_test build -E '^layers$'
stage "debian package" package_and_check
stage "windows: quarnel.dll for 32-bit Windows, its 64-bit twin's tests under wine64; the booted roots beside" \
    windows_beside_booted_roots
stage "booted systems: the package on systemd-resolved, NetworkManager, resolvconf, a plain resolv.conf" \
    bash tests/booted/leak_checks.sh "$deb"
# The single-instance process tests are left to the normal build: under the sanitizers a start
# twice showed no window within 60 s in a full run, its session-bus launcher child hung. What
# reads only files (the layer rule, the units, the run paths) proves nothing more in another build.
cmake_args=(-DQN_SANITIZE=address -DQN_BENCH=OFF)
stage "address and undefined-behaviour sanitizers" build_and_test build-asan -LE slow \
    -E '^(single_instance|layers|service_units|runpaths)$'
# Qt is not built for ThreadSanitizer: its reports inside the client would be noise.
cmake_args=(-DQN_SANITIZE=thread -DQN_BENCH=OFF -DQN_CLIENT=OFF)
stage "thread sanitizer" build_and_test build-tsan -L threads
