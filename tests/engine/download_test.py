"""DownloadPayload end to end: download_driver.exe under Wine against a local HTTP server.

Each case serves one kind of response from 127.0.0.1 and checks what the driver printed (the
progress that reached the report, the result) and the files left at the download path and its
safety copy.
"""
import glob
import http.server
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BUILD = os.environ["TESSARA_BUILD_DIR"]
DRIVER = os.path.join(BUILD, "tests", "engine", "download_driver.exe")
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
subprocess.run([WINE_RUN], check=True)
PREFIX = os.path.join(os.environ["TESSARA_TEST_GROUP_DIR"], "wineprefix") if "TESSARA_TEST_GROUP_DIR" in os.environ \
    else os.path.join(BUILD, "wineprefix")
CACHE = os.path.join(PREFIX, "drive_c", "users", "*",
                     "AppData", "Local", "Microsoft", "Windows", "INetCache")

PAYLOAD = bytes(range(256)) * 2048  # 512 KiB
SLOW_CHUNK = 4096
SLOW_PAUSE = 0.05
# Failed attempts are tried again; the pauses between them need not be long here.
ENV = dict(os.environ, TESSARA_TEST_RETRY_PAUSE_MS="50")


def windows_path(path):
    """The prefix's drive Z: is the host's root folder."""
    return "Z:" + path.replace("/", "\\")


class PayloadHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _head(self, status, length=None, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/zip")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def do_GET(self):
        self.server.requests.append(self.path)
        # "/payload.zip" is served as "/payload": the cache names its copies after the extension too.
        stem = os.path.splitext(self.path.strip("/"))[0]
        route = getattr(self, "route_" + stem.replace("-", "_"), None)
        if route is None:
            self._head(404, 0)
            return
        route()

    def route_payload(self):
        self._head(200, len(PAYLOAD))
        self.wfile.write(PAYLOAD)

    def route_close_delimited(self):
        self._head(200, extra=[("Connection", "close")])
        self.wfile.write(PAYLOAD)
        self.close_connection = True

    def route_chunked(self):
        self._head(200, extra=[("Transfer-Encoding", "chunked")])
        for start in range(0, len(PAYLOAD), 30000):
            chunk = PAYLOAD[start:start + 30000]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        self.wfile.write(b"0\r\n\r\n")

    def route_missing(self):
        body = b"<html><body>no such payload</body></html>"
        self._head(404, len(body), [("Content-Type", "text/html")])
        self.wfile.write(body)

    def route_broken(self):
        body = b"<html><body>server error</body></html>"
        self._head(500, len(body), [("Content-Type", "text/html")])
        self.wfile.write(body)

    def route_moved(self):
        self._head(302, 0, [("Location", "/payload")])

    def route_cut(self):
        self._head(200, len(PAYLOAD))
        self.wfile.write(PAYLOAD[:len(PAYLOAD) // 3])
        self.wfile.flush()
        self.connection.shutdown(socket.SHUT_RDWR)
        self.close_connection = True

    def route_slow(self):
        self._head(200, len(PAYLOAD))
        try:
            for start in range(0, len(PAYLOAD), SLOW_CHUNK):
                self.wfile.write(PAYLOAD[start:start + SLOW_CHUNK])
                self.wfile.flush()
                time.sleep(SLOW_PAUSE)
        except OSError:
            pass  # the client gave up: that is what the cancel cases want

    def route_hesitant(self):
        # The headers, then a pause longer than the client's patience before the body.
        self._head(200, len(PAYLOAD))
        self.wfile.flush()
        time.sleep(3)
        try:
            self.wfile.write(PAYLOAD)
        except OSError:
            pass

    def route_dated(self):
        # Invites the download service to revalidate a cached copy on the second request.
        stamp = "Mon, 01 Jan 2024 00:00:00 GMT"
        if self.headers.get("If-Modified-Since") or self.headers.get("If-None-Match"):
            self.server.revalidated += 1
            self._head(304, extra=[("Last-Modified", stamp), ("ETag", '"p1"')])
            return
        self._head(200, len(PAYLOAD), [("Last-Modified", stamp), ("ETag", '"p1"'),
                                       ("Cache-Control", "max-age=0")])
        self.wfile.write(PAYLOAD)


class DownloadPayloadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PayloadHandler)
        cls.server.daemon_threads = True
        cls.server.requests = []
        cls.server.revalidated = 0
        cls.thread = threading.Thread(target=cls.server.serve_forever, daemon=True)
        cls.thread.start()
        cls.base = "http://127.0.0.1:%d" % cls.server.server_address[1]

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="tessara-download-")
        # As the pipeline hands it over: an empty file made by the unique-name service.
        self.target = os.path.join(self.folder.name, "TessA1B2.tmp")
        open(self.target, "wb").close()
        self.safety = self.target + "_temp"

    def tearDown(self):
        self.folder.cleanup()

    def download(self, route, *options):
        run = subprocess.run([WINE_RUN, DRIVER, self.base + route, windows_path(self.target), *options],
                             capture_output=True, text=True, timeout=120, env=ENV)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.split()
        words = list(zip(lines[0::2], lines[1::2]))
        results = [int(v) for k, v in words if k == "result"]
        self.assertEqual(len(results), 1, run.stdout)
        progress = [int(v) for k, v in words if k == "progress"]
        ranges = [int(v) for k, v in words if k == "range"]
        return results[0] == 1, progress, ranges

    def read_target(self):
        with open(self.target, "rb") as f:
            return f.read()

    def assert_empty_file_restored(self):
        self.assertTrue(os.path.isfile(self.target))
        self.assertEqual(self.read_target(), b"")
        self.assertFalse(os.path.exists(self.safety))

    def test_payload_with_length_reports_progress_up_to_100(self):
        ok, progress, ranges = self.download("/payload")
        self.assertTrue(ok)
        self.assertEqual(ranges, [100])
        self.assertTrue(progress)
        self.assertEqual(progress[-1], 100)
        self.assertEqual(progress, sorted(progress))
        self.assertEqual(self.read_target(), PAYLOAD)
        self.assertFalse(os.path.exists(self.safety))

    def test_payload_without_length_succeeds_without_moving_the_bar(self):
        for route in ("/close-delimited", "/chunked"):
            with self.subTest(route=route):
                ok, progress, ranges = self.download(route)
                self.assertTrue(ok)
                self.assertEqual(ranges, [100])
                self.assertEqual(progress, [])
                self.assertEqual(self.read_target(), PAYLOAD)
                self.assertFalse(os.path.exists(self.safety))
                open(self.target, "wb").close()

    def test_redirect_is_followed(self):
        ok, progress, _ = self.download("/moved")
        self.assertTrue(ok)
        self.assertEqual(self.read_target(), PAYLOAD)

    def test_second_download_of_a_cacheable_payload_succeeds(self):
        for attempt in range(2):
            with self.subTest(attempt=attempt):
                open(self.target, "wb").close()
                ok, _, _ = self.download("/dated")
                self.assertTrue(ok)
                self.assertEqual(self.read_target(), PAYLOAD)

    def test_http_error_fails_and_restores_the_empty_file(self):
        for route in ("/missing", "/broken", "/no-such-route"):
            with self.subTest(route=route):
                ok, _, _ = self.download(route)
                self.assertFalse(ok)
                self.assert_empty_file_restored()

    def test_body_cut_short_fails_and_restores_the_empty_file(self):
        ok, progress, _ = self.download("/cut")
        self.assertFalse(ok)
        self.assertLess(max(progress, default=0), 100)
        self.assert_empty_file_restored()

    def test_cancel_during_download_fails_and_restores_the_empty_file(self):
        ok, progress, _ = self.download("/slow", "--cancel-at", "10")
        self.assertFalse(ok)
        self.assertTrue(progress)
        self.assertLess(progress[-1], 100)
        self.assert_empty_file_restored()

    def test_cancel_before_start_fails_without_progress(self):
        ok, progress, _ = self.download("/slow", "--cancel-before-start")
        self.assertFalse(ok)
        self.assertEqual(progress, [])
        self.assert_empty_file_restored()

    def test_without_report_downloads_and_cannot_cancel(self):
        ok, progress, ranges = self.download("/payload", "--no-report")
        self.assertTrue(ok)
        self.assertEqual((progress, ranges), ([], []))
        self.assertEqual(self.read_target(), PAYLOAD)

    def test_stale_safety_copy_is_deleted_first(self):
        with open(self.safety, "wb") as f:
            f.write(b"left over from an earlier run")
        ok, _, _ = self.download("/missing")
        self.assertFalse(ok)
        self.assert_empty_file_restored()

        with open(self.safety, "wb") as f:
            f.write(b"left over from an earlier run")
        ok, _, _ = self.download("/payload")
        self.assertTrue(ok)
        self.assertEqual(self.read_target(), PAYLOAD)
        self.assertFalse(os.path.exists(self.safety))

    def test_unreachable_server_fails_and_restores_the_empty_file(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        run = subprocess.run([WINE_RUN, DRIVER, "http://127.0.0.1:%d/payload" % port,
                              windows_path(self.target)],
                             capture_output=True, text=True, timeout=120, env=ENV)
        self.assertIn("result 0", run.stdout)
        self.assert_empty_file_restored()

    def cache_entry(self, route):
        run = subprocess.run([WINE_RUN, DRIVER, "--cache-entry", self.base + route], capture_output=True, text=True,
                             timeout=60)
        self.assertIn("cache-entry ", run.stdout, run.stderr)
        return run.stdout.split()[-1] == "1"

    def cache_files(self):
        return {p for p in glob.glob(os.path.join(CACHE, "**", "*"), recursive=True)
                if os.path.isfile(p) and os.path.basename(p) != "index.dat"}

    def test_nothing_of_a_download_stays_in_the_internet_cache(self):
        # The checks see what a browser's download leaves there, and that copy goes with the URL's entry.
        before = self.cache_files()
        subprocess.run([WINE_RUN, DRIVER, "--fill-cache", self.base + "/payload.zip"], check=True, timeout=60)
        self.assertTrue(self.cache_entry("/payload.zip"))
        self.assertTrue(self.cache_files() - before)
        for route, options, succeeds in [("/payload.zip", [], True), ("/chunked", [], True), ("/moved", [], True),
                                         ("/missing", [], False), ("/cut", [], False),
                                         ("/slow", ["--cancel-at", "10"], False),
                                         ("/hesitant", ["--cancel-after", "1000"], False)]:
            with self.subTest(route=route):
                open(self.target, "wb").close()
                self.assertEqual(succeeds, self.download(route, *options)[0])
                self.assertFalse(self.cache_entry(route))
                self.assertEqual(set(), self.cache_files() - before)

    def test_no_previous_file_leaves_nothing_on_failure(self):
        os.remove(self.target)
        ok, _, _ = self.download("/missing")
        self.assertFalse(ok)
        self.assertFalse(os.path.exists(self.target))
        self.assertFalse(os.path.exists(self.safety))


if __name__ == "__main__":
    unittest.main()
