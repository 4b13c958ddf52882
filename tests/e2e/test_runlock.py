"""One run per user at a time: the lock covers a run, not a window that rests on its result."""
import contextlib
import os
import re
import time
import unittest

import harness
from test_install import InstallTestBase
from test_window import INSTALL, MAIN, WAITING, WindowRun

ANOTHER_RUN_EXIT_CODE = 1618 % 256
UNUSABLE_LOCK_TITLE = "Setup cannot start"
# The test build's lowered wait for another run; the shipped program waits ten minutes.
LOCK_WAIT = {"TESSARA_TEST_LOCK_WAIT_MS": "20000"}


class RunLockTest(InstallTestBase):
    def silent_test_run(self, name, url, wait=LOCK_WAIT):
        folder = harness.prepare_setup_folder(name, program=harness.TEST_SETUP_EXE)
        return harness.run_setup(folder, "/silent", "/zipUrl", url, env=wait)

    def test_a_window_on_its_result_screen_delays_no_silent_run_and_a_second_start_shows_it(self):
        url = self.server.serve("/payload.zip", self.payload)
        window = WindowRun(harness.prepare_setup_folder("lock-window"), "/zipUrl", url)
        second = None
        try:
            window.wait_for(lambda s: MAIN in s["controls"], "the installed screen")
            started = time.time()
            silent = self.silent_test_run("lock-silent", url)
            self.assert_installed(silent)
            self.assertNotIn("Another setup run is in progress, waiting for it to end", silent.messages)
            self.assertLess(time.time() - started, 20, "the silent run waited for the window")

            second = WindowRun(harness.prepare_setup_folder("lock-second"), "/zipUrl", url)
            deadline = time.time() + 30
            while "bringing it to the front" not in second.log() and time.time() < deadline:
                time.sleep(0.2)
            self.assertIn("Another installer window is open, bringing it to the front", second.log())
            self.assertNotIn("Starting installer thread", second.log())
        finally:
            window.close()
            if second:
                second.close()
            harness.kill_windows_processes("TessaraAppSetup.exe")

    def test_silent_runs_and_uninstall_give_up_with_1618_after_the_wait_limit_while_another_run_holds_the_lock(self):
        harness.delete_registrations()
        url = self.server.serve("/payload.zip", self.payload)
        with harness.run_lock_held(self.work / "lock-held"):
            # The shipped program, whose default wait is ten minutes: deployment tools pass a shorter one.
            for args in (["/silent", "/zipUrl", url], ["/msi", "/zipUrl", url], ["/uninstall"]):
                with self.subTest(args[0]):
                    run = harness.run_setup(harness.prepare_setup_folder("lock-busy"), *args, "/waitLimit", "2")
                    self.assertEqual(ANOTHER_RUN_EXIT_CODE, run.exit_code, run.log_text)
                    self.assertIn("Another setup run is still in progress after 2 seconds, giving up", run.messages)
                    self.assertFalse(self.install_folder.exists())

    # Paths at which no lock file can be opened, and the reason the log gives for each.
    @property
    def local_folder(self):
        return harness.to_unix(harness.expand("%LOCALAPPDATA%"))

    @contextlib.contextmanager
    def folder_at_lock_path(self):
        lock = self.local_folder / "Orvix Tessara Setup.lock"
        lock.mkdir()
        try:
            yield
        finally:
            lock.rmdir()

    @contextlib.contextmanager
    def read_only_lock_file(self):
        lock = self.local_folder / "Orvix Tessara Setup.lock"
        lock.write_bytes(b"")
        os.chmod(lock, 0o444)
        try:
            # The tests run as root, whom no file mode stops: the mount refuses the writes.
            with harness.mounted(lock, lock, "--bind", read_only=True):
                yield
        finally:
            lock.unlink()

    def unwritable_local_folder(self):
        return harness.mounted(self.local_folder, self.local_folder, "--bind", read_only=True)

    def state_after(self):
        return harness.tree_digest(self.install_folder), harness.registry_snapshot()

    def test_a_lock_file_that_cannot_be_opened_ends_every_run_at_once_with_1603_and_the_reason(self):
        url = self.server.serve("/payload.zip", self.payload)
        self.assert_installed(self.install(url, "lock-unusable-before"))
        before = self.state_after()
        table = [("a folder", self.folder_at_lock_path, "a folder is in its place"),
                 ("a read-only file", self.read_only_lock_file, "the file is read-only"),
                 ("an unwritable Local folder", self.unwritable_local_folder, "")]
        for name, unusable, reason in table:
            for args in (["/silent", "/zipUrl", url], ["/uninstall"]):
                with self.subTest(name, mode=args[0]), unusable():
                    started = time.time()
                    run = harness.run_setup(harness.prepare_setup_folder("lock-unusable"), *args)
                    print("%s, %s: ended after %.1f s: %s" % (name, args[0], time.time() - started, next(
                        (m for m in run.messages if m.startswith("Could not take the run lock")), None)))
                    self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
                    self.assertRegex(run.log_text, r"Could not take the run lock \S.*Orvix Tessara Setup\.lock: "
                                     + re.escape(reason))
                    self.assertNotIn("waiting for it to end", run.log_text)
                    stamps = re.findall(r"^\[(.{24})\]", run.log_text, re.M)
                    taken = [time.mktime(time.strptime(stamp, "%a %b %d %H:%M:%S %Y")) for stamp in stamps]
                    self.assertLessEqual(taken[-1] - taken[0], 5, "the run failed at once")
                    self.assertEqual(before, self.state_after())
        # The window shows the failure for an installation and for a removal, and Exit closes it.
        with self.folder_at_lock_path():
            for name, start in (("installation", lambda run: run.click(INSTALL)),
                                ("uninstallation", lambda run: (run.press("u"), run.answer("Orvix Tessara", "yes")))):
                with self.subTest("window", run=name):
                    run = WindowRun(harness.prepare_setup_folder("lock-unusable-window"), "/zipUrl", url)
                    try:
                        run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
                        start(run)
                        failed = run.wait_for(lambda s: INSTALL not in s["controls"] and MAIN in s["controls"]
                                              and run.read_aloud()[0][0] == UNUSABLE_LOCK_TITLE, "the failure screen")
                        self.assertEqual("Exit", failed["controls"][MAIN]["text"])
                        run.click(MAIN)
                        self.assertTrue(run.wait_until_ended())
                        self.assertIn("a folder is in its place", run.log())
                    finally:
                        run.close()
                        harness.kill_windows_processes("TessaraAppSetup.exe")
                    self.assertEqual(before, self.state_after())

    def test_leaving_a_waiting_run_changes_nothing_even_when_the_other_run_ends_right_after(self):
        url = self.server.serve("/payload.zip", self.payload)
        self.assert_installed(self.install(url, "lock-leave-before"))
        before = self.state_after()
        for name, start, first_step in (
                ("installation", lambda run: run.click(INSTALL), "Starting file download"),
                ("uninstallation", lambda run: (run.press("u"), run.answer("Orvix Tessara", "yes")),
                 "Uninstall success")):
            with self.subTest(name):
                run = WindowRun(harness.prepare_setup_folder("lock-leave"), "/zipUrl", url)
                try:
                    run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
                    with harness.run_lock_held(self.work / "lock-leave-held") as release:
                        start(run)
                        run.wait_for(lambda s: run.read_aloud()[0][0] == WAITING, "the waiting screen")
                        run.assertOk(run.drive("click-close-box"))
                        release()
                        self.assertTrue(run.wait_until_ended())
                finally:
                    run.close()
                    harness.kill_windows_processes("TessaraAppSetup.exe")
                self.assertIn("The user left the %s while it waited for another setup run; nothing was changed"
                              % name, run.log())
                self.assertNotIn(first_step, run.log())
                self.assertEqual(before, self.state_after())


if __name__ == "__main__":
    unittest.main()
