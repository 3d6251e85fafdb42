#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the Debian package as a user gets it: lintian finds no errors in it,
# apt installs it, its AppStream metainfo validates, and the installed
# programs run. The discovery runs in a private network namespace with
# simulated devices from the package, so nothing reaches a real network.
# Usage (as root): scripts/package-test.sh DEB
set -eu
deb=$(realpath "$1")
lintian --fail-on error "$deb" ||
    { echo "package-test: lintian finds errors in $deb" >&2; exit 1; }
# Again when the version is the one installed, so that this build is tried.
DEBIAN_FRONTEND=noninteractive apt-get install --reinstall -y -q "$deb"

for file in /usr/bin/devscout /usr/bin/devscout-cli /usr/bin/devscout-simdevice \
    /usr/share/man/man1/devscout-cli.1.gz /usr/share/man/man1/devscout.1.gz \
    /usr/share/man/man1/devscout-simdevice.1.gz /usr/share/applications/devscout.desktop \
    /usr/share/icons/hicolor/scalable/apps/devscout.svg \
    /usr/share/doc/devscout/copyright /usr/share/doc/devscout/changelog.gz; do
    [ -e "$file" ] || { echo "package-test: $file is not installed" >&2; exit 1; }
done
appstreamcli validate --no-net /usr/share/metainfo/org.devscout.devscout.metainfo.xml ||
    { echo "package-test: the AppStream metainfo does not validate" >&2; exit 1; }
version=$(/usr/bin/devscout-cli --version)
echo "$version" | grep -qx 'devscout-cli [0-9][0-9.]*' ||
    { echo "package-test: unexpected version line '$version'" >&2; exit 1; }

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tests/support/netns-run" sh -euc '
    sim=/usr/bin/devscout-simdevice
    me=package-test
    . "$1"
    work=$(mktemp -d)
    trap "stop_devices; rm -rf $work" EXIT
    start_devices "$work/log" --devices 5
    /usr/bin/devscout-cli discover --json 2>/dev/null >"$work/devices.json"
    jq -e "(map(.ip) | sort) == [\"127.1.0.1\", \"127.1.0.2\", \"127.1.0.3\", \"127.1.0.4\",
                                 \"127.1.0.5\"]
           and all(.[]; .firmware == \"simfw 1.0\" and (.hostname | startswith(\"sim-\"))
                        and .netmask == \"255.0.0.0\" and has(\"mac\") and has(\"interface\"))" \
        "$work/devices.json" >/dev/null ||
        { echo "package-test: unexpected discovery result:" >&2; cat "$work/devices.json" >&2; exit 1; }
' sh "$top/scripts/simdevices.sh"
echo "package-test: ok"
