#!/usr/bin/python3
"""HTTP server for the download tests, serving files of one folder:
  /stall-half/NAME   first request: headers and half the body, then silence;
                     later requests are served (with Range) normally
  /stall-start/NAME  headers, then silence before the first body byte
  /chunked/NAME      the whole file without a Content-Length
  /NAME              the file, honouring Range
Every request line and its Range header are appended to the record file."""
import argparse
import os
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SILENCE_SECONDS = 90


def make_handler(root, record):
    lock = threading.Lock()
    stalled = set()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def note(self):
            with lock, open(record, "a", encoding="utf-8") as f:
                f.write("%s range=%s\n" % (self.path, self.headers.get("Range", "-")))

        def body_of(self, name):
            path = os.path.join(root, os.path.basename(name))
            if not os.path.isfile(path):
                return None
            with open(path, "rb") as f:
                return f.read()

        def send_plain(self, data):
            start = 0
            rng = self.headers.get("Range")
            m = re.match(r"bytes=(\d+)-$", rng or "")
            if m:
                start = int(m.group(1))
                self.send_response(206)
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
            else:
                self.send_response(200)
            self.send_header("Content-Length", str(len(data) - start))
            self.end_headers()
            self.wfile.write(data[start:])

        def do_GET(self):
            self.note()
            parts = self.path.strip("/").split("/", 1)
            mode, name = (parts[0], parts[1]) if len(parts) == 2 else ("", parts[0])
            data = self.body_of(name)
            if data is None:
                self.send_error(404)
                return
            if mode == "stall-start" or (mode == "stall-half" and name not in stalled and not self.headers.get("Range")):
                stalled.add(name)
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                if mode == "stall-half":
                    self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                time.sleep(SILENCE_SECONDS)
                self.close_connection = True
                return
            if mode == "chunked":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                for i in range(0, len(data), 4096):
                    piece = data[i:i + 4096]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.write(b"0\r\n\r\n")
                return
            self.send_plain(data)

    return Handler


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--record", required=True)
    args = ap.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(args.dir, args.record))
    server.daemon_threads = True
    server.serve_forever()


if __name__ == "__main__":
    main()
