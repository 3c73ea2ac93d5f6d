#!/usr/bin/env bash
# Builds KTWSession and runs every test.
#   tools/test.sh             normal build (build/)
#   tools/test.sh --sanitize  AddressSanitizer and UndefinedBehaviorSanitizer build (build-asan/), without the
#                             benchmark programs
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
    build=build-asan
    flags=(-DCMAKE_BUILD_TYPE=Debug -DKTW_SANITIZE=ON -DKTW_BENCH=OFF)
fi

jobs=$(nproc)
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
