#!/usr/bin/env bash
# The test groups' Wine prefixes and displays (see cmake/wine-run.sh.in).
#   usage: scripts/test-groups.sh start|stop BUILD-FOLDER
# start: stops what an earlier run left, removes the old copies and gets the build's prefix ready to be
#        copied: made if missing, its wineserver ended so that its registry is on disk.
# stop:  ends every group's Wine processes and display; the folders stay for a look after the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$2"

# Each wineserver takes a while to end its processes: all are asked at once.
stop_groups() {
  local group
  for group in "$build"/test-groups/*/; do
    if [ -d "$group/wineprefix" ]; then (WINEPREFIX="$group/wineprefix" wineserver -k 2>/dev/null || true) & fi
    [ -s "$group/xvfb.pid" ] && kill "$(cat "$group/xvfb.pid")" 2>/dev/null || true
  done
  wait
}

case "$1" in
  start)
    stop_groups
    rm -rf "$build/test-groups"
    export WINEPREFIX="$build/wineprefix"
    bash "$root/scripts/wine-prefix.sh"
    wineserver -k 2>/dev/null || true
    wineserver -w
    ;;
  stop) stop_groups ;;
esac
