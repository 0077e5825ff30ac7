#!/usr/bin/env bash
# The engine library exports exactly its six functions. Usage: check_exports.sh LIBRARY
set -euo pipefail
expected="get_vpn_status start_vpn stop_vpn udp_ping update_limit_rate update_token"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
    echo "exported: $actual"
    echo "expected: $expected"
    exit 1
fi
echo "exports: $actual"
