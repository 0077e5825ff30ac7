#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only what is missing),
# then configures and builds. Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...];
# scripts/setup.sh --packages-only installs the packages alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/install_packages.sh"
if [ "${1:-}" = --packages-only ]; then
    exit 0
fi
build_dir=${1:-"$root/build"}
shift || true
. "$root/scripts/compiler_cache.sh"
cmake -S "$root" -B "$build_dir" -G Ninja "${compiler_cache_args[@]}" "$@" >/dev/null
ninja -C "$build_dir" -j2
