#!/usr/bin/env bash
# Takes one screenshot of every screen of the installer window, in English, German, Russian, Japanese
# and Chinese, into docs/screens/, each cropped to the window. Builds first; uses the build's Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" >/dev/null
source "$root/scripts/wine-env.sh"
export TESSARA_BUILD_DIR TESSARA_SOURCE_DIR="$root" TESSARA_PAYLOAD_TOOL="$TESSARA_BUILD_DIR/host/tessara-payload"
cd "$root/tests/e2e"
for lang in en:C.UTF-8 de:de_DE.UTF-8 ru:ru_RU.UTF-8 ja:ja_JP.UTF-8 zh:zh_CN.UTF-8; do
  # A desktop per language: programs started into a running desktop take over its language.
  # Wine takes the language from LC_ALL when the host has no such locale installed; LANG alone is not enough.
  LANG=${lang#*:} LC_ALL=${lang#*:} TESSARA_DESKTOP="screens-${lang%%:*}" python3 - "${lang%%:*}" "$root/docs/screens" <<'PY'
import os, pathlib, shutil, subprocess, sys, time
import harness
from test_window import WindowRun, INSTALL, MAIN, RETRY

lang, out = sys.argv[1], pathlib.Path(sys.argv[2])
server = harness.PayloadServer()
work = harness.WORK / "screens"
application = harness.stage_demo_application(work / "payload", extra_files={"big.bin": os.urandom(1 << 20)})
payload = harness.make_payload(application, work / "payload.zip").read_bytes()
appdata = harness.to_unix(harness.expand("%APPDATA%"))


def shot(run, name):
    time.sleep(0.8)
    geometry = run.drive("rect").stdout.decode().strip()
    subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage", str(out / ("%s-%s.png" % (name, lang)))],
                   check=True)


def clean():
    harness.kill_windows_processes("TessaraAppSetup.exe", "tessaradetector.exe")
    if (appdata / "Orvix").is_file():
        (appdata / "Orvix").unlink()
    shutil.rmtree(appdata / "Orvix", ignore_errors=True)
    harness.delete_registrations()


def start(url):
    return WindowRun(harness.prepare_setup_folder("screens-" + lang), "/zipUrl", url)


def finish(run):
    run.click(MAIN)
    run.wait_until_ended()
    # The detector started by the installation keeps the virtual desktop open.
    harness.kill_windows_processes("tessaradetector.exe")
    run.process.wait(timeout=30)
    time.sleep(2)  # the desktop goes away a moment after its last program

try:
    clean()
    run = start(server.serve("/slow.zip", payload, mode="slow"))
    run.wait_for(lambda s: s["window"], "the window")
    time.sleep(1.5)
    shot(run, "1-working")
    run.drive("close")
    time.sleep(1)
    shot(run, "2-cancel-question")
    run.drive("answer", "", "no", "3000")
    run.wait_for(lambda s: MAIN in s["controls"], "the installed screen")
    shot(run, "3-installed")
    finish(run)

    run = start(server.url("/slow.zip"))
    run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
    shot(run, "4-choice")
    with harness.run_lock_held(work / "lock-held"):
        run.click(MAIN)
        time.sleep(1)
        shot(run, "4b-uninstall-question")
        run.drive("answer", "", "yes", "3000")
        run.wait_for(lambda s: INSTALL not in s["controls"], "the waiting screen")
        shot(run, "4c-waiting")
    run.wait_for(lambda s: s["controls"].get(MAIN, {}).get("text") not in (None, "Uninstall")
                 and INSTALL not in s["controls"], "the uninstalled screen")
    shot(run, "5-uninstalled")
    finish(run)

    clean()
    run = start(server.url("/missing.zip"))
    run.wait_for(lambda s: RETRY in s["controls"] and s["controls"].get(MAIN, {}).get("enabled"), "the download-failed screen")
    shot(run, "6-download-failed")
    finish(run)

    # Without any mail program the report is shown in its folder, and the window says so.
    os.environ["WINEDLLOVERRIDES"] = "mapi32=d"
    run = start(server.url("/missing.zip"))
    failed = run.wait_for(lambda s: RETRY in s["controls"] and s["controls"].get(MAIN, {}).get("enabled"), "the download-failed screen")
    run.drive("click-link", str(len([link for link in failed["links"] if link["visible"]]) - 1))
    time.sleep(3)
    shot(run, "6b-report-not-sent")
    run.drive("close-folders")
    del os.environ["WINEDLLOVERRIDES"]
    finish(run)

    # A payload signed by someone else arrives whole and is not installed.
    key, cert = harness.make_other_authority(work / "other")
    forged = harness.make_payload(application, work / "forged.zip", key=key, cert=cert).read_bytes()
    run = start(server.serve("/forged.zip", forged))
    run.wait_for(lambda s: MAIN in s["controls"], "the verification-failed screen")
    shot(run, "6c-verification-failed")
    finish(run)

    # A file where the install folder's parent belongs makes the copy fail.
    clean()
    (appdata / "Orvix").write_bytes(b"in the way")
    run = start(server.url("/slow.zip"))
    run.wait_for(lambda s: MAIN in s["controls"], "the installation-failed screen")
    shot(run, "7-installation-failed")
    finish(run)

    # A payload older than the installed application is refused.
    clean()
    newer = harness.make_payload(application, work / "newer.zip", version="9.0").read_bytes()
    older = harness.make_payload(application, work / "older.zip", version="8.5").read_bytes()
    harness.run_setup(harness.prepare_setup_folder("screens-newer-" + lang), "/silent", "/zipUrl",
                      server.serve("/newer.zip", newer))
    harness.kill_windows_processes("tessaradetector.exe")
    run = start(server.serve("/older.zip", older))
    run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
    run.click(INSTALL)
    run.wait_for(lambda s: INSTALL not in s["controls"] and s["controls"].get(MAIN, {}).get("enabled"),
                 "the installation-failed screen")
    shot(run, "7b-older-version-refused")
    finish(run)

    # A folder where the run lock's file belongs: no run can begin, and waiting will not help.
    clean()
    lock = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix Tessara Setup.lock"
    lock.mkdir()
    try:
        run = start(server.url("/slow.zip"))
        run.wait_for(lambda s: s["controls"].get(MAIN, {}).get("enabled"), "the lock-unusable screen")
        shot(run, "7c-lock-unusable")
        finish(run)
    finally:
        lock.rmdir()
finally:
    clean()
    server.close()
PY
done
ls "$root/docs/screens"
