#!/usr/bin/env bash
# The engine service's systemd units: `systemd-analyze verify` has nothing to say about them
# (the built quarneld stands at the unit's ExecStart path, in a private mount namespace), and
# `systemd-analyze security --offline=true` rates the service's exposure at 4.0 or less, and both
# name the group the build was configured with (LUMAR_SERVICE_GROUP), as the package's scripts do.
# Usage: check_service_units.sh QUARNELD_BINARY UNIT_DIR GROUP
set -euo pipefail
quarneld=$(realpath "${1:?quarneld binary}")
units=$(realpath "${2:?directory of the built units}")
group=${3:?service group}

grep -qx "SocketGroup=$group" "$units/quarneld.socket" &&
    grep -qE "^ExecStart=.* --group $group( |\$)" "$units/quarneld.service" || {
    echo "the units do not both name the group $group:"
    grep -hE '^(SocketGroup|ExecStart)=' "$units/quarneld.socket" "$units/quarneld.service"
    exit 1
}
echo "group: $group in both units"

findings=$(unshare -m bash -c '
    set -e
    mount --make-rprivate /
    mount -t tmpfs -o mode=0755 none /usr/sbin
    cp "$1" /usr/sbin/quarneld
    systemd-analyze verify "$2/quarneld.socket" "$2/quarneld.service" 2>&1
' verify "$quarneld" "$units") || {
    echo "systemd-analyze verify failed:"
    echo "$findings"
    exit 1
}
if [ -n "$findings" ]; then
    echo "systemd-analyze verify reports:"
    echo "$findings"
    exit 1
fi
echo "systemd-analyze verify: clean"

# The threshold counts tenths: 40 is an exposure of 4.0.
report=$(systemd-analyze security --offline=true --threshold=40 "$units/quarneld.service" 2>&1) &&
    status=0 || status=$?
echo "$report" | grep 'Overall exposure level'
if [ $status -ne 0 ]; then
    echo "$report"
    echo "the service's exposure is above 4.0"
    exit 1
fi
