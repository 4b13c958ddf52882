"""Libraries planted beside the setup program, as they would be in a downloads folder, are never loaded."""
import os
import re
import subprocess
import unittest
from unittest import mock

import harness
import test_install
import test_window

PLANTED = harness.BUILD / "tests" / "e2e" / "planted"
NAMES = ("bcrypt", "crypt32", "version", "urlmon")
# Wine, like Windows for a library that is not a known system library, then looks beside the program first.
NATIVE_FIRST = {"WINEDLLOVERRIDES": ",".join(NAMES) + "=n,b"}
# The known system libraries of Windows: always taken from the system folder, whatever lies beside a program.
KNOWN_DLLS = {name + ".dll" for name in (
    "advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus", "imagehlp", "imm32",
    "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost",
    "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32", "ws2_32")}


def planted_folder(name, program=harness.SETUP_EXE):
    folder = harness.prepare_setup_folder(name, program=program)
    for library in NAMES:
        (folder / (library + ".dll")).write_bytes((PLANTED / (library + ".dll")).read_bytes())
    return folder


def loaded(folder):
    """The planted libraries that the program loaded: each leaves "<name>.dll.loaded" beside itself. Wine's
    own user32 imports version.dll, so Wine's loader takes a planted one while it starts any program that
    imports user32, before the program's first instruction; Windows' user32 has no such import. Only a
    load of version.dll after the start is the program's."""
    return sorted(path.name for path in folder.glob("*.loaded")
                  if not (path.name == "version.dll.loaded" and path.read_text() == "start"))


class ImportTableTest(unittest.TestCase):
    def test_only_known_system_libraries_are_imported_at_load_time(self):
        for program in (harness.SETUP_EXE, harness.TEST_SETUP_EXE):
            table = subprocess.run(["i686-w64-mingw32-objdump", "-p", program], check=True, capture_output=True,
                                   text=True).stdout
            imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", table)}
            self.assertIn("kernel32.dll", imported)
            self.assertEqual(set(), imported - KNOWN_DLLS, program)


class PlantedLibrariesTest(test_install.InstallTestBase):
    def test_a_program_that_imports_bcrypt_loads_the_planted_one(self):
        """The planted libraries and the overrides do what an attack needs: the tests below can fail."""
        folder = planted_folder("planted-imports", program=harness.BUILD / "tests" / "e2e" / "imports_bcrypt.exe")
        harness.run_setup(folder, env=NATIVE_FIRST)
        self.assertEqual(["bcrypt.dll.loaded"], loaded(folder))

    def test_none_is_loaded_by_an_interactive_run_a_silent_installation_or_an_uninstallation(self):
        url = self.server.serve("/payload.zip", self.payload)
        interactive = planted_folder("planted-interactive")
        with mock.patch.dict(os.environ, NATIVE_FIRST):
            window = test_window.WindowRun(interactive, "/zipUrl", url)
            try:
                window.wait_for(lambda s: test_window.MAIN in s["controls"], "the installed screen")
                window.click(test_window.MAIN)
                self.assertTrue(window.wait_until_ended())
            finally:
                window.close()
        self.assertEqual([], loaded(interactive))

        silent = planted_folder("planted-silent")
        self.assert_installed(harness.run_setup(silent, "/silent", "/zipUrl", url, env=NATIVE_FIRST))
        self.assertEqual([], loaded(silent))

        uninstall = planted_folder("planted-uninstall")
        self.assertEqual(0, harness.run_setup(uninstall, "/uninstall", env=NATIVE_FIRST).exit_code)
        self.assertFalse(self.install_folder.exists())
        self.assertEqual([], loaded(uninstall))


if __name__ == "__main__":
    unittest.main()
