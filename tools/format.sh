#!/usr/bin/env bash
# Formats every C and C++ source of the tree with the repository's .clang-format.
#   tools/format.sh           rewrite the files in place
#   tools/format.sh --check   list the files that differ and fail if there are any (CI)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

format=clang-format-14
mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')

if [ "${1:-}" = "--check" ]; then
    differ=()
    for f in "${files[@]}"; do
        "$format" --dry-run -Werror "$f" >/dev/null 2>&1 || differ+=("$f")
    done
    if [ ${#differ[@]} -ne 0 ]; then
        echo "Files that tools/format.sh would rewrite:"
        printf '  %s\n' "${differ[@]}"
        exit 1
    fi
    echo "format: ${#files[@]} files formatted"
    exit 0
fi
printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$format" -i
