"""The publisher's payload tool on the host: its options, its errors and what it writes."""
import base64
import hashlib
import os
import subprocess
import tempfile
import unittest
import zipfile
from pathlib import Path

TOOL = os.environ["TESSARA_PAYLOAD_TOOL"]
DEV_ROOT = Path(os.environ["TESSARA_SOURCE_DIR"]) / "tests" / "fixtures" / "dev-root"
KEY = DEV_ROOT / "dev-root.key.pem"
CERT = DEV_ROOT / "dev-root.pem"
# The signed cases of tests/verify/make_fixtures.py, zipped as a download brings them.
CASE_ZIPS = Path(os.environ["TESSARA_BUILD_DIR"]) / "tests" / "verify" / "data" / "zips"
# Whether the setup program installs each case (its own check runs on the same zips in CheckPayloadTest).
SETUP_VERDICTS = {
    "root-openssl": True, "root": True, "leaf": True, "leaf-with-root": True, "expired-leaf": True,
    "chain-8": True, "chain-7-with-root": True, "chain-9": False, "chain-8-with-root": False,
    "chain-missing-link": False, "other-authority": False, "other-authority-self": False,
    "impostor-root": False, "tampered-manifest": False, "not-pkcs7": False, "no-signature": False,
    "bare-lf": False, "last-digest-counts": True, "first-digest-only": False, "invalid-base64": False,
    "no-digest": False, "no-references": False, "reference-twice": True, "reference-twice-counted-once": False,
    "backslash-separators": True, "respelled-references": True, "indented-reference": True,
    "dotdot-reference": False, "missing-empty-file": True, "extra-file": True, "missing-file": False,
    "altered-file": False, "truncated-file": False, "reordered-files": False, "packed": True,
    "per-file": True, "per-file-shifted": False, "per-file-filled-empty": False, "per-file-line-missing": False,
    "per-file-trailing-dot": False,
}

FILES = {
    "b/zeta.bin": bytes(range(256)) * 100,
    "a.txt": b"first\r\n",
    "b/Alpha.txt": b"upper case sorts first\n",
    "empty.dat": b"",
    "Документы/отчёт.txt": "отчёт\r\n".encode(),
    "資料.txt": "説明\r\n".encode(),
}
ORDER = sorted(FILES, key=lambda uri: uri.encode())


def read_as_setup_programs_without_per_file_lines_do(manifest):
    """The references and the digest value, by the rules of the manifest reader that knows only those two
    kinds of line: lines end at LF or NUL, a line counts only when its marker starts at its first byte
    and exactly one byte (the CR) follows its closing marker, everything else is ignored."""
    references, digest = [], None
    for line in manifest.replace(b"\0", b"\n").split(b"\n"):
        for opening, closing in ((b'<Reference URI="', b'" />'), (b"<DigestValue>", b"</DigestValue>")):
            if (len(line) >= len(opening) + len(closing) + 2 and line.startswith(opening)
                    and line[-1 - len(closing):-1] == closing):
                value = line[len(opening):-1 - len(closing)]
                if opening == b"<DigestValue>":
                    digest = base64.b64decode(value)
                else:
                    references.append(value.decode())
    return references, digest


def tool(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True)


def verified_content(signature):
    """The manifest inside a DER PKCS#7 message, after openssl has checked the signature."""
    result = subprocess.run(["openssl", "smime", "-verify", "-inform", "DER", "-noverify", "-binary"],
                            input=signature, capture_output=True, check=True)
    return result.stdout


