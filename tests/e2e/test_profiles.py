"""Installation with a temporary folder and a roaming profile whose paths are not in the ANSI code page,
and with a temporary folder as long as Windows makes them."""
import os
import shutil
import unittest

import harness
from test_install import InstallTestBase

NON_ASCII = "Пользователь-用户"


class NonAsciiProfileTest(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        cls.original_appdata = harness.regdump(harness.SHELL_FOLDERS_KEY[5:])["values"]["AppData"]
        profile = harness.expand("%USERPROFILE%")
        cls.windows_appdata = profile + "\\" + NON_ASCII + "\\AppData\\Roaming"
        cls.windows_temp = profile + "\\" + NON_ASCII + "\\Temp"
        harness.to_unix(cls.windows_appdata).mkdir(parents=True, exist_ok=True)
        harness.to_unix(cls.windows_temp).mkdir(parents=True, exist_ok=True)
        harness.reg("add", harness.SHELL_FOLDERS_KEY, "/v", "AppData", "/t", "REG_EXPAND_SZ",
                    "/d", cls.windows_appdata, "/f")
        cls.original_environment = harness.redirect_temp_folder(cls.windows_temp)
        super().setUpClass()
        cls.appdata = harness.to_unix(cls.windows_appdata)
        cls.temp = harness.to_unix(cls.windows_temp)

    @classmethod
    def tearDownClass(cls):
        harness.reg("add", harness.SHELL_FOLDERS_KEY, "/v", "AppData", "/t", "REG_EXPAND_SZ",
                    "/d", harness.registry_text(cls.original_appdata), "/f")
        harness.restore_temp_folder(cls.original_environment)
        shutil.rmtree(harness.to_unix(cls.windows_appdata).parent.parent, ignore_errors=True)
        super().tearDownClass()

    def test_installs_there_and_a_failed_run_restores(self):
        url = self.server.serve("/payload.zip", self.payload)
        run = self.install(url, "nonascii-1")
        self.assert_installed(run)
        self.assertTrue(str(self.install_folder).startswith(str(self.appdata)))
        (self.install_folder / "настройки.ini").write_text("kept=yes\n")
        before = harness.tree_digest(self.install_folder)
        temp_before = self.temp_entries()

        # A payload that fails only after it has replaced the installation, so that the backup is used.
        no_detector = harness.stage_demo_application(self.work / "no-detector", with_detector=False)
        url = self.server.serve("/no-detector.zip",
                                harness.make_payload(no_detector, self.work / "no-detector.zip").read_bytes())
        run = self.install(url, "nonascii-2")

        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
        self.assertIn("Startup keys success=0", run.messages)
        self.assertEqual(before, harness.tree_digest(self.install_folder))
        self.assertEqual(temp_before, self.temp_entries())
        self.assertTrue(any(m.startswith("Restoring backup from ") for m in run.messages))
        # The log line names the folder lossily in the ANSI code page; the work happened inside it.
        lossy_temp = self.windows_temp.encode("cp1252", "replace").decode("cp1252")
        self.assertTrue(any(m.startswith("Removing extracted payload from " + lossy_temp) for m in run.messages),
                        run.log_text)


class LongTempFolderTest(InstallTestBase):
    """Temp under a long profile path, with a folder per session, is longer than the install folder: a
    file whose install path has 259 characters is extracted to a path of more than 260."""

    @classmethod
    def setUpClass(cls):
        cls.install_path = harness.expand("%APPDATA%") + "\\Orvix\\Tessara"
        temp = harness.expand("%USERPROFILE%\\AppData\\Local\\Temp\\")
        cls.windows_temp = temp + "s" * max(1, len(cls.install_path) + 30 - len(temp))
        harness.to_unix(cls.windows_temp).mkdir(parents=True, exist_ok=True)
        cls.original_environment = harness.redirect_temp_folder(cls.windows_temp)
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        harness.restore_temp_folder(cls.original_environment)
        shutil.rmtree(harness.to_unix(cls.windows_temp), ignore_errors=True)
        super().tearDownClass()

    def test_a_file_with_an_install_path_of_259_characters_installs(self):
        length = 259 - len(self.install_path) - 1
        relative = "d" * 100 + "/" + "f" * (length - 101)
        extraction_path = self.windows_temp + "\\Tess0000.tmp\\" + relative
        self.assertGreater(len(extraction_path), 260, "the extraction path is the longer one")
        payload_dir = harness.stage_demo_application(self.work / "long", extra_files={relative: b"far down"})
        url = self.server.serve("/long.zip", harness.make_payload(payload_dir, self.work / "long.zip").read_bytes())

        self.assert_installed(self.install(url, "long-temp"), payload_dir)
        self.assertEqual(259, len(self.install_path + "\\" + relative))


if __name__ == "__main__":
    unittest.main()
