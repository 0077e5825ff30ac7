#!/usr/bin/env bash
# Builds the engine for Windows with mingw-w64: quarnel.dll, quarnel-cli.exe and the tests,
# for 32-bit Windows (the product, in build-win32) and its 64-bit twin (in build-win64, the
# build that runs under wine64). libsodium is built from Debian's own source package and
# GoogleTest from /usr/src/googletest once per target, kept in /var/cache/lumar-build/windows
# for every clone, and built again when a source version or the compiler changes. win32-dll builds only quarnel.dll and quarnel-cli.exe for 32-bit Windows, the
# part of it that CI inspects.
# Usage: scripts/build_windows.sh [win32|win32-dll|win64]...   (win32 and win64 when none is named)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/compiler_cache.sh"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(win32 win64)

bash "$root/scripts/install_packages.sh"

# apt-get source needs a deb-src entry for the mirror the machine already uses.
ensure_deb_src() {
    local list=/etc/apt/sources.list.d/debian-src.sources
    grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/ &&
        return 0
    local main=/etc/apt/sources.list.d/debian.sources
    if [ ! -f "$main" ]; then
        echo "build_windows: no $main to take the mirror from" >&2
        return 1
    fi
    # The first stanza (the main archive), as a source entry.
    awk 'BEGIN{RS=""; ORS="\n"} NR==1 {sub(/Types: deb/, "Types: deb-src"); print}' "$main" >"$list"
    apt-get update -qq
}

# Built libraries are kept outside the clone, one folder per target and key, for every clone.
deps_cache=${LUMAR_BUILD_CACHE:-/var/cache/lumar-build}/windows

# fetch_sodium DIR: Debian's libsodium source, extracted and made ready to configure.
fetch_sodium() {
    local dir=$1
    ensure_deb_src
    rm -rf "$dir"
    mkdir -p "$dir/fetch"
    (cd "$dir/fetch" && apt-get source -qq libsodium >/dev/null 2>&1 ||
        (cd "$dir/fetch" && apt-get source libsodium))
    mv "$dir/fetch"/libsodium-*/ "$dir/src"
    rm -rf "$dir/fetch"
    (cd "$dir/src" && autoreconf -ivf >/dev/null 2>&1)
}

# build_sodium TRIPLE PREFIX DESTDIR WORK: a static libsodium for the target.
build_sodium() {
    local triple=$1 prefix=$2 destdir=$3 work=$4
    fetch_sodium "$work/sodium"
    mkdir -p "$work/sodium-build"
    (cd "$work/sodium-build" &&
        "$work/sodium/src/configure" --host="$triple" --prefix="$prefix" \
            --disable-shared --enable-static --disable-dependency-tracking \
            CC="$triple-gcc-posix" >configure.log 2>&1 &&
        make -j2 >make.log 2>&1 && make install DESTDIR="$destdir" >>make.log 2>&1)
}

# build_gtest PREFIX DESTDIR WORK TOOLCHAIN: GoogleTest cross-built.
build_gtest() {
    local prefix=$1 destdir=$2 work=$3 toolchain=$4
    cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF >/dev/null
    DESTDIR="$destdir" ninja -C "$work/gtest-build" -j2 install >/dev/null
}

# deps_key TRIPLE: what the built libraries depend on: the sources' versions, the compiler and
# the recipe above.
deps_key() {
    {
        dpkg-query -W -f='${Version}\n' libsodium-dev googletest
        "$1-gcc-posix" -dumpfullversion
        declare -f fetch_sodium build_sodium build_gtest
    } | sha256sum | cut -c1-16
}

# windows_deps TRIPLE TOOLCHAIN: sets deps_prefix to the prefix holding libsodium and GoogleTest
# for the target, built once. Built under a temporary name and renamed when whole, so that a folder
# of that name is never incomplete.
windows_deps() {
    local triple=$1 toolchain=$2 prefix key
    key=$(deps_key "$triple")
    prefix=$deps_cache/$triple-$key
    if [ ! -f "$prefix/lib/libsodium.a" ]; then
        mkdir -p "$deps_cache"
        deps_work=$(mktemp -d "$deps_cache/.build-XXXXXX")
        trap 'rm -rf "$deps_work"' EXIT
        build_sodium "$triple" "$prefix" "$deps_work/dest" "$deps_work"
        build_gtest "$prefix" "$deps_work/dest" "$deps_work" "$toolchain"
        rm -rf "$prefix"
        mv "$deps_work/dest$prefix" "$prefix"
        rm -rf "$deps_work"
        # Older keys of this target are of no further use.
        find "$deps_cache" -maxdepth 1 -name "$triple-*" ! -path "$prefix" -exec rm -rf {} +
    fi
    deps_prefix=$prefix
}

# Header-only libraries of the build machine, on their own so that no Linux header is seen.
stage_headers() {
    local dir=$1
    mkdir -p "$dir"
    for name in spdlog fmt boost; do
        ln -sfn "/usr/include/$name" "$dir/$name"
    done
}

for target in "${targets[@]}"; do
    tests=ON
    goals=()
    case "$target" in
    win32) triple=i686-w64-mingw32 toolchain=$root/cmake/mingw-i686.cmake ;;
    win32-dll)
        triple=i686-w64-mingw32 toolchain=$root/cmake/mingw-i686.cmake tests=OFF
        goals=(quarnel quarnel-cli)
        ;;
    win64) triple=x86_64-w64-mingw32 toolchain=$root/cmake/mingw-x86_64.cmake ;;
    *)
        echo "usage: $0 [win32|win32-dll|win64]..." >&2
        exit 64
        ;;
    esac
    build=$root/build-${target%-dll}
    start=$(date +%s)
    mkdir -p "$build/deps"
    [ -L "$build/deps/prefix" ] || rm -rf "$build/deps/prefix"  # built inside, by older scripts
    windows_deps "$triple" "$toolchain"
    ln -sfn "$deps_prefix" "$build/deps/prefix"
    stage_headers "$build/deps/headers"
    # Release, not with debug information: the DLL ships stripped, and -g costs the cross
    # compiler about a third of its time per file.
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DQN_WINDOWS_DEPS="$build/deps" -DQN_CLIENT=OFF \
        -DQN_BENCH=OFF -DQN_WINDOWS_TESTS="$tests" "${compiler_cache_args[@]}" >/dev/null
    ninja -C "$build" -j2 "${goals[@]}"
    echo "build_windows: $target built in $(($(date +%s) - start)) s"
done
