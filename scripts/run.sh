#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is needed, builds the window and starts it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DDEVSCOUT_BUILD_GUI=ON >/dev/null
cmake --build "$top/build" --target devscout -j "$(nproc)"
exec "$top/build/gui/devscout" "$@"
