#!/usr/bin/python3
"""HTTP server for the download tests, serving the files of one folder:
  /stall-half/NAME   first request: headers and half the body, then silence;
                     later requests are served (with Range) normally
  /stall-start/NAME  headers, then silence before the first body byte
  /chunked/NAME      the whole file without a Content-Length
  /NAME              the file, honouring Range
Every request path and its Range header are appended to the record file."""
import argparse
import os
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ap = argparse.ArgumentParser()
for opt in ("--port", "--dir", "--record"):
    ap.add_argument(opt, required=True)
args = ap.parse_args()
lock = threading.Lock()
stalled = set()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *a):
        pass

    def headers_for(self, code, length):
        self.send_response(code)
        self.send_header(*(("Content-Length", str(length)) if length is not None else ("Transfer-Encoding", "chunked")))

    def do_GET(self):
        rng = self.headers.get("Range")
        with lock, open(args.record, "a", encoding="utf-8") as f:
            f.write("%s range=%s\n" % (self.path, rng or "-"))
        mode, _, name = self.path.strip("/").rpartition("/")
        path = os.path.join(args.dir, name)
        if not os.path.isfile(path):
            return self.send_error(404)
        with open(path, "rb") as f:
            data = f.read()
        if mode == "stall-start" or (mode == "stall-half" and name not in stalled and not rng):
            stalled.add(name)
            self.headers_for(200, len(data))
            self.end_headers()
            self.wfile.write(data[: len(data) // 2] if mode == "stall-half" else b"")
            self.wfile.flush()
            time.sleep(90)
            self.close_connection = True
        elif mode == "chunked":
            self.headers_for(200, None)
            self.end_headers()
            for i in range(0, len(data), 4096):
                piece = data[i:i + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            m = re.match(r"bytes=(\d+)-$", rng or "")
            start = int(m.group(1)) if m else 0
            self.headers_for(206 if m else 200, len(data) - start)
            if m:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
            self.end_headers()
            self.wfile.write(data[start:])


server = ThreadingHTTPServer(("127.0.0.1", int(args.port)), Handler)
server.daemon_threads = True
server.serve_forever()
