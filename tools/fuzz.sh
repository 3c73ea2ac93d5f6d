#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one briefly.
#   tools/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

seconds=${1:-30}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTW_FUZZ=ON
cmake --build "$build" -j "$(nproc)" --target fuzz_targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=$(mktemp -d)
    seeds="fuzz/corpus/${name#fuzz_}"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
    echo "== $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus"
    rm -rf "$corpus"
done
