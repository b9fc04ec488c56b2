#!/usr/bin/python3
"""FTP server of one user that records every USER and PASS it is offered
and refuses the first N downloads."""
import argparse

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

ap = argparse.ArgumentParser()
for opt in ("--port", "--dir", "--user", "--password", "--record", "--fail-retr"):
    ap.add_argument(opt, required=True)
args = ap.parse_args()
failures = [int(args.fail_retr)]


class Handler(FTPHandler):
    def note(self, line):
        with open(args.record, "a", encoding="utf-8", errors="surrogateescape") as f:
            f.write(line + "\n")

    def ftp_USER(self, line):
        self.note("USER " + line)
        return super().ftp_USER(line)

    def ftp_PASS(self, line):
        self.note("PASS " + line)
        return super().ftp_PASS(line)

    def ftp_RETR(self, file):
        if failures[0] > 0:
            failures[0] -= 1
            return self.respond("550 Temporarily unavailable.")
        return super().ftp_RETR(file)


Handler.authorizer = DummyAuthorizer()
Handler.authorizer.add_user(args.user, args.password, args.dir, perm="elr")
Handler.passive_ports = range(30000, 30100)
FTPServer(("127.0.0.1", int(args.port)), Handler).serve_forever()
