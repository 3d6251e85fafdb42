#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks devscout-cli against simulated devices, inside a private network
# namespace:
#  - install of a 256 MiB image against socat sending the same file to the
#    same device listener (throughput ratio), and our peak memory for 16 MiB
#    and 256 MiB images (it must not grow with the image);
#  - discover --json with 1,000 and 10,000 devices that answer after a random
#    delay of up to 1 s: devices found of present, and the time from the last
#    reply until the command returns (the 2-second silence and little more);
#    without the inventory, and with 10,000 again recorded into a fresh one.
# Nothing is read from or written to the user's inventory.
# Usage: bench/cli/run.sh [BUILD_DIR]   (default: build); needs socat, jq, perl,
# GNU time.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/simdevices.sh"
cli=$build/tools/cli/devscout-cli
# Whatever would fall back to the user's inventory lands in the scratch folder.
export XDG_DATA_HOME="$work/data"

completed() { grep -c '^upload .*status=complete' "$work/install.log" || true; }
await_uploads() { # COUNT
    tries=0
    until [ "$(completed)" -ge "$1" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 1000 ] || { echo "bench: the device logged fewer than $1 uploads" >&2; exit 1; }
        sleep 0.01
    done
}
# Runs a command three times; prints the shortest wall time and the largest
# peak resident size in KiB.
best_of_3() {
    best=
    peak=0
    for _ in 1 2 3; do
        done_before=$(completed)
        /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>&1
        await_uploads $((done_before + 1))
        read -r seconds kib <"$work/time"
        best=$(echo "$seconds $best" | awk '{ print ($2 == "" || $1 < $2) ? $1 : $2 }')
        [ "$kib" -le "$peak" ] || peak=$kib
    done
    echo "$best $peak"
}

# --- install vs socat -------------------------------------------------------
mac=02:aa:00:00:00:01
head -c $((256 << 20)) /dev/urandom >"$work/256.img"
head -c $((16 << 20)) /dev/urandom >"$work/16.img"
: >"$work/0.img"
start_devices "$work/install.log" "addr=127.2.0.1,mac=$mac"

set -- $(best_of_3 "$cli" install "$mac" "$work/0.img")
base_s=$1
set -- $(best_of_3 "$cli" install "$mac" "$work/16.img")
small_kib=$2
set -- $(best_of_3 "$cli" install "$mac" "$work/256.img")
big_s=$1
big_kib=$2

# socat gets the same listener: an install request opens it, then the upload
# header and the file go out in one stream.
size=$(stat -c %s "$work/256.img")
header=$(printf '\\%03o\\%03o\\%03o\\%03o' $((size >> 24 & 255)) $((size >> 16 & 255)) \
    $((size >> 8 & 255)) $((size & 255)))
socat_upload() {
    done_before=$(completed)
    before=$(grep -c '^install ' "$work/install.log")
    printf '\006\022\064\002\006\002\252\000\000\000\001' |
        socat -u - UDP-DATAGRAM:255.255.255.255:62387,broadcast
    until [ "$(grep -c '^install ' "$work/install.log")" -gt "$before" ]; do sleep 0.01; done
    /usr/bin/time -f '%e' -o "$work/socat.time" sh -c \
        "{ printf '$header'; cat '$work/256.img'; } | socat -u - TCP:127.2.0.1:53594"
    await_uploads $((done_before + 1))
    cat "$work/socat.time"
}
socat_s=
for _ in 1 2 3; do
    seconds=$(socat_upload)
    socat_s=$(echo "$seconds $socat_s" | awk '{ print ($2 == "" || $1 < $2) ? $1 : $2 }')
done
[ "$(grep '^upload .*size=268435456' "$work/install.log" | awk '{ print $5 }' | sort -u |
    wc -l)" -eq 1 ] || { echo "bench: the device received different images" >&2; exit 1; }
stop_devices

awk -v base="$base_s" -v ours="$big_s" -v socat="$socat_s" -v small="$small_kib" \
    -v big="$big_kib" 'BEGIN {
    upload = ours - base
    printf "install 256 MiB: devscout-cli %.2f s (upload %.2f s after %.2f s of discovery, reply and the 1 s wait) = %.0f MiB/s\n", ours, upload, base, 256 / upload
    printf "install 256 MiB: socat %.2f s = %.0f MiB/s; ratio devscout-cli/socat %.2f\n", socat, 256 / socat, socat / upload
    printf "install peak memory: %d KiB with 16 MiB image, %d KiB with 256 MiB image\n", small, big
}'

# --- discovery of many devices ----------------------------------------------
# COUNT, then either --no-inventory or --database PATH; sets found, after
# (seconds from the last reply until the command returned) and total.
discover_many() {
    count=$1
    shift
    start_devices "$work/discover.log" --devices "$count" --delay-max 1000 --seed 1
    timing=$(perl -MTime::HiRes=time -e '
        my ($cli, $out, @inventory) = @ARGV;
        my $start = time;
        my $last = $start;
        open(my $err, "-|", "sh", "-c",
            "out=\$1; shift; exec \"\$0\" --verbose \"\$\@\" discover --json 2>&1 >\"\$out\"",
            $cli, $out, @inventory) or die "cannot run $cli";
        while (<$err>) { $last = time if /we got a reply/; }
        close $err or die "$cli failed\n";
        my $end = time;
        printf "%.3f %.3f\n", $end - $last, $end - $start;' "$cli" "$work/devices.json" "$@")
    stop_devices
    found=$(jq length "$work/devices.json")
    after=${timing% *}
    total=${timing#* }
}
for count in 1000 10000; do
    discover_many "$count" --no-inventory
    echo "discover --json: $found of $count devices found; returned $after s after the last reply ($total s in all)"
done
discover_many 10000 --database "$work/inventory.sqlite"
echo "discover --json, recorded into a fresh inventory: $found of 10000 devices found;" \
    "returned $after s after the last reply ($total s in all)"
