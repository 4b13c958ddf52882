#!/usr/bin/env bash
# Times extraction and verification of a 200 MB payload of about 2000 files under Wine: makes the
# folder (random content, mixed sizes, nested subfolders), packs it with the payload tool and the
# development root, and runs payload_bench.exe on the zip.
#   usage: scripts/bench-payload.sh [total-MiB] [file-count]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
total_mib="${1:-200}"
file_count="${2:-2000}"

bash "$root/scripts/build.sh" --target payload_bench
source "$root/scripts/wine-env.sh"

work="$TESSARA_BUILD_DIR/bench"
rm -rf "$work"
mkdir -p "$work"

python3 "$root/scripts/make-bench-folder.py" "$work/folder" "$total_mib" "$file_count"

dev_root="$root/tests/fixtures/dev-root"
start=$(date +%s%N)
"$TESSARA_BUILD_DIR/host/tessara-payload" pack --folder "$work/folder" --key "$dev_root/dev-root.key.pem" \
  --cert "$dev_root/dev-root.pem" --out "$work/payload.zip"
printf 'pack (host)            %10d ms\n' $((($(date +%s%N) - start) / 1000000))

"$TESSARA_BUILD_DIR/wine-run.sh" "$TESSARA_BUILD_DIR/tools/bench/payload_bench.exe" \
  "Z:$work/payload.zip" "Z:$work/extracted"
