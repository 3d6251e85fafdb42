#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package and prints its path.
# Usage: scripts/package.sh [BUILD_DIR]   (default: build-package)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-package}")
# The hardening a Debian build gives its binaries.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DDEVSCOUT_WERROR=ON -DDEVSCOUT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/devscout_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/devscout_*.deb
