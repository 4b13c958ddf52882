#!/usr/bin/env bash
# Takes screenshots of the installer window at 100, 150 and 200 % (Wine's LogPixels 96, 144 and 192)
# into docs/screens/, and two in a high-contrast scheme, and fails unless the client area grows with the density and every control and
# painted text stays inside it. Uses the build's Wine prefix and an X screen of its own large enough for
# 200 %; puts the density back to 96 when it ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" imagemagick
# An X screen of our own, large enough for the window at 200 %.
unset DISPLAY
TESSARA_SCREEN=2048x1536 source "$root/scripts/wine-env.sh"
export TESSARA_BUILD_DIR TESSARA_SOURCE_DIR="$root" TESSARA_PAYLOAD_TOOL="$TESSARA_BUILD_DIR/host/tessara-payload"

set_density() {
  if [ "$1" = 96 ]; then
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
  else
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  fi
  # The system density is read when the prefix's server starts.
  wineserver -k || true
  wineserver -p >/dev/null 2>&1 </dev/null || true
  wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}
TESSARA_CLEANUP=("set_density 96" "${TESSARA_CLEANUP[@]}")

cd "$root/tests/e2e"
for dpi in 96 144 192; do
  set_density "$dpi"
  python3 - "$dpi" "$root/docs/screens" <<'PY'
import json, pathlib, subprocess, sys, time
import harness
from test_window import WindowRun, MAIN, RETRY

dpi, out = int(sys.argv[1]), pathlib.Path(sys.argv[2])
server = harness.PayloadServer()
work = harness.WORK / "screens-dpi"
payload = harness.make_payload(harness.stage_demo_application(work / "payload"), work / "payload.zip").read_bytes()
sizes = harness.BUILD / "screens-dpi-client-sizes.json"


def shot(run, name):
    time.sleep(0.8)
    geometry = run.drive("rect").stdout.decode().strip()
    subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage", str(out / ("%s-%d.png" % (name, dpi)))],
                   check=True)


def check_inside(state):
    width, height = state["client"]
    rects = [c["rect"] for c in state["controls"].values()] + [p["rect"] for p in state["painted"]] + [
        link["rect"] for link in state["links"] if link["visible"]]
    for left, top, right, bottom in rects:
        assert 0 <= left <= right <= width and 0 <= top <= bottom <= height, (rects, state)
    return state["client"]


def run_to(url, condition, name):
    harness.delete_registrations()
    run = WindowRun(harness.prepare_setup_folder("screens-dpi"), "/zipUrl", url, size="2000x1500")
    try:
        state = run.wait_for(condition, name)
        shot(run, name)
        client = check_inside(run.state())
        run.click(MAIN)
        run.wait_until_ended()
        return client
    finally:
        run.close()
        harness.kill_windows_processes("TessaraAppSetup.exe", "tessaradetector.exe")
        time.sleep(2)  # the desktop goes away a moment after its last program


try:
    client = run_to(server.url("/missing.zip"),
                    lambda s: RETRY in s["controls"] and s["controls"].get(MAIN, {}).get("enabled"), "density-download-failed")
    run_to(server.serve("/payload.zip", payload), lambda s: MAIN in s["controls"],
           "density-installed")
    known = json.loads(sizes.read_text()) if sizes.is_file() and dpi != 96 else {}
    known[str(dpi)] = client
    sizes.write_text(json.dumps(known))
    scale = [round(c / b, 2) for c, b in zip(client, known["96"])]
    print("%d dpi: client area %dx%d, %.2f x %.2f the one at 96 dpi" % (dpi, client[0], client[1], *scale))
    assert all(abs(s - dpi / 96) <= 0.02 for s in scale), scale
finally:
    harness.delete_registrations()
    server.close()
PY
done

# Wine never reports a high-contrast theme: the test build of the program paints in one when told to,
# here with the system colours of a dark high-contrast scheme.
set_colours() {
  for pair in "Window:$1" "WindowText:$2" "Hilight:$3" "HotTrackingColor:$4" "ButtonFace:$1" "ButtonText:$2"; do
    wine reg add 'HKCU\Control Panel\Colors' /v "${pair%%:*}" /d "${pair#*:}" /f >/dev/null 2>&1
  done
  set_density 96
}
TESSARA_CLEANUP=("set_colours '255 255 255' '0 0 0' '48 150 250' '224 224 224'" "${TESSARA_CLEANUP[@]}")
set_colours '0 0 0' '255 255 255' '26 235 255' '255 255 0'
TESSARA_TEST_HIGH_CONTRAST=1 python3 - "$root/docs/screens" <<'PY'
import pathlib, subprocess, sys, time
import harness
from test_window import WindowRun, MAIN, RETRY, START_MENU_BOX

out = pathlib.Path(sys.argv[1])
server = harness.PayloadServer()
work = harness.WORK / "screens-contrast"
payload = harness.make_payload(harness.stage_demo_application(work / "payload"), work / "payload.zip").read_bytes()
try:
    for url, condition, name in [
            (server.url("/missing.zip"), lambda s: RETRY in s["controls"] and s["controls"].get(MAIN, {}).get("enabled"),
             "high-contrast-download-failed"),
            (server.serve("/payload.zip", payload), lambda s: START_MENU_BOX in s["controls"], "high-contrast-installed")]:
        harness.delete_registrations()
        run = WindowRun(harness.prepare_setup_folder("screens-contrast", program=harness.TEST_SETUP_EXE), "/zipUrl",
                        url)
        try:
            run.wait_for(condition, name)
            time.sleep(0.8)
            geometry = run.drive("rect").stdout.decode().strip()
            subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage", str(out / (name + ".png"))],
                           check=True)
            run.click(MAIN)
            run.wait_until_ended()
        finally:
            run.close()
            harness.kill_windows_processes("TessaraAppSetup.exe", "tessaradetector.exe")
            time.sleep(2)
finally:
    harness.delete_registrations()
    server.close()
PY
