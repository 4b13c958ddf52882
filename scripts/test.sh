#!/usr/bin/env bash
# Installs, builds and runs every test: unit tests under Wine and end-to-end tests of the real
# TessaraAppSetup.exe, in groups side by side, each group in a Wine prefix and display of its own.
# Fails when a test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
cd "${TESSARA_BUILD_DIR:-$root/build}"
ctest --output-on-failure -j2 "$@"
