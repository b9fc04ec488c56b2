#!/usr/bin/python3
# HTTP server for the download tests: stall_server.py PORT DIR RECORD serves
# the files of DIR on 127.0.0.1:PORT and appends every request path and its
# Range header to RECORD.
#   /stall-half/NAME   first request: headers and half the body, then silence;
#                      later requests are served (with Range) normally
#   /stall-start/NAME  headers, then silence before the first body byte
#   /chunked/NAME      the whole file without a Content-Length
#   /hopN/NAME         a redirect to /hop(N-1)/NAME, /hop1 to /NAME
#   /NAME              the file, honouring Range; 404 when DIR has no NAME
import os
import re
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

port, root, record = sys.argv[1:4]
stalled = set()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def start(self, code, length, *more):
        self.send_response(code)
        self.send_header(*(("Content-Length", str(length)) if length is not None else ("Transfer-Encoding", "chunked")))
        for header in more:
            self.send_header(*header)
        self.end_headers()

    def do_GET(self):
        rng = self.headers.get("Range")
        with open(record, "a", encoding="utf-8") as f:
            f.write("%s range=%s\n" % (self.path, rng or "-"))
        mode, _, name = self.path.strip("/").rpartition("/")
        if mode.startswith("hop"):
            return self.start(302, 0, ("Location", "/hop%d/%s" % (int(mode[3:]) - 1, name) if mode != "hop1" else "/" + name))
        path = os.path.join(root, name)
        if not os.path.isfile(path):
            return self.send_error(404)
        with open(path, "rb") as f:
            data = f.read()
        m = re.match(r"bytes=(\d+)-$", rng or "")
        if mode == "stall-start" or (mode == "stall-half" and name not in stalled and not rng):
            stalled.add(name)
            self.start(200, len(data))
            self.wfile.write(data[: len(data) // 2] if mode == "stall-half" else b"")
            self.wfile.flush()
            time.sleep(90)
            self.close_connection = True
        elif mode == "chunked":
            self.start(200, None)
            for i in range(0, len(data), 4096):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data[i:i + 4096]), data[i:i + 4096]))
            self.wfile.write(b"0\r\n\r\n")
        elif m:
            start = int(m.group(1))
            self.start(206, len(data) - start, ("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))))
            self.wfile.write(data[start:])
        else:
            self.start(200, len(data))
            self.wfile.write(data)


server = ThreadingHTTPServer(("127.0.0.1", int(port)), Handler)
server.daemon_threads = True
server.serve_forever()
