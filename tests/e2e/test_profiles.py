"""Installation with a temporary folder and a roaming profile whose paths are not in the ANSI code page."""
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
        cls.original_environment = harness.regdump(harness.ENVIRONMENT_KEY[5:])["values"]
        profile = harness.expand("%USERPROFILE%")
        cls.windows_appdata = profile + "\\" + NON_ASCII + "\\AppData\\Roaming"
        cls.windows_temp = profile + "\\" + NON_ASCII + "\\Temp"
        harness.to_unix(cls.windows_appdata).mkdir(parents=True, exist_ok=True)
        harness.to_unix(cls.windows_temp).mkdir(parents=True, exist_ok=True)
        harness.reg("add", harness.SHELL_FOLDERS_KEY, "/v", "AppData", "/t", "REG_EXPAND_SZ",
                    "/d", cls.windows_appdata, "/f")
        # Wine takes TEMP and TMP from the user's environment in the registry, not from Linux.
        for name in ("TEMP", "TMP"):
            harness.reg("add", harness.ENVIRONMENT_KEY, "/v", name, "/t", "REG_EXPAND_SZ", "/d", cls.windows_temp, "/f")
        super().setUpClass()
        cls.appdata = harness.to_unix(cls.windows_appdata)
        cls.temp = harness.to_unix(cls.windows_temp)

    @classmethod
    def tearDownClass(cls):
        def text(value):
            return bytes.fromhex(value["hex"]).decode("utf-16-le").rstrip("\0")

        harness.reg("add", harness.SHELL_FOLDERS_KEY, "/v", "AppData", "/t", "REG_EXPAND_SZ",
                    "/d", text(cls.original_appdata), "/f")
        for name in ("TEMP", "TMP"):
            if name in cls.original_environment:
                harness.reg("add", harness.ENVIRONMENT_KEY, "/v", name, "/t", "REG_EXPAND_SZ",
                            "/d", text(cls.original_environment[name]), "/f")
            else:
                harness.reg("delete", harness.ENVIRONMENT_KEY, "/v", name, "/f")
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

        url = self.server.serve("/broken.zip", b"not a zip" * 50)
        run = self.install(url, "nonascii-2")

        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
        self.assertIn("Payload check failed", run.messages)
        self.assertEqual(before, harness.tree_digest(self.install_folder))
        self.assertEqual(temp_before, self.temp_entries())
        self.assertTrue(any(m.startswith("Restoring backup from ") for m in run.messages))
        # The log line names the folder lossily in the ANSI code page; the work happened inside it.
        lossy_temp = self.windows_temp.encode("cp1252", "replace").decode("cp1252")
        self.assertTrue(any(m.startswith("Removing extracted payload from " + lossy_temp) for m in run.messages),
                        run.log_text)


if __name__ == "__main__":
    unittest.main()
