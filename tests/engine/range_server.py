"""A payload server on 127.0.0.1 that honours byte ranges (ETag, Last-Modified, If-Range) and can
misbehave on command: each path has a queue of misdeeds, one taken per request, for the network
tests and the update benchmark.

Misdeeds: ("status", code, retry_after) answers that status (retry_after may be a function of the
answer's own Date, as seconds since 1970, that returns the header's text); ("reset", n) sends n body bytes and
resets the connection; ("pass",) answers as it should; ("stall", n, seconds) sends n bytes and then nothing for a while;
("ignore-range",) answers 200 with the whole file; ("change", content) replaces the file's content
(reversed when no content is given) before answering. "/loop" redirects to itself forever; a path in
`redirects` answers 302 to its URL (`get_redirects` on GET only). `heads` and `requests` note what was
asked, with the Authorization header it came with. A rate in bytes per second throttles every body; a
server made with ranges=False ignores Range altogether.
"""
import hashlib
import http.server
import socket
import struct
import threading
import time

CHUNK = 64 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # As servers of payloads do on kept-alive connections: small answers go out at once.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        with self.server.lock:
            self.server.heads.append((self.path, self.headers.get("Authorization")))
        if self.path == "/loop":
            return self.head(302, 0, [("Location", "/loop")])
        if self.path in self.server.redirects:
            return self.head(302, 0, [("Location", self.server.redirects[self.path])])
        body = self.server.files.get(self.path)
        self.head(404 if body is None else 200, 0 if body is None else len(body),
                  [("Accept-Ranges", "bytes")] if self.server.ranges else [])

    def do_GET(self):
        server = self.server
        with server.lock:
            server.requests.append((self.path, self.headers.get("Range"), self.headers.get("Authorization")))
            misdeed = server.misdeeds.get(self.path, []).pop(0) if server.misdeeds.get(self.path) else None
            if misdeed and misdeed[0] == "pass":
                misdeed = None
            if misdeed and misdeed[0] == "change":
                server.files[self.path] = misdeed[1] if len(misdeed) > 1 else server.files[self.path][::-1] + b"!"
                misdeed = None
        if self.path == "/loop":
            return self.head(302, 0, [("Location", "/loop")])
        target = server.redirects.get(self.path) or server.get_redirects.get(self.path)
        if target:
            return self.head(302, 0, [("Location", target)])
        if server.password and self.headers.get("Authorization") != server.password:
            return self.head(401, 0, [("WWW-Authenticate", 'Basic realm="payload"')])
        body = server.files.get(self.path)
        if body is None:
            return self.head(404, 0)
        if misdeed and misdeed[0] == "status":
            retry_after = misdeed[2](int(time.time())) if callable(misdeed[2]) else misdeed[2]
            extra = [("Retry-After", str(retry_after))] if retry_after is not None else []
            return self.head(misdeed[1], 0, extra)
        tag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
        validators = [("ETag", tag), ("Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT")]
        if server.ranges:
            validators.append(("Accept-Ranges", "bytes"))
        first, last = self.wanted_range(len(body), tag)
        if misdeed and misdeed[0] == "ignore-range":
            first, last = None, None
        if first is None:
            self.head(200, len(body), validators)
            part = body
        else:
            self.head(206, last - first + 1,
                      validators + [("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))])
            part = body[first:last + 1]
        if misdeed and misdeed[0] == "reset":
            self.send_body(part[:misdeed[1]])
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
        elif misdeed and misdeed[0] == "stall":
            self.send_body(part[:misdeed[1]])
            time.sleep(misdeed[2] if len(misdeed) > 2 else 30)
            self.close_connection = True
        else:
            self.send_body(part)

    def wanted_range(self, size, tag):
        wanted = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if not self.server.ranges or not wanted.startswith("bytes=") or "," in wanted or (if_range and if_range != tag):
            return None, None
        start, _, end = wanted[6:].partition("-")
        if not start:
            return max(0, size - int(end)), size - 1
        return int(start), min(size - 1, int(end)) if end else size - 1

    def head(self, status, length, extra=()):
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        self.send_header("Content-Type", "application/zip")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def send_body(self, data):
        rate = self.server.rate
        try:
            for start in range(0, len(data), CHUNK):
                piece = data[start:start + CHUNK]
                self.wfile.write(piece)
                with self.server.lock:
                    self.server.sent += len(piece)
                if rate:
                    time.sleep(len(piece) / rate)
            self.wfile.flush()
        except OSError:
            self.close_connection = True


class RangeServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, files, rate=0, password=None, ranges=True):
        super().__init__(("127.0.0.1", 0), Handler)
        self.files = dict(files)
        self.rate = rate
        self.ranges = ranges
        self.password = password
        self.misdeeds = {}
        self.redirects = {}
        self.get_redirects = {}
        self.requests = []
        self.heads = []
        self.sent = 0
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()
        self.base = "http://127.0.0.1:%d" % self.server_address[1]

    def stop(self):
        self.shutdown()
        self.server_close()
