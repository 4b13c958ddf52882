"""An update downloads only the files that differ from the installation, and falls back to the whole
payload whenever the server or the archive does not play along. The real setup program installs one
version and then the next from a range-capable server on 127.0.0.1 that counts the bytes it sends."""
import io
import os
import pathlib
import shutil
import sys
import unittest
import zipfile

import harness
from test_install import InstallTestBase

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "engine"))
from range_server import RangeServer  # noqa: E402

FILES = 40
CHANGED = ("data/file03.bin", "data/file17.bin")


def changed_copy(source, target, names):
    """A copy of the payload folder with the named files changed: programs keep their headers and
    resources and gain bytes at the end, data files get new bytes of the same size."""
    shutil.copytree(source, target)
    for name in names:
        path = target / name
        path.write_bytes(path.read_bytes() + os.urandom(3000) if name.endswith(".exe")
                         else os.urandom(path.stat().st_size))
    return target


def padded(zip_bytes, padding):
    """The same entries behind `padding` bytes that no entry covers: a server announcing an archive far
    larger than the files its manifest signs."""
    out = io.BytesIO(b"\0" * padding)
    with zipfile.ZipFile(io.BytesIO(zip_bytes)) as source, zipfile.ZipFile(out, "a") as target:
        for item in source.infolist():
            target.writestr(item, source.read(item.filename))
    return out.getvalue()


class UpdateTest(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        files = {"data/file%02d.bin" % i: os.urandom(50000 + 1000 * i) for i in range(FILES)}
        old = harness.stage_demo_application(cls.work / "old", extra_files=files)
        new = changed_copy(old, cls.work / "new", CHANGED)
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

    def update(self, server, name, misdeeds=(), result=None, served=None, damaged=()):
        self.assert_installed(self.install(self.ranges.base + "/old.zip", name + "-old"), self.old_dir)
        harness.kill_windows_processes("tessaradetector.exe")
        for file in damaged:  # the same size, other bytes: only reading the file tells
            (self.install_folder / file).write_bytes(os.urandom((self.install_folder / file).stat().st_size))
        server.files["/new.zip"] = served or self.new_zip
        server.misdeeds = {"/new.zip": list(misdeeds)}
        sent, inodes = server.sent, self.inodes()
        run = self.install(server.base + "/new.zip", name)
        self.assert_installed(run, result or self.new_dir)
        return run, server.sent - sent, inodes

    def inodes(self):
        """Installed file (lower case) -> the file it names on the disk."""
        return {p.relative_to(self.install_folder).as_posix().lower(): p.stat().st_ino
                for p in self.install_folder.rglob("*") if p.is_file()}

    def test_an_update_downloads_only_what_changed_whatever_its_place(self):
        # In manifest order Tessara.exe comes first and tessaradetector.exe last.
        cases = (("repair", (), ()), ("repair-damaged", (), ("data/file30.bin",)),
                 ("first", ("Tessara.exe",), ()), ("last", ("tessaradetector.exe",), ()),
                 ("two-percent", ("data/file20.bin",), ()), ("several", CHANGED, ()))
        for name, changed, damaged in cases:
            with self.subTest(name):
                folder = changed_copy(self.old_dir, self.work / ("update-" + name), changed)
                payload = harness.make_payload(folder, self.work / ("update-%s.zip" % name)).read_bytes()
                run, sent, inodes = self.update(self.ranges, "update-" + name, result=folder, served=payload,
                                                damaged=damaged)
                self.assertRegex(run.log_text, r"Update from changed files: %d of %d files reused from the "
                                               r"installation, \d+ of %d bytes downloaded"
                                               % (FILES + 4 - len(changed) - len(damaged), FILES + 4, len(payload)))
                self.assertNotIn("downloading the whole payload", run.log_text)
                self.assertNotIn("Payload check failed", run.log_text)
                self.assertLess(sent, len(payload) / 10)
                # Reused files are not written again: the same files under a second name, except the
                # programs, which are copied so that the old installation can go while they run.
                fresh = {f.lower() for f in changed + damaged} | {"digest.s"}
                after = self.inodes()
                self.assertEqual({f for f in inodes if f not in fresh and not f.endswith(".exe")},
                                 {f for f in inodes if after.get(f) == inodes[f]})

    def test_an_update_falls_back_to_the_whole_payload(self):
        cases = [
            ("update-no-ranges", self.no_ranges, [], "the server offers no byte ranges", self.new_dir, None),
            # A new version is published after the end of the archive has been read.
            ("update-file-changed", self.ranges, [("pass",), ("change", self.third_zip)],
             "the server sent the whole file: it ignores ranges or the file changed", self.third_dir, None),
            ("update-oversized", self.ranges, [], "the archive is larger than the files it signs", self.new_dir,
             padded(self.new_zip, 24 << 20)),
        ]
        for name, server, misdeeds, reason, result, served in cases:
            with self.subTest(name):
                run, sent, _ = self.update(server, name, misdeeds, result, served)
                self.assertIn("Update from changed files not possible: %s; downloading the whole payload" % reason,
                              run.messages)
                self.assertGreaterEqual(sent, len(served or self.new_zip))

    def test_a_failed_fallback_leaves_the_installation_as_it_was(self):
        """The update places files and then breaks off; the whole payload it falls back to changes one of
        the placed files and fails at the last step. Placed files are second names of the installed ones,
        so the fallback must not write over them: the installation is restored exactly."""
        fourth = changed_copy(self.new_dir, self.work / "fourth", ("data/file30.bin",))
        (fourth / "tessaradetector.exe").unlink()
        fourth_zip = harness.make_payload(fourth, self.work / "fourth.zip").read_bytes()
        self.assert_installed(self.install(self.ranges.base + "/old.zip", "fallback-failed-old"), self.old_dir)
        harness.kill_windows_processes("tessaradetector.exe")
        self.ranges.files["/new.zip"] = self.new_zip
        # The end of the archive and the manifest arrive; the first changed entry breaks off.
        self.ranges.misdeeds = {"/new.zip": [("pass",), ("pass",), ("reset", 100), ("change", fourth_zip)]}
        run = self.install(self.ranges.base + "/new.zip", "fallback-failed")
        self.assertIn("downloading the whole payload", run.log_text)
        self.assertIn("Installer thread finished: stage=7 error=1", run.messages, run.log_text)
        installed = harness.tree_digest(self.install_folder)
        del installed["digest.s"]
        self.assertEqual(harness.tree_digest(self.old_dir), installed)


if __name__ == "__main__":
    unittest.main()
