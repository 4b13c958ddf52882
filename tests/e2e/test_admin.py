"""What an administrator deploying the setup program relies on: the MSI package under Wine's msiexec,
the exit codes of failing silent runs with the log line that says why, and where the log goes."""
import contextlib
import io
import os
import re
import shutil
import subprocess
import unittest
import zipfile
from unittest import mock

import harness
from test_install import InstallTestBase

MSI = harness.BUILD / "TessaraAppSetup.msi"
PORTAL_PAGE = b"<!DOCTYPE html>\n<html><head><title>Hotel Wi-Fi</title></head><body>Please sign in.</body></html>\n"
INSTALLER_ENTRIES = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"


def package_version(version, folder):
    """The build's package under another version, made the way the build makes it."""
    wxs = folder / ("TessaraAppSetup-%s.wxs" % version)
    subprocess.run(["cmake", "-D", "VERSION=" + version, "-D", "OUTPUT=%s" % wxs, "-P",
                    harness.SOURCE / "cmake" / "PackageSource.cmake"], check=True)
    msi = wxs.with_suffix(".msi")
    subprocess.run(["wixl", "-o", msi, "-D", "SetupProgram=TessaraAppSetup.exe", wxs], cwd=harness.BUILD, check=True)
    return msi


def package_entries():
    """(key, values text) of every Windows Installer product entry named after the application."""
    found = []
    for root in ("HKCU", "HKLM"):
        text = harness.reg("query", root + "\\" + INSTALLER_ENTRIES, "/s").stdout.decode("utf-8", "replace")
        for block in text.replace("\r", "").split("\n\n"):
            if "WindowsInstaller" in block and re.search(r"DisplayName\s+REG_SZ\s+Orvix Tessara\n", block + "\n"):
                found.append(block)
    return found


