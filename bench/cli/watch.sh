#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Memory of devscout-cli over a long watch, inside a private network
# namespace: `discover --watch 10` against 10,000 simulated devices that answer
# each request within a random second, recording into a scratch inventory;
# its resident size sampled every 10 s. Prints the first, largest and last
# sample, and whether it grew: the largest sample of the second half above the
# largest of the first half by more than 1 MiB.
# Usage: bench/cli/watch.sh [BUILD_DIR [SECONDS]]   (default: build, 600).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${2:-600}
[ "${DEVSCOUT_BENCH_INSIDE:-}" = 1 ] || export DEVSCOUT_WATCH_SECONDS="$seconds"
. "$root/bench/simdevices.sh"
cli=$build/tools/cli/devscout-cli
seconds=$DEVSCOUT_WATCH_SECONDS

start_devices "$work/devices.log" --devices 10000 --delay-max 1000 --seed 1
"$cli" --database "$work/inventory.sqlite" discover --watch 10 >"$work/watch.jsonl" \
    2>"$work/watch.err" &
watch_pid=$!
: >"$work/rss"
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
    sleep 10
    elapsed=$((elapsed + 10))
    kib=$(awk '/^VmRSS:/ { print $2 }' "/proc/$watch_pid/status" 2>/dev/null || true)
    [ -n "$kib" ] || { echo "bench: devscout-cli ended early:" >&2; cat "$work/watch.err" >&2; exit 1; }
    echo "$kib" >>"$work/rss"
done
kill -TERM "$watch_pid"
wait "$watch_pid" || { echo "bench: devscout-cli did not end cleanly:" >&2; cat "$work/watch.err" >&2; exit 1; }

runs=$(awk '$1 == "discover" { seen[$2] = 1 } END { print length(seen) }' "$work/devices.log")
appeared=$(grep -c '"appeared"' "$work/watch.jsonl" || true)
awk -v runs="$runs" -v appeared="$appeared" -v seconds="$seconds" '
    { kib[NR] = $1 }
    END {
        half = int(NR / 2)
        for (i = 1; i <= NR; i++) {
            if (i <= half && kib[i] > early) early = kib[i]
            if (i > half && kib[i] > late) late = kib[i]
            if (kib[i] > max) max = kib[i]
        }
        printf "discover --watch 10, 10,000 devices, %d s: %d runs, %d appeared\n", seconds, runs, appeared
        verdict = "flat"
        if (late > early + 1024)
            verdict = sprintf("grew (%.1f MiB more in the second half)", (late - early) / 1024)
        printf "devscout-cli resident memory every 10 s (MiB):"
        for (i = 1; i <= NR; i++)
            printf " %.1f", kib[i] / 1024
        printf "\n"
        printf "devscout-cli resident memory over %d samples: first %.1f MiB, max %.1f MiB, last %.1f MiB; %s\n",
            NR, kib[1] / 1024, max / 1024, kib[NR] / 1024, verdict
    }' "$work/rss"
