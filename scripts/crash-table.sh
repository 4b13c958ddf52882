#!/usr/bin/env bash
# Runs the whole crash-point table: every durable step of a fresh installation, a reinstallation, a
# failing reinstallation, an uninstallation and a recovery, each cut off and torn in every power-cut
# variant (lost writes included). Prints "N crash points, M variants, V violations". Arguments go to
# tests/e2e/crashtable.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}" TESSARA_SOURCE_DIR="$root"
export TESSARA_PAYLOAD_TOOL="${TESSARA_PAYLOAD_TOOL:-$TESSARA_BUILD_DIR/host/tessara-payload}"
cd "$root/tests/e2e"
python3 crashtable.py "$@"
