"""The interactive window of the real TessaraAppSetup.exe in a Wine virtual desktop, driven through its
controls by windriver.exe as a user would drive it."""
import json
import os
import subprocess
import sys
import time
import unittest

import harness
from test_install import InstallTestBase

DESKTOP = os.environ.get("TESSARA_DESKTOP", "tessara-e2e")
DRIVER = harness.BUILD / "tests" / "e2e" / "windriver.exe"
MAIN, RETRY, INSTALL, DESKTOP_BOX, START_MENU_BOX = "1235", "1236", "1237", "1238", "1239"


def drive(*args):
    return harness.wine([DRIVER] + list(args), env={"TESSARA_DESKTOP": DESKTOP}, timeout=60)


class WindowRun:
    """One interactive run of the setup program in the virtual desktop."""

    def __init__(self, folder, *args):
        self.folder = folder
        self.started = time.time()
        self.process = subprocess.Popen(
            [harness.WINE_RUN, "explorer", "/desktop=%s,1024x768" % DESKTOP, folder / "TessaraAppSetup.exe"]
            + [str(a) for a in args], cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def state(self):
        return json.loads(drive("state").stdout.decode("utf-8"))

    def wait_for(self, condition, what, timeout=90):
        deadline = time.time() + timeout
        while time.time() < deadline:
            state = self.state()
            if condition(state):
                return state
            time.sleep(0.2)
        raise AssertionError("the window never showed %s; last state %s" % (what, state))

    def click(self, control):
        self.assertOk(drive("click", control))

    def answer(self, caption, button):
        self.assertOk(drive("answer", caption, button, "20000"))

    @staticmethod
    def assertOk(completed):
        if completed.returncode != 0:
            raise AssertionError("the driver failed: %r" % completed)

    def wait_until_ended(self, timeout=90):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if "tessaraappsetup.exe" not in harness.running_image_names():
                return True
            time.sleep(0.2)
        return False

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def log(self):
        log = self.folder / "debugLog.log"
        return log.read_bytes().decode("cp1252", "replace") if log.is_file() else ""


def visible_links(state):
    return [link["text"] for link in state["links"] if link["visible"]]


class InteractiveWindowTest(InstallTestBase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        big = harness.stage_demo_application(cls.work / "big", extra_files={"big.bin": os.urandom(3 << 20)})
        cls.big = harness.make_payload(big, cls.work / "big.zip").read_bytes()

    def setUp(self):
        super().setUp()
        self.run_ = None
        programs = self.appdata / "Microsoft" / "Windows" / "Start Menu" / "Programs"
        self.start_menu_link = programs / "Orvix Tessara.lnk"
        self.desktop_link = harness.to_unix(harness.expand("%USERPROFILE%")) / "Desktop" / "Orvix Tessara.lnk"
        for link in (self.start_menu_link, self.desktop_link):
            link.unlink(missing_ok=True)

    def tearDown(self):
        if self.run_:
            self.run_.close()
        harness.kill_windows_processes("TessaraAppSetup.exe")
        super().tearDown()

    def start(self, name, url):
        self.run_ = WindowRun(harness.prepare_setup_folder(name), "/zipUrl", url)
        return self.run_

    def test_first_run_installs_without_buttons_then_exit_makes_only_the_chosen_shortcut(self):
        url = self.server.serve("/slow.zip", self.payload, mode="slow")
        self.desktop_link.parent.mkdir(parents=True, exist_ok=True)
        self.desktop_link.write_bytes(b"left by an earlier installation")
        run = self.start("window-first", url)

        painted = drive("wait-paint", "20000")
        run.assertOk(painted)
        painted_at, process_started_at = (int(field) for field in painted.stdout.split())
        print("first paint %.0f ms after the launch, %d ms after the setup process started"
              % (painted_at - run.started * 1000, painted_at - process_started_at), file=sys.stderr)
        working = run.state()
        self.assertEqual({}, working["controls"], "no button while the installation runs")
        self.assertEqual(["Help..."], visible_links(working))
        self.assertEqual(0, working["closeBox"])

        done = run.wait_for(lambda s: MAIN in s["controls"] and s["closeBox"], "the installed screen")
        self.assertEqual("Exit", done["controls"][MAIN]["text"])
        self.assertEqual(1, done["controls"][START_MENU_BOX]["checked"])
        self.assertEqual(0, done["controls"][DESKTOP_BOX]["checked"])
        self.assertNotIn(RETRY, done["controls"])
        self.assertEqual(["Help..."], visible_links(done))
        run.click(MAIN)

        self.assertTrue(run.wait_until_ended())
        self.assert_installed(harness.SetupRun(subprocess.CompletedProcess([], 0), run.folder))
        self.assertTrue(self.start_menu_link.is_file())
        self.assertFalse(self.desktop_link.exists(), "an unticked box removes the earlier shortcut")

    def test_registered_installation_offers_install_and_uninstall_and_uninstall_removes_it(self):
        self.assert_installed(self.install(self.server.serve("/payload.zip", self.payload), "window-before"))
        run = self.start("window-choice", self.server.url("/payload.zip"))

        choice = run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
        self.assertEqual("Install", choice["controls"][INSTALL]["text"])
        self.assertEqual("Uninstall", choice["controls"][MAIN]["text"])
        run.click(MAIN)

        run.wait_for(lambda s: s["controls"].get(MAIN, {}).get("text") == "Done", "the uninstalled screen")
        self.assertFalse(self.install_folder.exists())
        self.assertEqual({}, harness.regdump(harness.UNINSTALL_KEY).get("values", {}))
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())

    def test_404_offers_retry_which_installs_once_the_server_has_the_payload(self):
        run = self.start("window-retry", self.server.url("/late.zip"))

        failed = run.wait_for(lambda s: RETRY in s["controls"] and s["controls"][MAIN]["enabled"],
                              "the download-failed screen with an enabled Exit")
        self.assertEqual("Exit", failed["controls"][MAIN]["text"])
        self.assertNotIn(START_MENU_BOX, failed["controls"])
        self.assertIn("Email error log...", visible_links(failed))

        self.server.serve("/late.zip", self.payload, mode="slow")
        run.click(RETRY)
        retrying = run.wait_for(lambda s: not s["controls"], "the working screen")
        self.assertEqual(["Help..."], visible_links(retrying))
        done = run.wait_for(lambda s: START_MENU_BOX in s["controls"] and s["closeBox"], "the installed screen")
        self.assertNotIn(RETRY, done["controls"])
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())
        self.assert_installed(harness.SetupRun(subprocess.CompletedProcess([], 0), run.folder))

    def test_yes_to_the_cancel_question_ends_with_the_previous_installation_intact(self):
        self.assert_installed(self.install(self.server.serve("/payload.zip", self.payload), "window-previous"))
        before = (harness.tree_digest(self.install_folder), harness.registry_snapshot())
        run = self.start("window-cancel", self.server.serve("/big.zip", self.big, mode="slow"))

        run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
        run.click(INSTALL)
        deadline = time.time() + 30
        while "Starting file download from" not in run.log() and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(before[0], harness.tree_digest(self.install_folder),
                         "the previous installation stays in place while the payload downloads")
        run.assertOk(drive("close"))
        run.answer("Cancel install", "yes")

        self.assertTrue(run.wait_until_ended(timeout=120))
        self.assertEqual(before, (harness.tree_digest(self.install_folder), harness.registry_snapshot()))
        self.assertIn("Rolling back transaction", run.log())


if __name__ == "__main__":
    unittest.main()
