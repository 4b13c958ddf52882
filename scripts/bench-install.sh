#!/usr/bin/env bash
# Times silent installations from 127.0.0.1 next to the same steps done by plain tools in the same run:
# the download through the same system service (URLDownloadToFileW under Wine), unzip, sha256sum and a
# move into place (for a reinstallation the previous copy is moved aside first and deleted last).
# Two payloads: 200 MiB of random content in about 2000 files of mixed sizes, a few of them large; and
# 2000 files of 100 KiB, every other one text-like and compressible (about 105 MiB zipped). Each comes
# packed by the payload tool and in the classic form (one digest over all files, no per-file lines,
# zipped by a plain zip tool), and is installed fresh and over a previous installation. Last, a fresh
# installation of the mixed payload over a link throttled to 25 MB/s, against the download alone over
# the same link. Runs alternate between the two sides; each pair's ratio, their medians and the goal
# are printed, with the load of the machine at each run, the peak working set of the setup process
# and the size of the executable. Every timed run starts with the disk's write-back done, so that none
# pays for the files its predecessor wrote.
# With --memory only the setup runs are made, untimed, and for each installation the peak working set
# is printed with what it was made of at its highest sample (scripts/smaps-breakdown.py).
#   usage: scripts/bench-install.sh [--memory] [runs] [cases...]
#   cases: own-packed own-classic mixed-packed mixed-classic throttled (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
memory_only=""
if [ "${1:-}" = --memory ]; then
  memory_only=1
  shift
fi
runs="${1:-3}"
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(own-packed own-classic mixed-packed mixed-classic throttled)
throttle_rate=25000000

bash "$root/scripts/install-deps.sh" unzip
bash "$root/scripts/build.sh" --target all url_download
# A prefix of its own, as it fills the download cache.
export TESSARA_WINEPREFIX="$TESSARA_BUILD_DIR/bench-prefix"
source "$root/scripts/wine-env.sh"
build="$TESSARA_BUILD_DIR"
work="$build/bench-install"
rm -rf "$work" && mkdir -p "$work/serve"
dev_root="$root/tests/fixtures/dev-root"
signing=(--key "$dev_root/dev-root.key.pem" --cert "$dev_root/dev-root.pem")

# make_payload NAME ARGS...: the folder work/NAME (make-bench-folder.py ARGS) with the demo programs,
# packed as serve/NAME-packed.zip, and in the classic form as serve/NAME-classic.zip: the signed manifest
# without its per-file lines, first, then the files in its order, zipped by Info-ZIP's zip.
make_payload() {
  local name=$1 folder="$work/$1" staging="$work/$1-classic"
  shift
  python3 "$root/scripts/make-bench-folder.py" "$@"
  cp "$build/tools/demo/Tessara.exe" "$build/tools/demo/tessaradetector.exe" "$folder/"
  "$build/host/tessara-payload" pack --folder "$folder" "${signing[@]}" --out "$work/serve/$name-packed.zip"
  "$build/host/tessara-payload" manifest --folder "$folder" | grep -v '^<File ' >"$staging.txt"
  cp -al "$folder" "$staging"
  "$build/host/tessara-payload" sign --manifest "$staging.txt" "${signing[@]}" --out "$staging/digest.s"
  (cd "$staging" && { echo digest.s; sed -n 's/^<Reference URI="\(.*\)" \/>\r$/\1/p' "$staging.txt"; } |
    zip -q -D "$work/serve/$name-classic.zip" -@)
}
make_payload own "$work/own" 200 2000
make_payload mixed --mixed "$work/mixed" 100 2000
ls -l "$work/serve"

