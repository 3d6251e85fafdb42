#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks the window against 10,000 simulated devices, inside a private
# network namespace, on Qt's offscreen platform: each device answers all three
# requests after a random delay of up to 1 s, then all answer at once, then
# all at once twice more with the window recording its runs in an inventory
# (all devices new, then all present). Reports rows listed of devices present,
# the time from the press of "Discover" (the first request) to the last row,
# the longest stall of the GUI thread while rows arrive, the peak memory of
# the window's process, and the share of CPU time the virtual machine's host
# took ("steal") until the last row: it stalls the window as much as
# anything the window does itself, so figures from a busy host show as such.
# Then starts the window on that inventory of 10,000 devices and reports
# when it was first drawn and when the list was full, and the longest and
# mean time per keystroke of a filter typed and taken back.
# Last, a watch of the 10,000 devices, recorded: the window's resident memory
# after the first run, at its highest and after the last. WATCH_SECONDS
# (default 1) and WATCH_RUNS (default 20) set it; 10 and 50 make a watch
# every 10 s for about ten minutes.
# Usage: bench/gui/run.sh [BUILD_DIR]   (default: build, configured with
# -DDEVSCOUT_BUILD_BENCH=ON); needs GNU time.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/simdevices.sh"
probe=$build/bench/gui/gui_probe

devices=10000
probe_args=
measure() { # LABEL DEVSIM-ARGUMENTS...
    label=$1
    shift
    start_devices "$work/sim.log" --devices "$devices" "$@"
    # shellcheck disable=SC2086 # the probe's arguments are words
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%M' -o "$work/time" "$probe" $probe_args \
        >"$work/probe.out" 2>/dev/null
    stop_devices
    # rows=N last_row_ms=N run_ms=N longest_stall_ms=N steal_pct=N
    set -- $(grep '^rows=' "$work/probe.out" | sed 's/[a-z_]*=//g')
    printf '%-34s %6s/%-6s %14s %16s %12s %10s\n' "$label" "$1" "$devices" "$2" "$4" \
        "$(($(cat "$work/time") / 1024))" "$5"
}

printf '%-34s %13s %14s %16s %12s %10s\n' "scenario" "listed" "last row (ms)" \
    "longest stall (ms)" "peak (MiB)" "steal (%)"
measure "random delay up to 1 s" --delay-max 1000 --seed 1
measure "all at once" --delay-max 0
probe_args="--database $work/inventory.sqlite"
measure "all at once, recorded, all new" --delay-max 0
measure "all at once, recorded, all present" --delay-max 0

# Host names are sim-1 to sim-10000: the filter narrows to 1,111 rows, then
# to 111, and widens again.
since=$(date +%s%3N)
QT_QPA_PLATFORM=offscreen "$probe" --database "$work/inventory.sqlite" \
    --startup "$since" "$devices" --filter sim-99 >"$work/startup.out" 2>/dev/null
# window_ms=N list_ms=N rows=N, then filter=T fewest_shown=N longest_keystroke_us=N mean...
set -- $(grep '=' "$work/startup.out" | sed 's/[a-z_]*=//g')
printf '\nstart-up with %s remembered devices: window drawn after %s ms, list full after %s ms\n' \
    "$3" "$1" "$2"
awk -v text="$4" -v longest="$6" -v mean="$7" 'BEGIN {
    printf "filter \"%s\" typed and taken back: longest keystroke %.1f ms, mean %.1f ms\n",
        text, longest / 1000, mean / 1000 }'

watch_seconds=${WATCH_SECONDS:-1}
watch_runs=${WATCH_RUNS:-20}
start_devices "$work/sim.log" --devices "$devices" --delay-max 0
QT_QPA_PLATFORM=offscreen "$probe" --database "$work/inventory.sqlite" \
    --watch "$watch_seconds" "$watch_runs" >"$work/watch.out" 2>/dev/null
stop_devices
# runs=N rss_first_kib=N rss_highest_kib=N rss_last_kib=N
set -- $(grep '^runs=' "$work/watch.out" | sed 's/[a-z_]*=//g')
awk -v devices="$devices" -v seconds="$watch_seconds" -v runs="$1" -v first="$2" \
    -v highest="$3" -v last="$4" 'BEGIN {
    printf "watch of %d devices every %d s, %d runs: resident %.1f MiB after the first run, " \
        "%.1f MiB at most, %.1f MiB after the last\n", devices, seconds, runs, first / 1024,
        highest / 1024, last / 1024 }'
