"""Runs that do not get to finish: killed, stalled, oversized, concurrent, or refused late. Whatever
ends them, the next start leaves exactly one complete installation, the registry matching it, and
nothing of ours in the temporary folder or the Internet cache."""
import os
import pathlib
import random
import re
import shutil
import struct
import threading
import time
import unittest

import harness
from test_install import InstallTestBase

# Step boundaries of a reinstallation at which the test build stops itself, in run order, with the
# installation the next start must leave ("old" or "new").
STOP_POINTS = {"downloading": "old", "downloaded": "old", "extracted": "old", "verified": "old",
               "backed-up-legacy": "old", "backed-up": "old", "replaced": "old", "registry-applying": "old",
               "committing": "old", "registry-committed": "new", "committed": "new", "discarding": "new"}
# The same for an uninstallation: "installed" or "removed".
UNINSTALL_STOP_POINTS = {"uninstall-registry": "installed", "uninstall-backed-up": "installed",
                         "committing": "installed", "registry-applying": "installed",
                         "registry-committed": "removed", "committed": "removed", "discarding": "removed"}


def stage_many_files(folder, count, seed):
    extra = {"data/%02d/file%03d.bin" % (i % 17, i): random.Random(seed * 1000 + i).randbytes(200 + i)
             for i in range(count)}
    return harness.stage_demo_application(folder, extra_files=extra)