serve_folder "$work/serve"
python3 -u "$root/scripts/throttled-server.py" "$work/serve" "$throttle_rate" >"$work/throttled.port" &
TESSARA_CLEANUP+=("kill $! 2>/dev/null")
for _ in $(seq 100); do [ -s "$work/throttled.port" ] && break; sleep 0.1; done
throttled_url="http://127.0.0.1:$(head -n 1 "$work/throttled.port")"
cp "$build/TessaraAppSetup.exe" "$work/"
appdata=$(wine cmd.exe /c echo %APPDATA% 2>/dev/null | tr -d '\r')
install=$(winepath -u "$appdata\\Orvix\\Tessara" 2>/dev/null)
local_appdata=$(wine cmd.exe /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
cache=$(winepath -u "$local_appdata\\Microsoft\\Windows\\INetCache" 2>/dev/null)

now_ms() { echo $(($(date +%s%N) / 1000000)); }
load() { cut -d ' ' -f 1 /proc/loadavg; }
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

# The download service keeps a copy of every download in the user's cache, which would stand in for the
# next download and fill the disk.
empty_cache() { if [ -d "$cache" ]; then find "$cache" -mindepth 1 -delete; fi; }

# setup_run URL: one silent installation; leaves its milliseconds in work/last_ms. The peak resident
# size of the Wine process that runs the setup program is read from /proc while it runs, with shell
# builtins only once the process is found, so that the sampling takes next to nothing from the run.
# With --memory the run's own peak goes to work/run_peak_kib, and its memory map at the highest
# resident size sampled to work/peak.smaps, with its thread count in work/peak.threads.
setup_run() {
  local start pid="" key value rest run_peak=0 resident=0 threads=0
  empty_cache
  sync
  start=$(now_ms)
  (cd "$work" && TESSARA_BENCH_TAG="$run_tag" exec wine "$work/TessaraAppSetup.exe" /silent /zipUrl "$1") &
  local runner=$!
  while kill -0 "$runner" 2>/dev/null; do
    [ -n "$pid" ] || pid=$(setup_pid)
    if [ -n "$pid" ]; then
      while read -r key value rest; do
        [ "$key" = VmHWM: ] && [ "$value" -gt "$peak_kib" ] && peak_kib=$value
        [ "$key" = VmHWM: ] && [ "$value" -gt "$run_peak" ] && run_peak=$value
        [ "$key" = VmRSS: ] && resident=$value
        [ "$key" = Threads: ] && threads=$value
      done <"/proc/$pid/status" 2>/dev/null || true
      if [ -n "$memory_only" ] && [ "$resident" -gt "$(cat "$work/peak.rss")" ]; then
        echo "$resident" >"$work/peak.rss"
        echo "$threads" >"$work/peak.threads"
        cp "/proc/$pid/smaps" "$work/peak.smaps" 2>/dev/null || true
      fi
    fi
    sleep 0.05
  done
  echo "$run_peak" >"$work/run_peak_kib"
  wait "$runner" || echo "the silent installation failed: $(tail -n 1 "$work/debugLog.log")"
  echo $(($(now_ms) - start)) >"$work/last_ms"
  end_started_programs
}

# download_run URL: the plain download alone; each goes to a new URL, as each setup run's does, so
# that no cached copy stands in for it.
download_run() {
  empty_cache
  rm -f "$work/plain/payload.zip"
  mkdir -p "$work/plain"
  sync
  local start
  start=$(now_ms)
  wine "$build/tools/bench/url_download.exe" "$1?plain=$(now_ms)" "Z:${work//\//\\}\\plain\\payload.zip"
  echo $(($(now_ms) - start)) >"$work/last_ms"
}

# plain_run URL fresh|reinstall FOLDER: the same steps with plain tools; for a reinstallation over a
# previous copy of FOLDER.
plain_run() {
  local target="$work/plain/installed" start
  rm -rf "$work/plain/payload.zip" "$work/plain/extracted" "$work/plain/previous"
  mkdir -p "$work/plain"
  if [ "$2" = reinstall ]; then [ -d "$target" ] || cp -r "$3" "$target"; else rm -rf "$target"; fi
  empty_cache
  sync
  start=$(now_ms)
  wine "$build/tools/bench/url_download.exe" "$1?plain=$(now_ms)" "Z:${work//\//\\}\\plain\\payload.zip"
  unzip -q "$work/plain/payload.zip" -d "$work/plain/extracted"
  (cd "$work/plain/extracted" && find . -type f -print0 | sort -z | xargs -0 cat | sha256sum >/dev/null)
  [ -d "$target" ] && mv "$target" "$work/plain/previous"
  mv "$work/plain/extracted" "$target"
  rm -rf "$work/plain/previous"
  echo $(($(now_ms) - start)) >"$work/last_ms"
}

median() { sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.2f\n", m }'; }
summary=()

# measure LABEL GOAL OURS-COMMAND PLAIN-COMMAND: runs the two in turn, prints each pair and the medians.
measure() {
  local label=$1 goal=$2 ours_ms plain_ms ratio ours=() plain=() ratios=() run
  for run in $(seq "$runs"); do
    local before
    before=$(load)
    eval "$3"; ours_ms=$(cat "$work/last_ms")
    eval "$4"; plain_ms=$(cat "$work/last_ms")
    ratio=$(awk -v a="$ours_ms" -v b="$plain_ms" 'BEGIN { printf "%.2f", a / b }')
    ours+=("$ours_ms") plain+=("$plain_ms") ratios+=("$ratio")
    printf '%-28s run %d: ours %6d ms   plain %6d ms   ratio %s   load %s\n' "$label" "$run" "$ours_ms" \
      "$plain_ms" "$ratio" "$before"
  done
  local median_ratio verdict
  median_ratio=$(printf '%s\n' "${ratios[@]}" | median)
  verdict=$(awk -v r="$median_ratio" -v g="$goal" 'BEGIN { print (r <= g) ? "within" : "OVER" }')
  summary+=("$(printf '%-28s median ours %6.0f ms   plain %6.0f ms   ratio %.2f (runs %s)   goal %s: %s' "$label" \
    "$(printf '%s\n' "${ours[@]}" | median)" "$(printf '%s\n' "${plain[@]}" | median)" "$median_ratio" \
    "${ratios[*]}" "$goal" "$verdict")")
}

# measure_memory LABEL OURS-COMMAND: runs the setup alone and prints each run's peak, and what the
# highest sample of the last run was made of.
measure_memory() {
  local run
  for run in $(seq "$runs"); do
    echo 0 >"$work/peak.rss"
    eval "$2"
    printf '%-28s run %d: peak working set %.1f MiB (%d ms)\n' "$1" "$run" \
      "$(awk -v k="$(cat "$work/run_peak_kib")" 'BEGIN { print k / 1024 }')" "$(cat "$work/last_ms")"
  done
  python3 "$root/scripts/smaps-breakdown.py" "$work/peak.smaps" "$(cat "$work/peak.threads")"
}

forget_installation() {
  rm -rf "$install"
  wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvix Tessara App' /f >/dev/null 2>&1 || true
}

for case in "${cases[@]}"; do
  if [ -n "$memory_only" ]; then
    url="$TESSARA_SERVER_URL/$case.zip"
    [ "$case" = throttled ] && url="$throttled_url/mixed-packed.zip"
    measure_memory "$case fresh" "forget_installation; setup_run $url"
    [ "$case" = throttled ] || measure_memory "$case reinstall" "setup_run $url"
    continue
  fi
  if [ "$case" = throttled ]; then
    url="$throttled_url/mixed-packed.zip"
    measure "mixed-packed over 25 MB/s" 1.05 "forget_installation; setup_run $url" "download_run $url"
    continue
  fi
  payload=${case%-*} form=${case#*-}
  url="$TESSARA_SERVER_URL/$case.zip"
  goal=0.80
  [ "$form" = classic ] && goal=0.95
  rm -rf "$work/plain/installed"
  measure "$case fresh" "$goal" "forget_installation; setup_run $url" "plain_run $url fresh $work/$payload"
  measure "$case reinstall" "$goal" "setup_run $url" "plain_run $url reinstall $work/$payload"
  echo "installed files: $(find "$install" -type f | wc -l)"
done

echo
[ ${#summary[@]} -eq 0 ] || printf '%s\n' "${summary[@]}"
printf 'peak working set of the setup process: %.1f MiB (goal: under 32)\n' \
  "$(awk -v k="$peak_kib" 'BEGIN { print k / 1024 }')"
printf 'TessaraAppSetup.exe: %d bytes (goal: at most 1048576)\n' "$(stat -c %s "$build/TessaraAppSetup.exe")"
