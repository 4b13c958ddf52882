"""Every durable step of a run is a crash point. The test build numbers the steps a run passes (journal
and undo record writes, renames, deletes, registry changes) and ends itself abruptly before step k. For
each kind of run and each k, the table crashes there, applies a power-cut variant to the journal and
the undo record (or, in "lost-writes", to every file the run wrote and had not flushed yet, and to the
registry changes made since the registry was last flushed), then starts the program once with a failing run and once with a good one, and checks
after each: exactly one complete installation (or none, where allowed), the registry matching it, and,
after the good run, nothing of ours left.

Run as a script for the whole table: python3 crashtable.py [--scenarios a,b] [--variants v,w] [--stride n]."""
import argparse
import os
import shutil
import sys

import harness

VARIANTS = ("as-left", "cut", "nul", "emptied", "local-gone", "lost-writes")
CRASH_EXIT_CODE = 99


def journal_folder():
    return harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix" / "TessaraSetup"


def tree_bytes(path):
    return sum(p.stat().st_size for p in [path, *path.rglob("*")] if p.is_file()) if path.exists() else 0


def apply_variant(variant, last_step):
    """What a power cut leaves of the files being written; False where the variant changes nothing."""
    folder = journal_folder()
    journal, undo = folder / "run.journal", folder / "registry.undo"
    if variant == "as-left":
        return True
    if variant in ("cut", "nul"):
        # Only the line being written when the power went can be torn: every earlier one was flushed.
        marker = harness.to_unix(harness.expand("%APPDATA%")) / "Orvix" / "Tessara.backup" / "backup.journal"
        torn = {"journal": journal, "marker": marker}.get(last_step)
        if not torn or not torn.exists():
            return False
        data = torn.read_bytes()
        start = data[:-1].rfind(b"\n") + 1
        line = len(data) - start
        torn.write_bytes(data[:start + line // 2] if variant == "cut" else data[:start] + b"\0" * line)
        return True
    if variant == "emptied":
        present = [f for f in (journal, undo) if f.exists()]
        for f in present:
            f.write_bytes(b"")
        return bool(present)
    if folder.exists():  # local-gone: a roaming profile on another machine, or a lost local folder
        shutil.rmtree(folder)
        return True
    return False


def unflushed_files(account):
    """The files the account names as written and not flushed since, where they are now (a folder's move
    takes its files along), in the order they were written."""
    unflushed = {}
    lines = account.read_text(encoding="utf-8").splitlines() if account.exists() else []
    for kind, *paths in (line.split("\t") for line in lines):
        if kind == "write":
            unflushed[paths[0].lower()] = paths[0]
        elif kind == "flushed":
            unflushed.pop(paths[0].lower(), None)
        elif kind == "moved":
            source, target = paths[0].rstrip("\\") + "\\", paths[1].rstrip("\\") + "\\"
            unflushed = {key: path for key, path in (
                ((target + path[len(source):]).lower(), target + path[len(source):])
                if key.startswith(source.lower()) else (key, path) for key, path in unflushed.items())}
    return list(unflushed.values())


def lose_unflushed_writes(account, snapshot):
    """What a power cut takes of what was not flushed: every such file is zero-filled or cut short (in
    turn), and the registry goes back to its snapshot at the last flush. Returns (files damaged, whether
    the registry went back)."""
    damaged = 0
    for path in (harness.to_unix(p) for p in unflushed_files(account)):
        if not path.is_file():
            continue
        size = path.stat().st_size
        path.write_bytes(b"\0" * size if damaged % 2 == 0 else path.read_bytes()[:size // 2])
        damaged += 1
    if snapshot.exists():
        harness.wine(["regedit.exe", "/s", harness.to_windows(snapshot)], timeout=60)
        snapshot.unlink()
        return damaged, True
    return damaged, False


class CrashTable:
    def __init__(self, work, server):
        self.work = work
        self.server = server
        self.dirs, self.urls = {}, {}
        for name, detector in (("a", True), ("b", True), ("failing", False)):
            folder = harness.stage_demo_application(work / name, with_detector=detector,
                                                    extra_files={"data/%s.bin" % name: os.urandom(3000)})
            self.dirs[name] = harness.tree_digest(folder)
            self.urls[name] = server.serve("/%s.zip" % name,
                                           harness.make_payload(folder, work / (name + ".zip")).read_bytes())
        self.bad_url = server.url("/missing.zip")
        appdata = harness.to_unix(harness.expand("%APPDATA%"))
        self.install_folder = appdata / "Orvix" / "Tessara"
        self.legacy = appdata / "Cindervale" / "Gleam Player" / "www.gleamplayer.example" / "bin" / "orvixtessaraaddin"
        self.temp = harness.to_unix(harness.expand("%TEMP%"))
        self.installed = None
        self.runs = 0
        self.violations = []
        self.lost_journal_bytes = 0
        self.account, self.snapshot = work / "write-account", work / "registry-snapshot.reg"
        self.lost_files = self.lost_registry = 0
        self.reset()

    # -- state -------------------------------------------------------------------------------------
    def reset(self):
        harness.kill_windows_processes("tessaradetector.exe", "Tessara.exe")
        for folder in (self.install_folder.parent, self.legacy.parents[3], journal_folder()):
            shutil.rmtree(folder, ignore_errors=True)
        harness.delete_registrations()
        self.installed = None
        self.temp_baseline = self.temp_entries()

    def temp_entries(self):
        return sorted(p.name for p in self.temp.iterdir()) if self.temp.exists() else []

    def installation(self):
        tree = harness.tree_digest(self.install_folder)
        if tree is None:
            return None
        tree.pop("digest.s", None)
        return next((name for name, digest in self.dirs.items() if digest == tree), "mixed")

    def registrations(self):
        entry = harness.regdump(harness.UNINSTALL_KEY)["exists"]
        protocol = harness.regdump(harness.PROTOCOL_KEY)["exists"]
        run = "TessaraDetector" in harness.regdump(harness.RUN_KEY)["values"]
        return "all" if entry and protocol and run else "none" if not (entry or protocol or run) else "partial"

    def leftovers(self):
        beside = sorted(p.name for p in self.install_folder.parent.glob("*") if p.name != "Tessara")
        journal = sorted(p.name for p in journal_folder().glob("*") if not p.name.endswith(".rejected"))
        temp = sorted(set(self.temp_entries()) - set(self.temp_baseline))
        return [name for name in beside + journal + temp]

    # -- runs --------------------------------------------------------------------------------------
    def run(self, name, *args, env=None):
        self.runs += 1
        folder = harness.prepare_setup_folder(name, program=harness.TEST_SETUP_EXE)
        return harness.run_setup(folder, *args, env=env)

    def install(self, name, label):
        run = self.run(label, "/silent", "/zipUrl", self.urls[name])
        if run.exit_code != 0:
            raise AssertionError("%s: the good run failed\n%s" % (label, run.log_text))
        self.installed = name

    def base(self, installed):
        """Brings the machine to the state a scenario starts from, with the legacy add-in present."""
        if installed and self.installed is None:
            self.install("a", "base-install")
        elif not installed and self.installed is not None:
            run = self.run("base-uninstall", "/uninstall")
            if run.exit_code != 0:
                raise AssertionError("base uninstall failed\n" + (run.log_text or ""))
            self.installed = None
            # Its self-removal script ends first: a start while it runs would finish its work, and number
            # steps the crashed runs do not have.
            self.wait_for_self_removal()
        harness.kill_windows_processes("tessaradetector.exe")
        self.legacy.mkdir(parents=True, exist_ok=True)
        (self.legacy / "addin.dll").write_bytes(b"legacy add-in")
        return self.installed

    def wait_for_self_removal(self):
        """An uninstallation's self-removal script runs on for seconds after it, and then removes itself."""
        harness.wait_until(lambda: all(harness.process_ended(pid) for pid in harness.self_removal_scripts()),
                           "the self-removal scripts", timeout=90)

    def target(self):
        return "b" if self.installed == "a" else "a"

    # -- scenarios ---------------------------------------------------------------------------------
    def scenario(self, kind):
        """(base installed?, crash-run arguments, outcomes allowed, run before the crashed one)."""
        base_installed = kind != "fresh"
        base = self.base(base_installed)
        target = self.target()
        install = ("/silent", "/zipUrl", self.urls[target])
        failing_start = ("/silent", "/zipUrl", self.bad_url)
        if kind == "fresh":
            return install, {None, target}, None
        if kind == "reinstall":
            return install, {base, target}, None
        if kind == "failing-reinstall":
            return ("/silent", "/zipUrl", self.urls["failing"]), {base}, None
        if kind == "uninstall":
            return ("/uninstall",), {base, None}, None
        # recovery: a reinstallation cut off while applying its registry changes, then a start that
        # only settles it, cut off in turn.
        return failing_start, {base, target}, install

    def crash_env(self, k):
        """A cut at step k, with the account of what a power cut would take there."""
        return {"TESSARA_TEST_CRASH_AT": str(k), "TESSARA_TEST_WRITE_ACCOUNT": harness.to_windows(self.account),
                "TESSARA_TEST_REGISTRY_SNAPSHOT": harness.to_windows(self.snapshot)}

    def pre_crash(self, install, trace):
        first_registry = next(k for k, step in trace if step == "registry")
        self.run("pre-crash", *install, env=self.crash_env(first_registry))

    def trace(self, kind):
        """The numbered steps of one uncut run of the kind, from its usual starting state."""
        args, _, before = self.scenario(kind)
        if before:
            self.pre_crash(before, self.reinstall_trace)
        path = self.work / ("trace-" + kind)
        path.unlink(missing_ok=True)
        self.run("trace-" + kind, *args, env={"TESSARA_TEST_CRASH_TRACE": harness.to_windows(path)})
        steps = [(int(k), step) for k, step in (line.split(" ", 1) for line in path.read_text().splitlines())]
        self.settle_after_trace()
        # The process a run leaves to remove the old files after its result numbers its own steps from 1
        # into the same file: the run's steps are those before the numbering starts again.
        run_steps = next((i for i, (k, _) in enumerate(steps) if k != i + 1), len(steps))
        return steps[:run_steps]

    def settle_after_trace(self):
        self.installed = self.installation()
        self.install(self.target(), "after-trace")

    def case(self, kind, k, variant, trace):
        """One row of the table; False when the variant does not apply at this point."""
        label = "%s k=%d (%s) %s" % (kind, k, trace[k - 1][1] if k <= len(trace) else "end", variant)
        last_step = trace[k - 2][1] if k >= 2 else None
        if variant in ("cut", "nul") and last_step not in ("journal", "marker"):
            return False
        args, allowed, before = self.scenario(kind)
        base = self.installed
        self.account.unlink(missing_ok=True)
        self.snapshot.unlink(missing_ok=True)
        if before:
            self.pre_crash(before, self.reinstall_trace)
        crashed = self.run("crash", *args, env=self.crash_env(k))
        if crashed.exit_code != CRASH_EXIT_CODE:
            self.violations.append("%s: the run did not reach its crash point (exit %d)" % (label, crashed.exit_code))
        self.journal_lost = variant in ("emptied", "local-gone")
        if variant == "lost-writes":
            files, registry = lose_unflushed_writes(self.account, self.snapshot)
            self.lost_files, self.lost_registry = self.lost_files + files, self.lost_registry + registry
            applied = files or registry
        else:
            applied = apply_variant(variant, last_step)
        if not applied:
            # Nothing to tear: the machine is settled by a good run and the row is not counted.
            self.install(self.target(), "skip")
            return False
        self.run("failing-start", "/silent", "/zipUrl", self.bad_url)
        self.check(label + ", after a failing start", allowed, base)
        target = "b" if self.installation() == "a" else "a"
        self.install(target, "good-start")
        self.check(label + ", after a good start", {target}, None, settled=True)
        return True

    def check(self, label, allowed, base, settled=False):
        which = self.installation()
        problems = []
        if which not in allowed:
            problems.append("installation %s, allowed %s" % (which, sorted(map(str, allowed))))
        registry = self.registrations()
        if registry != ("all" if which else "none"):
            problems.append("registrations %s with installation %s" % (registry, which))
        if not settled and (which == base) != self.legacy.exists() and which in allowed:
            problems.append("legacy add-in %s" % ("present" if self.legacy.exists() else "missing"))
        if settled:
            self.wait_for_self_removal()
            left = self.leftovers()
            if self.journal_lost:
                self.lost_journal_bytes += sum(tree_bytes(self.temp / name) for name in left
                                               if name in self.temp_entries())
            if left:
                problems.append("left over: %s" % left)
            self.temp_baseline = self.temp_entries()
        for problem in problems:
            self.violations.append("%s: %s" % (label, problem))
            print(self.violations[-1], flush=True)
        self.installed = which if which in self.dirs else self.installed

    def sweep(self, kinds, choose, report=None):
        """Runs the rows choose(kind, trace) gives as (k, variant); returns (points, rows). report, when
        given, hears each kind's figures as it ends."""
        self.reinstall_trace = self.trace("reinstall")
        points = rows = 0
        for kind in kinds:
            trace = self.reinstall_trace if kind == "reinstall" else self.trace(kind)
            kind_rows, violations = 0, len(self.violations)
            for k, variant in choose(kind, trace):
                kind_rows += self.case(kind, k, variant, trace)
            points, rows = points + len(trace), rows + kind_rows
            if report:
                report("%s: %d crash points, %d variants, %d violations"
                       % (kind, len(trace), kind_rows, len(self.violations) - violations))
        return points, rows


KINDS = ("fresh", "reinstall", "failing-reinstall", "uninstall", "recovery")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--scenarios", default=",".join(KINDS))
    parser.add_argument("--stride", type=int, default=1, help="every n-th crash point only")
    parser.add_argument("--variants", default=",".join(VARIANTS))
    options = parser.parse_args()
    work = harness.WORK / "crash-table"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    server = harness.PayloadServer()
    try:
        table = CrashTable(work, server)
        points, rows = table.sweep(options.scenarios.split(","), lambda kind, trace: [
            (k, variant) for k in range(1, len(trace) + 1, options.stride)
            for variant in options.variants.split(",")],
            lambda line: print(line, flush=True))
    finally:
        server.close()
    print("%d crash points, %d variants, %d violations" % (points, rows, len(table.violations)))
    print("%d bytes left in the temporary folder by runs whose journal was lost" % table.lost_journal_bytes)
    print("lost writes: %d unflushed files damaged, %d registry states dropped" % (table.lost_files, table.lost_registry))
    return 1 if table.violations else 0


if __name__ == "__main__":
    sys.exit(main())
