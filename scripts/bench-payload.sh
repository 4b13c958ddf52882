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

python3 - "$work/folder" "$total_mib" "$file_count" <<'PY'
import os, random, sys
folder, total, count = sys.argv[1], int(sys.argv[2]) * 1024 * 1024, int(sys.argv[3])
rng = random.Random(1)
# Mostly small files, a few large ones, as an application folder has; scaled to the total.
weights = [rng.lognormvariate(0, 2) for _ in range(count)]
scale = total / sum(weights)
sizes = [max(0, int(w * scale)) for w in weights]
sizes[0] += total - sum(sizes)
folders = [""] + [f"part{a}" for a in range(8)] + [f"part{a}/sub{b}" for a in range(8) for b in range(4)]
for index, size in enumerate(sizes):
    path = os.path.join(folder, rng.choice(folders), f"file{index:05d}.bin")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(os.urandom(size))
print(f"made {count} files, {total / 1048576:.0f} MiB, largest {max(sizes) / 1048576:.1f} MiB")
PY

dev_root="$root/tests/fixtures/dev-root"
start=$(date +%s%N)
"$TESSARA_BUILD_DIR/host/tessara-payload" pack --folder "$work/folder" --key "$dev_root/dev-root.key.pem" \
  --cert "$dev_root/dev-root.pem" --out "$work/payload.zip"
printf 'pack (host)            %10d ms\n' $((($(date +%s%N) - start) / 1000000))

"$TESSARA_BUILD_DIR/wine-run.sh" "$TESSARA_BUILD_DIR/tools/bench/payload_bench.exe" \
  "Z:$work/payload.zip" "Z:$work/extracted"
