#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is needed, builds, and runs the whole test suite: the tests,
# the sanitizer builds and a fuzzing run. Tests that send the protocol run in
# private network namespaces (root, or user namespaces where allowed).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
fuzz_seconds=${FUZZ_SECONDS:-60}

step() { printf '\n=== %s\n' "$*"; }

step "dependencies"
./scripts/install-deps.sh

step "formatting"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

step "licence lines"
unmarked=$(git ls-files -- '*.cpp' '*.h' '*.sh' '*CMakeLists.txt' '*.cmake' .ci/run |
    xargs grep -L 'SPDX-License-Identifier: GPL-3.0-or-later' || true)
[ -z "$unmarked" ] || { echo "no SPDX licence line in:" $unmarked >&2; exit 1; }

step "build and test"
./scripts/build.sh build
(cd build && ctest --output-on-failure -j "$(nproc)")

step "protocol tests under AddressSanitizer and UndefinedBehaviorSanitizer"
./scripts/build.sh build-asan -DDEVSCOUT_SANITIZE=address,undefined -DDEVSCOUT_BUILD_GUI=OFF
(cd build-asan && ctest --output-on-failure -j "$(nproc)")

step "window tests under ThreadSanitizer"
./scripts/build.sh build-tsan -DDEVSCOUT_SANITIZE=thread
(cd build-tsan && ctest --output-on-failure -j "$(nproc)" -R '^gui[.]')

step "fuzzing the packet decoder for ${fuzz_seconds} seconds"
./scripts/fuzz.sh "$fuzz_seconds"

step "Debian package: build, install, run the installed programs"
./scripts/package.sh build-package
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo ./scripts/package-test.sh build-package/devscout_*.deb
