# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts that start simulated devices, inside a private
# network namespace (tests/support/netns-run). The caller sets sim (the
# devscout-simdevice program) and me (its own name, for the error line).
sim_pid=

start_devices() { # LOG DEVSIM-ARGUMENTS...
    log=$1
    shift
    ready_dir=$(mktemp -d)
    mkfifo "$ready_dir/ready"
    # The devices close the FIFO once they answer, or by dying before that.
    "$sim" --i-am-in-a-namespace --log "$log" --ready-fd 3 "$@" 3>"$ready_dir/ready" >/dev/null &
    sim_pid=$!
    said=$(timeout 10 head -n1 "$ready_dir/ready" || true)
    rm -rf "$ready_dir"
    [ "$said" = ready ] || {
        echo "$me: the simulated devices did not start" >&2
        stop_devices
        exit 1
    }
}

stop_devices() {
    [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; } || true
    sim_pid=
}
