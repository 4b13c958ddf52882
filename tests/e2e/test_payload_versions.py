"""A validly signed payload older than the installed one is refused and changes nothing; newer, equal and
unversioned payloads install, and an administrator may allow an older one."""
import pathlib
import sys
import unittest

import harness
from test_install import InstallTestBase

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "engine"))
from range_server import RangeServer  # noqa: E402

# Runs one after another on one profile: the payload's signed version (None: published without one), the
# run's extra switches, whether it installs, and the version remembered afterwards.
VERSION_RUNS = [
    ("2.9.0", (), True, "2.9.0"),  # a first installation
    ("2.10.0", (), True, "2.10.0"),  # newer by number, though "2.10" sorts before "2.9" as text
    ("2.9.0", (), False, "2.10.0"),  # older
    ("2.10", (), True, "2.10"),  # the same version: a missing field counts as 0
    ("2.9.5", ("/allowDowngrade",), True, "2.9.5"),  # older, allowed by the administrator
    (None, (), True, None),  # no version: installs as before, and no version is remembered
    ("1.0.0", (), True, "1.0.0"),  # nothing to compare with
]


# The two roads a payload takes over an installation, and the log line that shows it took that one: unpacked
# while it downloads from a server without ranges, or updated from the changed files by range requests.
ROADS = {"arrival": "files were unpacked while it downloaded", "update": "Update from changed files: "}


class PayloadVersionTest(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ranges = RangeServer({})

    @classmethod
    def tearDownClass(cls):
        cls.ranges.stop()
        super().tearDownClass()

    def remembered_version(self):
        values = harness.regdump(harness.UNINSTALL_KEY).get("values", {})
        return harness.registry_text(values["PayloadVersion"]) if "PayloadVersion" in values else None

    def serve(self, road, name, data):
        if road == "update":
            self.ranges.files["/" + name] = data
            return self.ranges.base + "/" + name
        return self.server.serve("/" + name, data)

    def test_an_older_signed_payload_is_refused_unless_allowed(self):
        for road, road_line in ROADS.items():
            self.setUp()
            for index, (version, switches, installs, remembered) in enumerate(VERSION_RUNS):
                label = "%s %d: %s %s" % (road, index, version, " ".join(switches))
                with self.subTest(label):
                    name = "%s-%d" % (road, index)
                    folder = harness.stage_demo_application(self.work / name,
                                                            extra_files={"version.txt": str(version).encode()})
                    url = self.serve(road, name + ".zip", harness.make_payload(
                        folder, self.work / (name + ".zip"), version=version).read_bytes())
                    before = (harness.tree_digest(self.install_folder), harness.registry_snapshot())
                    installed_version = self.remembered_version()
                    run = harness.run_setup(harness.prepare_setup_folder("version-" + name), "/silent", "/zipUrl",
                                            url, *switches)
                    if index > 0:
                        self.assertIn(road_line, run.log_text)
                    if installs:
                        self.assert_installed(run, folder)
                    else:
                        self.assertEqual(harness.FAILED_INSTALL_EXIT_CODE, run.exit_code, run.log_text)
                        self.assertIn("Version check failed: the payload's version %s is older than the installed "
                                      "version %s" % (version, installed_version), run.messages, run.log_text)
                        self.assertEqual(before,
                                         (harness.tree_digest(self.install_folder), harness.registry_snapshot()))
                    self.assertEqual(remembered, self.remembered_version(), run.log_text)
                    harness.kill_windows_processes("tessaradetector.exe")

    def test_the_package_passes_allowdowngrade_on(self):
        urls = {}
        for version in ("3.0", "2.0"):
            folder = harness.stage_demo_application(self.work / ("msi-" + version), extra_files={"v.txt": version.encode()})
            urls[version] = self.server.serve("/msi-%s.zip" % version, harness.make_payload(
                folder, self.work / ("msi-%s.zip" % version), version=version).read_bytes())
        self.assert_installed(harness.run_setup(harness.prepare_setup_folder("msi-newer"), "/silent", "/zipUrl",
                                                urls["3.0"]), self.work / "msi-3.0")
        msi = harness.to_windows(harness.BUILD / "TessaraAppSetup.msi")
        for extra, installs in (([], False), (["ALLOWDOWNGRADE=1"], True)):
            with self.subTest(extra):
                harness.kill_windows_processes("tessaradetector.exe")
                result = harness.wine(["msiexec", "/i", msi, "ZIPURL=" + urls["2.0"], *extra, "/qn"], capture=False)
                self.assertEqual(installs, result.returncode == 0, result.returncode)
                self.assertEqual("2.0" if installs else "3.0", self.remembered_version())
        harness.wine(["msiexec", "/x", msi, "/qn"], capture=False)


if __name__ == "__main__":
    unittest.main()
