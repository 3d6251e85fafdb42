# Sourced by the benchmark scripts: re-enters the calling script inside a
# private network namespace, then starts and stops simulated devices there.
# The caller sets root (the project folder); its first argument, if any, is
# the build folder. Sets build, work and sim.
if [ "${DEVSCOUT_BENCH_INSIDE:-}" != 1 ]; then
    build=$(realpath "${1:-$root/build}")
    DEVSCOUT_BENCH_INSIDE=1 exec "$root/tests/support/netns-run" "$0" "$build"
fi
build=$1
sim=$build/tools/devsim/devscout-simdevice
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    wait
    rm -rf "$work"
}
trap cleanup EXIT

start_devices() { # LOG DEVSIM-ARGUMENTS...
    log=$1
    shift
    : >"$log" # an earlier run's "ready" must not count
    "$sim" --i-am-in-a-namespace --log "$log" "$@" >/dev/null 2>&1 &
    sim_pid=$!
    until grep -q '^ready' "$log" 2>/dev/null; do sleep 0.05; done
}
stop_devices() {
    kill "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}
