#!/usr/bin/env bash
# Sets up, builds and runs every test: the include rule of the engine's layers, the normal
# build (engine and client program; the client's tests each on a private X server), the Debian
# package (built from a fresh build directory and checked, then installed on booted Debian
# systems for the leak checks), the Windows build (the 32-bit DLL
# inspected, the 64-bit twin's tests under wine64), AddressSanitizer + UndefinedBehaviorSanitizer,
# and ThreadSanitizer for the multi-threaded engine tests. Needs root (network namespaces, TUN
# devices).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

echo "== include rule of the engine's layers"
bash scripts/check_layers.sh

echo "== build and test"
bash scripts/setup.sh "$root/build"
(cd build && ctest --output-on-failure)

echo "== debian package"
deb=$(bash scripts/package.sh "$root/build-package")
bash scripts/check_package.sh "$deb"

echo "== booted systems: the package on systemd-resolved, NetworkManager, resolvconf, a plain resolv.conf"
booted_start=$(date +%s)
bash tests/booted/leak_checks.sh "$deb"
echo "booted systems: $(($(date +%s) - booted_start)) s"

echo "== windows: quarnel.dll for 32-bit Windows, its 64-bit twin's tests under wine64"
windows_start=$(date +%s)
# The 32-bit product DLL alone (its tests cannot run here), the 64-bit twin with its tests.
bash scripts/build_windows.sh win32-dll win64
bash tests/win/check_dll.sh build-win32/bin/quarnel.dll
bash tests/win/run_wine_tests.sh build-win64 build
echo "windows stage: $(($(date +%s) - windows_start)) s"

echo "== address and undefined-behaviour sanitizers"
bash scripts/setup.sh "$root/build-asan" -DQN_SANITIZE=address -DQN_BENCH=OFF
# The single-instance process tests are left to the normal build: under the sanitizers a start
# twice showed no window within 60 s in a full run, its session-bus launcher child hung. The
# tests now run without a session bus; back here once a full sanitizer run has shown it holds.
(cd build-asan && ctest --output-on-failure -LE slow -E '^single_instance$')

echo "== thread sanitizer"
# Qt is not built for ThreadSanitizer: its reports inside the client would be noise.
bash scripts/setup.sh "$root/build-tsan" -DQN_SANITIZE=thread -DQN_BENCH=OFF -DQN_CLIENT=OFF
(cd build-tsan && ctest --output-on-failure -L threads)
