#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes docs/screenshot-batch.png: the window half-way through a firmware
# update of nine simulated devices, three at a time: three done, one refused,
# three stalled in the middle of their upload and two still waiting, drawn
# under Xvfb inside a private network namespace.
# Usage: scripts/screenshot-batch.sh [BUILD_DIR]   (default: build)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DDEVSCOUT_BUILD_GUI=ON -DDEVSCOUT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target gui_probe >/dev/null
mkdir -p "$top/docs"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The user's window settings are left alone.
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
log=$scratch/log
head -c 16777216 /dev/zero >"$scratch/firmware-3.3.img"

# In address order, which is the batch's: the stalled ones stop reading
# after a few MiB, so they stay under way while the picture is taken.
cat >"$scratch/devices" <<'DEVICES'
addr=127.1.0.1,mac=00:00:0c:3a:10:01,host=lab-switch,fw=SwitchOS%203.2
addr=127.1.0.2,mac=74:83:c2:5e:21:02,host=edge-gateway,fw=GW%202.1,install=1
addr=127.1.0.3,mac=00:40:8c:7d:33:03,host=door-camera,fw=CamFirmware%204.10.2
addr=127.1.0.4,mac=00:30:de:19:55:04,host=io-module,fw=IO%201.4,stall-after=3145728
addr=127.1.0.5,mac=00:01:e6:4b:44:05,host=print-server,fw=PrintServer%201.0
addr=127.1.0.6,mac=00:30:de:19:55:06,host=io-module-2,fw=IO%201.4,stall-after=7340032
addr=127.1.0.7,mac=00:30:de:19:55:07,host=io-module-3,fw=IO%201.4,stall-after=1048576
addr=127.1.0.8,mac=00:30:de:19:55:08,host=io-module-4,fw=IO%201.4
addr=127.1.0.9,mac=00:30:de:19:55:09,host=io-module-5,fw=IO%201.3
DEVICES

if ! xvfb-run -a -s '-screen 0 1280x800x24' "$top/scripts/demo.sh" --build "$build" \
    --devices "$scratch/devices" bench/gui/gui_probe --size 1100 300 \
    --batch "$scratch/firmware-3.3.img" 3 "3 done, 1 failed" \
    --grab "$top/docs/screenshot-batch.png" >"$log" 2>&1; then
    echo "screenshot-batch: the window failed:" >&2
    cat "$log" >&2
    exit 1
fi
echo "screenshot-batch: $top/docs/screenshot-batch.png"
