"""A password written into the payload URL is sent, never kept: after a finished run, after a run cut
while it downloads and after the start that clears up behind it, no file of the prefix (the registry
files, the profile with its temporary folder and Internet cache) and no log holds it."""
import base64
import os
import subprocess
import unittest

import harness
from test_install import InstallTestBase

USER = "deployer"
PASSWORD = "Plum-7Kq-Zebra-4471-xW"
# A kept password in any form it could take: as written, as a registry string, inside the Basic header.
NEEDLES = [PASSWORD.encode(), PASSWORD.encode("utf-16-le"), base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode())]


def files_below(folder):
    """Every file below a folder, without following links: the prefix links drive Z: to the whole host."""
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            if not os.path.islink(path):
                yield path


class PasswordAtRestTest(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = harness.stage_demo_application(cls.work / "secret", extra_files={"big.bin": os.urandom(4 << 20)})
        url = cls.server.serve("/secret-payload.zip", harness.make_payload(folder, cls.work / "secret.zip").read_bytes())
        cls.secret_url = url.replace("http://", "http://%s:%s@" % (USER, PASSWORD))
        cls.payload_folder = folder
        cls.journal = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix" / "TessaraSetup" / "run.journal"
        cls.cache = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Microsoft" / "Windows" / "INetCache"

    def holders(self):
        """The files that hold the password: the registry files (written out by ending the prefix's own
        server), the profiles with their temporary folders, and the runs' logs."""
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(harness.PREFIX)))
        places = [str(path) for path in harness.PREFIX.glob("*.reg")]
        for folder in (harness.PREFIX / "drive_c" / "users", harness.PREFIX / "drive_c" / "windows" / "temp",
                       self.work, harness.WORK / "secret-runs"):
            places += list(files_below(folder))
        found = []
        for path in places:
            with open(path, "rb") as file:
                data = file.read()
            found += ["%s (%r)" % (os.path.relpath(path, harness.PREFIX.parent), needle[:8])
                      for needle in NEEDLES if needle in data]
        return found

    def run_in(self, name, *args, program=harness.SETUP_EXE, env=None):
        folder = harness.prepare_setup_folder("secret-runs/" + name, program=program)
        return harness.run_setup(folder, *args, env=env)

    def cache_copies(self):
        return [p.name for p in self.cache.rglob("*secret-payload*")] if self.cache.exists() else []

    def test_no_password_is_kept_after_a_run_finished_or_cut(self):
        temp_before = self.temp_entries()

        def finished():
            self.assert_installed(self.run_in("finished", "/silent", "/zipUrl", self.secret_url), self.payload_folder)

        def cut_while_downloading():
            run = self.run_in("cut", "/silent", "/zipUrl", self.secret_url, program=harness.TEST_SETUP_EXE,
                              env={"TESSARA_TEST_STOP_AT": "downloading"})
            self.assertEqual(99, run.exit_code, run.log_text)
            # The cut run left its journal, naming its download without the password.
            self.assertIn(b"/secret-payload.zip", self.journal.read_bytes())
            # What the next start must clear up by the journal's note.
            self.assertNotEqual([], self.cache_copies())
            self.assertNotEqual(temp_before, self.temp_entries())

        def start_after_the_cut():
            self.run_in("next", "/silent", "/zipUrl", self.server.url("/missing.zip"))
            self.assertFalse(self.journal.exists())
            self.assertEqual(temp_before, self.temp_entries())
            self.assertEqual([], self.cache_copies())

        def earlier_journal_set_aside():
            # An earlier version's journal kept the URL whole; one that is set aside is kept for a look later.
            self.journal.parent.mkdir(parents=True, exist_ok=True)
            self.journal.write_bytes(("install\t0000000A-0000000000000001\ndownload\t%016X %s\nforeign\tline\n"
                                      % (1, self.secret_url)).encode())
            self.run_in("after-earlier", "/silent", "/zipUrl", self.server.url("/missing.zip"))
            rejected = self.journal.with_name("run.journal.rejected").read_bytes()
            self.assertIn(b"deployer:***@127.0.0.1", rejected)

        for label, step in (("a finished run", finished), ("a run cut while downloading", cut_while_downloading),
                            ("the start after the cut", start_after_the_cut),
                            ("an earlier version's journal set aside", earlier_journal_set_aside)):
            with self.subTest(label):
                step()
                self.assertEqual([], self.holders())


if __name__ == "__main__":
    unittest.main()
