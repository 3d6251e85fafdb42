#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes docs/screenshot.png: the window's run over simulated devices that an
# earlier run already found, so its rows show what the inventory made of them
# (new, changed, absent), with vendors and a note, drawn under Xvfb inside a
# private network namespace.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default: build)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DDEVSCOUT_BUILD_GUI=ON -DDEVSCOUT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target gui_probe devscout-cli >/dev/null
mkdir -p "$top/docs"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Neither the user's window settings nor their inventory take part.
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
db=$scratch/inventory.sqlite
log=$scratch/log

# The MACs carry prefixes registered with the IEEE, so the Vendor column has
# names; the last one is locally administered.
cat >"$scratch/before" <<'DEVICES'
addr=127.1.0.1,mac=00:00:0c:3a:10:01,host=lab-switch,fw=SwitchOS%203.2
addr=127.1.0.2,mac=74:83:c2:5e:21:02,host=edge-gateway,fw=GW%202.1
addr=127.1.0.3,mac=00:40:8c:7d:33:03,host=door-camera,fw=CamFirmware%204.10.2
addr=127.1.0.4,mac=00:01:e6:4b:44:04,host=caf%e9-printer,fw=PrintServer%201.0
addr=127.1.0.6,ip=none,host=unconfigured,fw=boot%200.9
DEVICES
# The gateway moved, the camera has new firmware, the printer is gone and an
# I/O module is new.
cat >"$scratch/after" <<'DEVICES'
addr=127.1.0.1,mac=00:00:0c:3a:10:01,host=lab-switch,fw=SwitchOS%203.2
addr=127.1.0.12,mac=74:83:c2:5e:21:02,host=edge-gateway,fw=GW%202.1
addr=127.1.0.3,mac=00:40:8c:7d:33:03,host=door-camera,fw=CamFirmware%204.11.0
addr=127.1.0.5,mac=00:30:de:19:55:05,host=io-module,fw=IO%201.4
addr=127.1.0.6,ip=none,host=unconfigured,fw=boot%200.9
DEVICES

run() { # what it is for, then the command
    what=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "screenshot: $what failed:" >&2
        cat "$log" >&2
        exit 1
    fi
}
run "the first discovery" env QT_QPA_PLATFORM=offscreen "$top/scripts/demo.sh" --build "$build" \
    --devices "$scratch/before" tools/cli/devscout-cli --database "$db" discover
run "the note" "$build/tools/cli/devscout-cli" --database "$db" note 74:83:c2:5e:21:02 "rack 2, port 14"
run "the window" xvfb-run -a -s '-screen 0 1280x800x24' "$top/scripts/demo.sh" --build "$build" \
    --devices "$scratch/after" bench/gui/gui_probe --database "$db" --size 1100 270 \
    --grab "$top/docs/screenshot.png"
echo "screenshot: $top/docs/screenshot.png"
