#!/usr/bin/env python3
"""Builds the extracted payload folders that the verification tests check.

Every case is a folder cases/<name>/ holding payload/ (the files and digest.s as the setup program
finds them after extraction) and, for some cases, files beside payload/ that a payload must never
reach. Certificates come from the openssl command line; manifests are written here, independently of
the payload tool, and signed with the tool's "sign" command, except one signed with "openssl smime"
and the tool-packed payload, which the tool writes whole.
"""
import argparse
import base64
import hashlib
import random
import shutil
import subprocess
import tempfile
import zipfile
from pathlib import Path

CA_CONFIG = """
[ req ]
distinguished_name = dn
x509_extensions = ca_ext
[ dn ]
[ ca ]
default_ca = issuing
[ issuing ]
database = {work}/index.txt
new_certs_dir = {work}
serial = {work}/serial
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[ any_name ]
organizationName = optional
commonName = supplied
[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ leaf_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def run(*args):
    subprocess.run([str(a) for a in args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class Identity:
    def __init__(self, key, cert):
        self.key = key
        self.cert = cert


class Authorities:
    """Keys and certificates made with openssl in one working folder."""

    def __init__(self, work):
        self.work = work
        self.config = work / "ca.cnf"
        self.config.write_text(CA_CONFIG.format(work=work))
        (work / "index.txt").write_text("")
        (work / "serial").write_text("1000\n")

    def key(self, name):
        path = self.work / f"{name}.key"
        run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path)
        return path

    def root(self, name, subject):
        key = self.key(name)
        cert = self.work / f"{name}.pem"
        run("openssl", "req", "-config", self.config, "-x509", "-new", "-key", key, "-subj", subject,
            "-days", "3650", "-out", cert)
        return Identity(key, cert)

    def issue(self, name, subject, issuer, key=None, ca=False, dates=None):
        key = key or self.key(name)
        request = self.work / f"{name}.csr"
        cert = self.work / f"{name}.pem"
        run("openssl", "req", "-config", self.config, "-new", "-key", key, "-subj", subject, "-out", request)
        validity = ["-startdate", dates[0], "-enddate", dates[1]] if dates else ["-days", "3650"]
        run("openssl", "ca", "-batch", "-notext", "-config", self.config, "-name", "issuing",
            "-cert", issuer.cert, "-keyfile", issuer.key, "-in", request, "-out", cert,
            "-extensions", "ca_ext" if ca else "leaf_ext", *validity)
        return Identity(key, cert)


def standard_files():
    rng = random.Random(20261207)
    return {
        "readme.txt": b"Tessara test payload\r\n",
        "bin/app.bin": bytes(rng.getrandbits(8) for _ in range(25000)),  # spans three hash buffers
        "bin/lib/data.dat": bytes(rng.getrandbits(8) for _ in range(10240)),  # exactly one buffer
        "empty.txt": b"",
    }


def digest_of(contents):
    return base64.b64encode(hashlib.sha256(b"".join(contents)).digest()).decode()


def file_lines(files):
    """The per-file lines that bind each file to its size and digest."""
    return [f'<File Size="{len(data)}" SHA256="{hashlib.sha256(data).hexdigest()}" URI="{uri}" />'
            for uri, data in sorted(files.items())]


def manifest_text(references, digests, eol="\r\n", extra_lines=()):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<PayloadManifest>"]
    lines += [f'<Reference URI="{uri}" />' for uri in references]
    lines += list(extra_lines)
    lines += [f"<DigestValue>{value}</DigestValue>" for value in digests]
    lines.append("</PayloadManifest>")
    return "".join(line + eol for line in lines).encode()


class Cases:
    def __init__(self, out, tool, dev_root, dev_root_subject):
        self.out = out
        self.tool = tool
        self.dev_root = dev_root
        self.dev_root_subject = dev_root_subject

    def folder(self, name, files):
        payload = self.out / "cases" / name / "payload"
        for uri, data in files.items():
            path = payload / uri
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        return payload

    def sign(self, payload, manifest, signer, chain=()):
        manifest_file = payload.parent / "manifest.txt"
        manifest_file.write_bytes(manifest)
        chain_args = [arg for cert in chain for arg in ("--chain", cert)]
        run(self.tool, "sign", "--manifest", manifest_file, "--key", signer.key, "--cert", signer.cert,
            *chain_args, "--out", payload / "digest.s")
        manifest_file.unlink()

    def signed(self, name, files=None, references=None, digests=None, signer=None, chain=(), **layout):
        """A folder with the standard files (or the given ones) and a manifest signed by the signer."""
        files = standard_files() if files is None else files
        references = sorted(files) if references is None else references
        if digests is None:
            digests = [digest_of(files.get(uri, b"") for uri in references)]
        payload = self.folder(name, files)
        self.sign(payload, manifest_text(references, digests, **layout), signer or self.dev_root, chain)
        return payload


def make_signer_cases(cases, ca):
    files = standard_files()
    manifest = manifest_text(sorted(files), [digest_of(files[uri] for uri in sorted(files))])

    payload = cases.folder("root-openssl", files)
    manifest_file = ca.work / "manifest-for-openssl.txt"
    manifest_file.write_bytes(manifest)
    run("openssl", "smime", "-sign", "-binary", "-nodetach", "-outform", "DER", "-in", manifest_file,
        "-signer", cases.dev_root.cert, "-inkey", cases.dev_root.key, "-out", payload / "digest.s")

    cases.signed("root")
    leaf_key = ca.key("leaf")
    leaf = ca.issue("leaf", "/O=Orvix Systems Example/CN=Tessara Payload Signer", cases.dev_root, leaf_key)
    cases.signed("leaf", signer=leaf)
    cases.signed("leaf-with-root", signer=leaf, chain=[cases.dev_root.cert])
    expired = ca.issue("expired", "/O=Orvix Systems Example/CN=Tessara Expired Signer", cases.dev_root, leaf_key,
                       dates=("20200101000000Z", "20210101000000Z"))
    cases.signed("expired-leaf", signer=expired)

    # A chain of nine authorities below the development root: chain[0] is issued by the root.
    chain = []
    for level in range(1, 10):
        chain.append(ca.issue(f"ca{level}", f"/O=Orvix Systems Example/CN=Tessara Intermediate {level}",
                              chain[-1] if chain else cases.dev_root, ca=True))

    signers = {}

    def below(level):
        if level not in signers:
            signers[level] = ca.issue(f"leaf-below-{level}", f"/O=Orvix Systems Example/CN=Tessara Signer {level}",
                                      chain[level - 1], leaf_key)
        return signers[level]

    def certs(level):
        return [c.cert for c in reversed(chain[:level])]

    cases.signed("chain-8", signer=below(8), chain=certs(8))
    cases.signed("chain-7-with-root", signer=below(7), chain=certs(7) + [cases.dev_root.cert])
    cases.signed("chain-9", signer=below(9), chain=certs(9))
    cases.signed("chain-8-with-root", signer=below(8), chain=certs(8) + [cases.dev_root.cert])
    cases.signed("chain-missing-link", signer=below(2), chain=[chain[1].cert])

    other = ca.root("other-root", "/O=Another Authority Example/CN=Another Root")
    other_leaf = ca.issue("other-leaf", "/O=Another Authority Example/CN=Another Signer", other, leaf_key)
    cases.signed("other-authority", signer=other_leaf, chain=[other.cert])
    cases.signed("other-authority-self", signer=other)
    impostor = ca.root("impostor-root", cases.dev_root_subject)
    impostor_leaf = ca.issue("impostor-leaf", "/O=Orvix Systems Example/CN=Tessara Payload Signer", impostor,
                             leaf_key)
    cases.signed("impostor-root", signer=impostor_leaf, chain=[impostor.cert])

    payload = cases.signed("tampered-manifest")
    message = bytearray((payload / "digest.s").read_bytes())
    at = bytes(message).find(manifest) + manifest.find(b"readme.txt")
    message[at] ^= 0x20  # "readme" becomes "Readme"
    (payload / "digest.s").write_bytes(bytes(message))

    payload = cases.folder("not-pkcs7", files)
    (payload / "digest.s").write_bytes(manifest)
    cases.folder("no-signature", files)


def make_manifest_cases(cases):
    files = standard_files()
    names = sorted(files)
    good = digest_of(files[uri] for uri in names)
    wrong = digest_of([b"something else"])

    cases.signed("bare-lf", eol="\n")
    cases.signed("last-digest-counts", digests=[wrong, good])
    cases.signed("first-digest-only", digests=[good, wrong])
    cases.signed("invalid-base64", digests=["not*base64!"])
    cases.signed("no-digest", digests=[])
    cases.signed("no-references", references=[], digests=[digest_of([])])
    twice = names + ["bin/app.bin"]
    cases.signed("reference-twice", references=twice)
    cases.signed("reference-twice-counted-once", references=twice, digests=[good])
    cases.signed("backslash-separators", references=[uri.replace("/", "\\") for uri in names], digests=[good])
    # Other spellings of the same files: each must still count as signed and stay.
    cases.signed("respelled-references", references=["./bin/app.bin", "bin//lib/../lib/data.dat", "EMPTY.txt",
                                                      "Readme.TXT"], digests=[good])

    without_empty = dict(files)
    del without_empty["empty.txt"]
    cases.signed("missing-empty-file", files=without_empty, references=names, digests=[good])
    cases.signed("extra-file", files={**files, "notes/extra.txt": b"not listed\r\n"}, references=names)
    cases.signed("indented-reference", files={**files, "extra.txt": b"listed with indentation\r\n"},
                 references=names, extra_lines=['  <Reference URI="extra.txt" />'])

    def damaged(name, change):
        changed = dict(files)
        change(changed)
        cases.signed(name, files=changed, references=names, digests=[good])

    damaged("missing-file", lambda f: f.pop("bin/app.bin"))
    damaged("altered-file", lambda f: f.update({"bin/app.bin": b"X" + files["bin/app.bin"][1:]}))
    damaged("truncated-file", lambda f: f.update({"bin/app.bin": files["bin/app.bin"][:-1]}))
    damaged("reordered-files", lambda f: f.update({"bin/app.bin": files["readme.txt"],
                                                   "readme.txt": files["bin/app.bin"]}))

    # Per-file lines: bytes moved across a file boundary keep the digest over all files but not theirs.
    cases.signed("per-file", references=names, extra_lines=file_lines(files))
    shifted = dict(files, **{"bin/app.bin": files["bin/app.bin"][:-4096],
                             "bin/lib/data.dat": files["bin/app.bin"][-4096:] + files["bin/lib/data.dat"]})
    cases.signed("per-file-shifted", files=shifted, references=names, digests=[good],
                 extra_lines=file_lines(files))
    filled = dict(files, **{"empty.txt": files["readme.txt"][:8], "readme.txt": files["readme.txt"][8:]})
    cases.signed("per-file-filled-empty", files=filled, references=names, digests=[good],
                 extra_lines=file_lines(files))
    cases.signed("per-file-line-missing", references=names, extra_lines=file_lines(files)[1:])
    # Without the name check this would pass: the file Windows cannot name counts as empty and absent.
    cases.signed("per-file-trailing-dot", references=names + ["notes.txt."],
                 extra_lines=file_lines({**files, "notes.txt.": b""}))

    # The digest covers the file beside the folder, so reading it would make the check pass.
    outside = b"outside the payload folder\r\n"
    payload = cases.signed("dotdot-reference", references=names + ["../outside.txt"],
                           digests=[digest_of([files[uri] for uri in names] + [outside])])
    (payload.parent / "outside.txt").write_bytes(outside)


def make_packed_case(cases, ca, out):
    """A folder packed whole by the tool and extracted with Python's zipfile."""
    source = ca.work / "packed-source"
    rng = random.Random(7)
    contents = {
        "Tessara.exe": bytes(rng.getrandbits(8) for _ in range(40000)),
        "tessaradetector.exe": bytes(rng.getrandbits(8) for _ in range(12000)),
        "lang/en.txt": b"Hello\r\n",
        "lang/Документы/отчёт.txt": "Отчёт о проверке\r\n".encode(),
        "資料/説明.txt": "説明書\r\n".encode(),
        "empty.dat": b"",
    }
    for uri, data in contents.items():
        (source / uri).parent.mkdir(parents=True, exist_ok=True)
        (source / uri).write_bytes(data)
    (source / "logs").mkdir()
    leaf = Identity(ca.work / "leaf.key", ca.work / "leaf.pem")
    zip_path = out / "packed.zip"
    run(cases.tool, "pack", "--folder", source, "--key", leaf.key, "--cert", leaf.cert,
        "--chain", cases.dev_root.cert, "--out", zip_path)
    payload = out / "cases" / "packed" / "payload"
    with zipfile.ZipFile(zip_path) as archive:
        for entry in archive.infolist():
            if any(ord(c) > 127 for c in entry.filename) and not entry.flag_bits & 0x800:
                raise SystemExit(f"{entry.filename} is not marked as UTF-8")
        archive.extractall(payload)


