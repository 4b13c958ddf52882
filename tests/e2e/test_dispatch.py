"""The run modes and exit codes of the real executable, chosen from its command line."""
import time
import unittest

import harness


class DispatchTest(unittest.TestCase):
    def setUp(self):
        harness.delete_registrations()

    def tearDown(self):
        harness.delete_registrations()

    def test_zipurl_without_value_fails_every_install_mode_and_msi_as_a_failed_installation(self):
        folder = harness.prepare_setup_folder("dispatch-zipurl")
        self.assertEqual(1, harness.run_setup(folder, "/silent", "/zipUrl").exit_code)
        # A package must never take a run that did not happen for an installation.
        run = harness.run_setup(folder, "/msi", "/zipUrl")
        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code)
        self.assertEqual(["No installation run began; the package is told that the installation failed",
                          "Installation failed at the start step, exit code 1603"], run.messages[-2:])
        # Switches are case-sensitive: "/MSI" is no switch, so this is an interactive run.
        run = harness.run_setup(folder, "/MSI", "/zipUrl")
        self.assertEqual(1, run.exit_code)
        self.assertEqual(['Installer with command line = "/MSI /zipUrl"'], run.messages[:1])

    def test_switches_count_only_as_arguments_of_their_own(self):
        """A trailing "/zipUrl" without a value ends every install mode before any window with 1, except
        "/msi" with 1603; the uninstall modes end with 0. So the exit code tells which mode was chosen."""
        cases = [
            # A URL that holds a switch selects nothing.
            (["/zipUrl", "http://h.example/uninstall/payload.zip", "/zipUrl"], 1),
            (["/zipUrl", "http://h.example/a/uninstallSelf", "/zipUrl"], 1),
            (["/silent", "/zipUrl", "http://h.example/msi/payload.zip", "/zipUrl"], 1),
            (["/zipUrl", "/uninstall", "/zipUrl"], 1),
            # A failed installation keeps its exit code when only the URL says "/msi".
            (["/silent", "/zipUrl", "http://127.0.0.1:9/msi/payload.zip"], harness.FAILED_INSTALL_EXIT_CODE),
            # Glued to other text: a longer word after a switch counts, text before it does not.
            (["/msiXYZ", "/zipUrl"], harness.FAILED_INSTALL_EXIT_CODE),
            (["x/msi", "/zipUrl"], 1),
            (["--/uninstall", "/zipUrl"], 1),
            # Other letter case is no switch.
            (["/Uninstall", "/zipUrl"], 1),
            (["/MSI", "/zipUrl"], 1),
        ]
        for args, exit_code in cases:
            with self.subTest(args=args):
                folder = harness.prepare_setup_folder("dispatch-switches")
                run = harness.run_setup(folder, *args)
                self.assertEqual(exit_code, run.exit_code, run.log_text)
                self.assertTrue((folder / "TessaraAppSetup.exe").exists())

    def test_config_url_that_does_not_fit_ends_the_run_like_the_command_lines(self):
        url = "http://127.0.0.1:9/" + "u" * 2100 + ".zip"
        folder = harness.prepare_setup_folder("dispatch-longconfig", "[urlConfig]\nzipUrl=%s\n" % url)
        run = harness.run_setup(folder, "/silent")
        self.assertEqual(1, run.exit_code, run.log_text)
        self.assertIn("The zipUrl of config.ini is too long (more than 2083 characters)", run.messages)
        self.assertNotIn("Starting installer thread", run.messages)
        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, harness.run_setup(folder, "/msi").exit_code)

    def test_uninstall_wins_over_the_install_modes(self):
        folder = harness.prepare_setup_folder("dispatch-uninstall")
        # An install mode would read "/zipUrl" and fail for the missing value; uninstall never does.
        run = harness.run_setup(folder, "/silent", "/uninstall", "/zipUrl")
        self.assertEqual(0, run.exit_code)
        self.assertEqual(['Installer with command line = "/silent /uninstall /zipUrl"'], run.messages[:1])

    def test_uninstall_self_only_removes_the_program_and_never_uninstalls(self):
        harness.reg("add", "HKCU\\" + harness.UNINSTALL_KEY, "/v", "DisplayName", "/d", "Orvix Tessara", "/f")
        folder = harness.prepare_setup_folder("dispatch-self")
        self.assertEqual(0, harness.run_setup(folder, "/uninstallSelf", "/uninstall").exit_code)
        self.assertTrue(harness.regdump(harness.UNINSTALL_KEY)["exists"])
        self.assertTrue(self.disappears(folder / "TessaraAppSetup.exe"), "the program removes itself")

        folder = harness.prepare_setup_folder("dispatch-uninstall-run")
        self.assertEqual(0, harness.run_setup(folder, "/uninstall").exit_code)
        self.assertFalse(harness.regdump(harness.UNINSTALL_KEY)["exists"])
        self.assertTrue(self.disappears(folder / "TessaraAppSetup.exe"))

    @staticmethod
    def disappears(path, seconds=20):
        deadline = time.time() + seconds
        while path.exists() and time.time() < deadline:
            time.sleep(0.2)
        return not path.exists()

    def test_log_keeps_only_the_last_run_and_a_missing_log_changes_nothing(self):
        folder = harness.prepare_setup_folder("dispatch-log")
        harness.run_setup(folder, "/silent", "/zipUrl")
        run = harness.run_setup(folder, "/msi", "/zipUrl")
        self.assertEqual('Installer with command line = "/msi /zipUrl"', run.messages[0])
        self.assertNotIn('Installer with command line = "/silent /zipUrl"', run.messages)
        self.assertRegex(run.log_text.splitlines()[0], r"^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) \w{3} [ \d]\d "
                                                       r"\d\d:\d\d:\d\d \d{4}\] :: ")

        # A working directory where the log cannot be created: same outcome, no log.
        blocked = harness.prepare_setup_folder("dispatch-nolog")
        (blocked / "debugLog.log").mkdir()
        self.assertEqual(1, harness.run_setup(blocked, "/silent", "/zipUrl").exit_code)
        self.assertTrue((blocked / "debugLog.log").is_dir())


if __name__ == "__main__":
    unittest.main()
