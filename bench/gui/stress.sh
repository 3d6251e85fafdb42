#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Stress test of the window's setup dialog, inside a private network namespace
# on Qt's offscreen platform: three simulated devices, one that refuses setup
# and install, one that cuts the upload after 1000 bytes, one that accepts
# both, and ROUNDS rounds of double-click, new IP, netmask and image file,
# "Setup", rotating over the devices. Each round must end with a discovery
# that sent requests and listed every device; at the end the window is closed
# and must exit within 5 seconds. A hung window's threads are printed (with
# gdb, where installed) before it is killed.
# Usage: bench/gui/stress.sh ROUNDS [BUILD_DIR]   (default: build, configured
# with -DDEVSCOUT_BUILD_BENCH=ON). Exits 0 when every round passed and the
# window exited. STRESS_PROBE_ARGS adds options of stress_probe, e.g.
# "--pause-ms 3000" for a random pause before each double-click, or
# "--in-signal" for a double-click from inside the end-of-run signal.
# STRESS_IMAGE_BYTES sets the size of the image (default 4 MiB).
# STRESS_HOLD_UPLOAD=1 adds a client that connects to the accepting device's
# install port as soon as it opens and then sends nothing: the device takes
# one upload at a time, so the window's upload waits behind it for as long
# as the client stays, which shows how the window copes with a device that
# accepts the connection but never reads.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${DEVSCOUT_BENCH_INSIDE:-}" != 1 ]; then
    case "${1:-}" in
    '' | *[!0-9]*)
        echo "usage: $0 ROUNDS [BUILD_DIR]" >&2
        exit 2
        ;;
    esac
    DEVSCOUT_STRESS_ROUNDS=$1
    export DEVSCOUT_STRESS_ROUNDS
    shift
fi
. "$root/bench/simdevices.sh"
rounds=$DEVSCOUT_STRESS_ROUNDS
probe=$build/bench/gui/stress_probe
round_timeout=30
exit_timeout=5

head -c "${STRESS_IMAGE_BYTES:-$((4 << 20))}" /dev/urandom >"$work/image"
start_devices "$work/sim.log" \
    addr=127.1.0.1,mac=02:00:00:00:00:01,setup=1,install=1 \
    addr=127.1.0.2,mac=02:00:00:00:00:02,close-after=1000 \
    addr=127.1.0.3,mac=02:00:00:00:00:03

holder_pid=
if [ "${STRESS_HOLD_UPLOAD:-}" = 1 ]; then
    # Reads only, so the device never sees a byte or an end of the upload.
    socat -u TCP:127.1.0.3:53594,retry=100000,interval=0.01 - >/dev/null 2>&1 &
    holder_pid=$!
fi

deadline=$(($(date +%s) + rounds * round_timeout + 60))
QT_QPA_PLATFORM=offscreen "$probe" \
    --rounds "$rounds" --image "$work/image" --sim-log "$work/sim.log" \
    --round-timeout "$round_timeout" ${STRESS_PROBE_ARGS:-} \
    --device 02:00:00:00:00:01 198.18.1 \
    --device 02:00:00:00:00:02 198.18.2 \
    --device 02:00:00:00:00:03 198.18.3 \
    >"$work/probe.out" 2>"$work/probe.err" &
probe_pid=$!

# The probe says "closing" once it has closed the window, then must be gone
# within exit_timeout seconds; it bounds its rounds itself, and the deadline
# bounds it in case it cannot.
until grep -q '^stress: closing' "$work/probe.out" 2>/dev/null; do
    kill -0 "$probe_pid" 2>/dev/null || break
    [ "$(date +%s)" -lt "$deadline" ] || break
    sleep 0.2
done
hung=0
waited=0
while kill -0 "$probe_pid" 2>/dev/null; do
    if [ "$waited" -ge $((exit_timeout * 5)) ]; then
        hung=1
        break
    fi
    sleep 0.2
    waited=$((waited + 1))
done

status=0
# The probe's lines, each failure with the devices' log lines it quotes.
awk '/^stress: FAIL/ { quoting = 1; print; next }
     /^stress: / { quoting = 0; print; next }
     quoting' "$work/probe.out"
grep -q '^stress: FAIL' "$work/probe.out" && status=1
if [ "$hung" = 1 ]; then
    if grep -q '^stress: closing' "$work/probe.out"; then
        echo "stress: FAIL the window did not exit within ${exit_timeout} s of its close"
    else
        echo "stress: FAIL the probe did not finish its rounds in time"
    fi
    if command -v gdb >/dev/null; then
        timeout 60 gdb -p "$probe_pid" -batch -ex 'thread apply all bt' 2>/dev/null |
            grep -E '^(Thread|#)' || true
    fi
    kill -KILL "$probe_pid" 2>/dev/null || true
    status=1
elif ! wait "$probe_pid"; then
    grep -q '^stress: closing' "$work/probe.out" ||
        echo "stress: FAIL the probe ended before closing the window"
    status=1
fi
if [ "$status" != 0 ]; then
    echo "--- probe stderr (last 40 lines)"
    tail -n 40 "$work/probe.err"
fi
[ -z "$holder_pid" ] || kill "$holder_pid" 2>/dev/null || true
if [ "$status" = 0 ]; then
    echo "stress: passed: $rounds rounds, and the window exited on close"
else
    echo "stress: failed"
fi
exit "$status"
