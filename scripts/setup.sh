#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only what is missing),
# then configures and builds. Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...];
# scripts/setup.sh --packages-only installs the packages alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

install_packages() {
    local missing=()
    while read -r pkg; do
        [ -z "$pkg" ] && continue
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done <"$root/scripts/packages.txt"
    if [ ${#missing[@]} -gt 0 ]; then
        echo "setup: installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

install_packages
if [ "${1:-}" = --packages-only ]; then
    exit 0
fi
build_dir=${1:-"$root/build"}
shift || true
cmake -S "$root" -B "$build_dir" -G Ninja "$@" >/dev/null
ninja -C "$build_dir" -j2
