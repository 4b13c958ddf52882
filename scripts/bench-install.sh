#!/usr/bin/env bash
# Times silent installations of a 200 MiB payload of about 2000 files served from 127.0.0.1, a fresh
# installation and a reinstallation over the previous one, each next to the same steps done by plain
# tools in the same run: the download through the same system service (URLDownloadToFileW under Wine),
# unzip, sha256sum and a move into place (for the reinstallation the previous copy is moved aside
# first and deleted last). Prints the best of the runs of each, their ratios, the
# peak working set of the setup process and the size of the executable. Every timed run starts with
# the disk's write-back done, so that none pays for the files its predecessor wrote.
#   usage: scripts/bench-install.sh [total-MiB] [file-count] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
total_mib="${1:-200}"
file_count="${2:-2000}"
runs="${3:-3}"

bash "$root/scripts/build.sh"
# A prefix of its own, as it fills the download cache.
export TESSARA_WINEPREFIX="$TESSARA_BUILD_DIR/bench-prefix"
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
local_appdata=$(wine cmd.exe /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
cache=$(winepath -u "$local_appdata\\Microsoft\\Windows\\INetCache" 2>/dev/null)

now_ms() { echo $(($(date +%s%N) / 1000000)); }
peak_kib=0

# Every process a setup run starts (the run itself and the detector it leaves running) inherits this
# tag through its environment: the script finds them by it and ends only them, never others' processes
# of the same names. Only Windows programs are ended: Wine's own (its server, its desktop) serve the
# whole prefix and stay, as they would for any later program.
run_tag="$$-$(now_ms)"
tagged_pids() {
  local entry
  for entry in /proc/[0-9]*; do
    grep -qzx "TESSARA_BENCH_TAG=$run_tag" "$entry/environ" 2>/dev/null && echo "${entry#/proc/}"
  done
  return 0
}
setup_pid() {
  local started
  for started in $(tagged_pids); do
    grep -qa 'TessaraAppSetup.exe' "/proc/$started/cmdline" 2>/dev/null && echo "$started" && return
  done
  return 0
}
end_started_programs() {
  local started program round
  # What the run left to remove its old files in the background is let finish, outside the timing, so
  # that it takes nothing from the next run.
  for round in $(seq 600); do
    program=""
    for started in $(tagged_pids); do
      grep -qa '/removeDiscarded' "/proc/$started/cmdline" 2>/dev/null && program=$started
    done
    [ -z "$program" ] && break
    sleep 0.05
  done
  for started in $(tagged_pids); do
    program=$(tr '\0' ' ' <"/proc/$started/cmdline" 2>/dev/null) || continue
    case "$program" in 'C:\windows\'*) ;; [A-Za-z]:\\*) kill "$started" 2>/dev/null || true ;; esac
  done
}

# One silent installation; prints its milliseconds. The peak resident size of the Wine process that
# runs the setup program is read from /proc while it runs, with shell builtins only once the process is
# found, so that the sampling takes next to nothing from the run it measures.
setup_run() {
  local start pid="" key value rest
  # A copy the download service kept would stand in for the download.
  if [ -d "$cache" ]; then find "$cache" -mindepth 1 -delete; fi
  sync
  start=$(now_ms)
  (cd "$work" && TESSARA_BENCH_TAG="$run_tag" exec wine "$work/TessaraAppSetup.exe" /silent /zipUrl "$url") &
  local runner=$!
  while kill -0 "$runner" 2>/dev/null; do
    [ -n "$pid" ] || pid=$(setup_pid)
    if [ -n "$pid" ]; then
      while read -r key value rest; do
        [ "$key" = VmHWM: ] && [ "$value" -gt "$peak_kib" ] && peak_kib=$value
      done <"/proc/$pid/status" 2>/dev/null || true
    fi
    sleep 0.05
  done
  wait "$runner"
  echo $(($(now_ms) - start)) >"$work/last_ms"
  end_started_programs
}

# The same steps with plain tools; with "reinstall", over a previous copy. Each download goes to a new
# URL, as each setup run's does, so that no cached copy stands in for it.
plain_run() {
  local target="$work/plain/installed" start
  rm -rf "$work/plain/payload.zip" "$work/plain/extracted" "$work/plain/previous"
  mkdir -p "$work/plain"
  if [ "$1" = reinstall ]; then [ -d "$target" ] || cp -r "$work/folder" "$target"; else rm -rf "$target"; fi
  sync
  start=$(now_ms)
  wine "$build/tools/bench/url_download.exe" "$url?plain=$(now_ms)" "Z:${work//\//\\}\\plain\\payload.zip"
  unzip -q "$work/plain/payload.zip" -d "$work/plain/extracted"
  (cd "$work/plain/extracted" && find . -type f -print0 | sort -z | xargs -0 cat | sha256sum >/dev/null)
  [ -d "$target" ] && mv "$target" "$work/plain/previous"
  mv "$work/plain/extracted" "$target"
  rm -rf "$work/plain/previous"
  echo $(($(now_ms) - start)) >"$work/last_ms"
  # The download service keeps a copy of every download in the user's cache; they would fill the disk.
  if [ -d "$cache" ]; then find "$cache" -mindepth 1 -delete; fi
}

best() { sort -n | head -n 1; }
declare -A times
for kind in fresh reinstall; do
  setup_times=() plain_times=()
  for run in $(seq "$runs"); do
    if [ "$kind" = fresh ]; then
      rm -rf "$install"
      wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvix Tessara App' /f >/dev/null 2>&1 || true
    fi
    setup_run; setup_times+=("$(cat "$work/last_ms")")
    plain_run "$kind"; plain_times+=("$(cat "$work/last_ms")")
    printf '%-9s run %d: silent installation %6d ms   plain tools %6d ms\n' "$kind" "$run" \
      "${setup_times[-1]}" "${plain_times[-1]}"
  done
  times[$kind-setup]=$(printf '%s\n' "${setup_times[@]}" | best)
  times[$kind-plain]=$(printf '%s\n' "${plain_times[@]}" | best)
done

echo "installed files: $(find "$install" -type f | wc -l)"
for kind in fresh reinstall; do
  printf '%-9s best of %d: silent installation %6d ms   plain tools %6d ms   ratio %.2f\n' "$kind" "$runs" \
    "${times[$kind-setup]}" "${times[$kind-plain]}" \
    "$(awk -v a="${times[$kind-setup]}" -v b="${times[$kind-plain]}" 'BEGIN { print a / b }')"
done
printf 'peak working set of the setup process: %.1f MiB\n' "$(awk -v k="$peak_kib" 'BEGIN { print k / 1024 }')"
printf 'TessaraAppSetup.exe: %d bytes\n' "$(stat -c %s "$build/TessaraAppSetup.exe")"
