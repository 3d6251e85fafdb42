#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Try the window without devices: builds if needed, then starts it inside a
# private network namespace together with simulated devices of several kinds
# (a duplicate address, devices without an address, Latin-1 host names, a
# long firmware text, a late answer). Press "Discover" to find them.
# Usage: scripts/demo.sh [--build DIR] [--devices FILE] [PROGRAM [ARGS...]]
#   DIR defaults to build; FILE holds other simulated devices instead, one
#   devscout-simdevice DEVICE a line; PROGRAM (a path in the build folder)
#   defaults to the window, gui/devscout.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --inside ]; then
    shift
    build=$1
    devices=$2
    shift 2
    sim=$build/tools/devsim/devscout-simdevice
    me=demo
    . "$top/scripts/simdevices.sh"
    trap stop_devices EXIT
    trap 'exit 1' HUP INT TERM
    if [ -n "$devices" ]; then
        # One device a line; the descriptions hold no blanks or wildcards
        # that need keeping.
        set -f
        IFS='
'
        # shellcheck disable=SC2046
        start_devices /dev/null $(cat "$devices")
        unset IFS
        set +f
    else
        start_devices /dev/null \
            'addr=127.1.0.1,mask=255.255.255.0,host=lab-switch,fw=SwitchOS%203.2' \
            'addr=127.1.0.2,host=caf%e9-printer,fw=PrintServer%201.0%20%a9%202004' \
            'addr=127.1.0.3,ip=127.1.0.1,host=switch-copy,fw=SwitchOS%203.2' \
            'addr=127.1.0.4,ip=none,host=unconfigured-a,fw=boot%200.9' \
            'addr=127.1.0.5,ip=none,host=unconfigured-b,fw=boot%200.9' \
            'addr=127.1.0.6,host=m%fcller-cam,fw=CamFirmware%204.10.2%20build%202004-11-05%20(release%2C%20signed%2C%20with%20the%20long%20version%20text%20some%20devices%20report)' \
            'addr=127.1.0.7,host=slow-gateway,fw=GW%202.1,delay=900' \
            'addr=127.1.0.8,host=locked-sensor,fw=Sensor%200.3,setup=1,install=1'
    fi
    "$build/$@"
    exit
fi

build=$top/build
devices=
if [ "${1:-}" = --build ]; then
    build=$(realpath "$2")
    shift 2
fi
if [ "${1:-}" = --devices ]; then
    devices=$(realpath "$2")
    shift 2
fi
[ $# -gt 0 ] || set -- gui/devscout

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
    echo "demo: no display to open the window on: run it on a desktop, or under a virtual one (xvfb-run scripts/demo.sh)" >&2
    exit 1
fi
# A private network namespace reaches an X server only through its socket in
# /tmp/.X11-unix (the abstract socket and TCP stay outside), so name it
# explicitly.
if [ -n "${DISPLAY:-}" ]; then
    number=${DISPLAY#unix}
    number=${number#:}
    number=${number%%.*}
    case "$DISPLAY" in
    :* | unix:*) ;;
    *) number= ;;
    esac
    if [ -z "$number" ] || [ ! -S "/tmp/.X11-unix/X$number" ]; then
        echo "demo: the display $DISPLAY is not a local X socket, which a private network namespace cannot reach; run it on the local desktop or under xvfb-run" >&2
        exit 1
    fi
    DISPLAY=unix:${DISPLAY#*:}
    export DISPLAY
fi

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DDEVSCOUT_BUILD_GUI=ON >/dev/null
cmake --build "$build" --target devscout devscout-simdevice >/dev/null

# The same private namespace as the tests: only loopback, broadcast routed to it.
exec "$top/tests/support/netns-run" "$0" --inside "$build" "$devices" "$@"
