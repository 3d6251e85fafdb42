# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the benchmark scripts: re-enters the calling script inside a
# private network namespace, where it starts and stops simulated devices with
# scripts/simdevices.sh. The caller sets root (the project folder); its first
# argument, if any, is the build folder. Sets build, work and sim.
if [ "${DEVSCOUT_BENCH_INSIDE:-}" != 1 ]; then
    build=$(realpath "${1:-$root/build}")
    DEVSCOUT_BENCH_INSIDE=1 exec "$root/tests/support/netns-run" "$0" "$build"
fi
build=$1
sim=$build/tools/devsim/devscout-simdevice
me=bench
. "$root/scripts/simdevices.sh"
work=$(mktemp -d)
cleanup() {
    stop_devices
    wait
    rm -rf "$work"
}
trap cleanup EXIT
