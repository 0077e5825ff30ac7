#!/bin/sh
# Creates and deletes network namespaces joined by veth pairs for SECONDS (default 60), as
# containers do on a developer's machine, so that the namespace tests can be run beside it:
#   tests/net/netns_churn.sh 600 & ctest --test-dir BUILD -R 'net|tunnel'; wait
# Everything happens inside namespaces of its own (named qnchurn-PID-N); the host's links
# are never touched. Needs root and ip (iproute2).
set -u

duration=${1:-60}
prefix="qnchurn-$$"
count=0

cleanup() {
    for path in /run/netns/"$prefix"-*; do
        [ -e "$path" ] && ip netns delete "${path##*/}" 2>/dev/null
    done
    echo "netns_churn: $count namespaces created and deleted"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

end=$(($(date +%s) + duration))
while [ "$(date +%s)" -lt "$end" ]; do
    # A ring of three namespaces, each joined to the next, then torn down one at a time so
    # that the survivors briefly hold veth ends whose peers are going away.
    a="$prefix-$count" b="$prefix-$((count + 1))" c="$prefix-$((count + 2))"
    count=$((count + 3))
    for ns in "$a" "$b" "$c"; do
        ip netns add "$ns" || exit 1
    done
    ip -n "$a" link add ab type veth peer name ba netns "$b"
    ip -n "$b" link add bc type veth peer name cb netns "$c"
    ip -n "$c" link add ca type veth peer name ac netns "$a"
    ip -n "$a" link set ab up
    ip -n "$b" link set ba up
    ip netns delete "$b"
    ip netns delete "$a"
    ip netns delete "$c"
done
