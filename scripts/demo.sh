#!/usr/bin/env bash
# Builds everything, packs the demo application into a payload signed with the development key,
# serves it on 127.0.0.1 and runs the installer on it in a visible window (on Xvfb when there is no
# display), then shows what was installed and registered.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
build="$TESSARA_BUILD_DIR"
payload="$build/demo/payload.zip"
[ -f "$payload" ] || { echo "demo payload missing: $payload" >&2; exit 1; }

work="$build/demo-run"
rm -rf "$work" && mkdir -p "$work"
cp "$build/TessaraAppSetup.exe" "$work/"
python3 -u -m http.server --bind 127.0.0.1 --directory "$build/demo" 0 >"$work/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
url="http://127.0.0.1:$port/payload.zip"
echo "serving the demo payload at $url"

mode="${1:-/silent}"
cd "$work"
set +e
wine "$work/TessaraAppSetup.exe" $mode /zipUrl "$url"
code=$?
set -e
echo "installer exit code: $code"
echo "--- debugLog.log"
cat "$work/debugLog.log" | tr -d '\r'
echo "--- installed files"
appdata=$(wine cmd.exe /c echo %APPDATA% 2>/dev/null | tr -d '\r')
ls -la "$(winepath -u "$appdata\\Orvix\\Tessara" 2>/dev/null)"
echo "--- registration"
wine reg.exe query "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvix Tessara App" 2>/dev/null | tr -d '\r'
wine reg.exe query "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run" /v TessaraDetector 2>/dev/null | tr -d '\r'
exit "$code"
