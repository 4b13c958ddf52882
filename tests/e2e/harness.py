"""Drives the real TessaraAppSetup.exe under Wine for end-to-end tests.

Everything here is real: the executable from the build, the build's Wine prefix and its registry,
payloads packed and signed with the payload tool and OpenSSL, and an HTTP server on 127.0.0.1.
"""
import base64
import contextlib
import filecmp
import hashlib
import http.server
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time
import unittest
import zipfile

BUILD = pathlib.Path(os.environ.get("TESSARA_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
SOURCE = pathlib.Path(os.environ.get("TESSARA_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
PAYLOAD_TOOL = os.environ.get("TESSARA_PAYLOAD_TOOL", str(BUILD / "host" / "tessara-payload"))
WINE_RUN = str(BUILD / "wine-run.sh")
SETUP_EXE = BUILD / "TessaraAppSetup.exe"
# The same program with the test build's limits (see tests/e2e/TestRunLimits.cpp).
TEST_SETUP_EXE = BUILD / "tests" / "e2e" / "TessaraAppSetupTest.exe"
DEMO_DIR = BUILD / "tools" / "demo"
DEV_ROOT = SOURCE / "tests" / "fixtures" / "dev-root"
# CTest runs each group of tests in a prefix and work folder of its own; the first Windows program run
# makes them (see cmake/wine-run.sh.in).
GROUP = pathlib.Path(os.environ["TESSARA_TEST_GROUP_DIR"]) if "TESSARA_TEST_GROUP_DIR" in os.environ else None
PREFIX = GROUP / "wineprefix" if GROUP else pathlib.Path(os.environ.get("TESSARA_WINEPREFIX", BUILD / "wineprefix"))
WORK = GROUP / "work" if GROUP else BUILD / "e2e-work"
subprocess.run([WINE_RUN], check=True)

UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvix Tessara App"
PROTOCOL_KEY = r"Software\Classes\tessarapro"
RUN_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
SHELL_FOLDERS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
ENVIRONMENT_KEY = r"HKCU\Environment"
# "/silent" ends a failed installation with 1603; Wine hands a Windows exit code to Linux modulo 256.
FAILED_INSTALL_EXIT_CODE = 1603 % 256


def wine(args, cwd=None, env=None, timeout=300, capture=True):
    """Runs a Windows program. Programs that start others must not capture: a started process inherits
    the output pipe and would keep it open after the program itself has ended."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    output = subprocess.PIPE if capture else subprocess.DEVNULL
    return subprocess.run([WINE_RUN] + [str(a) for a in args], cwd=cwd, env=full_env, timeout=timeout,
                          stdout=output, stderr=output, stdin=subprocess.DEVNULL)


def to_windows(path):
    return "Z:" + str(path).replace("/", "\\")


def to_unix(windows_path):
    drive, rest = windows_path[0].upper(), windows_path[2:].replace("\\", "/").lstrip("/")
    if drive == "Z":
        return pathlib.Path("/") / rest
    return PREFIX / "dosdevices" / (drive.lower() + ":") / rest


def expand(variable_text):
    """Expands %VARIABLES% the way the prefix's programs see them."""
    out = wine(["cmd.exe", "/c", "echo", variable_text], timeout=60).stdout
    return out.decode("utf-8", "replace").strip()


def regdump(path):
    return regdump_keys([path])[path]


def regdump_keys(paths):
    """Path -> key, read in one run: each run is a Windows program to start."""
    out = wine([BUILD / "tests" / "e2e" / "regdump.exe"] + list(paths), timeout=60).stdout
    return dict(zip(paths, (json.loads(line) for line in out.decode("utf-8").splitlines())))


def reg(*args):
    return wine(["reg.exe"] + list(args), timeout=60)


def registry_snapshot():
    return regdump_keys([UNINSTALL_KEY, PROTOCOL_KEY, PROTOCOL_KEY + r"\DefaultIcon",
                         PROTOCOL_KEY + r"\shell\open\command", RUN_KEY])


def registry_text(value):
    return bytes.fromhex(value["hex"]).decode("utf-16-le").rstrip("\0")


def redirect_temp_folder(windows_path):
    """Points TEMP and TMP of the user's environment at a folder; returns what restore_temp_folder needs.
    Wine takes TEMP and TMP from the user's environment in the registry, not from Linux."""
    original = regdump(ENVIRONMENT_KEY[5:])["values"]
    for name in ("TEMP", "TMP"):
        reg("add", ENVIRONMENT_KEY, "/v", name, "/t", "REG_EXPAND_SZ", "/d", windows_path, "/f")
    return original


def restore_temp_folder(original):
    for name in ("TEMP", "TMP"):
        if name in original:
            reg("add", ENVIRONMENT_KEY, "/v", name, "/t", "REG_EXPAND_SZ", "/d", registry_text(original[name]), "/f")
        else:
            reg("delete", ENVIRONMENT_KEY, "/v", name, "/f")


def delete_registrations():
    # One import of a registry file rather than a run of reg.exe per key: each is a program to start.
    removal = WORK / "delete-registrations.reg"
    removal.parent.mkdir(parents=True, exist_ok=True)
    removal.write_text("REGEDIT4\r\n\r\n" + "".join("[-HKEY_CURRENT_USER\\%s]\r\n\r\n" % key for key in (UNINSTALL_KEY, PROTOCOL_KEY))
                       + "[HKEY_CURRENT_USER\\%s]\r\n\"TessaraDetector\"=-\r\n" % RUN_KEY)
    wine(["regedit.exe", "/s", to_windows(removal)], timeout=60)


def tree_digest(folder):
    """Relative path -> sha256 of every file (and None for every folder) below a folder. Paths are
    compared without regard to case, as Windows compares them (the installer writes lower-case names)."""
    folder = pathlib.Path(folder)
    if not folder.exists():
        return None
    result = {}
    for path in sorted(folder.rglob("*")):
        rel = path.relative_to(folder).as_posix().lower()
        result[rel] = None if path.is_dir() else hashlib.sha256(path.read_bytes()).hexdigest()
    return result


def prefix_command_lines():
    """(process id, command line) of every process running in this build's Wine prefix. Other builds on
    the same machine run processes of the same names in prefixes of their own; the tests neither see nor
    end those."""
    marker = ("WINEPREFIX=%s" % PREFIX).encode()
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if marker not in (entry / "environ").read_bytes().split(b"\0"):
                continue
            # Wine shows a program's command line as its first argument, or as its arguments.
            program = " ".join(part.decode("utf-8", "replace")
                               for part in (entry / "cmdline").read_bytes().split(b"\0") if part)
        except OSError:
            continue
        yield int(entry.name), program


def prefix_processes():
    """(process id, lower-case image name) of every process running in this build's Wine prefix."""
    for pid, program in prefix_command_lines():
        # The arguments may hold URLs: the image is the path up to its ".exe".
        image = re.match(r'\s*"?([^"]*?\.exe\b|[^" ]*)', program, re.IGNORECASE).group(1)
        yield pid, image.replace("\\", "/").rsplit("/", 1)[-1].lower()


def background_removals():
    """The processes a finished installation left to remove the previous one's files."""
    return [pid for pid, program in prefix_command_lines() if "/removeDiscarded" in program]


def self_removal_scripts():
    """The scripts uninstallations left to remove their program once it has exited."""
    return [pid for pid, program in prefix_command_lines() if re.search(r"\.bat\b", program, re.IGNORECASE)]


def process_ended(pid):
    """True once a process is gone or only waits to be reaped."""
    try:
        return (pathlib.Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[0] in "ZX"
    except (OSError, IndexError):
        return True


def kill_windows_processes(*image_names):
    wanted = {name.lower() for name in image_names}
    killed = []
    for pid, image in prefix_processes():
        if image in wanted:
            try:
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
            except OSError:
                pass
    wait_until(lambda: all(process_ended(pid) for pid in killed), "the killed processes to end")


def wait_until(condition, what, timeout=60):
    deadline = time.time() + timeout
    while not condition():
        if time.time() > deadline:
            raise AssertionError("waited %d s for %s" % (timeout, what))
        time.sleep(0.05)


def messages_of(log_text):
    return [line.split("] :: ", 1)[1] if "] :: " in line else line for line in log_text.splitlines()]


def log_lines(folder):
    """The messages a setup run has logged so far in its folder."""
    log = pathlib.Path(folder) / "debugLog.log"
    return messages_of(log.read_bytes().decode("cp1252", "replace") if log.is_file() else "")


def running_image_names():
    return [image for _, image in prefix_processes()]


# ---------------------------------------------------------------------------------------------
# Payloads


def make_payload(folder, out_zip, key=DEV_ROOT / "dev-root.key.pem", cert=DEV_ROOT / "dev-root.pem", chain=(),
                 version=None):
    args = [PAYLOAD_TOOL, "pack", "--folder", folder, "--key", key, "--cert", cert, "--out", out_zip]
    for extra in chain:
        args += ["--chain", extra]
    if version:
        args += ["--version", version]
    subprocess.run([str(a) for a in args], check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return pathlib.Path(out_zip)


def manifest_last(zip_path, out_zip):
    """The payload with its signed manifest behind the files, as other packers place it: an installer can
    unpack such an archive only once all of it has arrived."""
    with zipfile.ZipFile(zip_path) as source, zipfile.ZipFile(out_zip, "w", zipfile.ZIP_DEFLATED) as target:
        for item in sorted(source.infolist(), key=lambda entry: entry.filename == "digest.s"):
            target.writestr(item, source.read(item.filename), compresslevel=1)
    return pathlib.Path(out_zip)


def stage_demo_application(folder, with_detector=True, extra_files=None):
    """The demo application's two executables plus a few data files, ready to be packed."""
    folder = pathlib.Path(folder)
    if folder.exists():
        shutil.rmtree(folder)
    (folder / "resources" / "sounds").mkdir(parents=True)
    shutil.copy(DEMO_DIR / "Tessara.exe", folder / "Tessara.exe")
    if with_detector:
        shutil.copy(DEMO_DIR / "tessaradetector.exe", folder / "tessaradetector.exe")
    (folder / "resources" / "strings.txt").write_text("hello from the demo payload\n")
    (folder / "resources" / "sounds" / "ring.bin").write_bytes(os.urandom(40000))
    for rel, data in (extra_files or {}).items():
        (folder / rel).parent.mkdir(parents=True, exist_ok=True)
        (folder / rel).write_bytes(data)
    return folder


def make_other_authority(folder):
    """A self-made root and signer that have nothing to do with the pinned certificate."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    key, cert = folder / "other.key.pem", folder / "other.pem"
    if not cert.exists():
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=Some Other Authority", "-keyout", str(key), "-out", str(cert)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return key, cert


# ---------------------------------------------------------------------------------------------
# HTTP server on 127.0.0.1


# The user name and password that a "password" route asks for; a test looks for the password anywhere.
PASSWORD_USER_INFO = "user:SECRETpw7"
PASSWORD_AUTHORIZATION = "Basic " + base64.b64encode(PASSWORD_USER_INFO.encode()).decode()


class PayloadServer:
    """Serves payloads in several manners: "normal", "nolength" (no Content-Length, closes at the end),
    "cut" (announces the full length, sends half, closes), "reset" (the same, ending with a reset
    connection), "404", "slow" (a trickle), "silent" (accepts and never answers), "endless" (a body
    without length that never ends), "html" (a page of the given bytes as text/html, as a captive portal
    answers), "redirect" (302 to the URL given as the data) and "password" (only to a request that
    brings the user name and password of PASSWORD_USER_INFO, 401 to any other). Given a certificate and
    its key (PEM), it serves HTTPS under the name "localhost"."""

    def __init__(self, certificate=None):
        self.routes = {}
        routes = self.routes

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *args):
                pass

            def do_HEAD(self):
                # Only a redirect is told to HEAD requests; any other route answers as an old server.
                mode, data = routes.get(self.path, ("404", b""))
                if mode == "redirect":
                    self.do_GET()
                else:
                    self.send_error(501)

            def do_GET(self):
                mode, data = routes.get(self.path, ("404", b""))
                if mode == "silent":
                    time.sleep(600)
                    return
                if mode == "404":
                    self.send_error(404)
                    return
                if mode == "password" and self.headers.get("Authorization") != PASSWORD_AUTHORIZATION:
                    self.send_response(401)
                    self.send_header("WWW-Authenticate", 'Basic realm="payload"')
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if mode == "redirect":
                    self.send_response(302)
                    self.send_header("Location", data.decode())
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                self.send_response(200)
                self.send_header("Content-Type", "text/html" if mode == "html" else "application/zip")
                if mode != "nolength":
                    self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                try:
                    if mode in ("cut", "reset"):
                        self.wfile.write(data[: len(data) // 2])
                        self.wfile.flush()
                        if mode == "reset":
                            # Closing with a zero linger time sends a reset instead of an orderly end.
                            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                            self.connection.close()
                        else:
                            self.connection.shutdown(2)
                    elif mode == "endless":
                        while True:
                            self.wfile.write(data)
                    elif mode == "slow":
                        for i in range(0, len(data), 4096):
                            self.wfile.write(data[i:i + 4096])
                            self.wfile.flush()
                            time.sleep(0.05)
                    else:
                        self.wfile.write(data)
                except (BrokenPipeError, ConnectionResetError, OSError):
                    pass

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.scheme_and_host = "http://127.0.0.1"
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
            # The system refuses a certificate issued to an address; it takes one issued to a name.
            self.scheme_and_host = "https://localhost"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "%s:%d%s" % (self.scheme_and_host, self.server.server_address[1], path)

    def serve(self, path, data, mode="normal"):
        self.routes[path] = (mode, data)
        return self.url(path)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


# ---------------------------------------------------------------------------------------------
# Runs of the setup program


class SetupRun:
    def __init__(self, completed, folder):
        # A run is over for the tests once what it left to do in the background is done.
        wait_until(lambda: all(process_ended(pid) for pid in background_removals()), "the backup's removal")
        self.exit_code = completed.returncode
        self.folder = folder
        log = folder / "debugLog.log"
        self.log_text = log.read_bytes().decode("cp1252", "replace") if log.is_file() else None

    @property
    def messages(self):
        return messages_of(self.log_text or "")


def prepare_setup_folder(name, config=None, program=SETUP_EXE):
    """A fresh folder holding a copy of the setup program (and "config.ini" when given)."""
    folder = WORK / name
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    shutil.copy(program, folder / "TessaraAppSetup.exe")
    if config is not None:
        (folder / "config.ini").write_text(config.replace("\n", "\r\n"))
    return folder


def run_setup(folder, *args, env=None, timeout=300):
    completed = wine([folder / "TessaraAppSetup.exe"] + list(args), cwd=folder, env=env, timeout=timeout,
                     capture=False)
    return SetupRun(completed, folder)


def start_setup(folder, *args, env=None):
    """Starts the setup program without waiting; finish_setup collects the run."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.Popen([WINE_RUN, str(folder / "TessaraAppSetup.exe")] + [str(a) for a in args], cwd=folder,
                            env=full_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL)


@contextlib.contextmanager
def mounted(source, target, *options, read_only=False):
    """A mount of our own (of a folder or a file) for the length of a test; the test is skipped where
    mounting is not allowed."""
    if not target.exists():
        target.mkdir(parents=True)
    done = subprocess.run(["mount", *options, str(source), str(target)], stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise unittest.SkipTest("cannot mount here: %s" % done.stderr.decode().strip())
    try:
        if read_only:
            subprocess.run(["mount", "-o", "remount,bind,ro", str(target)], check=True)
        yield target
    finally:
        subprocess.run(["umount", "--lazy", str(target)], check=True)


@contextlib.contextmanager
def run_lock_held(marker):
    """Holds the user's run lock, as another setup run would, for the length of the block; the block gets
    a function that makes the holder let go at once, as a run that ends just then."""
    marker.unlink(missing_ok=True)
    release = marker.with_name(marker.name + ".release")
    release.unlink(missing_ok=True)
    holder = subprocess.Popen([WINE_RUN, BUILD / "tests" / "e2e" / "holdlock.exe", to_windows(marker),
                               to_windows(release)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 30
        while not marker.exists() and time.time() < deadline:
            time.sleep(0.1)
        if not marker.exists():
            raise AssertionError("the helper does not hold the lock")
        yield release.touch
    finally:
        kill_windows_processes("holdlock.exe")
        holder.wait()


@contextlib.contextmanager
def file_held_open(path, marker, share_delete=False):
    """Keeps a file open, as a program that uses it would, for the length of the block; with share_delete,
    letting others delete it."""
    marker.unlink(missing_ok=True)
    args = [WINE_RUN, str(BUILD / "tests" / "e2e" / "holdfile.exe"), str(path), to_windows(marker)]
    holder = subprocess.Popen(args + (["delete"] if share_delete else []), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if marker.exists():
                break
            time.sleep(0.1)
        if not marker.exists():
            raise AssertionError("the holder does not have %s open" % path)
        yield
    finally:
        kill_windows_processes("holdfile.exe")
        holder.wait(timeout=30)


def finish_setup(process, folder, timeout=300):
    process.wait(timeout=timeout)
    return SetupRun(process, folder)


def same_tree(a, b):
    comparison = filecmp.dircmp(a, b)
    if comparison.left_only or comparison.right_only or comparison.diff_files or comparison.funny_files:
        return False
    return all(same_tree(pathlib.Path(a) / sub, pathlib.Path(b) / sub) for sub in comparison.common_dirs)
