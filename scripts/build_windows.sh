#!/usr/bin/env bash
# Builds the engine for Windows with mingw-w64: quarnel.dll, quarnel-cli.exe and the tests,
# for 32-bit Windows (the product, in build-win32) and its 64-bit twin (in build-win64, the
# build that runs under wine64). libsodium is built from Debian's own source package into each
# build folder once (the source is fetched once for both); GoogleTest from /usr/src/googletest
# the same way. win32-dll builds only quarnel.dll and quarnel-cli.exe for 32-bit Windows, the
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

# fetch_sodium DIR: Debian's libsodium source, extracted and made ready to configure; a copy
# of another build folder's when there is one.
fetch_sodium() {
    local dir=$1 other
    [ -x "$dir/src/configure" ] && return 0
    for other in "$root"/build-win*/deps/sodium; do
        if [ "$other" != "$dir" ] && [ -x "$other/src/configure" ]; then
            mkdir -p "$dir"
            rm -rf "$dir/src"
            cp -a "$other/src" "$dir/src"
            return 0
        fi
    done
    ensure_deb_src
    rm -rf "$dir/src" "$dir/fetch"
    mkdir -p "$dir/fetch"
    (cd "$dir/fetch" && apt-get source -qq libsodium >/dev/null 2>&1 ||
        (cd "$dir/fetch" && apt-get source libsodium))
    mv "$dir/fetch"/libsodium-*/ "$dir/src"
    rm -rf "$dir/fetch"
    (cd "$dir/src" && autoreconf -ivf >/dev/null 2>&1)
}

# build_sodium TRIPLE PREFIX: a static libsodium for the target, unless already there.
build_sodium() {
    local triple=$1 prefix=$2
    [ -f "$prefix/lib/libsodium.a" ] && return 0
    local deps
    deps=$(dirname "$prefix")
    fetch_sodium "$deps/sodium"
    rm -rf "$deps/sodium-build"
    mkdir -p "$deps/sodium-build"
    (cd "$deps/sodium-build" &&
        "$deps/sodium/src/configure" --host="$triple" --prefix="$prefix" \
            --disable-shared --enable-static --disable-dependency-tracking \
            CC="$triple-gcc-posix" >configure.log 2>&1 &&
        make -j2 >make.log 2>&1 && make install >>make.log 2>&1)
    rm -rf "$deps/sodium-build"
}

# build_gtest TRIPLE PREFIX TOOLCHAIN: GoogleTest cross-built, unless already there.
build_gtest() {
    local triple=$1 prefix=$2 toolchain=$3
    [ -f "$prefix/lib/libgtest.a" ] && return 0
    local work
    work=$(dirname "$prefix")/gtest-build
    cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
        -Dgtest_disable_pthreads=OFF >/dev/null
    ninja -C "$work" -j2 install >/dev/null
    rm -rf "$work"
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
    prefix=$build/deps/prefix
    start=$(date +%s)
    build_sodium "$triple" "$prefix"
    [ "$tests" = ON ] && build_gtest "$triple" "$prefix" "$toolchain"
    stage_headers "$build/deps/headers"
    # Release, not with debug information: the DLL ships stripped, and -g costs the cross
    # compiler about a third of its time per file.
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DQN_WINDOWS_DEPS="$build/deps" -DQN_CLIENT=OFF \
        -DQN_BENCH=OFF -DQN_WINDOWS_TESTS="$tests" "${compiler_cache_args[@]}" >/dev/null
    ninja -C "$build" -j2 "${goals[@]}"
    echo "build_windows: $target built in $(($(date +%s) - start)) s"
done
