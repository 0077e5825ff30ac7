#!/usr/bin/env bash
# Compiles every portable engine source (every layer but the _linux and _win files) for
# 32-bit Windows (syntax only) so that 32-bit and Windows-header mistakes show up early. Only
# the spdlog, fmt, libsodium, OpenSSL, Boost and project include folders are on the include path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
compiler=i686-w64-mingw32-g++-posix
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
ln -s /usr/include/spdlog "$stage/spdlog"
ln -s /usr/include/fmt "$stage/fmt"
ln -s /usr/include/sodium "$stage/sodium"
ln -s /usr/include/sodium.h "$stage/sodium.h"
ln -s /usr/include/boost "$stage/boost"
# OpenSSL's headers, with the build machine's configuration header beside them.
mkdir "$stage/openssl"
ln -s /usr/include/openssl/*.h "/usr/include/$(gcc -dumpmachine)"/openssl/*.h "$stage/openssl/"

status=0
count=0
while IFS= read -r src; do
    count=$((count + 1))
    if ! "$compiler" -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
        -D_WIN32_WINNT=0x0601 -DSPDLOG_HEADER_ONLY -DFMT_HEADER_ONLY \
        -isystem "$stage" -I"$root/quarnel/include" -I"$root/quarnel/log" \
        -I"$root/quarnel/vpn-proto" -I"$root/quarnel/netio" -I"$root/quarnel/src" "$src"; then
        echo "windows syntax check failed: $src"
        status=1
    fi
done < <(find "$root/quarnel/log" "$root/quarnel/vpn-proto" "$root/quarnel/netio" "$root/quarnel/src" \
    -name '*.cpp' ! -name '*_linux.cpp' ! -name '*_win.cpp' | sort)
echo "windows syntax check: $count portable sources, status $status"
exit $status
