"""The update benchmark (see bench-update.sh): installs the old version, then the new one over it from a
range-capable server (an update) and from one without ranges (a full reinstallation), and prints bytes
and seconds of both. The detector each run leaves behind is ended by its process id.
usage: bench-update.py TOTAL_MIB FILE_COUNT CHANGED_PERCENT RUNS"""
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ["TESSARA_BUILD_DIR"])
sys.path.insert(0, str(ROOT / "tests" / "engine"))
from range_server import RangeServer  # noqa: E402

RATE = 20_000_000
total_mib, count, percent, runs = (int(a) for a in sys.argv[1:5])
work = BUILD / "bench-update"
shutil.rmtree(work, ignore_errors=True)
work.mkdir(parents=True)
dev_root = ROOT / "tests" / "fixtures" / "dev-root"


def pack(folder, name):
    subprocess.run([str(BUILD / "host" / "tessara-payload"), "pack", "--folder", str(folder), "--key",
                    str(dev_root / "dev-root.key.pem"), "--cert", str(dev_root / "dev-root.pem"), "--out",
                    str(work / name)], check=True, stdout=subprocess.DEVNULL)
    return (work / name).read_bytes()


old = work / "old"
subprocess.run([sys.executable, str(ROOT / "scripts" / "make-bench-folder.py"), str(old), str(total_mib), str(count)],
               check=True)
for program in ("Tessara.exe", "tessaradetector.exe"):
    shutil.copy(BUILD / "tools" / "demo" / program, old / program)
new = work / "new"
shutil.copytree(old, new)
files = sorted(p for p in new.rglob("*.bin"))
changed = random.Random(2).sample(files, max(1, len(files) * percent // 100))
for path in changed:
    path.write_bytes(os.urandom(path.stat().st_size))
old_zip, new_zip = pack(old, "old.zip"), pack(new, "new.zip")
changed_bytes = sum(p.stat().st_size for p in changed)
print("payload: %d files, %d bytes; %d files changed (%d bytes)" % (len(files) + 2, len(new_zip), len(changed),
                                                                 changed_bytes))

shutil.copy(BUILD / "TessaraAppSetup.exe", work / "TessaraAppSetup.exe")
tag = "bench-update-%d" % os.getpid()


def started_programs():
    """The process ids and command lines of the Windows programs the runs started, found by the tag in
    their environment."""
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and ("TESSARA_BENCH_TAG=" + tag).encode() in (entry / "environ").read_bytes():
                command = (entry / "cmdline").read_bytes()
                if b":\\" in command and not command.lower().startswith(b"c:\\windows\\"):
                    yield int(entry.name), command
        except (OSError, ProcessLookupError):
            pass


def end_started_programs():
    """Ends the detector a run left running, and lets the removal of the files a run replaced finish: a run
    reports its result before that removal is done, and one killed halfway leaves the rest to the next run,
    which a user who does not start runs back to back never sees."""
    deadline = time.monotonic() + 30
    for pid, command in list(started_programs()):
        if b"/removeDiscarded" not in command:
            os.kill(pid, 15)
    while any(b"/removeDiscarded" in command for _, command in started_programs()) and time.monotonic() < deadline:
        time.sleep(0.02)


def install(url):
    subprocess.run(["sync"])
    started = time.monotonic()
    done = subprocess.run(["wine", str(work / "TessaraAppSetup.exe"), "/silent", "/zipUrl", url], cwd=work,
                          env=dict(os.environ, TESSARA_BENCH_TAG=tag), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    seconds = time.monotonic() - started
    end_started_programs()
    if done.returncode != 0:
        sys.exit("a silent run failed (%d); see %s" % (done.returncode, work / "debugLog.log"))
    return seconds


ranged = RangeServer({"/old.zip": old_zip, "/new.zip": new_zip}, rate=RATE)
plain = RangeServer({"/new.zip": new_zip}, rate=RATE, ranges=False)
results = {"update": [], "reinstall": []}
try:
    for run in range(runs):
        for kind, server in (("update", ranged), ("reinstall", plain)):
            install(ranged.base + "/old.zip")
            sent = server.sent
            seconds = install(server.base + "/new.zip")
            log = (work / "debugLog.log").read_text("cp1252", "replace")
            if kind == "update" and "Update from changed files:" not in log:
                sys.exit("the update downloaded the whole payload; see %s" % (work / "debugLog.log"))
            results[kind].append((server.sent - sent, seconds))
            print("run %d %-9s %10d bytes %6.2f s" % (run + 1, kind, server.sent - sent, seconds))
finally:
    ranged.stop()
    plain.stop()

update = min(results["update"], key=lambda r: r[1])
full = min(results["reinstall"], key=lambda r: r[1])
print("best update:           %10d bytes %6.2f s" % update)
print("best full reinstall:   %10d bytes %6.2f s" % full)
print("update / full: bytes %.3f, time %.3f (goal: at most 0.1 and 0.25)" % (update[0] / full[0], update[1] / full[1]))
