#!/usr/bin/env bash
# Fails when an ELF file under the given directories has an empty or relative element in its run
# path: the loader reads it against the current directory, so a program run there by root would
# load a library planted beside it.
# Usage: tests/check_runpaths.sh DIR...
set -euo pipefail
checked=0
bad=0
while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    checked=$((checked + 1))
    paths=$(readelf -d "$file" 2>/dev/null |
        sed -n 's/.*Library \(runpath\|rpath\): \[\(.*\)\]$/\2/p')
    while IFS= read -r path; do
        [ -n "$path" ] || continue
        while IFS= read -r element; do
            case "$element" in
            /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
            *)
                echo "check_runpaths: $file: run path [$path] has element '$element'" >&2
                bad=$((bad + 1))
                ;;
            esac
        done < <(awk -F: '{ for (i = 1; i <= NF; i++) print $i }' <<<"$path")
    done <<<"$paths"
done < <(find "$@" -type f -perm -u+x -print0 -o -type f -name '*.so*' -print0)
echo "check_runpaths: $checked ELF files, $bad bad run-path elements"
[ "$checked" -gt 0 ] && [ "$bad" -eq 0 ]
