#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the setup program:
# the MinGW-w64 cross compiler (its POSIX-thread variant alone, the one the toolchain uses), zlib for
# MinGW, OpenSSL, the host libraries of the payload tool and wixl for the MSI package to build it; Wine
# with 32-bit support, Xvfb and a font with Japanese, Korean and Chinese glyphs for the window under Wine
# to test it. Skips everything that is already there.
#   usage: scripts/install-deps.sh [--build] [PACKAGE...]
# --build installs only what the build needs, so that the build can start while the rest is installed.
# The scripts that need more name it: ImageMagick for the screenshots, Pillow and fonts for redrawing the
# art (scripts/draw-art.py), unzip for the install benchmark. One apt call installs everything missing.
# TESSARA_DPKG_OPTIONS are handed to dpkg (.ci/run's throwaway machine has it skip its syncs).
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# bzip2 unpacks zlib's source archive (scripts/fetch-minizip.sh).
packages=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  libz-mingw-w64-dev openssl libssl-dev zlib1g-dev libminizip-dev cmake make g++ python3 googletest wixl bzip2
)
if [ "${1:-}" = --build ]; then
  shift
else
  packages+=(wine wine64 wine32:i386 xvfb fonts-wqy-microhei)
fi
packages+=("$@")

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  updated=no
fi

# minizip is not packaged for MinGW: we build it from Debian's zlib source package, so the
# machine's Debian sources must also be offered as source lists.
src_list=/etc/apt/sources.list.d/tessara-deb-src.sources
if [ ! -f "$src_list" ] && [ -f /etc/apt/sources.list.d/debian.sources ]; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src_list" >/dev/null
  updated=no
fi
if [ ! -f "$src_list" ] && [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src' /etc/apt/sources.list; then
  grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee /etc/apt/sources.list.d/tessara-deb-src.list >/dev/null
  updated=no
fi

for p in "${packages[@]}"; do have "$p" || need+=("$p"); done
if [ "${#need[@]}" -gt 0 ] || [ "${updated:-yes}" = no ]; then
  $SUDO apt-get update -qq
fi
if [ "${#need[@]}" -gt 0 ]; then
  echo "installing: ${need[*]}"
  read -r -a options <<<"${TESSARA_DPKG_OPTIONS:-}"
  dpkg_options=()
  for option in "${options[@]}"; do dpkg_options+=(-o "DPkg::Options::=$option"); done
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${dpkg_options[@]}" "${need[@]}"
fi
