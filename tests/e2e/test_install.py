"""Silent installations of real signed payloads from an HTTP server on 127.0.0.1."""
import base64
import hashlib
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import unittest
import zipfile

import harness

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "engine"))
from range_server import RangeServer  # noqa: E402

SUCCESS_LINES = [
    "Starting installer thread",
    "Silent install, Stopping the tessara processes",
    "Silent install, Stopping tessara detector",
    "Stopping tessara processes",
    "Stopping detector process",
    "Starting file download",
    "Extracting files",
    "Extracting files success",
    "Checking payload",
    "Payload check success",
    "Payload copy success",
    "file download success=1",
    "Creating uninstall keys",
    "uninstall keys succcess=1",
    "Creating protocol keys",
    "protocol keys success=1",
    "Creating startup keys",
    "Startup keys success=1",
    "Committing transaction",
    "Starting Detector process",
    "Installer thread finished: stage=9 error=0",
]


def utf16(text):
    """A registry string as the program writes it: with its terminating NUL."""
    return (text + "\0").encode("utf-16-le").hex()


def is_subsequence(expected, actual):
    position = 0
    for line in actual:
        if position < len(expected) and line == expected[position]:
            position += 1
    return position == len(expected)


def repack(source_zip, out_zip, change):
    """The entries of a payload zip, changed by `change` (a dict from entry name to bytes), in a new zip."""
    with zipfile.ZipFile(source_zip) as source:
        entries = {item.filename: source.read(item.filename) for item in source.infolist()}
    change(entries)
    with zipfile.ZipFile(out_zip, "w", zipfile.ZIP_DEFLATED) as target:
        for name, data in entries.items():
            target.writestr(name, data)
    return pathlib.Path(out_zip).read_bytes()


def sign_manifest(manifest, work):
    """digest.s for a manifest written here, signed with the development root."""
    (work / "manifest.txt").write_bytes(manifest)
    subprocess.run([harness.PAYLOAD_TOOL, "sign", "--manifest", work / "manifest.txt", "--key",
                    harness.DEV_ROOT / "dev-root.key.pem", "--cert", harness.DEV_ROOT / "dev-root.pem", "--out",
                    work / "digest.s"], check=True, capture_output=True)
    return (work / "digest.s").read_bytes()


def manifest_of(folder):
    return subprocess.run([harness.PAYLOAD_TOOL, "manifest", "--folder", folder], check=True,
                          capture_output=True).stdout


class InstallTestBase(unittest.TestCase):
    """Starts the server, packs the payloads once, and gives each test a clean profile."""

    @classmethod
    def setUpClass(cls):
        cls.work = harness.WORK / cls.__name__
        if cls.work.exists():
            shutil.rmtree(cls.work)
        cls.work.mkdir(parents=True)
        cls.server = harness.PayloadServer()
        cls.payload_dir = harness.stage_demo_application(cls.work / "payload")
        cls.payload = harness.make_payload(cls.payload_dir, cls.work / "payload.zip").read_bytes()
        cls.appdata = harness.to_unix(harness.expand("%APPDATA%"))
        cls.temp = harness.to_unix(harness.expand("%TEMP%"))

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    @property
    def install_folder(self):
        return self.appdata / "Orvix" / "Tessara"

    @property
    def legacy_folder(self):
        return self.appdata / "Cindervale" / "Gleam Player"

    def setUp(self):
        harness.kill_windows_processes("tessaradetector.exe", "Tessara.exe", "holdfile.exe")
        for folder in (self.install_folder, self.legacy_folder):
            shutil.rmtree(folder, ignore_errors=True)
        harness.delete_registrations()

    def tearDown(self):
        harness.kill_windows_processes("tessaradetector.exe", "Tessara.exe", "holdfile.exe")

    def temp_entries(self):
        return sorted(p.name for p in self.temp.iterdir()) if self.temp.exists() else []

    def install(self, url, name, config=None, env=None):
        folder = harness.prepare_setup_folder(name, config)
        return harness.run_setup(folder, "/silent", "/zipUrl", url, env=env)

    def assert_installed(self, run, payload_dir=None):
        self.assertEqual(0, run.exit_code, run.log_text)
        expected = harness.tree_digest(payload_dir or self.payload_dir)
        installed = harness.tree_digest(self.install_folder)
        self.assertIn("digest.s", installed)
        del installed["digest.s"]
        self.assertEqual(expected, installed)


