#!/bin/sh
# Configures and builds one build folder: build.sh DIR [cmake options...]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$top/$dir" -G Ninja -DDEVSCOUT_WERROR=ON "$@" >/dev/null
cmake --build "$top/$dir" -j "$(nproc)"