class AdministratorTest(InstallTestBase):
    @property
    def shortcut(self):
        return self.appdata / "Microsoft" / "Windows" / "Start Menu" / "Programs" / "Orvix Tessara.lnk"

    def silent_state(self):
        return harness.tree_digest(self.install_folder), harness.registry_snapshot(), self.shortcut.exists()

    def msiexec(self, *args, log=None):
        verbose = ["/l*v", harness.to_windows(log)] if log else []
        return harness.wine(["msiexec"] + list(args) + verbose + ["/qn"], capture=False).returncode

    def test_msi_installs_upgrades_repairs_and_removes_and_never_reports_what_did_not_happen(self):
        for entry in package_entries():  # left by an earlier build's package
            harness.wine(["msiexec", "/x", re.search(r"\{[-0-9A-F]+\}", entry).group(0), "/qn"], capture=False)
        # Signed CDN links run long; the older package gets one of the longest the program takes.
        mirror_url = self.server.serve("/mirror/payload.zip", self.payload)
        token = "t" * (2083 - len(self.server.url("/payload.zip?token=")))
        older_url = self.server.serve("/payload.zip?token=" + token, self.payload)
        self.assertEqual(2083, len(older_url))
        self.assert_installed(self.install(older_url, "msi-reference"))
        expected = self.silent_state()
        harness.kill_windows_processes("tessaradetector.exe")
        shutil.rmtree(self.install_folder)
        harness.delete_registrations()
        self.shortcut.unlink()
        msi_log = harness.to_unix(harness.expand("%TEMP%")) / "TessaraAppSetup.log"
        msi_log.unlink(missing_ok=True)
        newer_dir = harness.stage_demo_application(self.work / "newer", extra_files={"newer.txt": b"1.0.1"})
        newer_zip = harness.make_payload(newer_dir, self.work / "newer.zip")
        newer_url = self.server.serve("/newer.zip", newer_zip.read_bytes())
        # Served only to requests that bring the user name and password written into the URL.
        password_url = self.server.serve("/password/newer.zip", newer_zip.read_bytes(), "password")
        password = harness.PASSWORD_USER_INFO.split(":")[1]
        password_url = password_url.replace("://", "://%s@" % harness.PASSWORD_USER_INFO)
        packages = {version: harness.to_windows(package_version(version, self.work))
                    for version in ("1.0.1.0", "1.0.2.0", "1.0.2.1")}
        packages["1.0.0.0"] = harness.to_windows(MSI)
        package_key = r"Software\Orvix\TessaraAppSetup Package"

        def state():
            versions = sorted(re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", e)[1] for e in package_entries())
            return versions, harness.tree_digest(self.install_folder)

        # A log line holds at most 999 characters: the start of each URL tells them apart.
        def msi_runs():
            text = msi_log.read_text("cp1252") if msi_log.exists() else ""
            return re.findall(r'Installer with command line = "(/\w+)(?: /zipUrl "([^"]{0,100}))?', text)

        installed = dict(harness.tree_digest(self.payload_dir), **{"digest.s": mock.ANY})
        upgraded = dict(harness.tree_digest(newer_dir), **{"digest.s": mock.ANY})
        masked_url = password_url.replace(password, "***")
        remembered_url = password_url.replace(harness.PASSWORD_USER_INFO + "@", "")
        refusal = ("Orvix Tessara 1.0.2 is installed, which is newer than this package's version 1.0.1.0. Remove it "
                   "before installing this older one.")
        # Each step: the package's version, msiexec's arguments, whether it succeeds, the products and the
        # application afterwards, the runs of the setup program it made, and what msiexec's log says.
        steps = [
            ("install", "1.0.0.0", ["/i", "ZIPURL=" + older_url], True, ["1.0.0.0"], installed,
             [("/msi", older_url)], None),
            ("again from a mirror", "1.0.0.0", ["/i", "ZIPURL=" + mirror_url], True, ["1.0.0.0"], installed,
             [("/msi", mirror_url)], None),
            ("again without ZIPURL", "1.0.0.0", ["/i"], True, ["1.0.0.0"], installed, [("/msi", mirror_url)], None),
            ("second over first", "1.0.1.0", ["/i", "ZIPURL=" + newer_url], True, ["1.0.1.0"], upgraded,
             [("/msi", newer_url)], None),
            ("third over second, with a password", "1.0.2.0", ["/i", "ZIPURL=" + password_url], True, ["1.0.2.0"],
             upgraded, [("/msi", masked_url)], None),
            ("second over third", "1.0.1.0", ["/i", "ZIPURL=" + newer_url], False, ["1.0.2.0"], upgraded,
             [("/refusedPackage", "")], refusal),
            ("first over third", "1.0.0.0", ["/i", "ZIPURL=" + older_url], False, ["1.0.2.0"], upgraded,
             [("/refusedPackage", "")], refusal.replace("1.0.1.0", "1.0.0.0")),
            ("fourth field only, without ZIPURL", "1.0.2.1", ["/i"], True, ["1.0.2.1"], upgraded,
             [("/msi", remembered_url)], None),
            ("removal", "1.0.2.1", ["/x"], True, [], None, [("/uninstall", "")], None),
            ("URL too long", "1.0.0.0", ["/i", "ZIPURL=" + older_url + "t"], False, [], None, [("/msi", older_url)],
             None),
            ("reinstall", "1.0.0.0", ["/i", "ZIPURL=" + older_url], True, ["1.0.0.0"], installed,
             [("/msi", older_url)], None),
        ]
        for number, (name, version, args, succeeds, versions, tree, runs, says) in enumerate(steps):
            with self.subTest(name):
                harness.kill_windows_processes("tessaradetector.exe")
                before = len(msi_runs())
                verbose_log = self.work / ("msiexec-%d.log" % number)
                result = self.msiexec(args[0], packages[version], *args[1:], log=verbose_log)
                self.assertEqual(succeeds, result == 0, result)
                self.assertEqual((versions, tree), state())
                self.assertEqual([(mode, url[:100]) for mode, url in runs], msi_runs()[before:])
                record = harness.regdump(package_key)
                self.assertEqual(bool(versions), record["exists"])
                msiexec_says = verbose_log.read_text("cp1252", "replace")
                if says:
                    self.assertIn(says, msiexec_says)
                    self.assertIn("The package of version %s was refused: version 1.0.2 of the application's package "
                                  "is installed, which is newer" % version, msi_log.read_text("cp1252"))
                # The password is in no log and nowhere in the registry, neither as text nor as UTF-16.
                registry = harness.reg("query", "HKCU", "/s").stdout.decode("utf-8", "replace")
                for place, text in (("msiexec's log", msiexec_says), ("the program's log", msi_log.read_text("cp1252")),
                                    ("the registry", registry)):
                    self.assertNotIn(password, text, place)
                    self.assertNotIn(password.encode("utf-16-le").hex().upper(), text.upper(), place)
                if name.endswith("with a password"):
                    self.assertEqual(remembered_url, harness.registry_text(record["values"]["ZipUrl"]))
        self.assertEqual(expected, self.silent_state())
        self.assertRegex(package_entries()[0], r"SystemComponent\s+REG_DWORD\s+0x1\b", "hidden from Programs and "
                         "Features")
        for line in ("The URL after /zipUrl is too long (2084 characters, at most 2083)",
                     "No installation run began; the package is told that the installation failed"):
            self.assertIn(line, msi_log.read_text("cp1252"))

        # The application removed outside the package, which takes the setup program with it: removing
        # the package afterwards has nothing left to do and succeeds.
        package_folder = harness.to_unix(harness.expand("%LOCALAPPDATA%")) / "Orvix" / "TessaraAppSetup"
        outside_log = harness.to_windows(self.work / "outside.log")
        self.assertEqual(0, harness.run_setup(package_folder, "/uninstall", "/log", outside_log).exit_code)
        self.assertEqual(0, self.msiexec("/x", packages["1.0.0.0"]))
        self.assertEqual(([], None), state())

    def test_failing_silent_runs_tell_why_by_exit_code_and_log(self):
        key, cert = harness.make_other_authority(self.work / "other")
        foreign = harness.make_payload(self.payload_dir, self.work / "foreign.zip", key=key, cert=cert).read_bytes()
        tampered = io.BytesIO()
        with zipfile.ZipFile(io.BytesIO(self.payload)) as source, zipfile.ZipFile(tampered, "w") as target:
            for item in source.infolist():
                data = source.read(item)
                target.writestr(item, data.upper() if item.filename.endswith("strings.txt") else data)
        big_folder = harness.stage_demo_application(self.work / "big", extra_files={"big.bin": os.urandom(10 << 20)})
        big = harness.make_payload(big_folder, self.work / "big.zip").read_bytes()
        cases = [
            ("404", self.server.url("/missing.zip"), None, 1603, r"^Download attempt 1 failed: server answered 404$"),
            ("reset", self.server.serve("/reset.zip", self.payload, "reset"), None, 1603,
             # Wine's download service sometimes takes a reset for silence.
             r"^Download attempt 4 failed: (connection reset after \d+ bytes( of \d+ bytes)?|no data for \d+ s after "
             r"\d+ bytes); giving up after 4 attempts"),
            ("tampered", self.server.serve("/tampered.zip", tampered.getvalue()), None, 1603,
             r"^Per-file digest check failed for resources/strings\.txt"),
            ("foreign", self.server.serve("/foreign.zip", foreign), None, 1603,
             r"^Signer chain check failed for digest\.s"),
            ("full-temp", self.server.serve("/payload.zip", self.payload), "full-temp", 112,
             r"Not enough free space to extract the payload: \d+ bytes needed, \d+ available"),
            ("full-temp-download", self.server.serve("/big.zip", big), "full-temp", 112,
             r'Not enough free space at "T:[^"]*": \d+ bytes free, \d+ bytes needed'),
            ("held", self.server.serve("/payload.zip", self.payload), "held", 1603,
             r"(?i)Could not move .*\\Tessara\.exe: system error 32 \(.+\)"),
            # A server that gives no length cannot be caught short by the download: the archive can.
            ("short body without length", self.server.serve("/half.zip", self.payload[:len(self.payload) // 2],
                                                            "nolength"), None, 1603,
             r"^The payload is not a zip archive: it is cut short: %d bytes arrived and the archive's directory, "
             r"at its end, is missing$" % (len(self.payload) // 2)),
            ("sign-in page with 200", self.server.serve("/portal.zip", PORTAL_PAGE, "html"), None, 1603,
             r"^Download failed: an HTML page of %d bytes arrived instead of the payload \(a proxy or the "
             r"network's sign-in page may have answered\)$" % len(PORTAL_PAGE)),
            ("other content", self.server.serve("/text.zip", b"Payload moved, ask the help desk.\r\n" * 50), None,
             1603, r'^The payload is not a zip archive: 1750 bytes beginning "Payload moved, ask the h"$'),
            ("no run begins", "http://127.0.0.1/" + "x" * 2100, None, 1,
             r"^The URL after /zipUrl is too long \(2117 characters, at most 2083\)$"),
        ]
        for name, url, condition, exit_code, why in cases:
            with self.subTest(name), self.condition(condition):
                run = self.install(url, "why-" + name)
                self.assertEqual(exit_code % 256, run.exit_code, run.log_text)
                self.assertTrue(any(re.search(why, line) for line in run.messages), run.log_text)
                self.assertRegex(run.messages[-1], r"^Installation failed at the [a-z -]+ step, exit code %d$" % exit_code)

    @contextlib.contextmanager
    def condition(self, name):
        if name == "full-temp":
            # A small drive T: as the temporary folder: the small payload's download fits, its extraction
            # does not; the big one's download does not fit either.
            with harness.mounted("tmpfs", self.work / "small-drive", "-t", "tmpfs", "-o", "size=8m") as drive:
                link = harness.PREFIX / "dosdevices" / "t:"
                link.unlink(missing_ok=True)
                link.symlink_to(drive)
                original = harness.redirect_temp_folder("T:\\")
                try:
                    yield
                finally:
                    harness.restore_temp_folder(original)
                    link.unlink()
        elif name == "held":
            self.assert_installed(self.install(self.server.url("/payload.zip"), "why-previous"))
            with harness.file_held_open(self.install_folder / "Tessara.exe", self.work / "held.marker"):
                yield
        else:
            yield

    def test_log_switch_appends_runs_to_a_path_with_blanks_and_letters_beyond_ascii(self):
        folder = harness.prepare_setup_folder("log-switch")
        log = self.work / "Journal für Prüfung 日本" / "setup log.txt"
        log.parent.mkdir(parents=True, exist_ok=True)
        log.unlink(missing_ok=True)
        for _ in range(2):
            self.assertEqual(1, harness.run_setup(folder, "/silent", "/log", harness.to_windows(log), "/zipUrl").exit_code)
        lines = [line.split("] :: ", 1)[1] for line in log.read_text("cp1252", "replace").splitlines()]
        self.assertEqual(2, sum(line.startswith("======== New run, process ") for line in lines), lines)
        self.assertRegex(lines[1], r'^Installer with command line = "/silent /log ".*setup log\.txt" /zipUrl"$')
        self.assertIn("The /zipUrl switch has no URL after it", lines)
        self.assertFalse((folder / "debugLog.log").exists())

    def test_a_log_path_that_cannot_be_written_leaves_the_log_in_the_temporary_folder(self):
        folder = harness.prepare_setup_folder("log-unwritable")
        temp_log = harness.to_unix(harness.expand("%TEMP%")) / "debugLog.log"
        temp_log.unlink(missing_ok=True)
        path = r"Q:\no such drive\setup.log"
        self.assertEqual(1, harness.run_setup(folder, "/silent", "/log", path, "/zipUrl").exit_code)
        lines = [line.split("] :: ", 1)[1] for line in temp_log.read_text("cp1252").splitlines()]
        self.assertEqual(["could not write the log at " + path,
                          'Installer with command line = "/silent /log "%s" /zipUrl"' % path], lines[:2])
        self.assertFalse((folder / "debugLog.log").exists())

    def test_read_only_program_folder_logs_to_the_temporary_folder(self):
        folder = harness.prepare_setup_folder("log-readonly")
        temp_log = harness.to_unix(harness.expand("%TEMP%")) / "debugLog.log"
        temp_log.unlink(missing_ok=True)
        with harness.mounted(folder, self.work / "read-only", "--bind", read_only=True) as read_only:
            self.assertEqual(1, harness.run_setup(read_only, "/silent", "/zipUrl").exit_code)
        self.assertFalse((folder / "debugLog.log").exists())
        self.assertIn('Installer with command line = "/silent /zipUrl"', temp_log.read_text("cp1252"))


if __name__ == "__main__":
    unittest.main()
