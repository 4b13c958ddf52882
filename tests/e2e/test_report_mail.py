"""The error report reaches the user's mail program through Simple MAPI.

A recording MAPI32.DLL of our own takes the place of the system's in the prefix's 32-bit system
folder for these tests (Wine loads it only with the override "mapi32=n"); it writes down what it was
handed and answers with the code the test chooses.
"""
import shutil
import unittest

import harness

SYSTEM_DLL = harness.PREFIX / "drive_c" / "windows" / "syswow64" / "mapi32.dll"


def replace_system_dll(source):
    # The group's system folder shares its files with the build's prefix (hard links): a new file
    # takes the old one's place instead of being written through it.
    SYSTEM_DLL.unlink(missing_ok=True)
    shutil.copy2(source, SYSTEM_DLL)
HELPERS = harness.BUILD / "tests" / "e2e"
SUBJECT = "Tessara App Installer Error Report"


class ReportMailTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = harness.WORK / "report-mail"
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        cls.saved = cls.work / "system-mapi32.dll"
        if SYSTEM_DLL.exists():
            shutil.copy2(SYSTEM_DLL, cls.saved)

    @classmethod
    def tearDownClass(cls):
        if cls.saved.exists():
            replace_system_dll(cls.saved)
        else:
            SYSTEM_DLL.unlink(missing_ok=True)

    def send(self, dll="recording_mapi.dll", result=0, temp=None, overrides="mapi32=n", program=None):
        """Writes and mails a report of a failed run; returns the hand-over's result, the report's path
        and what the mail library recorded (None when it was not called). Without a dll the system
        folder keeps its own."""
        replace_system_dll(HELPERS / dll if dll else self.saved)
        record = self.work / "record.txt"
        record.unlink(missing_ok=True)
        env = {"WINEDLLOVERRIDES": overrides, "TESSARA_MAPI_RECORD": harness.to_windows(record),
               "TESSARA_MAPI_RESULT": str(result)}
        args = [program or HELPERS / "mailreport.exe", 6]
        if temp is not None:
            temp.mkdir(parents=True, exist_ok=True)
            args.append(harness.to_windows(temp))
        out = harness.wine(args, env=env, timeout=60).stdout.decode("utf-16-le")
        sent, path = out.split("\n", 1)
        fields = None
        if record.exists():
            fields = dict(line.split("=", 1) for line in record.read_text("utf-16-le").splitlines())
        return sent == "1", path, fields

    def assert_message(self, fields, path, function="MAPISendMailW"):
        self.assertEqual({"function": function, "session": "0", "parent": "desktop", "flags": "9",
                          "subject": SUBJECT, "note": "(null)", "messageFlags": "0", "originator": "(null)",
                          "recipients": "0", "files": "1", "position": str(0xFFFFFFFF), "path": path,
                          "name": path, "fileFlags": "0", "type": "(null)", "readable": "1"}, fields)

    def test_cancel_and_failed_logon_count_as_offered_every_other_code_as_failed(self):
        for code, expected in ((0, True), (1, True), (3, True), (2, False), (11, False), (26, False)):
            with self.subTest(code=code):
                sent, path, fields = self.send(result=code)
                self.assertEqual(expected, sent)
                self.assertRegex(path, r"\\Orvix Tessara setup report \d{4}-\d\d-\d\d \d{4}( \(\d+\))?\.log$")
                self.assert_message(fields, path)

    def test_a_temporary_folder_beyond_ascii_reaches_the_mail_program_whole(self):
        sent, path, fields = self.send(temp=self.work / "José")
        self.assertTrue(sent)
        self.assertIn("\\José\\Orvix Tessara setup report ", path)
        self.assert_message(fields, path)

    def test_the_ansi_interface_gets_a_path_it_can_open(self):
        # "é" is in the ANSI code page and goes as it is; "Ł" is not, so the path goes in its short form.
        sent, path, fields = self.send(dll="recording_mapi_ansi.dll", temp=self.work / "José")
        self.assertTrue(sent)
        self.assert_message(fields, path, function="MAPISendMail")
        sent, path, fields = self.send(dll="recording_mapi_ansi.dll", temp=self.work / "Łukasz")
        self.assertTrue(sent)
        self.assertIn("\\Łukasz\\", path)
        self.assertEqual("1", fields["readable"], fields)
        self.assertTrue(fields["path"].isascii(), fields["path"])
        self.assertEqual(fields["path"], fields["name"])

    def test_a_mapi32_beside_the_program_is_never_loaded(self):
        # The system's own library does not load in native-only mode, so only a search that reaches
        # beyond the system folder could find the planted one.
        planted = self.work / "downloads"
        planted.mkdir(exist_ok=True)
        shutil.copy(HELPERS / "mailreport.exe", planted)
        shutil.copy(HELPERS / "recording_mapi.dll", planted / "mapi32.dll")
        sent, _, fields = self.send(dll=None, program=planted / "mailreport.exe")
        self.assertFalse(sent)
        self.assertIsNone(fields)

    def test_without_simple_mapi_the_report_is_still_written(self):
        sent, path, fields = self.send(overrides="mapi32=d")
        self.assertFalse(sent)
        self.assertIsNone(fields)
        self.assertTrue(harness.to_unix(path).is_file())


if __name__ == "__main__":
    unittest.main()