def zip_cases(out):
    """Each case's payload folder as the zip a download would bring, entries in the folder's order."""
    for payload in sorted((out / "cases").glob("*/payload")):
        zip_path = out / "zips" / f"{payload.parent.name}.zip"
        zip_path.parent.mkdir(exist_ok=True)
        with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_DEFLATED) as archive:
            for path in sorted(payload.rglob("*")):
                if path.is_file():
                    archive.write(path, path.relative_to(payload).as_posix())


def make_hash_sample(out):
    sample = out / "hash" / "sample.bin"
    sample.parent.mkdir(parents=True)
    data = bytes(random.Random(3).getrandbits(8) for _ in range(3 * 10240 + 17))
    sample.write_bytes(data)
    (out / "hash" / "sample.sha256").write_text(hashlib.sha256(data).hexdigest())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True, type=Path)
    parser.add_argument("--dev-root", required=True, type=Path, help="folder of dev-root.pem and its key")
    parser.add_argument("--out", required=True, type=Path)
    args = parser.parse_args()

    out = args.out
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    dev_root = Identity(args.dev_root / "dev-root.key.pem", args.dev_root / "dev-root.pem")
    shutil.copy(args.dev_root / "dev-root.der", out / "dev-root.der")
    subject = subprocess.run(["openssl", "x509", "-in", str(dev_root.cert), "-noout", "-subject", "-nameopt",
                              "compat"], check=True, capture_output=True, text=True).stdout

    with tempfile.TemporaryDirectory() as work:
        ca = Authorities(Path(work))
        cases = Cases(out, args.tool, dev_root, subject.strip().split("=", 1)[1])
        make_signer_cases(cases, ca)
        make_manifest_cases(cases)
        make_packed_case(cases, ca, out)
    zip_cases(out)
    make_hash_sample(out)
    (out / "fixtures.stamp").write_text("complete\n")


if __name__ == "__main__":
    try:
        main()
    except subprocess.CalledProcessError as error:
        raise SystemExit(f"{' '.join(error.cmd)} failed:\n{error.stderr.decode(errors='replace')}")
