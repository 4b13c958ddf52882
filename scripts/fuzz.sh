#!/usr/bin/env bash
# Runs the in-process fuzz harness under Wine for a number of inputs and prints inputs per second and
# findings. A crash, abort or hang ends the harness after saving the input; the run then goes on from
# the next input. Findings are saved in build/fuzz/findings.
#   usage: scripts/fuzz.sh manifest|signature|archive|directory|range|all COUNT [SEED]
# Exit code 1 when anything was found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSARA_BUILD_DIR="${TESSARA_BUILD_DIR:-$root/build}"
kind="$1"
count="$2"
seed="${3:-1}"
[ -n "${WINEPREFIX:-}" ] || source "$root/scripts/wine-env.sh"

work="$TESSARA_BUILD_DIR/fuzz"
findings="$work/findings"
mkdir -p "$findings"
if [ ! -f "$work/seeds/anchor.der" ] || [ ! -f "$work/seeds/partial.hdr" ]; then
  python3 "$root/tools/fuzz/make_seeds.py" "$TESSARA_BUILD_DIR/host/tessara-payload" \
    "$root/tests/fixtures/dev-root" "$work/seeds"
fi

found=0
run_kind() {
  local kind="$1" first=0 end=$count output status
  while [ "$first" -lt "$end" ]; do
    # The harness watches the folder around its sandbox for escapes, so that folder is this run's
    # alone: other runs come and go beside it.
    local sandbox="$work/run-$kind-$$/sandbox"
    mkdir -p "$sandbox"
    status=0
    output=$("$TESSARA_BUILD_DIR/wine-run.sh" "$TESSARA_BUILD_DIR/tools/fuzz/fuzz.exe" "$kind" \
      $((end - first)) "$seed" "Z:$work/seeds" "Z:$sandbox" "Z:$findings" "$first" | tr -d '\r') || status=$?
    rm -rf "$(dirname "$sandbox")"
    echo "$output" | grep -v '^FINDING' || true
    if echo "$output" | grep '^FINDING'; then found=1; fi
    local last
    last=$(echo "$output" | sed -n 's/^FINDING.* input=\([0-9]*\) .*/\1/p' | tail -n 1)
    if [ "$status" -eq 3 ] && [ -n "$last" ]; then
      first=$((last + 1))
    else
      if [ "$status" -ne 0 ] || ! echo "$output" | grep -q '^kind='; then
        echo "fuzz: the $kind harness ended (status $status) without a finding or its summary"
        found=1
      fi
      break
    fi
  done
}

if [ "$kind" = all ]; then
  for k in manifest signature archive directory range; do run_kind "$k"; done
else
  run_kind "$kind"
fi
[ "$found" -eq 0 ] && echo "no findings" || echo "findings saved in $findings"
exit "$found"
