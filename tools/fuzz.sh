#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one briefly, as many at once as there are cores.
#   tools/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

seconds=${1:-30}
build=build-fuzz
# -O1 with line tables only: the targets run briefly, so a quicker build buys more than faster code.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTW_FUZZ=ON \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG"
cmake --build "$build" -j "$(nproc)" --target fuzz_targets

# Memory is bounded by libFuzzer, not by the targets: one allocation above malloc_limit_mb or a process above
# rss_limit_mb is reported as a failure. The largest image the canvas accepts (2^26 pixels of 4 bytes) and its
# decode fit under both.
rss_limit_mb=2560
malloc_limit_mb=1024
# As many targets at once as there are cores, but no more than three quarters of the memory holds at their limit.
memory_mb=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
jobs=$(nproc)
if [ $((memory_mb * 3 / 4 / rss_limit_mb)) -lt "$jobs" ]; then
    jobs=$((memory_mb * 3 / 4 / rss_limit_mb))
fi
[ "$jobs" -ge 1 ] || jobs=1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Crash, leak and slow inputs land in one folder of the build, never in the source tree.
artifacts="$PWD/$build/artifacts"
mkdir -p "$artifacts"

# One target: its seeds copied into a scratch corpus, its output kept in a log shown only when it fails.
run_one() {
    local target=$1 seconds=$2
    local name corpus seeds log status
    name=$(basename "$target")
    corpus=$(mktemp -d)
    log=$(mktemp)
    seeds="fuzz/corpus/${name#fuzz_}"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
    status=0
    "$target" -max_total_time="$seconds" -rss_limit_mb="$rss_limit_mb" -malloc_limit_mb="$malloc_limit_mb" \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
        echo "== $name: $(grep -m1 'stat::number_of_executed_units' "$log" || echo done)"
    else
        echo "== $name FAILED ($status)"
        cat "$log"
    fi
    rm -rf "$corpus" "$log"
    return "$status"
}
export -f run_one
export rss_limit_mb malloc_limit_mb artifacts

find "$build"/fuzz -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -print0 | sort -z |
    xargs -0 -n1 -P "$jobs" bash -c 'run_one "$1" '"$seconds" _
