#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Fuzzes the packet decoder for the given number of seconds (default 60),
# starting from the checked-in corpus. New inputs stay in a scratch folder.
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DDEVSCOUT_BUILD_FUZZ=ON -DDEVSCOUT_BUILD_GUI=OFF -DDEVSCOUT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target parse_fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$top/fuzz/artifacts"
# close_fd_mask=2 silences the decoder's fault lines; libFuzzer keeps its own.
"$build/fuzz/parse_fuzz" -max_total_time="$seconds" -close_fd_mask=2 -print_final_stats=1 \
    -max_len=300 -artifact_prefix="$top/fuzz/artifacts/" "$work" "$top/fuzz/corpus" 2>&1 |
    tee "$work/log" | grep -E '^(Done|stat::|==|SUMMARY|INFO: Running)' || true
grep -q '^Done ' "$work/log" || { echo "fuzzing did not finish cleanly" >&2; tail -40 "$work/log" >&2; exit 1; }
