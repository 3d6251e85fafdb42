#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks how devscout-cli ends against misbehaving devices, inside a
# private network namespace, at the default deadlines:
#  - time to report a device that stops reading an upload (from the moment it
#    stopped), a black-holed install port (from the device's reply), and a
#    discovery with chattering peers (from the devices' replies);
#  - a flood of 100,000 junk datagrams during a run with 5 real devices:
#    devices listed, run length, CPU time and peak memory.
# The discovery runs leave the inventory out, as before it existed.
# Usage: bench/cli/hostile.sh [BUILD_DIR]   (default: build); needs perl, jq,
# GNU time.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/simdevices.sh"
cli=$build/tools/cli/devscout-cli
# Whatever would fall back to the user's inventory lands in the scratch folder.
export XDG_DATA_HOME="$work/data"

# Runs a command; prints the seconds from the first log line matching PATTERN
# (or from the first stderr line matching it, with "stderr:" before it) until
# the command returned.
seconds_from() { # LOG PATTERN COMMAND...
    log=$1
    pattern=$2
    shift 2
    perl -MTime::HiRes=time,sleep -e '
        my ($log, $pattern, @command) = @ARGV;
        my $on_stderr = $pattern =~ s/^stderr://;
        my $since;
        my $pid = open(my $err, "-|") // die "fork: $!";
        if ($pid == 0) { open(STDERR, ">&STDOUT"); open(STDOUT, ">/dev/null"); exec @command; }
        if ($on_stderr) {
            while (<$err>) { $since //= time if /$pattern/; }
        } else {
            my $child = fork // die "fork: $!";
            if ($child == 0) { while (<$err>) {} exit 0; }
            until (defined $since) {
                open(my $in, "<", $log) or die "$log: $!";
                while (<$in>) { if (/$pattern/) { $since = time; last; } }
                close $in;
                sleep 0.005 unless defined $since;
            }
            waitpid($child, 0);
        }
        close $err;
        printf "%.2f\n", time - ($since // die "never saw $pattern\n");' "$log" "$pattern" "$@"
}

mac=02:bb:00:00:00:01
head -c $((16 << 20)) /dev/urandom >"$work/16.img"

start_devices "$work/stall.log" "addr=127.3.0.1,mac=$mac,stall-after=1048576"
stall=$(seconds_from "$work/stall.log" 'status=stalled' "$cli" install "$mac" "$work/16.img")
stop_devices
echo "stalled upload: reported ${stall} s after the device stopped reading (deadline 30 s)"

start_devices "$work/blackhole.log" "addr=127.3.0.1,mac=$mac,install-port=blackhole"
blackhole=$(seconds_from "$work/blackhole.log" '^install .*result=2' \
    "$cli" install "$mac" "$work/16.img")
stop_devices
echo "black-holed install port: reported ${blackhole} s after the device's reply (1 s grace, then the 5 s connect deadline)"

start_devices "$work/chatter.log" addr=127.3.0.1 addr=127.3.0.2,reply=malformed,repeat=1500 \
    addr=127.3.0.3,session=other,repeat=1500 addr=127.3.0.4,repeat=1500
chatter=$(seconds_from "" 'stderr:we got a reply' "$cli" --verbose --no-inventory discover --json)
stop_devices
echo "discover with three peers repeating every 1.5 s: returned ${chatter} s after the devices' replies (2 s silence)"

start_devices "$work/flood.log" addr=127.3.0.1,flood=6667 addr=127.3.0.2,flood=6667 \
    addr=127.3.0.3,flood=6667 addr=127.3.0.4,flood=6667 addr=127.3.0.5,flood=6666
/usr/bin/time -f '%e %U %S %M' -o "$work/flood.time" "$cli" --no-inventory discover --json \
    >"$work/flood.json" 2>/dev/null
stop_devices
flooded=$(awk '/^flood /{ sub(".*sent=", ""); n += $1 } END { print n }' "$work/flood.log")
read -r wall user sys kib <"$work/flood.time"
echo "flood of $flooded junk datagrams, 5 devices: $(jq length "$work/flood.json") listed;" \
    "run ${wall} s, CPU ${user} s user + ${sys} s system, peak ${kib} KiB"
