#!/bin/sh
# Checks the Debian package as a user gets it: installs it with apt, then runs
# the installed programs only. The discovery runs in a private network
# namespace with simulated devices from the package, so nothing reaches a
# real network.
# Usage (as root): scripts/package-test.sh DEB
set -eu
deb=$(realpath "$1")
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"

for file in /usr/bin/devscout /usr/bin/devscout-cli /usr/bin/devscout-simdevice \
    /usr/share/man/man1/devscout-cli.1.gz /usr/share/applications/devscout.desktop \
    /usr/share/icons/hicolor/scalable/apps/devscout.svg; do
    [ -e "$file" ] || { echo "package-test: $file is not installed" >&2; exit 1; }
done
version=$(/usr/bin/devscout-cli --version)
echo "$version" | grep -qx 'devscout-cli [0-9][0-9.]*' ||
    { echo "package-test: unexpected version line '$version'" >&2; exit 1; }

"$(dirname "$0")/../tests/support/netns-run" sh -euc '
    work=$(mktemp -d)
    /usr/bin/devscout-simdevice --i-am-in-a-namespace --log "$work/log" --devices 5 &
    sim=$!
    trap "kill $sim; rm -rf $work" EXIT
    tries=0
    until grep -q "^ready devices=5" "$work/log" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 500 ] || { echo "package-test: simulated devices not ready" >&2; exit 1; }
        sleep 0.01
    done
    /usr/bin/devscout-cli discover --json 2>/dev/null >"$work/devices.json"
    jq -e "(map(.ip) | sort) == [\"127.1.0.1\", \"127.1.0.2\", \"127.1.0.3\", \"127.1.0.4\",
                                 \"127.1.0.5\"]
           and all(.[]; .firmware == \"simfw 1.0\" and (.hostname | startswith(\"sim-\"))
                        and .netmask == \"255.0.0.0\" and has(\"mac\") and has(\"interface\"))" \
        "$work/devices.json" >/dev/null ||
        { echo "package-test: unexpected discovery result:" >&2; cat "$work/devices.json" >&2; exit 1; }
'
echo "package-test: ok"
