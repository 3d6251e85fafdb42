#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building, running and testing devscout needs on Debian 12.
set -eu
packages="
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  googletest libgtest-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libqt6sql6-sqlite libsqlite3-dev ieee-data
  xvfb xauth x11-utils
  iproute2 util-linux socat netcat-openbsd jq procps time nftables
  dpkg-dev file fakeroot lintian appstream ansible-core
"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
