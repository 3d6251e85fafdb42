#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks devscout-cli on many simulated devices, inside a private network
# namespace:
#  - install of one 16 MiB image on 100 devices with --verify (first asked
#    after the default 10 s), at --parallel 1, 4 and 16: total time, peak
#    memory (GNU time), and how many devices took the image and came back
#    with the new firmware;
#  - setup of 254 devices that all answer at one factory address, from one
#    plan file: total time, time per device, how many answered at their new
#    address.
# Nothing is read from or written to the user's inventory.
# Usage: bench/fleet/run.sh [BUILD_DIR]   (default: build); needs GNU time.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/simdevices.sh"
cli=$build/tools/cli/devscout-cli

# --- install on 100 devices --------------------------------------------------
head -c $((16 << 20)) /dev/urandom >"$work/16.img"
macs=
devices=
for n in $(seq 1 100); do
    mac=$(printf '02:bb:00:00:00:%02x' "$n")
    macs="$macs $mac"
    devices="$devices addr=127.3.0.$n,mac=$mac,fw=simfw%201.0,fw-after-install=simfw%202.0"
done
# shellcheck disable=SC2086 # one argument per device
start_devices "$work/install.log" $devices
echo "install, 100 devices, 16 MiB image each, --verify 120:"
for parallel in 1 4 16; do
    # shellcheck disable=SC2086
    /usr/bin/time -f '%e %M' -o "$work/time" "$cli" --no-inventory install $macs \
        "$work/16.img" --parallel "$parallel" --verify 120 >"$work/out" 2>"$work/err" ||
        { echo "bench: install at --parallel $parallel failed:" >&2; cat "$work/err" "$work/out" >&2; }
    read -r seconds kib <"$work/time"
    done_count=$(grep -c ': done, 16777216 bytes; came back' "$work/out" || true)
    echo "  --parallel $parallel: ${seconds} s, peak $((kib / 1024)).$(((kib % 1024) * 10 / 1024)) MiB;" \
        "$done_count of 100 took the image and came back"
done
stop_devices

# --- setup of 254 devices from one plan ---------------------------------------
# Their replies come from 198.18.1.0/24 on loopback; all say 192.168.1.1.
ip addr add 198.18.0.1/23 dev lo
devices=
echo "mac,ip,netmask" >"$work/plan.csv"
for n in $(seq 1 254); do
    mac=$(printf '02:cc:00:00:00:%02x' "$n")
    devices="$devices addr=198.18.1.$n,mac=$mac,ip=192.168.1.1"
    echo "$mac,198.18.0.$((n + 1)),255.255.254.0" >>"$work/plan.csv"
done
# shellcheck disable=SC2086
start_devices "$work/setup.log" $devices
/usr/bin/time -f '%e %M' -o "$work/time" "$cli" --no-inventory setup --plan "$work/plan.csv" \
    >"$work/out" 2>"$work/err" || { echo "bench: setup failed:" >&2; cat "$work/err" >&2; }
read -r seconds kib <"$work/time"
moved=$(grep -c ': done$' "$work/out" || true)
echo "setup, 254 devices at one address, one plan: ${seconds} s," \
    "$(echo "$seconds" | awk '{ printf "%.1f", $1 * 1000 / 254 }') ms per device;" \
    "$moved of 254 answered at their new address"
