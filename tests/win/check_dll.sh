#!/usr/bin/env bash
# quarnel.dll as a user gets it: 32-bit (PE32), exactly the six functions exported by name
# without decoration, and only system DLLs imported (one file to copy).
# Usage: check_dll.sh DLL [OBJDUMP]
set -euo pipefail
dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")
status=0
format=$(sed -n 's/.*file format \(.*\)$/\1/p;T;q' <<<"$dump")
magic=$(awk '$1 == "Magic" && !found {print $2; found = 1}' <<<"$dump")
echo "format: $format, magic $magic"
if [ "$format" != "pei-i386" ] || [ "$magic" != "010b" ]; then
    echo "check_dll: not a 32-bit PE32 image" >&2
    status=1
fi
# The [Ordinal/Name Pointer] Table lists exported names as "[ n] name".
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
    sed -n 's/^\s*\[\s*[0-9]*\] \(.*\)$/\1/p' | sort | tr '\n' ' ' | sed 's/ $//')
expected="get_vpn_status start_vpn stop_vpn udp_ping update_limit_rate update_token"
echo "exports: $exports"
if [ "$exports" != "$expected" ]; then
    echo "check_dll: expected exports: $expected" >&2
    status=1
fi
allowed='^(kernel32|ws2_32|iphlpapi|advapi32|ole32|oleaut32|shlwapi|msvcrt|user32|api-ms-win-crt-[a-z0-9-]*|ucrtbase)\.dll$'
imports=$(sed -n 's/^\s*DLL Name: \(.*\)$/\1/p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $imports
for name in $imports; do
    if ! [[ $name =~ $allowed ]]; then
        echo "check_dll: imports $name, not a system DLL" >&2
        status=1
    fi
done
exit $status