class InterruptionTestBase(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.old_dir = stage_many_files(cls.work / "old", 300, 1)
        cls.new_dir = stage_many_files(cls.work / "new", 300, 2)
        cls.old_url = cls.server.serve("/old.zip", harness.make_payload(cls.old_dir, cls.work / "old.zip").read_bytes())
        cls.new_url = cls.server.serve("/new.zip", harness.make_payload(cls.new_dir, cls.work / "new.zip").read_bytes())
        cls.cache = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Microsoft" / "Windows" / "INetCache"
        cls.legacy_bin = cls.legacy_folder.fget(cls) / "www.gleamplayer.example" / "bin" / "orvixtessaraaddin"

    def install_old(self):
        self.assert_installed(self.install(self.old_url, "old"), self.old_dir)
        harness.kill_windows_processes("tessaradetector.exe")
        self.legacy_bin.mkdir(parents=True, exist_ok=True)
        (self.legacy_bin / "addin.dll").write_bytes(b"legacy add-in")
        return self.state()

    def state(self):
        return {"install": harness.tree_digest(self.install_folder), "legacy": harness.tree_digest(self.legacy_folder),
                "registry": harness.registry_snapshot(), "temp": self.temp_entries(),
                # The vendor folder goes with the last thing in it.
                "beside": sorted(p.name for p in self.install_folder.parent.glob("*")),
                "cache": self.cache_names("new") + self.cache_names("old")}

    def installation(self):
        tree = harness.tree_digest(self.install_folder)
        if tree is None:
            return None
        tree.pop("digest.s", None)
        return "old" if tree == harness.tree_digest(self.old_dir) else "new" if tree == harness.tree_digest(
            self.new_dir) else "mixed"

    def start_next(self, name):
        """The next start of the program: a run that fails before it touches anything."""
        harness.run_setup(harness.prepare_setup_folder(name), "/silent", "/zipUrl", self.server.url("/missing.zip"))

    def cache_names(self, stem):
        return [p.name for p in self.cache.rglob("*" + stem + "*")] if self.cache.exists() else []

    def assert_exactly_one_installation(self, before, label):
        after = self.state()
        for place in ("temp", "beside", "cache"):
            self.assertEqual(before[place], after[place], label + ": " + place)
        which = self.installation()
        if which == "old":
            self.assertEqual(before, after, label + ": the previous installation, legacy folder and registry")
        else:
            self.assertEqual("new", which, label)
            self.assertFalse(self.legacy_bin.exists(), label)
            values = after["registry"][harness.UNINSTALL_KEY]["values"]
            self.assertEqual(before["registry"][harness.UNINSTALL_KEY]["values"]["UninstallString"],
                             values["UninstallString"], label)
            size = sum(p.stat().st_size for p in self.install_folder.rglob("*") if p.is_file())
            self.assertEqual((size // 1024).to_bytes(4, "little").hex(), values["EstimatedSize"]["hex"], label)
        return which


    def run_stopped(self, point, *args):
        folder = harness.prepare_setup_folder("kill-" + point, program=harness.TEST_SETUP_EXE)
        run = harness.run_setup(folder, *args, env={"TESSARA_TEST_STOP_AT": point})
        self.assertEqual(99, run.exit_code, point + "\n" + (run.log_text or ""))

    def damage_backup(self, point, before):
        """What a kill halfway through discarding the backup leaves: half of its files."""
        if point != "discarding":
            return
        for folder in self.install_folder.parent.iterdir():
            if folder.name != "Tessara":
                for index, path in enumerate(sorted(p for p in folder.rglob("*") if p.is_file())):
                    if index % 2:
                        path.unlink()

    def kill_table(self, points, url=None, after_kill=None):
        outcomes = {}
        for point, expected in points.items():
            before = self.install_old()
            self.run_stopped(point, "/silent", "/zipUrl", url or self.new_url)
            if after_kill:
                after_kill(point, before)
            self.start_next("next-" + point)
            outcomes[point] = self.assert_exactly_one_installation(before, point)
        self.assertEqual(points, outcomes)


class KillTest(InterruptionTestBase):
    def test_a_reinstallation_killed_at_any_step_leaves_one_complete_installation(self):
        self.kill_table(STOP_POINTS, after_kill=self.damage_backup)

    def test_a_failed_reinstallation_killed_while_discarding_its_backup_keeps_the_old_one(self):
        no_detector = harness.stage_demo_application(self.work / "no-detector", with_detector=False)
        url = self.server.serve("/late-failure.zip",
                                harness.make_payload(no_detector, self.work / "no-detector.zip").read_bytes())
        self.kill_table({"discarding": "old"}, url, self.damage_backup)

    def test_the_old_files_a_reinstallation_left_to_remove_after_its_result_go_at_the_next_start(self):
        before = self.install_old()
        folder = harness.prepare_setup_folder("cut-removal", program=harness.TEST_SETUP_EXE)
        run = harness.run_setup(folder, "/silent", "/zipUrl", self.new_url,
                                env={"TESSARA_TEST_STOP_AT": "removing-discarded"})
        self.assertEqual(0, run.exit_code, run.log_text)
        self.assertEqual(["Tessara", "Tessara.discard"], self.state()["beside"])
        self.start_next("after-cut-removal")
        self.assertEqual("new", self.assert_exactly_one_installation(before, "cut removal"))

    def test_a_temporary_folder_emptied_after_a_kill_loses_nothing(self):
        def empty_temp(point, before):
            for path in self.temp.iterdir():
                if path.name not in before["temp"]:
                    shutil.rmtree(path) if path.is_dir() else path.unlink()
        self.kill_table({"downloading": "old", "backed-up": "old", "replaced": "old"}, after_kill=empty_temp)

    def test_an_uninstallation_killed_at_any_step_leaves_it_whole_or_gone(self):
        outcomes = {}
        for point, expected in UNINSTALL_STOP_POINTS.items():
            before = self.install_old()
            self.run_stopped(point, "/uninstall")
            self.start_next("next-" + point)
            after = self.state()
            for place in ("temp", "cache"):
                self.assertEqual(before[place], after[place], point + ": " + place)
            if after["install"] is None:
                self.assertEqual([], after["beside"], point)
                self.assertFalse(self.legacy_bin.exists(), point)
                registry = after["registry"]
                self.assertEqual([], [key for key in registry if key != harness.RUN_KEY and registry[key]["exists"]])
                self.assertNotIn("TessaraDetector", registry[harness.RUN_KEY]["values"], point)
                outcomes[point] = "removed"
            else:
                self.assertEqual(before, after, point)
                outcomes[point] = "installed"
        self.assertEqual(UNINSTALL_STOP_POINTS, outcomes)

    def test_killed_at_random_moments(self):
        rng = random.Random(int(os.environ.get("TESSARA_KILL_SEED", "9")))
        for trial in range(4):
            before = self.install_old()
            folder = harness.prepare_setup_folder("random-kill")
            process = harness.start_setup(folder, "/silent", "/zipUrl", self.new_url)
            time.sleep(rng.uniform(0.3, 2.5))
            harness.kill_windows_processes("random-kill.TessaraAppSetup.exe")
            process.wait(timeout=60)
            self.start_next("random-next")
            self.assert_exactly_one_installation(before, "trial %d" % trial)


class HeldFileTest(InterruptionTestBase):
    def test_a_file_held_open_with_leave_to_delete_it_leaves_no_backup_behind(self):
        before = self.install_old()
        with harness.file_held_open(self.install_folder / "resources" / "strings.txt", self.work / "held.marker",
                                    share_delete=True):
            self.assert_installed(self.install(self.new_url, "held-delete"), self.new_dir)
            self.assertEqual(["Tessara"], self.state()["beside"])
            self.assertEqual(before["temp"], self.temp_entries())


def undo_record(steps):
    """A registry undo record in the program's format: (kind, key path, value name, values) per step."""
    def text(value):
        data = value.encode("utf-16-le")
        return struct.pack("<I", len(data)) + data
    out = struct.pack("<I", len(steps))
    for kind, path, name, values in steps:
        out += struct.pack("<II", kind, 0x80000001) + text(path) + text(name) + struct.pack("<I", len(values))
        for value_name, value_type, data in values:
            out += text(value_name) + struct.pack("<II", value_type, len(data)) + data
        out += b"TESS"  # the end mark of a whole step
    return out


class CraftedJournalTest(InterruptionTestBase):
    """Journals and undo records that no run of ours writes are set aside, never followed."""

    def test_a_journal_that_is_not_ours_is_set_aside_and_the_run_goes_on(self):
        journal_folder = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix" / "TessaraSetup"
        keep = harness.to_unix(harness.expand("%USERPROFILE%")) / "Keep"
        outside = self.work / "outside"
        temp_keep = self.temp / "Tes1A2B.tmp"
        keep_win, temp_win = harness.expand("%USERPROFILE%") + "\\Keep", harness.expand("%TEMP%") + "\\Tes1A2B.tmp"
        header = "install\t0000000A-0000000000000001\n"
        foreign_key = r"Software\Foreign\Keep"
        record = undo_record([(2, foreign_key, "x", []),
                              (2, harness.RUN_KEY, "Evil", [("Evil", 1, "C:\\evil.exe".encode("utf-16-le"))])])
        cases = {
            "foreign folder": (header + "absent\t%s\ntemporary\t%s\n" % (keep_win, keep_win), None),
            "NUL byte": (header + "temporary\t%s\0\n" % temp_win, None),
            "outside the profile": (header + "absent\t%s\n" % harness.to_windows(outside), None),
            "garbage": (os.urandom(300).hex() + "\n\x01\x7f", None),
            "foreign registry key": (header, record),
        }
        for label, (journal, record_bytes) in cases.items():
            with self.subTest(label):
                for folder in (keep, outside, temp_keep):
                    (folder / "sub").mkdir(parents=True, exist_ok=True)
                    (folder / "sub" / "precious.txt").write_text("precious")
                harness.reg("add", "HKCU\\" + foreign_key, "/v", "x", "/t", "REG_SZ", "/d", "precious", "/f")
                for name in ("run.journal", "registry.undo", "run.journal.rejected", "registry.undo.rejected"):
                    (journal_folder / name).unlink(missing_ok=True)
                journal_folder.mkdir(parents=True, exist_ok=True)
                (journal_folder / "run.journal").write_bytes(journal.encode("utf-8"))
                if record_bytes:
                    (journal_folder / "registry.undo").write_bytes(record_bytes)

                run = self.install(self.new_url, "crafted")
                self.assert_installed(run, self.new_dir)
                self.assertTrue(any("is not one this program wrote" in line for line in run.messages), run.log_text)
                rejected = "registry.undo.rejected" if record_bytes else "run.journal.rejected"
                self.assertEqual([rejected], sorted(p.name for p in journal_folder.iterdir()), label)
                for folder in (keep, outside, temp_keep):
                    self.assertEqual("precious", (folder / "sub" / "precious.txt").read_text(), label)
                self.assertIn("x", harness.regdump(foreign_key)["values"], label)
                self.assertNotIn("Evil", harness.regdump(harness.RUN_KEY)["values"], label)
        for folder in (keep, outside, temp_keep):
            shutil.rmtree(folder)
        harness.reg("delete", "HKCU\\Software\\Foreign", "/f")


class StalledDownloadTest(InterruptionTestBase):
    def run_watched(self, url, env):
        """Runs the test build and records whether the previous installation was ever missing."""
        missing, done = [], threading.Event()

        def watch():
            while not done.is_set():
                if not (self.install_folder / "tessara.exe").exists():
                    missing.append(time.monotonic())
                time.sleep(0.05)

        watcher = threading.Thread(target=watch)
        watcher.start()
        started = time.monotonic()
        try:
            folder = harness.prepare_setup_folder("stalled", program=harness.TEST_SETUP_EXE)
            run = harness.run_setup(folder, "/silent", "/zipUrl", url, env=env, timeout=120)
        finally:
            done.set()
            watcher.join()
        return run, time.monotonic() - started, missing

    def test_an_attempt_that_stalled_leaves_no_copy_in_the_internet_cache_after_the_next_start(self):
        before = self.install_old()
        url = self.server.serve("/new-stalling.zip", (self.work / "new.zip").read_bytes(), "stall-once")
        run, _, _ = self.run_watched(url, {"TESSARA_TEST_STALL_MS": "3000", "TESSARA_TEST_RETRY_PAUSE_MS": "100"})
        self.assertEqual(0, run.exit_code, run.log_text)
        self.assertIn("Download attempt 2 succeeded", run.messages)
        self.start_next("after-stalled-attempt")
        after = self.state()
        for place in ("temp", "cache"):
            self.assertEqual(before[place], after[place], place)

    def test_a_server_that_never_answers_fails_by_the_stall_time_or_the_limit_of_waiting(self):
        before = self.install_old()
        url = self.server.serve("/silent.zip", b"", "silent")
        # (limit of waiting in all, the run's last download line, seconds the run may take). The update from
        # changed files asks first, then the whole download: all their waits draw on the one limit.
        cases = [(None, r"Download attempt 4 failed: no data for 4 s after 0 bytes; giving up after 4 attempts\r?$",
                  60),
                 ("10000", r"Download attempt \d failed: no data for \d s after 0 bytes; giving up after \d "
                           r"attempts?: no data from the server in 10 s of waiting\r?$", 10 + 8)]
        for limit, line, most in cases:
            with self.subTest(limit=limit):
                env = {"TESSARA_TEST_STALL_MS": "4000", "TESSARA_TEST_RETRY_PAUSE_MS": "100"}
                if limit:
                    env["TESSARA_TEST_WAIT_LIMIT_MS"] = limit
                run, seconds, missing = self.run_watched(url, env)
                self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
                self.assertIn("Installer thread finished: stage=1 error=1", run.messages)
                self.assertRegex(run.log_text, re.compile(line, re.M))
                self.assertLess(seconds, most, run.log_text)
                self.assertEqual([], missing)
                self.assertEqual(before, self.state())

    def test_an_endless_body_fails_at_the_size_limit_and_leaves_nothing_behind(self):
        before = self.install_old()
        run, _, missing = self.run_watched(self.server.serve("/endless-body.zip", os.urandom(65536), "endless"),
                                           {"TESSARA_TEST_SIZE_LIMIT": str(30 << 20)})
        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
        self.assertEqual([], missing)
        self.assertEqual(before, self.state())

    def has_cache_entry(self, url):
        out = harness.wine([harness.BUILD / "tests" / "engine" / "download_driver.exe", "--cache-entry", url],
                           timeout=60).stdout.decode()
        self.assertIn("cache-entry ", out)
        return out.split()[-1] == "1"

    def test_no_download_leaves_its_copy_in_the_internet_cache(self):
        payload = (self.work / "new.zip").read_bytes()
        cases = [("cached-ok", "normal", 0), ("cached-missing", "404", harness.FAILED_INSTALL_EXIT_CODE),
                 ("cached-cut", "cut", harness.FAILED_INSTALL_EXIT_CODE)]
        for stem, mode, exit_code in cases:
            with self.subTest(mode=mode):
                url = self.server.serve("/%s.zip" % stem, payload, mode)
                before = self.cache_names(stem)  # an earlier run's, which is not this download's to remove
                run = self.install(url, stem)
                self.assertEqual(exit_code, run.exit_code, run.log_text)
                self.assertFalse(self.has_cache_entry(url))
                self.assertEqual(sorted(before), sorted(self.cache_names(stem)))


class ConcurrentRunsTest(InterruptionTestBase):
    def test_two_runs_started_together_run_one_after_the_other(self):
        before = self.install_old()
        slow_url = self.server.serve("/slow-old.zip", (self.work / "old.zip").read_bytes(), "slow")
        first_folder = harness.prepare_setup_folder("first")
        second_folder = harness.prepare_setup_folder("second")
        first = harness.start_setup(first_folder, "/silent", "/zipUrl", slow_url)
        # The first run holds the lock from before its download to its end.
        harness.wait_until(lambda: "Starting file download" in harness.log_lines(first_folder), "the first download")
        second = harness.start_setup(second_folder, "/silent", "/zipUrl", self.new_url)
        first_run = harness.finish_setup(first, first_folder)
        second_run = harness.finish_setup(second, second_folder)
        self.assertEqual(0, first_run.exit_code, first_run.log_text)
        self.assertEqual(0, second_run.exit_code, second_run.log_text)
        self.assertIn("Another setup run is in progress, waiting for it to end", second_run.messages)
        self.assertEqual("new", self.assert_exactly_one_installation(before, "second run"))


class LateRefusalTest(InterruptionTestBase):
    def test_a_long_path_payload_is_refused_and_the_next_good_one_installs(self):
        before = self.install_old()
        deep = "/".join(["d%02d" % i + "x" * 40 for i in range(5)]) + "/deep-file.txt"
        long_dir = harness.stage_demo_application(self.work / "long", extra_files={deep: b"deep"})
        url = self.server.serve("/long.zip", harness.make_payload(long_dir, self.work / "long.zip").read_bytes())
        run = self.install(url, "long-path")
        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
        self.assertEqual(before, self.state())
        self.assert_installed(self.install(self.new_url, "after-long-path"), self.new_dir)

    def test_a_failed_first_installation_leaves_no_install_folder(self):
        no_detector = harness.stage_demo_application(self.work / "no-detector", with_detector=False)
        url = self.server.serve("/no-detector.zip",
                                harness.make_payload(no_detector, self.work / "no-detector.zip").read_bytes())
        temp_before = self.temp_entries()
        run = self.install(url, "failed-first")
        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
        self.assertFalse(self.install_folder.exists())
        self.assertEqual(temp_before, self.temp_entries())


class CopyFallbackTest(InterruptionTestBase):
    """The temporary folder on another file system: nothing can be renamed between it and the profile."""

    DRIVE = "t:"

    @classmethod
    def setUpClass(cls):
        cls.other_volume = pathlib.Path("/dev/shm") / ("tessara-%d" % os.getpid())
        cls.other_volume.mkdir(parents=True, exist_ok=True)
        link = harness.PREFIX / "dosdevices" / cls.DRIVE
        if link.is_symlink():
            link.unlink()
        link.symlink_to(cls.other_volume)
        cls.original_environment = harness.redirect_temp_folder("T:\\")
        super().setUpClass()
        cls.temp = cls.other_volume

    @classmethod
    def tearDownClass(cls):
        harness.restore_temp_folder(cls.original_environment)
        (harness.PREFIX / "dosdevices" / cls.DRIVE).unlink()
        shutil.rmtree(cls.other_volume, ignore_errors=True)
        super().tearDownClass()

    def test_killed_with_the_temporary_folder_on_another_volume(self):
        self.kill_table({point: STOP_POINTS[point]
                         for point in ("downloading", "backed-up", "replaced", "registry-committed")})

    def test_a_failed_run_with_the_temporary_folder_on_another_volume_restores_byte_for_byte(self):
        before = self.install_old()
        no_detector = harness.stage_demo_application(self.work / "no-detector", with_detector=False)
        url = self.server.serve("/late-failure.zip",
                                harness.make_payload(no_detector, self.work / "no-detector.zip").read_bytes())
        run = self.install(url, "copy-fallback")
        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
        install_folder = harness.expand("%APPDATA%") + r"\Orvix\Tessara"
        self.assertIn("Backing up %s to %s.backup done" % (install_folder, install_folder), run.messages)
        self.assertEqual(before, self.state())
        self.assert_installed(self.install(self.new_url, "copy-fallback-new"), self.new_dir)
        self.assertEqual(before["temp"], self.temp_entries())


if __name__ == "__main__":
    unittest.main()