class FirstInstallationTest(InstallTestBase):
    def test_installs_registers_starts_the_detector_and_creates_the_configured_shortcuts(self):
        url = self.server.serve("/payload.zip", self.payload)
        desktop = harness.to_unix(harness.expand("%USERPROFILE%")) / "Desktop" / "Orvix Tessara.lnk"
        programs = self.appdata / "Microsoft" / "Windows" / "Start Menu" / "Programs" / "Orvix Tessara.lnk"
        for link in (desktop, programs):
            link.unlink(missing_ok=True)
        programs.parent.mkdir(parents=True, exist_ok=True)
        programs.write_bytes(b"an old link")
        temp_before = self.temp_entries()

        # The command line's URL wins over the one in "config.ini".
        config = "[urlConfig]\nzipUrl=%s\n[shortcutConfig]\ndesktopShortcut=1\nstartMenuShortcut=0\n"
        run = self.install(url, "first", config=config % self.server.url("/not-this-one.zip"))

        self.assert_installed(run)
        self.assertTrue(is_subsequence(SUCCESS_LINES, run.messages), run.log_text)
        self.assertEqual(temp_before, self.temp_entries(), "no temporary file or folder is left behind")

        folder = harness.expand("%APPDATA%") + r"\Orvix\Tessara"
        exe = folder + r"\Tessara.exe"
        values = harness.regdump(harness.UNINSTALL_KEY)["values"]
        self.assertEqual(10, len(values))
        self.assertEqual({"type": 1, "size": 28, "hex": utf16("Orvix Tessara")}, values["DisplayName"])
        self.assertEqual(utf16('"%s" /uninstall' % exe), values["UninstallString"]["hex"])
        self.assertEqual(utf16(folder.replace("\\", "/")), values["InstallLocation"]["hex"])
        for flag in ("NoModify", "NoRepair"):
            self.assertEqual({"type": 4, "size": 4, "hex": "ffffffff"}, values[flag])
        self.assertEqual({"type": 1, "size": 38, "hex": utf16("Orvix Systems Inc.")}, values["Publisher"])
        self.assertEqual(utf16(exe + ",0"), values["DisplayIcon"]["hex"])
        self.assertTrue(harness.registry_text(values["HelpLink"]).endswith("/orvix-tessara.html"))
        size = sum(p.stat().st_size for p in self.install_folder.rglob("*") if p.is_file())
        self.assertEqual(struct.pack("<I", size // 1024).hex(), values["EstimatedSize"]["hex"])
        self.assertEqual(4, values["EstimatedSize"]["type"])
        version = harness.registry_text(values["DisplayVersion"])
        self.assertRegex(version, r"^\d+\.\d+\.\d+\.\d+$")
        self.assertNotEqual("1.0.0.0", version, "the product version, not the file version")

        protocol = harness.regdump(harness.PROTOCOL_KEY)
        self.assertEqual({"type": 1, "size": 36, "hex": utf16("URL:Orvix Tessara")}, protocol["values"][""])
        self.assertEqual({"type": 1, "size": 2, "hex": utf16("")}, protocol["values"]["URL Protocol"])
        self.assertEqual(utf16(exe + ",1"),
                         harness.regdump(harness.PROTOCOL_KEY + r"\DefaultIcon")["values"][""]["hex"])
        self.assertEqual(utf16('"%s" "%%1"' % exe),
                         harness.regdump(harness.PROTOCOL_KEY + r"\shell\open\command")["values"][""]["hex"])
        run_value = harness.regdump(harness.RUN_KEY)["values"]["TessaraDetector"]
        self.assertEqual(utf16('"%s\\tessaradetector.exe"' % folder), run_value["hex"])

        self.assertIn("tessaradetector.exe", harness.running_image_names())
        self.assertTrue(desktop.exists())
        self.assertFalse(programs.exists(), "a false flag removes an existing link")

    def test_a_file_the_manifest_does_not_sign_never_reaches_the_install_folder(self):
        planted = self.work / "planted.zip"
        shutil.copy(self.work / "payload.zip", planted)
        with zipfile.ZipFile(planted, "a") as archive:
            archive.writestr("version.dll", b"MZ not signed by us")
        url = self.server.serve("/planted.zip", planted.read_bytes())
        run = self.install(url, "planted")
        self.assert_installed(run)
        self.assertFalse((self.install_folder / "version.dll").exists())

    def test_unlisted_entries_are_never_written_not_even_to_temp(self):
        """A correctly signed payload plus a zip bomb and a planted folder that the manifest does not name."""
        bomb = self.work / "bomb.zip"
        shutil.copy(self.work / "payload.zip", bomb)
        with zipfile.ZipFile(bomb, "a", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("planted/version.dll", b"MZ not signed by us")
            with archive.open("zeros.bin", "w", force_zip64=True) as entry:
                chunk = bytes(1 << 20)
                for _ in range(300):
                    entry.write(chunk)
        data = bomb.read_bytes()
        self.assertLess(len(data), 2 << 20)
        url = self.server.serve("/bomb.zip", data)
        signed_size = sum(p.stat().st_size for p in self.payload_dir.rglob("*") if p.is_file())

        peak = [0]
        running = threading.Event()
        running.set()

        def watch_temp():
            while running.is_set():
                size = 0
                for path in self.temp.rglob("*"):
                    try:
                        size += path.stat().st_size if path.is_file() else 0
                    except OSError:
                        pass
                peak[0] = max(peak[0], size)
                time.sleep(0.01)

        base = sum(p.stat().st_size for p in self.temp.rglob("*") if p.is_file())
        watcher = threading.Thread(target=watch_temp)
        watcher.start()
        try:
            run = self.install(url, "bomb")
        finally:
            running.clear()
            watcher.join()
        self.assert_installed(run)
        # The download itself lies in Temp as well; the signature travels with the signed files.
        self.assertLess(peak[0] - base, signed_size + len(data) + (1 << 20), "Temp grew past the signed files")

    def test_a_manifest_without_per_file_lines_is_unpacked_as_it_arrives_and_checked_by_the_one_digest(self):
        """The one digest is taken while the files arrive; files that come in another order than the
        manifest's are read back for it, and a changed file fails it either way."""
        old_format = b"".join(line for line in manifest_of(self.payload_dir).splitlines(keepends=True)
                              if not line.startswith(b"<File "))
        digest_s = sign_manifest(old_format, self.work)

        def reordered(entries):
            files = sorted((name for name in entries if name != "digest.s"), reverse=True)
            moved = {"digest.s": digest_s, **{name: entries[name] for name in files}}
            entries.clear()
            entries.update(moved)

        def changed(entries):
            entries.update({"digest.s": digest_s, "resources/strings.txt": b"changed"})

        cases = [("in the manifest's order", lambda entries: entries.update({"digest.s": digest_s}), True),
                 ("in another order", reordered, True),
                 ("with a changed file", changed, False)]
        for number, (name, change, installs) in enumerate(cases):
            with self.subTest(name):
                shutil.rmtree(self.install_folder, ignore_errors=True)
                data = repack(self.work / "payload.zip", self.work / "old-format.zip", change)
                run = self.install(self.server.serve("/old-format-%d.zip" % number, data), "old-format")
                self.assertTrue(any(m.startswith("The payload's") and m.endswith("files were unpacked while it "
                                                                                "downloaded") for m in run.messages),
                                run.log_text)
                self.assertIn("The payload carries no per-file digests; its files are checked by the one digest "
                              "over all", run.messages)
                if installs:
                    self.assert_installed(run)
                else:
                    self.assertIn("Whole digest check failed for the payload's files", run.messages)
                    self.assertFalse(self.install_folder.exists())

    def test_server_without_length_still_installs_from_the_configured_url(self):
        url = self.server.serve("/nolength.zip", self.payload, mode="nolength")
        folder = harness.prepare_setup_folder("nolength", "[urlConfig]\nzipUrl=%s\n" % url)
        run = harness.run_setup(folder, "/silent")
        self.assert_installed(run)
        self.assertIn("Starting file download from " + url, run.messages)

    def test_each_archive_is_unpacked_as_it_arrives_or_after_its_download_and_installs_the_same(self):
        """Only an archive that begins with its manifest, lists in its directory exactly the entries it holds
        and arrives in one piece is unpacked while it downloads; any other is unpacked afterwards. Either
        way exactly the signed files are installed and nothing is left in Temp."""
        extra = self.work / "extra.zip"
        shutil.copy(self.work / "payload.zip", extra)
        with zipfile.ZipFile(extra, "a") as archive:
            archive.writestr("extra.txt", b"not signed")
        data = extra.read_bytes()
        at = data.rfind(b"extra.txt")
        renamed = data[:at] + b"extra.txu" + data[at + len("extra.txu"):]
        manifest_last = harness.manifest_last(self.work / "payload.zip", self.work / "last.zip").read_bytes()
        # Half the archive, then silence past the stall time: the rest comes by a range request.
        ranges = RangeServer({"/resumed.zip": self.payload, "/unavailable.zip": self.payload})
        ranges.misdeeds = {"/resumed.zip": [("stall", len(self.payload) // 2, 20)],
                           "/unavailable.zip": [("status", 503, None)]}
        after = "The payload is unpacked after its download: "
        cases = [
            ("as packed", self.server.serve("/arrival.zip", self.payload),
             "The payload's 4 files were unpacked while it downloaded"),
            ("manifest last", self.server.serve("/last.zip", manifest_last), after + "no signed manifest arrived first"),
            ("directory names another entry", self.server.serve("/renamed.zip", renamed),
             after + "the archive's directory does not list the entries it holds"),
            ("resumed", ranges.base + "/resumed.zip",
             after + "the download's first attempt failed (connection reset after "),
            ("unavailable at first", ranges.base + "/unavailable.zip",
             after + "the download's first attempt failed (server answered 503)"),
        ]
        try:
            for name, url, line in cases:
                with self.subTest(name):
                    shutil.rmtree(self.install_folder, ignore_errors=True)
                    before = self.temp_entries()
                    run = self.install(url, "arrival-" + name.replace(" ", "-"),
                                       env={"TESSARA_TEST_STALL_MS": "2000", "TESSARA_TEST_RETRY_PAUSE_MS": "100"})
                    self.assert_installed(run)
                    self.assertTrue(any(m.startswith(line) for m in run.messages), run.messages)
                    self.assertEqual(before, self.temp_entries())
        finally:
            ranges.stop()


class ReinstallationTest(InstallTestBase):
    def test_replaces_the_previous_installation_and_removes_the_legacy_folder(self):
        url = self.server.serve("/payload.zip", self.payload)
        self.assert_installed(self.install(url, "reinstall-1"))
        (self.install_folder / "left-over.txt").write_text("from an old version")
        legacy_bin = self.legacy_folder / "www.gleamplayer.example" / "bin" / "orvixtessaraaddin"
        legacy_bin.mkdir(parents=True)
        (legacy_bin / "addin.dll").write_bytes(b"legacy add-in")
        temp_before = self.temp_entries()

        run = self.install(url, "reinstall-2")

        self.assert_installed(run)
        self.assertFalse(legacy_bin.exists())
        self.assertIn("Backing up %s to " % (harness.expand("%APPDATA%") + r"\Orvix\Tessara"),
                      "\n".join(run.messages))
        self.assertEqual(temp_before, self.temp_entries(), "the backup root is gone")


class PreviousInstallationBase(InstallTestBase):
    """Each test begins with an installation, a legacy folder and registrations that a failure must keep."""

    def setUp(self):
        super().setUp()
        url = self.server.serve("/previous.zip", self.payload)
        self.assert_installed(self.install(url, "previous"))
        harness.kill_windows_processes("tessaradetector.exe")
        (self.install_folder / "user-settings.ini").write_text("kept=yes\n")
        legacy_bin = self.legacy_folder / "www.gleamplayer.example" / "bin" / "orvixtessaraaddin"
        legacy_bin.mkdir(parents=True)
        (legacy_bin / "addin.dll").write_bytes(os.urandom(3000))
        harness.reg("add", "HKCU\\" + harness.RUN_KEY, "/v", "SomeoneElse", "/d", "other.exe", "/f")
        self.before = self.snapshot()

    def tearDown(self):
        harness.reg("delete", "HKCU\\" + harness.RUN_KEY, "/v", "SomeoneElse", "/f")
        super().tearDown()

    def snapshot(self):
        return (harness.tree_digest(self.install_folder), harness.tree_digest(self.legacy_folder),
                harness.registry_snapshot(), self.temp_entries())

    def assert_failed_and_restored(self, run, stage, exit_code=harness.FAILED_INSTALL_EXIT_CODE):
        self.assertEqual(exit_code, run.exit_code, run.log_text)
        self.assertIn("Rolling back transaction", run.messages)
        self.assertIn("Installer thread finished: stage=%d error=1" % stage, run.messages, run.log_text)
        after = self.snapshot()
        self.assertEqual(self.before[0], after[0], "install folder")
        self.assertEqual(self.before[1], after[1], "legacy folder")
        self.assertEqual(self.before[2], after[2], "registry")
        self.assertEqual(self.before[3], after[3], "temporary files")


class FailedInstallationTest(PreviousInstallationBase):
    """Every failure leaves the previous installation, the legacy folder and the registry as they were."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        no_detector = harness.stage_demo_application(cls.work / "no-detector", with_detector=False)
        cls.no_detector = harness.make_payload(no_detector, cls.work / "no-detector.zip").read_bytes()
        key, cert = harness.make_other_authority(cls.work / "other")
        cls.other = harness.make_payload(cls.payload_dir, cls.work / "other.zip", key=key, cert=cert).read_bytes()
        tampered = cls.work / "tampered.zip"
        with zipfile.ZipFile(cls.work / "payload.zip") as source, zipfile.ZipFile(tampered, "w") as target:
            for item in source.infolist():
                data = source.read(item.filename)
                if item.filename.endswith("strings.txt"):
                    data = data.replace(b"hello", b"HELLO")
                target.writestr(item, data)
        cls.tampered = tampered.read_bytes()
        with_empty = harness.stage_demo_application(cls.work / "with-empty",
                                                    extra_files={"resources/sounds/empty.bin": b""})
        harness.make_payload(with_empty, cls.work / "with-empty.zip")

    def test_http_404(self):
        self.assert_failed_and_restored(self.install(self.server.url("/missing.zip"), "fail-404"), 1)

    def test_server_closes_mid_body(self):
        url = self.server.serve("/cut.zip", self.payload, mode="cut")
        self.assert_failed_and_restored(self.install(url, "fail-cut"), 1)

    def test_file_that_is_not_a_zip(self):
        url = self.server.serve("/notzip.zip", b"this is not a zip archive" * 100)
        run = self.install(url, "fail-notzip")
        self.assert_failed_and_restored(run, 2)
        self.assertIn("Failed to extract files", run.messages)

    def test_signed_file_larger_than_the_free_space(self):
        """The central directory claims 32 TiB for a signed file: refused before anything is written."""
        huge = self.work / "huge.zip"
        with zipfile.ZipFile(self.work / "payload.zip") as source, zipfile.ZipFile(huge, "w") as target:
            for item in source.infolist():
                target.writestr(item, source.read(item.filename))
            target.getinfo("resources/sounds/ring.bin").file_size = 1 << 45
        url = self.server.serve("/huge.zip", huge.read_bytes())
        run = self.install(url, "fail-huge")
        # The drive cannot take what the archive claims: a deployment tool sees ERROR_DISK_FULL.
        self.assert_failed_and_restored(run, 2, exit_code=112)
        self.assertTrue(any(m.startswith("Not enough free space to extract the payload") for m in run.messages),
                        run.log_text)
        self.assertIn("Failed to extract files", run.messages)

    def test_install_path_of_260_characters_or_more(self):
        deep = "d" * 100 + "/" + "e" * 100 + "/" + "f" * 40 + ".txt"
        folder = harness.stage_demo_application(self.work / "deep", extra_files={deep: b"deep file"})
        url = self.server.serve("/deep.zip", harness.make_payload(folder, self.work / "deep.zip").read_bytes())
        run = self.install(url, "fail-deep")
        self.assert_failed_and_restored(run, 2)
        self.assertIn("The install path of %s would be 260 characters or more" % deep, run.messages)

    def test_payload_signed_by_another_authority(self):
        url = self.server.serve("/other.zip", self.other)
        self.assert_failed_and_restored(self.install(url, "fail-other"), 3)

    def test_tampered_file(self):
        url = self.server.serve("/tampered.zip", self.tampered)
        self.assert_failed_and_restored(self.install(url, "fail-tampered"), 3)

    def test_bytes_moved_across_file_boundaries_under_the_genuine_signature(self):
        """The digest over all files stays valid; each file's own signed size and digest do not."""
        def shift(entries):  # the end of Tessara.exe becomes the start of the next file in manifest order
            exe = entries["Tessara.exe"]
            entries["Tessara.exe"] = exe[:-4096]
            entries["resources/sounds/ring.bin"] = exe[-4096:] + entries["resources/sounds/ring.bin"]

        def fill(entries):  # a file signed as empty takes code from its neighbour
            ring = entries["resources/sounds/ring.bin"]
            entries["resources/sounds/empty.bin"], entries["resources/sounds/ring.bin"] = ring[:4096], ring[4096:]

        cases = (("shifted", "payload.zip", shift, "Tessara.exe"),
                 ("filled", "with-empty.zip", fill, "resources/sounds/empty.bin"))
        for index, (name, genuine, change, file) in enumerate(cases):
            with self.subTest(name):
                if index:
                    self.setUp()
                data = repack(self.work / genuine, self.work / (name + ".zip"), change)
                run = self.install(self.server.serve("/%s.zip" % name, data), "fail-" + name)
                self.assert_failed_and_restored(run, 3)
                self.assertTrue(any(m.startswith("Per-file size check failed for " + file) for m in run.messages),
                                run.log_text)

    def test_signed_name_that_windows_would_store_as_another_file(self):
        """Signed as it stands, digest over all files included: only the name check stops it."""
        files = sorted((p.relative_to(self.payload_dir).as_posix().encode(), p.read_bytes())
                       for p in self.payload_dir.rglob("*") if p.is_file())
        digest = base64.b64encode(hashlib.sha256(b"".join(data for _, data in files) + b"x").digest())
        manifest = re.sub(rb"<DigestValue>.*</DigestValue>", b"<DigestValue>" + digest + b"</DigestValue>",
                          manifest_of(self.payload_dir))
        manifest = manifest.replace(b"<DigestValue>", b'<Reference URI="notes.txt." />\r\n<File Size="1" SHA256="'
                                    + hashlib.sha256(b"x").hexdigest().encode() + b'" URI="notes.txt." />\r\n'
                                    b"<DigestValue>")
        digest_s = sign_manifest(manifest, self.work)
        data = repack(self.work / "payload.zip", self.work / "trailing-dot.zip",
                      lambda entries: entries.update({"digest.s": digest_s, "notes.txt.": b"x"}))
        run = self.install(self.server.serve("/trailing-dot.zip", data), "fail-trailing-dot")
        self.assert_failed_and_restored(run, 3)
        self.assertIn("Unsafe name check failed for notes.txt.", run.messages)

    def test_payload_without_detector_rolls_back_the_earlier_registrations(self):
        url = self.server.serve("/no-detector.zip", self.no_detector)
        run = self.install(url, "fail-nodetector")
        self.assert_failed_and_restored(run, 7)
        self.assertIn("uninstall keys succcess=1", run.messages)
        self.assertIn("protocol keys success=1", run.messages)
        self.assertIn("Startup keys success=0", run.messages)

    def test_file_held_open_by_another_process(self):
        with harness.file_held_open(self.install_folder / "Tessara.exe", self.work / "held.marker"):
            url = self.server.serve("/payload.zip", self.payload)
            run = self.install(url, "fail-held")
        self.assertNotEqual(0, run.exit_code)
        self.assert_failed_and_restored(run, 4)


if __name__ == "__main__":
    unittest.main()
