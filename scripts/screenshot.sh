#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes docs/screenshot.png: the window after a discovery run over the demo's
# simulated devices (two rows marked as address conflicts) and a setup of one
# of them through the setup dialog (the status line), drawn under Xvfb inside
# a private network namespace.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default: build)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DDEVSCOUT_BUILD_GUI=ON -DDEVSCOUT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target gui_probe >/dev/null
mkdir -p "$top/docs"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! xvfb-run -a -s '-screen 0 1024x768x24' "$top/scripts/demo.sh" --build "$build" \
    bench/gui/gui_probe --setup 2:0:7f:1:0:7 198.18.0.70 255.255.255.0 \
    --grab "$top/docs/screenshot.png" >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
echo "screenshot: $top/docs/screenshot.png"
