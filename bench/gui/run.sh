#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks the window against 10,000 simulated devices, inside a private
# network namespace, on Qt's offscreen platform: each device answers all three
# requests after a random delay of up to 1 s, then all answer at once. Reports
# rows listed of devices present, the time from the press of "Discover" (the
# first request) to the last row, the longest stall of the GUI thread while
# rows arrive, and the peak memory of the window's process.
# Usage: bench/gui/run.sh [BUILD_DIR]   (default: build, configured with
# -DDEVSCOUT_BUILD_BENCH=ON); needs GNU time.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/simdevices.sh"
probe=$build/bench/gui/gui_probe

devices=10000
measure() { # LABEL DEVSIM-ARGUMENTS...
    label=$1
    shift
    start_devices "$work/sim.log" --devices "$devices" "$@"
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%M' -o "$work/time" "$probe" \
        >"$work/probe.out" 2>/dev/null
    stop_devices
    # rows=N last_row_ms=N run_ms=N longest_stall_ms=N
    set -- $(grep '^rows=' "$work/probe.out" | sed 's/[a-z_]*=//g')
    printf '%-34s %6s/%-6s %14s %16s %12s\n' "$label" "$1" "$devices" "$2" "$4" \
        "$(($(cat "$work/time") / 1024))"
}

printf '%-34s %13s %14s %16s %12s\n' "scenario" "listed" "last row (ms)" \
    "longest stall (ms)" "peak (MiB)"
measure "random delay up to 1 s" --delay-max 1000 --seed 1
measure "all at once" --delay-max 0
