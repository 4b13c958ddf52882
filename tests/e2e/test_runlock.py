"""One run per user at a time: the lock covers a run, not a window that rests on its result."""
import time
import unittest

import harness
from test_install import InstallTestBase
from test_window import MAIN, WindowRun

ANOTHER_RUN_EXIT_CODE = 1618 % 256
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

if __name__ == "__main__":
    unittest.main()
