#!/usr/bin/env bash
# Checks a built package: it holds every file the installation needs, lintian finds no error,
# and the programs run from the package unpacked into a scratch root.
# Usage: scripts/check_package.sh lumar_<version>_amd64.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "check_package: $*" >&2
    failures=$((failures + 1))
}

version=$(dpkg-deb --field "$deb" Version)
[ "$(basename "$deb")" = "lumar_${version}_amd64.deb" ] || fail "unexpected name $(basename "$deb")"

required=(
    usr/bin/lumar usr/bin/quarnel-cli
    usr/lib/lumar/lumar usr/lib/lumar/libquarnel.so usr/lib/lumar/index.html
    usr/share/applications/lumar.desktop usr/share/doc/lumar/copyright
    usr/share/doc/lumar/changelog.gz usr/share/man/man1/lumar.1.gz
    usr/share/man/man1/quarnel-cli.1.gz
)
for size in 16 32 48 64 128 256 512; do
    required+=("usr/share/icons/hicolor/${size}x${size}/apps/lumar.png")
done
# The engine service, where the tree has it.
if [ -f "$root/service/CMakeLists.txt" ]; then
    required+=(usr/sbin/quarneld usr/share/man/man8/quarneld.8.gz)
fi
if [ -f "$root/service/systemd/quarneld.socket.in" ]; then
    required+=(lib/systemd/system/quarneld.service lib/systemd/system/quarneld.socket)
fi
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./||')
for path in "${required[@]}"; do
    grep -qx "$path" <<<"$contents" || fail "missing $path"
done
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libqt5webenginewidgets5 libsodium23 libnl-route-3-200; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
for script in postinst prerm postrm; do
    dpkg-deb --info "$deb" "$script" >/dev/null 2>&1 || fail "no $script"
done

# Lintian refuses nothing; what it warns of is shown.
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
    fail "lintian reports errors"
fi

dpkg-deb -x "$deb" "$scratch"
bash "$root/tests/check_runpaths.sh" "$scratch" || fail "a run path reaches the current directory"
# The link in bin resolves inside the scratch root; the library comes from beside the program.
[ "$(readlink "$scratch/usr/bin/lumar")" = ../lib/lumar/lumar ] || fail "usr/bin/lumar is no link"
libraries=$(ldd "$scratch/usr/lib/lumar/lumar")
grep -q "$scratch/usr/lib/lumar/libquarnel.so" <<<"$libraries" ||
    fail "lumar does not load the packaged engine library"
[ "$(env -u DISPLAY "$scratch/usr/bin/lumar" --version)" = "lumar $version" ] ||
    fail "lumar --version"
grep -q '^usage:' <<<"$("$scratch/usr/bin/quarnel-cli" --help)" || fail "quarnel-cli --help"
if [ -e "$scratch/usr/sbin/quarneld" ]; then
    grep -q -- '--socket' <<<"$("$scratch/usr/sbin/quarneld" --help)" || fail "quarneld --help"
fi

if [ "$failures" -ne 0 ]; then
    echo "check_package: $failures failures" >&2
    exit 1
fi
echo "check_package: $(basename "$deb") holds ${#required[@]} required files, lintian reports no error, the programs run"
