#!/usr/bin/env bash
# Installs, builds and runs every test: unit tests under Wine and end-to-end tests of the real
# TessaraAppSetup.exe, in groups side by side, each group in a Wine prefix and display of its own.
# Fails when a test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TESSARA_BUILD_DIR:-$root/build}"
# The build starts once its own packages are in. Wine, Xvfb and the fonts are installed while the
# compiler works, and Wine then makes the tests' prefix: it needs nothing built, and CTest would
# otherwise wait for it before the first test, when it lists the test programs' cases.
# minizip's sources are fetched first: apt reads its package lists, which the other install may be renewing.
bash "$root/scripts/install-deps.sh" --build
bash "$root/scripts/fetch-minizip.sh" >/dev/null
mkdir -p "$build"
(bash "$root/scripts/install-deps.sh" && WINEPREFIX="$build/wineprefix" bash "$root/scripts/wine-prefix.sh" >/dev/null) &
prefix=$!
bash "$root/scripts/build.sh"
wait "$prefix"
cd "$build"
# Two at a time by default, for a machine shared with others; TESSARA_TEST_JOBS asks for more.
ctest --output-on-failure -j"${TESSARA_TEST_JOBS:-2}" "$@"
