#!/usr/bin/env bash
# Puts minizip's sources from Debian's zlib source package into a cache folder outside version
# control and prints that folder. Only the download is taken; nothing is copied into the tree.
set -euo pipefail
cache="${TESSARA_DEPS_DIR:-$(cd "$(dirname "$0")/.." && pwd)/.deps}"
dest="$cache/minizip"
if [ -f "$dest/unzip.c" ] && [ -f "$dest/ioapi.c" ]; then echo "$dest"; exit 0; fi
mkdir -p "$cache/zlib-src"
cd "$cache/zlib-src"
if ! ls zlib_*.orig.tar.* >/dev/null 2>&1; then
  # The security suite may list a newer source version than its pool holds; fall back to
  # every version the source lists know of.
  if ! apt-get source --download-only zlib >/dev/null 2>&1; then
    for v in $(apt-cache showsrc zlib | sed -n 's/^Version: //p' | sort -u -r); do
      apt-get source --download-only "zlib=$v" >/dev/null 2>&1 && break
    done
  fi
fi
tarball=$(ls zlib_*.orig.tar.* | head -n 1)
tmp=$(mktemp -d)
tar -xf "$tarball" -C "$tmp" --wildcards '*/contrib/minizip/*'
mkdir -p "$dest"
cp "$tmp"/*/contrib/minizip/{unzip.c,unzip.h,ioapi.c,ioapi.h,crypt.h,zip.h,zip.c} "$dest"/
rm -rf "$tmp"
echo "$dest"
