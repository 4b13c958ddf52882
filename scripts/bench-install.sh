#!/usr/bin/env bash
# Times a silent installation of a 200 MB payload of about 2000 files served from 127.0.0.1, next to
# the same steps done by plain tools in the same run: download with curl, unzip, sha256sum, cp.
#   usage: scripts/bench-install.sh [total-MiB] [file-count] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
total_mib="${1:-200}"
file_count="${2:-2000}"
runs="${3:-3}"

bash "$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
build="$TESSARA_BUILD_DIR"
work="$build/bench-install"
rm -rf "$work" && mkdir -p "$work/serve"

python3 "$root/scripts/make-bench-folder.py" "$work/folder" "$total_mib" "$file_count"
cp "$build/tools/demo/Tessara.exe" "$build/tools/demo/tessaradetector.exe" "$work/folder/"
dev_root="$root/tests/fixtures/dev-root"
"$build/host/tessara-payload" pack --folder "$work/folder" --key "$dev_root/dev-root.key.pem" \
  --cert "$dev_root/dev-root.pem" --out "$work/serve/payload.zip"

serve_folder "$work/serve"
url="$TESSARA_SERVER_URL/payload.zip"
cp "$build/TessaraAppSetup.exe" "$work/"
appdata=$(wine cmd.exe /c echo %APPDATA% 2>/dev/null | tr -d '\r')
install=$(winepath -u "$appdata\\Orvix\\Tessara" 2>/dev/null)

now_ms() { echo $(($(date +%s%N) / 1000000)); }
for run in $(seq "$runs"); do
  start=$(now_ms)
  (cd "$work" && wine "$work/TessaraAppSetup.exe" /silent /zipUrl "$url")
  setup_ms=$(($(now_ms) - start))
  pkill -f tessaradetector.exe || true

  rm -rf "$work/plain" && mkdir -p "$work/plain"
  start=$(now_ms)
  curl -s -o "$work/plain/payload.zip" "$url"
  unzip -q "$work/plain/payload.zip" -d "$work/plain/extracted"
  (cd "$work/plain/extracted" && find . -type f -print0 | sort -z | xargs -0 cat | sha256sum >/dev/null)
  cp -r "$work/plain/extracted" "$work/plain/installed"
  plain_ms=$(($(now_ms) - start))
  printf 'run %d: silent installation %6d ms   plain tools %6d ms   ratio %.2f\n' "$run" "$setup_ms" \
    "$plain_ms" "$(awk -v a="$setup_ms" -v b="$plain_ms" 'BEGIN { print a / b }')"
done
echo "installed files: $(find "$install" -type f | wc -l)"
