#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz and runs each one for a bounded time, one after the other. Corpora are kept in
# build-fuzz/corpus/ between runs; a crashing input is written to build-fuzz/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default: 60 s, every target)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(check_vpn_header check_kx_reply check_user_auth_reply check_keepalive_reply
             check_rekey_reply data_trans_decrypt check_ping_reply service_request)
fi

# Coverage instrumentation and sanitizers on every object, libFuzzer's main only on the targets.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQN_FUZZ=ON -DQN_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link $sanitize" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    echo "== fuzz_$target for ${seconds} s"
    "$build/tests/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" 2>&1 |
        grep -E '^(stat::|==|SUMMARY|Done|INFO: Seed)|ERROR|runtime error' || true
    # grep hides libFuzzer's progress lines; the fuzzer's own status decides.
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz_$target failed"; exit 1; }
done