class PayloadToolTest(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="tessara-payload-tool-"))
        self.folder = self.work / "folder"
        for uri, data in FILES.items():
            (self.folder / uri).parent.mkdir(parents=True, exist_ok=True)
            (self.folder / uri).write_bytes(data)
        (self.folder / "empty-folder").mkdir()

    def tearDown(self):
        subprocess.run(["rm", "-rf", str(self.work)], check=True)

    def pack(self, *extra):
        out = self.work / "payload.zip"
        return out, tool("pack", "--folder", self.folder, "--key", KEY, "--cert", CERT, *extra, "--out", out)

    def test_help_names_every_command(self):
        result = tool("--help")
        self.assertEqual(0, result.returncode)
        for word in (b"pack", b"manifest", b"sign", b"verify", b"--chain", b"--version", b"--root"):
            self.assertIn(word, result.stdout)
        self.assertEqual(2, tool().returncode)
        self.assertEqual(2, tool("pack", "--folder").returncode)
        self.assertEqual(2, tool("pack", "--colour", "red").returncode)

    def test_missing_inputs_are_named_and_nothing_is_written(self):
        missing = self.work / "missing"
        cases = [
            (("--folder", missing, "--key", KEY, "--cert", CERT), b"payload folder not found"),
            (("--folder", self.folder, "--key", missing, "--cert", CERT), b"signer key not found"),
            (("--folder", self.folder, "--key", KEY, "--cert", missing), b"signer certificate not found"),
            (("--folder", self.folder, "--key", KEY, "--cert", CERT, "--chain", missing),
             b"chain certificate not found"),
            (("--folder", self.folder, "--key", KEY, "--cert", KEY), b"no certificate in signer certificate"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                result = tool("pack", *args, "--out", self.work / "out.zip")
                self.assertEqual(1, result.returncode)
                self.assertIn(message, result.stderr)
                self.assertFalse((self.work / "out.zip").exists())
        self.assertEqual(2, tool("pack", "--folder", self.folder, "--cert", CERT, "--out", "x").returncode)

    def test_key_of_another_certificate_is_refused(self):
        other_key = self.work / "other.key"
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-out", other_key], check=True,
                       capture_output=True)
        result = tool("sign", "--manifest", self.folder / "a.txt", "--key", other_key, "--cert", CERT,
                      "--out", self.work / "digest.s")
        self.assertEqual(1, result.returncode)
        self.assertIn(b"does not belong", result.stderr)

    def test_names_windows_cannot_store_are_refused(self):
        for name in ('quote".txt', "colon:stream", "back\\slash", "trailing.", "blank ", "CON", "nul.txt",
                     "com1.log", "Lpt9", "A.TXT"):
            with self.subTest(name=name):
                (self.folder / name).write_bytes(b"x")
                out, result = self.pack()
                self.assertEqual(1, result.returncode)
                self.assertIn(b"cannot store" if name != "A.TXT" else b"differ only in case", result.stderr)
                self.assertFalse(out.exists())
                (self.folder / name).unlink()

    def test_manifest_lists_files_in_byte_order_with_one_digest_and_a_line_per_file(self):
        (self.folder / "digest.s").write_bytes(b"an old signature is not payload")
        result = tool("manifest", "--folder", self.folder)
        self.assertEqual(0, result.returncode, result.stderr)
        lines = result.stdout.split(b"\r\n")
        self.assertEqual(b"", lines[-1])
        self.assertNotIn(b"\n", b"".join(lines))
        references = [line for line in lines if line.startswith(b"<Reference URI=")]
        self.assertEqual([f'<Reference URI="{uri}" />'.encode() for uri in ORDER], references)
        digest = hashlib.sha256(b"".join(FILES[uri] for uri in ORDER)).digest()
        self.assertEqual([b"<DigestValue>" + base64.b64encode(digest) + b"</DigestValue>"],
                         [line for line in lines if line.startswith(b"<DigestValue>")])
        per_file = [f'<File Size="{len(FILES[uri])}" SHA256="{hashlib.sha256(FILES[uri]).hexdigest()}" '
                    f'URI="{uri}" />'.encode() for uri in ORDER]
        self.assertEqual(per_file, [line for line in lines if line.startswith(b"<File ")])
        # A setup program that predates the per-file lines reads the same files and digest.
        self.assertEqual((ORDER, digest), read_as_setup_programs_without_per_file_lines_do(result.stdout))

    def test_pack_writes_files_and_signed_manifest(self):
        out, result = self.pack()
        self.assertEqual(0, result.returncode, result.stderr)
        with zipfile.ZipFile(out) as archive:
            entries = {entry.filename: entry for entry in archive.infolist()}
            self.assertEqual(set(FILES) | {"digest.s"}, set(entries))
            for uri, data in FILES.items():
                self.assertEqual(data, archive.read(uri))
                self.assertEqual(zipfile.ZIP_DEFLATED, entries[uri].compress_type)
                self.assertEqual(uri.isascii(), not entries[uri].flag_bits & 0x800, uri)
            signature = archive.read("digest.s")
        manifest = tool("manifest", "--folder", self.folder).stdout
        self.assertEqual(manifest, verified_content(signature))
        printed = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-print"], input=signature,
                                 capture_output=True, check=True).stdout
        self.assertRegex(printed, rb"auth_attr:\s+<ABSENT>")

    def test_sign_keeps_the_manifest_bytes_as_they_are(self):
        manifest = self.work / "hand.txt"
        manifest.write_bytes(b'<Reference URI="a.txt" />\n  indented\x00after nul\r\n')
        out = self.work / "digest.s"
        result = tool("sign", "--manifest", manifest, "--key", KEY, "--cert", CERT, "--out", out)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(manifest.read_bytes(), verified_content(out.read_bytes()))

    def test_version_is_signed_on_a_line_older_setup_programs_ignore(self):
        for version, accepted in (("2", True), ("2.14.0", True), ("1.2.3.4", True), ("007.0", True),
                                  ("1.2.3.4.5", False), ("1..2", False), ("v1.2", False), ("1.2.", False),
                                  ("1234567890.1", False), ("", False)):
            with self.subTest(version=version):
                result = tool("manifest", "--folder", self.folder, "--version", version)
                self.assertEqual(0 if accepted else 2, result.returncode, result.stderr)
                if accepted:
                    self.assertIn(b"\r\n<PayloadVersion>" + version.encode() + b"</PayloadVersion>\r\n", result.stdout)
                    self.assertEqual(read_as_setup_programs_without_per_file_lines_do(tool("manifest", "--folder", self.folder).stdout),
                                     read_as_setup_programs_without_per_file_lines_do(result.stdout))

    def test_verify_gives_the_setup_programs_verdict_on_every_case(self):
        self.assertEqual(set(SETUP_VERDICTS), {path.stem for path in CASE_ZIPS.glob("*.zip")})
        for case, accepted in SETUP_VERDICTS.items():
            with self.subTest(case=case):
                result = tool("verify", "--payload", CASE_ZIPS / (case + ".zip"))
                self.assertEqual(0 if accepted else 1, result.returncode, result.stdout)
                self.assertEqual(not accepted, b"\nrefused: " in b"\n" + result.stdout, result.stdout)
        self.assertIn(b"note: notes/extra.txt is not signed",
                      tool("verify", "--payload", CASE_ZIPS / "extra-file.zip").stdout)

    def test_verify_reports_order_version_and_root(self):
        out, result = self.pack("--version", "3.1.4")
        self.assertEqual(0, result.returncode, result.stderr)
        result = tool("verify", "--payload", out)
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertIn(b"ok: digest.s comes first", result.stdout)
        self.assertIn(b"ok: signed version 3.1.4", result.stdout)
        self.assertEqual(0, tool("verify", "--payload", out, "--root", CERT).returncode)

        # Another root: the same payload no longer chains to it.
        other = self.work / "other.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                        "/CN=Another Root", "-keyout", self.work / "other.key", "-out", other],
                       check=True, capture_output=True)
        result = tool("verify", "--payload", out, "--root", other)
        self.assertEqual(1, result.returncode)
        self.assertIn(b"does not chain to the root", result.stdout)

        # The manifest behind the files: still installed, but only once all of it has arrived.
        last = self.work / "manifest-last.zip"
        with zipfile.ZipFile(out) as source, zipfile.ZipFile(last, "w", zipfile.ZIP_DEFLATED) as target:
            for item in sorted(source.infolist(), key=lambda entry: entry.filename == "digest.s"):
                target.writestr(item, source.read(item.filename))
        result = tool("verify", "--payload", last)
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertIn(b"note: digest.s is not the first entry", result.stdout)

        (self.work / "not.zip").write_bytes(b"not a zip")
        self.assertEqual(1, tool("verify", "--payload", self.work / "not.zip").returncode)
        self.assertEqual(2, tool("verify").returncode)

    def test_folder_without_files_is_refused(self):
        empty = self.work / "nothing"
        (empty / "sub").mkdir(parents=True)
        result = tool("manifest", "--folder", empty)
        self.assertEqual(1, result.returncode)
        self.assertIn(b"holds no files", result.stderr)


if __name__ == "__main__":
    unittest.main()
