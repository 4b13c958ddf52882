"""Uninstallation as the user meets it: "/uninstall" after a real installation, and "/uninstallSelf"."""
import contextlib
import os
import shutil
import subprocess
import time
import unittest

import harness
import test_install

SHORTCUTS = "[shortcutConfig]\ndesktopShortcut=1\nstartMenuShortcut=1\n"


def only_the_log_left(folder):
    """The program and the name it set itself aside under are gone."""
    return lambda: [p.name for p in folder.iterdir()] == ["debugLog.log"]


def wait_until(condition, seconds=20):
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(0.2)
    return condition()


class UninstallTest(test_install.InstallTestBase):
    def setUp(self):
        super().setUp()
        profile = harness.to_unix(harness.expand("%USERPROFILE%"))
        self.cache = profile / "Documents" / "TessaraAppCache"
        self.links = [profile / "Desktop" / "Orvix Tessara.lnk",
                      self.appdata / "Microsoft" / "Windows" / "Start Menu" / "Programs" / "Orvix Tessara.lnk"]
        self.legacy_bin = self.legacy_folder / "www.gleamplayer.example" / "bin" / "orvixtessaraaddin"

    def tearDown(self):
        harness.reg("delete", "HKCU\\" + harness.RUN_KEY, "/v", "SomeoneElse", "/f")
        super().tearDown()

    def test_uninstall_removes_the_installation_and_a_second_one_removes_nothing_more(self):
        local = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix"
        for folder in (local, self.appdata / "Orvix"):
            shutil.rmtree(folder, ignore_errors=True)
        harness.reg("delete", r"HKCU\Software\Orvix", "/f")
        url = self.server.serve("/payload.zip", self.payload)
        self.assert_installed(self.install(url, "uninstall-install", config=SHORTCUTS))
        self.assertTrue(all(link.exists() for link in self.links))
        self.assertIn("tessaradetector.exe", harness.running_image_names())
        self.legacy_bin.mkdir(parents=True)
        (self.legacy_bin / "addin.dll").write_bytes(b"legacy add-in")
        (self.cache / "meetings").mkdir(parents=True, exist_ok=True)
        (self.cache / "meetings" / "recent.dat").write_bytes(b"cached")
        harness.reg("add", "HKCU\\" + harness.RUN_KEY, "/v", "SomeoneElse", "/d", r"C:\Other\other.exe", "/f")
        temp_before = self.temp_entries()

        folder = harness.prepare_setup_folder("uninstall-run")
        self.assertEqual(0, harness.run_setup(folder, "/uninstall").exit_code)

        self.assertFalse(harness.regdump(harness.UNINSTALL_KEY)["exists"])
        self.assertFalse(harness.regdump(harness.PROTOCOL_KEY)["exists"])
        run_values = harness.regdump(harness.RUN_KEY)["values"]
        self.assertNotIn("TessaraDetector", run_values)
        self.assertIn("SomeoneElse", run_values)
        self.assertFalse(self.install_folder.exists())
        self.assertFalse(self.legacy_bin.exists())
        self.assertEqual([], [link for link in self.links if link.exists()])
        self.assertFalse(self.cache.exists())
        self.assertTrue(wait_until(lambda: "tessaradetector.exe" not in harness.running_image_names()))
        self.assertTrue(wait_until(only_the_log_left(folder)))
        self.assertTrue(wait_until(lambda: self.temp_entries() == temp_before),
                        "neither the work folder nor the script is left behind")
        # Nor the setup program's own bookkeeping: its journal's folder, its commit mark, the vendor folders.
        def bookkeeping():
            return [p for p in (local, self.appdata / "Orvix") if p.exists()], harness.regdump(r"Software\Orvix")["exists"]
        self.assertEqual(([], False), bookkeeping())

        registry = harness.registry_snapshot()
        again = harness.prepare_setup_folder("uninstall-again")
        self.assertEqual(0, harness.run_setup(again, "/uninstall").exit_code)
        self.assertEqual(registry, harness.registry_snapshot())
        self.assertEqual(([], False), bookkeeping())
        self.assertTrue(wait_until(only_the_log_left(again)))

    def test_uninstall_self_removes_only_the_program_even_from_a_folder_with_blanks(self):
        url = self.server.serve("/payload.zip", self.payload)
        self.assert_installed(self.install(url, "uninstall-self-install"))
        registry = harness.registry_snapshot()
        installed = harness.tree_digest(self.install_folder)
        temp_before = self.temp_entries()

        folder = harness.prepare_setup_folder("uninstall self with blanks")
        self.assertEqual(0, harness.run_setup(folder, "/uninstallSelf").exit_code)

        self.assertTrue(wait_until(only_the_log_left(folder)))
        self.assertTrue(wait_until(lambda: self.temp_entries() == temp_before), "the script removes itself")
        self.assertEqual(registry, harness.registry_snapshot())
        self.assertEqual(installed, harness.tree_digest(self.install_folder))
        shutil.rmtree(folder)

    def test_a_later_start_removes_what_a_self_removal_cut_short_left_and_nothing_else(self):
        temp = harness.to_unix(harness.expand("%TEMP%"))
        ours = (harness.SOURCE / "res" / "SelfRemoval.bat").read_bytes()
        elsewhere = harness.prepare_setup_folder("left-by-a-cut")
        target = elsewhere / "TessaraAppSetup.exe.4294967280.old"  # set aside by the process FFFFFFF0
        remark = b"\r\nrem " + harness.to_windows(target).encode() + b"\r\n"
        scripts = {"TessaraRemoval-FFFFFFF0-01DC000000000000.bat": (ours + remark, False),  # whole, process gone
                   "TessaraRemoval-FFFFFFF4-01DC000000000000.bat": (ours[:40], False),  # torn while written
                   "TessaraRemoval-FFFFFFF8-01DC000000000000.bat": (ours.upper() + remark, True),  # not ours
                   "Other001.bat": (ours + remark, True)}
        for name, (content, _) in scripts.items():
            (temp / name).write_bytes(content)
        target.write_bytes(b"MZ")
        folder = harness.prepare_setup_folder("leftover-scripts")
        set_aside = {"TessaraAppSetup.exe.4242.old": False, "TessaraAppSetup.exe.mine.old": True}
        for name in set_aside:
            (folder / name).write_bytes(b"MZ")
        harness.run_setup(folder, "/silent", "/zipUrl")
        self.assertEqual({name: stays for name, (_, stays) in scripts.items()},
                         {name: (temp / name).exists() for name in scripts})
        self.assertEqual(set_aside, {name: (folder / name).exists() for name in set_aside})
        self.assertFalse(target.exists())
        for name in scripts:
            (temp / name).unlink(missing_ok=True)

    def test_an_uninstall_cut_once_its_script_is_written_leaves_nothing_after_the_next_start(self):
        temp_before = self.temp_entries()
        folder = harness.prepare_setup_folder("cut-self-removal", program=harness.TEST_SETUP_EXE)
        run = harness.run_setup(folder, "/uninstall", env={"TESSARA_TEST_STOP_AT": "self-removal-written"})
        self.assertEqual(99, run.exit_code, run.log_text)
        self.assertEqual(1, len(set(self.temp_entries()) - set(temp_before)), "the whole script is left by the cut")
        harness.run_setup(harness.prepare_setup_folder("after-cut-self-removal"), "/silent", "/zipUrl")
        self.assertEqual(temp_before, self.temp_entries())
        self.assertEqual(["debugLog.log"], sorted(p.name for p in folder.iterdir()))


