#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Encode and decode time per packet, in a Release build of its own.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEVSCOUT_BUILD_BENCH=ON \
    -DDEVSCOUT_BUILD_GUI=OFF -DDEVSCOUT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target codec_bench >/dev/null
"$build/bench/codec_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
