#!/usr/bin/env bash
# Builds the Debian package lumar_<version>_amd64.deb from a fresh build directory: a release
# build with Debian's hardening flags, stripped, its dependencies computed from the binaries by
# dpkg-shlibdeps. Usage: scripts/package.sh [OUT_DIR] (default build-package); prints the
# package's path on standard output, everything else on standard error.
set -euo pipefail
exec 3>&1 1>&2
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/build-package}")
build="$out/build"

bash "$root/scripts/setup.sh" --packages-only
rm -rf "$build"
mkdir -p "$out"
cd "$root"

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
# Two builds of one commit give the same changelog date.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH

. "$root/scripts/compiler_cache.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DQN_BENCH=OFF -DLUMAR_PACKAGE=ON "${compiler_cache_args[@]}" >/dev/null
# Only what the package holds; cpack then installs without building the rest.
ninja -C "$build" -j2 package_files
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/lumar_*_amd64.deb)
mv -f "$deb" "$out/"
echo "$out/$(basename "$deb")" >&3
