"""Payload sources besides plain HTTP, each over a real installation that a failure must keep: HTTPS from
127.0.0.1 under certificates of the test's own root, which the prefix's user is made to trust through the
system's certificate store; and files on a drive, on a share and behind a file URL."""
import re
import shutil
import subprocess

import harness
from test_install import PreviousInstallationBase

TRUST_ROOT = harness.BUILD / "tests" / "e2e" / "trustroot.exe"

CA_CONFIG = """[ca]
default_ca = test_ca
[test_ca]
dir = .
database = {name}.index
new_certs_dir = .
serial = {name}.serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
"""


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_root(folder, name):
    openssl(folder, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=Tessara Test " + name,
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", name + ".key", "-out", name + ".pem")
    openssl(folder, "x509", "-in", name + ".pem", "-outform", "DER", "-out", name + ".der")
    (folder / (name + ".cnf")).write_text(CA_CONFIG.format(name=name))
    (folder / (name + ".index")).write_text("")
    (folder / (name + ".serial")).write_text("1000\n")
    return folder / (name + ".der")


def issue(folder, root, name, host, valid=("-days", "30")):
    """A server certificate for `host` (a DNS name in subjectAltName) issued by `root`: (certificate, key)."""
    openssl(folder, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + host,
            "-addext", "subjectAltName=DNS:" + host, "-keyout", name + ".key", "-out", name + ".csr")
    openssl(folder, "ca", "-batch", "-config", root + ".cnf", "-extensions", "server", "-cert", root + ".pem",
            "-keyfile", root + ".key", "-in", name + ".csr", "-out", name + ".pem", "-notext", *valid)
    return str(folder / (name + ".pem")), str(folder / (name + ".key"))


def download_failure(run):
    return next((m for m in run.messages if m.startswith("Download ") and " failed" in m), None)


class SourceTableBase(PreviousInstallationBase):
    def run_row(self, url, name, failure):
        """Installs from url; with failure (a pattern), expects the download to fail for that reason in one
        go, with nothing installed and the previous installation as it was."""
        run = self.install(url, name)
        if failure is None:
            self.assert_installed(run)
            self.before = self.snapshot()
            return
        self.assert_failed_and_restored(run, 1)
        self.assertRegex(download_failure(run) or "", failure, run.log_text)
        self.assertFalse(any(m.startswith("Download attempt 2") for m in run.messages), run.log_text)
        self.assertEqual("Installation failed at the download step, exit code 1603", run.messages[-1])


class SecureSourceTest(SourceTableBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        tls = cls.work / "tls"
        tls.mkdir()
        cls.root = make_root(tls, "root")
        make_root(tls, "stranger")
        certificates = {
            "good": issue(tls, "root", "good", "localhost"),
            "expired": issue(tls, "root", "expired", "localhost",
                             ("-startdate", "20200101000000Z", "-enddate", "20200201000000Z")),
            "wrong-name": issue(tls, "root", "wrong-name", "files.orvix.example"),
            "unknown-root": issue(tls, "stranger", "unknown-root", "localhost"),
        }
        cls.secure = {name: harness.PayloadServer(certificate) for name, certificate in certificates.items()}
        done = harness.wine([TRUST_ROOT, "add", harness.to_windows(cls.root)], timeout=60)
        assert done.returncode == 0, "the prefix does not trust the test root (%d)" % done.returncode

    @classmethod
    def tearDownClass(cls):
        harness.wine([TRUST_ROOT, "remove", harness.to_windows(cls.root)], timeout=60)
        for server in cls.secure.values():
            server.close()
        super().tearDownClass()

    def test_only_a_sound_certificate_and_a_secure_chain_to_the_end_deliver_the_payload(self):
        plain = self.server.serve("/plain.zip", self.payload)
        rows = [
            ("good", self.secure["good"].serve("/payload.zip", self.payload), None),
            ("expired", self.secure["expired"].serve("/payload.zip", self.payload),
             r"secure connection to localhost:\d+ failed: its certificate has expired or is not yet valid$"),
            ("wrong host name", self.secure["wrong-name"].serve("/payload.zip", self.payload),
             r"secure connection to localhost:\d+ failed: its certificate is issued to another host name$"),
            ("unknown root", self.secure["unknown-root"].serve("/payload.zip", self.payload),
             r"secure connection to localhost:\d+ failed: its certificate does not chain to a trusted root$"),
            ("redirect to HTTP", self.secure["good"].serve("/to-plain.zip", plain.encode(), mode="redirect"),
             r"HTTPS.*HTTP"),
        ]
        for name, url, failure in rows:
            with self.subTest(name):
                self.run_row(url, "tls-" + name.replace(" ", "-"), failure)


class LocalSourceTest(SourceTableBase):
    SHARE_HOST = "fileserver.orvix.example"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = cls.work / "deploy files"
        cls.folder.mkdir()
        (cls.folder / "payload.zip").write_bytes(cls.payload)
        # The prefix's system answers a share's name from its "unc" device folder: the share is a link there.
        cls.share = harness.PREFIX / "dosdevices" / "unc" / cls.SHARE_HOST / "payloads"
        cls.share.parent.mkdir(parents=True, exist_ok=True)
        cls.share.unlink(missing_ok=True)
        cls.share.symlink_to(cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.share.parent.parent, ignore_errors=True)
        super().tearDownClass()

    def test_a_path_a_share_and_a_file_url_install_and_a_missing_file_fails_at_once(self):
        path = harness.to_windows(self.folder / "payload.zip")
        missing = harness.to_windows(self.folder / "missing.zip")
        rows = [
            ("path", path, None),
            ("share", r"\\%s\payloads\payload.zip" % self.SHARE_HOST, None),
            ("file URL", "file:///" + path.replace("\\", "/").replace(" ", "%20"), None),
            ("file URL of a share", "file://%s/payloads/payload.zip" % self.SHARE_HOST, None),
            ("missing file", missing, "^Download failed: the file %s was not found$" % re.escape(missing)),
            ("missing share", r"\\nowhere.orvix.example\payloads\payload.zip", r"^Download failed: the (file|share) "),
        ]
        for name, source, failure in rows:
            with self.subTest(name):
                self.run_row(source, "local-" + name.replace(" ", "-"), failure)

    def test_every_form_of_source_leaves_nothing_and_its_journal_is_never_set_aside(self):
        """A whole run from each form of source, then the next start: nothing of the run is left, and the
        next start finds nothing it would take for another program's."""
        (self.folder / "n\u00e4chste \u00fcbergabe.zip").write_bytes(self.payload)
        long_path = "/long.zip?" + "q" * 2000
        long_path += "x" * (2083 - len(self.server.url(long_path)))
        rows = [
            ("literal space", self.server.url("/with space.zip"), ["/with space.zip", "/with%20space.zip"]),
            ("2,083 characters", self.server.url(long_path), [long_path]),
            ("file URL", "file:///" + harness.to_windows(self.folder / "payload.zip").replace("\\", "/"), []),
            ("local path", harness.to_windows(self.folder / "payload.zip"), []),
            ("UNC form", r"\\%s\payloads\payload.zip" % self.SHARE_HOST, []),
            ("non-ASCII", harness.to_windows(self.folder / "n\u00e4chste \u00fcbergabe.zip"), []),
        ]
        journal = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix" / "TessaraSetup"
        for name, source, routes in rows:
            with self.subTest(name):
                for route in routes:
                    self.server.serve(route, self.payload)
                temp_before = self.temp_entries()
                self.run_row(source, "form-" + name.replace(" ", "-").replace(",", ""), None)
                next_start = harness.run_setup(harness.prepare_setup_folder("after-form"), "/silent", "/zipUrl",
                                               self.server.url("/missing.zip"))
                self.assertEqual([], [m for m in next_start.messages if "not one this program wrote" in m])
                self.assertEqual([], sorted(p.name for p in journal.glob("*")) if journal.exists() else [])
                self.assertEqual(temp_before, self.temp_entries())
