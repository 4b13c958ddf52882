"""A silent installation ends every process of the application and starts the new detector."""
import os
import shutil
import subprocess
import time
import unittest

import harness
from test_install import InstallTestBase
from test_window import MAIN, WindowRun

STAND_INS = ["tessara.exe", "tessara.exe", "TSLOGTRANSPORT.EXE", "tessaradetector.exe", "encoderhelper.exe"]


class ProcessControlTest(InstallTestBase):
    def test_silent_run_ends_the_application_and_starts_the_new_detector(self):
        sleeper = harness.BUILD / "tests" / "engine" / "sleeper.exe"
        started = []
        for index, name in enumerate(STAND_INS):
            folder = self.work / ("running-%d" % index)
            folder.mkdir(parents=True, exist_ok=True)
            shutil.copy(sleeper, folder / name)
            started.append(subprocess.Popen([harness.WINE_RUN, str(folder / name)], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        try:
            deadline = time.time() + 30
            while time.time() < deadline and not all(self.running_from("running-%d" % i) for i in range(5)):
                time.sleep(0.2)
            self.assertTrue(all(self.running_from("running-%d" % i) for i in range(5)), "stand-ins started")

            url = self.server.serve("/payload.zip", self.payload)
            self.assert_installed(self.install(url, "processes"))

            for index in range(len(STAND_INS)):
                self.assertFalse(self.running_from("running-%d" % index), STAND_INS[index])
            self.assertTrue(self.running_from("Orvix/Tessara/tessaradetector.exe"),
                            "the detector of the new installation runs")
        finally:
            for process in started:
                process.kill()

    def test_a_process_of_the_same_name_that_cannot_be_opened_is_not_ours_and_stops_no_installation(self):
        folder = self.work / "unopenable"
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(harness.BUILD / "tests" / "engine" / "sleeper.exe", folder / "tessara.exe")
        other = subprocess.Popen([harness.WINE_RUN, str(folder / "tessara.exe")], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 env=dict(os.environ, TESSARA_SLEEPER_UNOPENABLE="1"))
        run = None
        try:
            deadline = time.time() + 30
            while time.time() < deadline and not self.running_from("unopenable/tessara.exe"):
                time.sleep(0.2)
            run = WindowRun(harness.prepare_setup_folder("processes-window"), "/zipUrl",
                            self.server.serve("/payload.zip", self.payload))
            run.wait_for(lambda s: MAIN in s["controls"], "the installed screen")
            run.click(MAIN)
            self.assertTrue(run.wait_until_ended())
            self.assertNotIn("Tessara is running, asking the user to close the application", run.log())
            self.assert_installed(harness.SetupRun(subprocess.CompletedProcess([], 0), run.folder))
            self.assertTrue(self.running_from("unopenable/tessara.exe"), "somebody else's process runs on")
        finally:
            if run:
                run.close()
            harness.kill_windows_processes("TessaraAppSetup.exe")
            other.kill()

    def test_a_program_whose_child_outlives_it_hands_back_its_output_when_it_ends(self):
        # Wine gives the child the program's standard error whatever handles it passes on; the output
        # must still end with the program, or whoever reads it waits for the child.
        folder = self.work / "outliving"
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(harness.BUILD / "tests" / "engine" / "sleeper.exe", folder / "outliving.exe")
        try:
            done = harness.wine(["cmd.exe", "/c", "start", "/b", harness.to_windows(folder / "outliving.exe")],
                                timeout=60)
            self.assertEqual(0, done.returncode)
            self.assertTrue(self.running_from("outliving/outliving.exe"), "the child runs on")
        finally:
            harness.kill_windows_processes("outliving.exe")

    @staticmethod
    def running_from(fragment):
        out = subprocess.run(["ps", "-eo", "args"], stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")
        return any(fragment.lower() in line.replace("\\", "/").lower() for line in out.splitlines())


if __name__ == "__main__":
    unittest.main()
