#!/usr/bin/env bash
# Installs what the build needs that is missing, fetches minizip's sources, and builds the host payload
# tool into build/host and the Windows program, its tests and the demo application into build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TESSARA_BUILD_DIR:-$root/build}"
cd "$root"

bash scripts/install-deps.sh --build
minizip=$(bash scripts/fetch-minizip.sh)

cmake -S tools/payload -B "$build/host" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/host" -j2

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DMINIZIP_SOURCE_DIR="$minizip" -DTESSARA_HOST_TOOLS_DIR="$build/host" >/dev/null
cmake --build "$build" -j2 "$@"
