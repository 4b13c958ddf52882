"""An update downloads only the files that differ from the installation, and falls back to the whole
payload whenever the server or the archive does not play along. The real setup program installs one
version and then the next from a range-capable server on 127.0.0.1 that counts the bytes it sends."""
import os
import pathlib
import shutil
import sys
import unittest

import harness
from test_install import InstallTestBase

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "engine"))
from range_server import RangeServer  # noqa: E402

FILES = 40
CHANGED = ("data/file03.bin", "data/file17.bin")


class UpdateTest(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        files = {"data/file%02d.bin" % i: os.urandom(20000 + 500 * i) for i in range(FILES)}
        old = harness.stage_demo_application(cls.work / "old", extra_files=files)
        new = cls.work / "new"
        shutil.copytree(old, new)
        for name in CHANGED:
            (new / name).write_bytes(os.urandom(20000))
        third = cls.work / "third"
        shutil.copytree(new, third)
        (third / CHANGED[0]).write_bytes(os.urandom(30000))
        cls.old_dir, cls.new_dir, cls.third_dir = old, new, third
        cls.old_zip = harness.make_payload(old, cls.work / "old.zip").read_bytes()
        cls.new_zip = harness.make_payload(new, cls.work / "new.zip").read_bytes()
        cls.third_zip = harness.make_payload(third, cls.work / "third.zip").read_bytes()
        cls.ranges = RangeServer({"/old.zip": cls.old_zip, "/new.zip": cls.new_zip})
        cls.no_ranges = RangeServer({"/new.zip": cls.new_zip}, ranges=False)

    @classmethod
    def tearDownClass(cls):
        cls.ranges.stop()
        cls.no_ranges.stop()
        super().tearDownClass()

    def update(self, server, name, misdeeds=(), result=None):
        self.assert_installed(self.install(self.ranges.base + "/old.zip", name + "-old"), self.old_dir)
        harness.kill_windows_processes("tessaradetector.exe")
        server.files["/new.zip"] = self.new_zip
        server.misdeeds = {"/new.zip": list(misdeeds)}
        sent = server.sent
        run = self.install(server.base + "/new.zip", name)
        self.assert_installed(run, result or self.new_dir)
        return run, server.sent - sent

    def test_an_update_downloads_only_the_changed_files(self):
        run, sent = self.update(self.ranges, "update-changed")
        # The demo application's four files are unchanged too.
        self.assertRegex(run.log_text, r"Update from changed files: %d of %d files reused from the installation, "
                                       r"\d+ of %d bytes downloaded in [3-6] requests"
                                       % (FILES + 4 - len(CHANGED), FILES + 4, len(self.new_zip)))
        self.assertNotIn("downloading the whole payload", run.log_text)
        self.assertLess(sent, len(self.new_zip) / 5)

    def test_an_update_falls_back_to_the_whole_payload(self):
        cases = [
            ("update-no-ranges", self.no_ranges, [], "the server offers no byte ranges", self.new_dir),
            # A new version is published after the end of the archive has been read.
            ("update-file-changed", self.ranges, [("pass",), ("change", self.third_zip)],
             "the server sent the whole file: it ignores ranges or the file changed", self.third_dir),
        ]
        for name, server, misdeeds, reason, result in cases:
            with self.subTest(name):
                run, sent = self.update(server, name, misdeeds, result)
                self.assertIn("Update from changed files not possible: %s; downloading the whole payload" % reason,
                              run.messages)
                self.assertGreaterEqual(sent, len(self.new_zip))

if __name__ == "__main__":
    unittest.main()
