#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Time to record a run of 10,000 devices into the inventory (all new, all
# present, all changed) and to read them back, each in a fresh scratch file.
# No network. Usage: bench/inventory/run.sh [BUILD_DIR]   (default: build,
# configured with -DDEVSCOUT_BUILD_BENCH=ON).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$root/build}")
exec "$build/bench/inventory/inventory_bench"
