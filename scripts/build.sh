#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Configures and builds one build folder: build.sh DIR [cmake options...]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$top/$dir" -G Ninja -DDEVSCOUT_WERROR=ON -DDEVSCOUT_BUILD_GUI=ON "$@" >/dev/null
cmake --build "$top/$dir" -j "$(nproc)"
