#!/usr/bin/env bash
# Makes the 64-bit Wine prefix named by WINEPREFIX unless it exists.
set -euo pipefail
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix in $WINEPREFIX"
  WINEARCH=win64 WINEDEBUG=-all wineboot -i >/dev/null 2>&1 </dev/null || true
  wineserver -w
fi
# Wine links the profile's Desktop, Documents and similar folders to the Linux home folder; the
# tests write shortcuts and caches there, so they get folders of their own inside the prefix. Done
# every time: a prefix Wine made by itself (for listing a test program's cases, say) has the links.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm -f "$link" && mkdir -p "$link"; fi
done
# A program that crashes ends at once with its exception code, and Wine's debugger writes what it saw
# (registers, backtrace, modules) to the program's standard error. By default the debugger shows a
# crash dialog on the display instead and waits for a click that never comes: the test would hang
# until its timeout with nothing to say why.
if ! grep -qs '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg"; then
  WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1
fi
