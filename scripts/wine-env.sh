#!/usr/bin/env bash
# Sourced by the test and demo scripts: the build's private 64-bit Wine prefix (created once) and
# one X display for everything that opens a window.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Scripts that source this one add their own clean-up commands here; all run at exit.
TESSARA_CLEANUP=()
tessara_cleanup() { for command in "${TESSARA_CLEANUP[@]}"; do eval "$command" || true; done; }
trap tessara_cleanup EXIT

# serve_folder FOLDER: serves the folder over HTTP on 127.0.0.1 until the script ends and sets
# TESSARA_SERVER_URL to its address.
serve_folder() {
  local log
  log=$(mktemp)
  python3 -u -m http.server --bind 127.0.0.1 --directory "$1" 0 >"$log" 2>&1 &
  TESSARA_CLEANUP+=("kill $! 2>/dev/null; rm -f $log")
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$log" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  TESSARA_SERVER_URL="http://127.0.0.1:$port"
}
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
# The build's prefix is the one the tests copy: the scripts install into a prefix of their own (the
# build's wine-run.sh and the end-to-end harness follow TESSARA_WINEPREFIX there).
export TESSARA_WINEPREFIX="${TESSARA_WINEPREFIX:-$TESSARA_BUILD_DIR/scripts-prefix}"
export WINEPREFIX="$TESSARA_WINEPREFIX"
export WINEARCH=win64
export WINEDEBUG=-all
export LANG="${LANG:-C.UTF-8}"

# The build installs only what it needs; Wine, Xvfb and the fonts come here.
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/wine-prefix.sh"

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 "${TESSARA_SCREEN:-1024x768}x24" -nolisten tcp >/dev/null 2>&1 &
    TESSARA_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    TESSARA_CLEANUP+=("wineserver -k 2>/dev/null; kill $TESSARA_XVFB_PID 2>/dev/null")
    break
  done
fi
# One wineserver and Wine's own services stay up for the whole run, started here with their output
# detached: a service started by a test would inherit the test's output pipe and keep CTest waiting.
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
