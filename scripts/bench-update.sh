#!/usr/bin/env bash
# Times an update that downloads only what changed against a full reinstallation: a payload of about
# 30 MiB in 300 files is installed, then a version with 2 % of its files changed is installed over
# it, once from a server that honours byte ranges and once from one that does not, both on 127.0.0.1
# and throttled to 20 MB/s. Prints the bytes the server sent and the seconds of each silent run.
#   usage: scripts/bench-update.sh [total-MiB] [file-count] [changed-percent] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
bash "$root/scripts/build.sh" >/dev/null
source "$root/scripts/wine-env.sh"
python3 "$root/scripts/bench-update.py" "${1:-30}" "${2:-300}" "${3:-2}" "${4:-3}"
