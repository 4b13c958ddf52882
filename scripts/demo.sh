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
serve_folder "$build/demo"
url="$TESSARA_SERVER_URL/payload.zip"
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
