#!/usr/bin/python3
"""FTP server for the retrieval tests: one user, records every password it
is offered, and can refuse the first N downloads."""
import argparse
import logging

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--record", required=True, help="file that receives every USER/PASS offered")
    ap.add_argument("--fail-retr", type=int, default=0)
    args = ap.parse_args()

    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.dir, perm="elr")
    state = {"failures": args.fail_retr}

    class Handler(FTPHandler):
        def ftp_USER(self, line):
            with open(args.record, "a", encoding="utf-8", errors="surrogateescape") as f:
                f.write("USER " + line + "\n")
            return super().ftp_USER(line)

        def ftp_PASS(self, line):
            with open(args.record, "a", encoding="utf-8", errors="surrogateescape") as f:
                f.write("PASS " + line + "\n")
            return super().ftp_PASS(line)

        def ftp_RETR(self, file):
            with open(args.record, "a", encoding="utf-8", errors="surrogateescape") as f:
                f.write("RETR " + file + "\n")
            if state["failures"] > 0:
                state["failures"] -= 1
                self.respond("550 Temporarily unavailable.")
                return
            return super().ftp_RETR(file)

    Handler.authorizer = authorizer
    Handler.passive_ports = range(30000, 30100)
    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
