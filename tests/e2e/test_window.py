"""The interactive window of the real TessaraAppSetup.exe in a Wine virtual desktop, driven through its
controls by windriver.exe as a user would drive it."""
import contextlib
import json
import os
import shutil
import subprocess
import sys
import time
import unittest

import harness
from test_install import InstallTestBase

DESKTOP = os.environ.get("TESSARA_DESKTOP", "tessara-e2e")
DRIVER = harness.BUILD / "tests" / "e2e" / "windriver.exe"
MAIN, RETRY, INSTALL, DESKTOP_BOX, START_MENU_BOX = "1235", "1236", "1237", "1238", "1239"
CAROUSEL = {"Discover Orvix Tessara", "Orvix Tessara Meetings", "Orvix Tessara Webinars", "Orvix Tessara Learning"}
WAITING = "Waiting for another setup to finish"


def drive(*args, desktop=DESKTOP):
    return harness.wine([DRIVER] + list(args), env={"TESSARA_DESKTOP": desktop}, timeout=60)


class WindowRun:
    """One interactive run of the setup program in the virtual desktop, in the given locale (a desktop
    of its own: programs started into a running desktop take over its language)."""

    def __init__(self, folder, *args, locale=None, size="1024x768"):
        self.folder = folder
        self.desktop = DESKTOP + ("-" + locale.split("_")[0] if locale else "") + "-" + size
        self.started = time.time()
        env = dict(os.environ, **({"LANG": locale, "LC_ALL": locale} if locale else {}))
        self.process = subprocess.Popen(
            [harness.WINE_RUN, "explorer", "/desktop=%s,%s" % (self.desktop, size), folder / "TessaraAppSetup.exe"]
            + [str(a) for a in args], cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def drive(self, *args):
        return drive(*args, desktop=self.desktop)

    def state(self):
        return json.loads(self.drive("state").stdout.decode("utf-8"))

    def read_aloud(self):
        """Names and values of the window's accessible children, as a screen reader gets them."""
        children = [c for c in json.loads(self.drive("msaa").stdout.decode("utf-8")) if not c["invisible"]]
        return [c["name"] for c in children], [c["value"] for c in children if c["value"]]

    def listen(self):
        """Starts recording the window's announcements until it raises an alert."""
        return subprocess.Popen([harness.WINE_RUN, DRIVER, "events", "60000"], env=dict(
            os.environ, TESSARA_DESKTOP=self.desktop), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def focus(self):
        return json.loads(self.drive("focus").stdout.decode("utf-8"))

    def press(self, key):
        """A virtual key in hex ("09" Tab, "0D" Enter, "1B" Esc), or one letter pressed with Alt."""
        self.assertOk(self.drive("key", key))
        time.sleep(0.3)

    def tab_order(self, stops):
        order = [self.focus()["text"]]
        for _ in range(stops):
            self.press("09")
            order.append(self.focus()["text"])
        return order

    def wait_for(self, condition, what, timeout=90):
        deadline = time.time() + timeout
        while time.time() < deadline:
            state = self.state()
            if condition(state):
                return state
            time.sleep(0.2)
        raise AssertionError("the window never showed %s; last state %s" % (what, state))

    def click(self, control, times=1):
        self.assertOk(self.drive("click", control, str(times)))

    def answer(self, caption, button):
        self.assertOk(self.drive("answer", caption, button, "20000"))

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

    def wait_for_log(self, line, timeout=60):
        deadline = time.time() + timeout
        while line not in self.log():
            if time.time() > deadline:
                raise AssertionError("the log never showed %r" % line)
            time.sleep(0.05)

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
        # Incompressible, so that extracting and digesting it takes a few seconds under Wine, and with its
        # manifest last, so that this happens after the download, where a cancel is to land.
        large = harness.stage_demo_application(cls.work / "large", extra_files={"large.bin": os.urandom(96 << 20)})
        cls.large = harness.manifest_last(harness.make_payload(large, cls.work / "packed-large.zip"),
                                          cls.work / "large.zip").read_bytes()

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

    def start(self, name, url, locale=None, size="1024x768"):
        self.run_ = WindowRun(harness.prepare_setup_folder(name), "/zipUrl", url, locale=locale, size=size)
        return self.run_

    def test_first_run_installs_without_buttons_then_exit_makes_only_the_chosen_shortcut(self):
        url = self.server.serve("/slow.zip", self.payload, mode="slow")
        self.desktop_link.parent.mkdir(parents=True, exist_ok=True)
        self.desktop_link.write_bytes(b"left by an earlier installation")
        run = self.start("window-first", url)

        painted = run.drive("wait-paint", "20000")
        run.assertOk(painted)
        painted_at, process_started_at = (int(field) for field in painted.stdout.split())
        print("first paint %.0f ms after the launch, %d ms after the setup process started"
              % (painted_at - run.started * 1000, painted_at - process_started_at), file=sys.stderr)
        working = run.state()
        self.assertEqual({}, working["controls"], "no button while the installation runs")
        self.assertEqual(["Help..."], visible_links(working))
        # The status line is empty until the run has stopped the application and begun the download.
        deadline = time.time() + 10
        while True:
            names, values = run.read_aloud()
            downloading = any(n.startswith(("Downloading (", "Installing (")) for n in names)
            if downloading or time.time() > deadline:
                break
            time.sleep(0.2)
        self.assertTrue(CAROUSEL & set(names), names)
        self.assertTrue(downloading, names)
        self.assertEqual(1, len(values))
        self.assertEqual("Installation progress", names[1], "the progress reads right after the status")
        announcements = run.listen()

        done = run.wait_for(lambda s: MAIN in s["controls"], "the installed screen")
        heard = announcements.communicate(timeout=90)[0].decode("utf-8").splitlines()
        # Each announcement is read when it arrives, so the texts are those of that moment. On a busy
        # machine the listener may start only after the trickle has arrived, so either stage counts.
        self.assertTrue(any(h.startswith(("name Downloading (", "name Installing (")) for h in heard), heard)
        self.assertTrue(any(h.startswith("value ") for h in heard), heard)
        self.assertIn("alert Installation is complete", heard)
        # The band says what the title says, and is read once; a result screen has no progress.
        names, values = run.read_aloud()
        self.assertEqual(["Installation is complete",
                          "Orvix Tessara application for desktop has been successfully installed."], names[:2])
        self.assertEqual([], values)
        self.assertEqual(["Exit", "Help...", "Create a Start Menu shortcut", "Create a Desktop shortcut", "Exit"],
                         run.tab_order(4))
        self.assertEqual(["E", "S", "D"], [done["controls"][i]["key"] for i in (MAIN, START_MENU_BOX, DESKTOP_BOX)])
        self.assertEqual("Exit", done["controls"][MAIN]["text"])
        self.assertEqual(1, done["controls"][START_MENU_BOX]["checked"])
        self.assertEqual(0, done["controls"][DESKTOP_BOX]["checked"])
        self.assertNotIn(RETRY, done["controls"])
        self.assertEqual(["Help..."], visible_links(done))
        run.press("09")  # past the help link, which Enter would open
        run.press("09")  # Enter on a check box presses the default button
        run.assertOk(run.drive("reactivate"))
        self.assertEqual("Create a Start Menu shortcut", run.focus()["text"], "the focus comes back where it was")
        run.press("0D")

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
        names, values = run.read_aloud()
        self.assertEqual("Orvix Tessara Setup", names[0], "a title in the band, and no progress before a choice")
        self.assertEqual([], values)
        self.assertIn(names[1], CAROUSEL)
        self.assertEqual(["Install", "Uninstall", "Help...", "Install"], run.tab_order(3))
        # Uninstall asks first; No leaves everything as it was.
        before = harness.tree_digest(self.install_folder), harness.registry_snapshot()
        run.press("u")
        run.answer("Orvix Tessara", "no")
        self.assertEqual(before, (harness.tree_digest(self.install_folder), harness.registry_snapshot()))
        # While another run holds the user's lock the removal waits, says so, and the window stays alive.
        with harness.run_lock_held(self.work / "lock-held"):
            run.press("u")
            run.answer("Orvix Tessara", "yes")
            waiting = run.wait_for(lambda s: INSTALL not in s["controls"], "the removal waiting")
            self.assertEqual(0, waiting["controls"][MAIN]["enabled"])
            run.wait_for(lambda s: run.read_aloud()[0][0] == WAITING, "the waiting status")
            self.assertEqual([], run.read_aloud()[1], "no progress while waiting")
            self.assertEqual("Help...", run.focus()["text"], "the focus rests on a control")
            self.assertEqual(before[0], harness.tree_digest(self.install_folder))

        run.wait_for(lambda s: s["controls"].get(MAIN, {}).get("text") == "Done", "the uninstalled screen")
        self.assertFalse(self.install_folder.exists())
        self.assertEqual({}, harness.regdump(harness.UNINSTALL_KEY).get("values", {}))
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())

    def test_after_every_question_the_focus_is_back_on_a_button(self):
        """A row per question: how it is opened, what is answered, and where the focus is afterwards."""
        run = self.start("focus-cancel", self.server.serve("/big.zip", self.big, mode="slow"))
        run.wait_for(lambda s: s["window"], "the window")
        run.wait_for_log("Starting file download from")
        run.press("1B")
        run.wait_for(lambda s: s["question"], "the cancel question")
        run.press("0D")  # Esc then Enter: No is the default, the installation goes on
        self.assertEqual("Help...", run.focus()["text"], "the working screen has no button")
        run.wait_for(lambda s: MAIN in s["controls"], "the installed screen")
        self.assertNotIn("The user asked to cancel the installation", run.log())
        run.close()
        harness.kill_windows_processes("TessaraAppSetup.exe", "tessaradetector.exe")

        stand_in = self.work / "running" / "Tessara.exe"
        stand_in.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(harness.BUILD / "tests" / "engine" / "sleeper.exe", stand_in)
        run = self.start("focus-choice", self.server.url("/big.zip"))
        run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
        before = harness.tree_digest(self.install_folder), harness.registry_snapshot()

        @contextlib.contextmanager
        def application_running():
            process = subprocess.Popen([harness.WINE_RUN, stand_in], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            harness.wait_until(lambda: "tessara.exe" in harness.running_image_names(), "the application")
            try:
                yield
            finally:
                process.kill()
                harness.kill_windows_processes("Tessara.exe")

        # A folder that can be neither renamed nor emptied, as one with a protected file: no program to
        # close, so the box only says that the files could not be removed.
        read_only = lambda: harness.mounted(self.install_folder, self.install_folder, "--bind", read_only=True)
        table = [
            ("uninstall question", contextlib.nullcontext, [("Orvix Tessara", "no")], "Uninstall"),
            ("application running", application_running,
             [("Orvix Tessara", "yes"), ("Close Orvix Tessara", "no")], "Uninstall"),
            ("files not removed", read_only, [("Orvix Tessara", "yes"), ("Orvix Tessara", "ok")], "Install"),
        ]
        for name, situation, answers, focus in table:
            with self.subTest(name), situation():
                run.click(MAIN)
                for caption, answer in answers:
                    run.answer(caption, answer)
                state = run.wait_for(lambda s: INSTALL in s["controls"] and s["controls"][MAIN]["enabled"],
                                     "the choice screen again")
                self.assertEqual("Uninstall", state["controls"][MAIN]["text"])
                self.assertEqual(focus, run.focus()["text"])
                self.assertEqual(before, (harness.tree_digest(self.install_folder), harness.registry_snapshot()))

    def test_a_payload_not_signed_by_us_is_called_unverified_without_retry(self):
        key, cert = harness.make_other_authority(self.work / "other")
        forged = harness.make_payload(harness.stage_demo_application(self.work / "forged"), self.work / "forged.zip",
                                      key=key, cert=cert).read_bytes()
        run = self.start("window-unverified", self.server.serve("/forged.zip", forged))
        failed = run.wait_for(lambda s: MAIN in s["controls"], "the result screen")
        self.assertEqual(["Exit"], [c["text"] for c in failed["controls"].values()], "no Retry that cannot help")
        self.assertIn("Email error log...", visible_links(failed))
        names, values = run.read_aloud()
        self.assertEqual(["Download not verified", "The downloaded files could not be verified as coming "
                          "from Orvix, so nothing was installed. Please tell your Orvix Tessara administrator."],
                         names[:2])
        self.assertEqual([], values)
        self.assertEqual("Exit", run.focus()["text"])

    def test_404_in_german_offers_retry_which_installs_once_the_server_has_the_payload(self):
        run = self.start("window-retry", self.server.url("/late.zip"), locale="de_DE.UTF-8")

        failed = run.wait_for(lambda s: RETRY in s["controls"] and s["controls"][MAIN]["enabled"],
                              "the download-failed screen with an enabled Exit")
        self.assertEqual("Beenden", failed["controls"][MAIN]["text"])
        self.assertNotIn(START_MENU_BOX, failed["controls"])
        self.assertIn("Fehlerprotokoll senden...", visible_links(failed))
        names, values = run.read_aloud()
        self.assertEqual("Download fehlgeschlagen", names[0], "the status repeats the title and is read once")
        self.assertTrue(names[1].startswith("Fehler beim Herunterladen"), names)
        self.assertEqual([], values)
        self.assertEqual(["Wiederholen", "Beenden", "Hilfe...", "Fehlerprotokoll senden...", "Wiederholen"],
                         run.tab_order(4))

        self.server.serve("/late.zip", self.payload, mode="slow")
        run.press(failed["controls"][RETRY]["key"].lower())
        retrying = run.wait_for(lambda s: not s["controls"], "the working screen")
        self.assertEqual(["Hilfe..."], visible_links(retrying))
        done = run.wait_for(lambda s: START_MENU_BOX in s["controls"], "the installed screen")
        self.assertNotIn(RETRY, done["controls"])
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())
        self.assert_installed(harness.SetupRun(subprocess.CompletedProcess([], 0), run.folder))

    def test_the_longest_screen_opens_centred_and_whole_on_a_1024x576_desktop(self):
        run = self.start("window-small", self.server.url("/missing.zip"), locale="de_DE.UTF-8", size="1024x576")
        failed = run.wait_for(lambda s: RETRY in s["controls"] and s["painted"][2]["text"], "the download-failed screen")
        left, top, right, bottom = failed["frame"]
        self.assertLessEqual(bottom - top, 576)
        self.assertLessEqual(abs(left - (1024 - right)), 1, "centred across")
        self.assertLessEqual(abs(top - (576 - bottom)), 1, "centred down")
        width, height = failed["client"]
        status, title, body = (p["rect"] for p in failed["painted"])  # a result screen shows no bar
        buttons = [c["rect"] for c in failed["controls"].values()]
        email = next(link["rect"] for link in failed["links"] if link["visible"] and link["text"].startswith("Fehler"))
        for rect in [status, title, body, email] + buttons:
            self.assertTrue(0 <= rect[0] < rect[2] <= width and 0 <= rect[1] < rect[3] <= height, (rect, failed))
        # Reading down the screen nothing overlaps: the banner gave up its height instead.
        self.assertLessEqual(status[3], title[1])
        self.assertLessEqual(title[3], body[1])
        self.assertLessEqual(body[3], email[1])
        self.assertLessEqual(email[3], min(b[1] for b in buttons))

    def test_moving_to_a_denser_monitor_and_back_scales_the_screen_and_keeps_the_choices(self):
        run = self.start("window-dpi", self.server.serve("/payload.zip", self.payload), size="1600x1200")
        before = self.installed_screen(run)
        run.assertOk(run.drive("check", DESKTOP_BOX, "1"))

        def move(from_dpi, to_dpi):
            run.assertOk(run.drive("dpi", str(from_dpi), str(to_dpi)))
            time.sleep(0.5)
            return run.state()

        def placed(state):
            """Painted texts measured from the top of the client area; controls and links, which hang from
            its bottom, from the bottom."""
            height = state["client"][1]
            hung = [c["rect"] for _, c in sorted(state["controls"].items())] + [
                l["rect"] for l in state["links"] if l["visible"]]
            return [[r[0], height - r[1], r[2], height - r[3]] for r in hung] + [p["rect"] for p in state["painted"]]

        # The suggested frame is 1.5 times as large, and so is everything in it; back at 96 all is as before.
        dense = move(96, 144)
        self.assertAlmostEqual(before["client"][0] * 1.5, dense["client"][0], delta=6)
        self.assertAlmostEqual(before["client"][1] * 1.5, dense["client"][1], delta=15)
        for factor, state, delta in ((1.5, dense, 4), (1, move(144, 96), 1)):
            for old, new in zip(placed(before), placed(state)):
                for a, b in zip(old, new):
                    self.assertAlmostEqual(a * factor, b, delta=delta, msg=(old, new))
        self.assertEqual(1, dense["controls"][DESKTOP_BOX]["checked"], "the tick survives the change")
        for state, dpi in ((before, 96), (dense, 144)):  # "Exit" is short, its button is not
            left, top, right, bottom = state["controls"][MAIN]["rect"]
            self.assertGreaterEqual(right - left, 75 * dpi // 96)
            self.assertGreaterEqual(bottom - top, 23 * dpi // 96)

        # At 250 % the scaled frame is taller than the desktop: the window stays on it, whole.
        tall = move(96, 240)
        left, top, right, bottom = tall["frame"]
        self.assertTrue(0 <= left < right <= 1600 and 0 <= top < bottom <= 1200, tall["frame"])
        width, height = tall["client"]
        for r in placed(tall):  # measured from either edge, each lies inside the client area
            self.assertTrue(0 <= r[0] <= r[2] <= width and 0 <= r[1] <= height and 0 <= r[3] <= height, (r, tall))
        self.assertLessEqual(tall["painted"][-1]["rect"][3], min(c["rect"][1] for c in tall["controls"].values()))
        move(240, 96)
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())
        self.assertTrue(self.desktop_link.is_file())

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
        # While it works the close box is greyed and takes no click, and the window can be minimised; a
        # screen reader still hears the download go on.
        self.assertEqual(1, run.state()["minimizeBox"])
        run.assertOk(run.drive("click-close-box"))
        self.assertNotEqual(0, run.drive("answer", "", "no", "1000").returncode, "a greyed close box asks nothing")
        run.assertOk(run.drive("syscommand", "minimize"))
        run.wait_for(lambda s: s["minimized"], "the minimised window")
        status = run.read_aloud()[0][0]
        run.wait_for(lambda s: run.read_aloud()[0][0] != status, "a new status while minimised", timeout=20)
        run.assertOk(run.drive("syscommand", "restore"))
        run.press("1B")
        run.answer("Cancel install", "yes")

        self.assertTrue(run.wait_until_ended(timeout=120))
        self.assertEqual(before, (harness.tree_digest(self.install_folder), harness.registry_snapshot()))
        self.assertIn("Rolling back transaction", run.log())

    # Whatever the timing of the user's clicks, the installation ends as the screen says, with the
    # shortcuts the user ticked, after exactly one run per request.

    def previous_installation(self):
        self.assert_installed(self.install(self.server.serve("/payload.zip", self.payload), "race-previous"))
        deadline = time.time() + 10  # the detector it started may take a moment to appear
        while "tessaradetector.exe" not in harness.running_image_names() and time.time() < deadline:
            time.sleep(0.2)
        return harness.tree_digest(self.install_folder), harness.registry_snapshot()

    def installed_screen(self, run):
        return run.wait_for(lambda s: START_MENU_BOX in s["controls"], "the installed screen")

    # Each scenario drives one window and returns the setup run and the runs it asked for.
    def cancel_in_extraction_then_close_again(self):
        run = self.start("race-cancel", self.server.serve("/large.zip", self.large))
        run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
        run.click(INSTALL)
        run.wait_for_log("Extracting files")
        run.assertOk(run.drive("syscommand", "close"))  # Alt+F4, while the close box is greyed
        run.answer("Cancel install", "yes")
        answered = time.time()
        run.wait_for_log("Installation cancelled", timeout=10)
        print("cancel inside extraction: the run stopped within %.1f s of Yes" % (time.time() - answered), file=sys.stderr)
        run.drive("close")
        self.assertNotEqual(0, run.drive("answer", "", "no", "2000").returncode, "a confirmed cancel is not asked again")
        self.assertTrue(run.wait_until_ended())
        self.assertNotIn("Extracting files success", run.log(), "the cancel reached the extraction")
        self.assertIn("tessaradetector.exe", harness.running_image_names(), "the restored detector runs again")
        return run, 1

    def question_open_across_the_end(self, answer):
        run = self.start("race-question-" + answer, self.server.serve("/slow.zip", self.payload, mode="slow"))
        run.wait_for(lambda s: s["window"], "the window")
        run.assertOk(run.drive("close"))
        run.wait_for_log("Installer thread finished")
        # The result screen is built behind the question, which stays in front and keeps the keyboard.
        question = self.installed_screen(run)["question"]
        self.assertEqual({"caption": "Cancel install", "inFront": 1, "hasKeys": 1}, question)
        run.answer("Cancel install", answer)
        self.installed_screen(run)
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())
        return run, 1

    def close_box_while_waiting(self):
        run = self.start("race-waiting", self.server.serve("/payload.zip", self.payload))
        run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
        with harness.run_lock_held(self.work / "lock-waiting"):
            run.click(INSTALL)
            run.wait_for(lambda s: run.read_aloud()[0][0] == WAITING, "the waiting screen")
            run.assertOk(run.drive("click-close-box"))  # a waiting run has done nothing: no question
            self.assertTrue(run.wait_until_ended())
        return run, 1

    def close_on_the_choice_screen(self):
        run = self.start("race-choice", self.server.serve("/payload.zip", self.payload))
        run.wait_for(lambda s: INSTALL in s["controls"], "the choice screen")
        run.press("1B")  # nothing runs, so nothing is asked
        self.assertTrue(run.wait_until_ended())
        return run, 0

    def desktop_ticked_then_exit(self, name, pause, clicks):
        run = self.start(name, self.server.serve("/payload.zip", self.payload))
        self.installed_screen(run)
        run.assertOk(run.drive("check", DESKTOP_BOX, "1"))
        time.sleep(pause)
        self.assertEqual(1, run.state()["controls"][DESKTOP_BOX]["checked"], "the tick stays")
        run.click(MAIN, clicks)
        self.assertTrue(run.wait_until_ended())
        return run, 1

    def retry_clicked_twice(self):
        run = self.start("race-retry", self.server.url("/later.zip"))
        run.wait_for(lambda s: RETRY in s["controls"], "the download-failed screen")
        self.server.serve("/later.zip", self.payload)
        run.click(RETRY, 2)
        self.installed_screen(run)
        time.sleep(2)
        run.click(MAIN)
        self.assertTrue(run.wait_until_ended())
        return run, 2

    def test_every_click_does_what_its_screen_says(self):
        # scenario, new installation expected, desktop link, Start Menu link. The cancelled one starts
        # from a previous installation, whose detector runs and whose Start Menu link stays.
        table = [
            ("cancel during extraction, then another close", self.cancel_in_extraction_then_close_again,
             False, False, True),
            ("close box while waiting for another run", self.close_box_while_waiting, False, False, True),
            ("Esc on the choice screen", self.close_on_the_choice_screen, False, False, True),
            ("question open across the end, Yes", lambda: self.question_open_across_the_end("yes"), True, False, True),
            ("question open across the end, No", lambda: self.question_open_across_the_end("no"), True, False, True),
            ("two quick clicks on Exit, desktop ticked", lambda: self.desktop_ticked_then_exit("race-exit", 0, 2),
             True, True, True),
            ("tick after the installed screen appeared", lambda: self.desktop_ticked_then_exit("race-tick", 2, 1),
             True, True, True),
            ("two quick clicks on Retry", self.retry_clicked_twice, True, False, True),
        ]
        for name, scenario, installed, desktop, start_menu in table:
            with self.subTest(name):
                self.setUp()
                try:
                    if not installed:
                        self.previous_installation()
                    before = harness.tree_digest(self.install_folder), harness.registry_snapshot()
                    run, runs = scenario()
                    if installed:
                        self.assert_installed(harness.SetupRun(subprocess.CompletedProcess([], 0), run.folder))
                        self.assertIn("Committing transaction", run.log())
                    else:
                        self.assertEqual(before, (harness.tree_digest(self.install_folder), harness.registry_snapshot()))
                        self.assertNotIn("Committing transaction", run.log())
                        self.assertEqual(runs == 1, "The user cancelled the installation" in run.log())
                    self.assertEqual(desktop, self.desktop_link.is_file(), "desktop shortcut")
                    self.assertEqual(start_menu, self.start_menu_link.is_file(), "Start Menu shortcut")
                    self.assertEqual(runs, run.log().count("Starting installer thread"), "runs in the log")
                finally:
                    self.tearDown()


if __name__ == "__main__":
    unittest.main()