class UninstallExitCodeTest(test_install.InstallTestBase):
    """"/uninstall" exits 0 only when the application is gone; otherwise 1603, the reason in the log."""

    @contextlib.contextmanager
    def file_held(self):
        with harness.file_held_open(self.install_folder / "resources" / "strings.txt", self.work / "held.marker"):
            yield

    @contextlib.contextmanager
    def journal_blocked(self):
        journal = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix" / "TessaraSetup"
        shutil.rmtree(journal, ignore_errors=True)
        journal.parent.mkdir(parents=True, exist_ok=True)
        journal.write_bytes(b"a file where the journal's folder belongs")
        try:
            yield
        finally:
            journal.unlink()

    @contextlib.contextmanager
    def application_running(self):
        folder = self.work / "running"
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(harness.BUILD / "tests" / "engine" / "sleeper.exe", folder / "tessara.exe")
        process = subprocess.Popen([harness.WINE_RUN, str(folder / "tessara.exe")], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_until(lambda: "tessara.exe" in harness.running_image_names()))
            yield
            self.assertNotIn("tessara.exe", harness.running_image_names())
        finally:
            process.kill()

    def test_the_exit_code_tells_whether_the_application_is_gone(self):
        url = self.server.serve("/payload.zip", self.payload)
        cases = [("file held", self.file_held, 1603, "system error 32"),
                 ("journal cannot start", self.journal_blocked, 1603, "Could not start the uninstallation journal"),
                 ("application running", self.application_running, 0, "Stopping tessara processes")]
        for label, situation, code, line in cases:
            with self.subTest(label):
                self.assert_installed(self.install(url, "codes-install"))
                installed = harness.tree_digest(self.install_folder)
                with situation():
                    run = harness.run_setup(harness.prepare_setup_folder("codes-uninstall"), "/uninstall")
                self.assertEqual(code % 256, run.exit_code, run.log_text)
                self.assertTrue(any(line in message for message in run.messages), run.log_text)
                still = code != 0
                self.assertEqual(installed if still else None, harness.tree_digest(self.install_folder))
                self.assertEqual(still, harness.regdump(harness.UNINSTALL_KEY)["exists"])
                self.assertEqual(still, "The application is still installed: the uninstallation failed" in run.messages)


if __name__ == "__main__":
    unittest.main()
