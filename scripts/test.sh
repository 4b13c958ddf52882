#!/usr/bin/env bash
# Installs, builds and runs every test: unit tests under Wine and end-to-end tests of the real
# TessaraAppSetup.exe. Fails when a test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
cd "$TESSARA_BUILD_DIR"
ctest --output-on-failure -j2 "$@"
