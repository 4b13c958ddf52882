"""Serves a folder over HTTP on 127.0.0.1 at a given rate, as a link of that speed would deliver it;
prints the port on its first line. For scripts/bench-install.sh.
usage: throttled-server.py FOLDER BYTES_PER_SECOND"""
import functools
import http.server
import sys
import time

folder, rate = sys.argv[1], int(sys.argv[2])
piece = 64 * 1024


class ThrottledHandler(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, outputfile):
        # Paced against the start of the body, so that the pauses' own errors do not add up.
        start, sent = time.monotonic(), 0
        while data := source.read(piece):
            outputfile.write(data)
            sent += len(data)
            ahead = sent / rate - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(ThrottledHandler, directory=folder))
print(server.server_address[1], flush=True)
server.serve_forever()
