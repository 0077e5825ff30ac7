#!/usr/bin/env bash
# The include rule of ARCHITECTURE.md: each layer of the engine includes only itself and the
# layers below it; the programs that drive the engine (the client, the command-line client, the
# service) include nothing of it but quarnel/include (the service also quarnel/log, to tell
# whether its output is the system journal), and the service's public headers
# (service/include: its protocol and the clients' side), which include only quarnel/include
# themselves; the tools (the reference server) at most the layers below the core as well; none
# of them anything of quarnel/src. The benchmarks measure the core's own parts and may include
# every layer; the tests anything. Every folder with sources is one of these, or the check fails.
# Prints every include that breaks the rule and exits 1 then.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The engine's folders, and the folders each may include from.
declare -A allowed=(
    [quarnel/log]="quarnel/log"
    [quarnel/vpn-proto]="quarnel/vpn-proto quarnel/log"
    [quarnel/netio]="quarnel/netio quarnel/vpn-proto quarnel/log"
    [quarnel/host_journal]="quarnel/host_journal quarnel/vpn-proto quarnel/log quarnel/include"
    [quarnel/src]="quarnel/src quarnel/host_journal quarnel/netio quarnel/vpn-proto quarnel/log quarnel/include"
    [quarnel/include]="quarnel/include"
    [service/include]="service/include quarnel/include"
)
declare -A users=(
    [Corvel_Web]="quarnel/include service/include"
    [service]="quarnel/include service/include quarnel/log"
    [tools]="quarnel/include quarnel/netio quarnel/vpn-proto quarnel/log"
    [bench]="quarnel/include quarnel/src quarnel/host_journal quarnel/netio quarnel/vpn-proto quarnel/log"
)
# Folders the rule leaves free.
unchecked=(tests)

status=0
fail() {
    echo "layers: $*"
    status=1
}

# Header name -> the engine folder that holds it; a name in two folders could not be told apart.
declare -A home=()
for dir in "${!allowed[@]}"; do
    # A layer's headers, those of its systems' sub-folders included.
    while IFS= read -r header; do
        name=${header##*/}
        if [ -n "${home[$name]:-}" ]; then
            fail "$name is in both ${home[$name]} and $dir"
        fi
        home[$name]=$dir
    done < <(find "$dir" -name '*.h' | sort)
done

# check_folder FOLDER ALLOWED...: the quoted includes of every source below FOLDER.
check_folder() {
    local folder=$1
    shift
    local file line target name owner
    while IFS= read -r line; do
        file=${line%%:*}
        target=${line#*\"}
        target=${target%\"*}
        if [[ "$target" == *quarnel/src/* ]]; then
            fail "$file includes $target"
            continue
        fi
        # A header beside the file is its own.
        [ -e "${file%/*}/$target" ] && continue
        name=${target##*/}
        owner=${home[$name]:-}
        [ -n "$owner" ] || continue
        if [[ " $* " != *" $owner "* ]]; then
            fail "$file includes $target from $owner"
        fi
    done < <(grep -rHo --include='*.h' --include='*.cpp' \
        '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*"' "$folder" | sort)
}

for dir in "${!allowed[@]}"; do
    # shellcheck disable=SC2086
    check_folder "$dir" ${allowed[$dir]}
done
for dir in "${!users[@]}"; do
    [ -d "$dir" ] || continue
    # shellcheck disable=SC2086
    check_folder "$dir" ${users[$dir]}
    # Nor may their build put the engine's inside on the include path (the benchmarks excepted).
    [ "$dir" = bench ] && continue
    while IFS= read -r hit; do
        fail "$hit names the engine's inside"
    done < <(grep -rn --include=CMakeLists.txt -e 'quarnel/src' -e '\.\./src' "$dir" || true)
done

# A folder of sources the rule does not name would escape it.
while IFS= read -r dir; do
    covered=no
    for known in "${!allowed[@]}" "${!users[@]}" "${unchecked[@]}"; do
        if [ "$dir" = "$known" ] || [[ "$dir" == "$known"/* ]]; then
            covered=yes
            break
        fi
    done
    [ $covered = yes ] || fail "$dir holds sources the rule does not cover"
done < <(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null | xargs -r -n1 dirname | sort -u)

[ $status -eq 0 ] && echo "layers: the include rule holds"
exit $status
