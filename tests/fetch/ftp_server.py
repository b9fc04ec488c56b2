#!/usr/bin/python3
# ftp_server.py PORT DIR USER PASSWORD RECORD FAILURES: an FTP server on
# 127.0.0.1:PORT for one user, serving DIR, that appends every USER and PASS
# line it is offered to RECORD and refuses the first FAILURES downloads.
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

port, root, user, password, record, failures = sys.argv[1:7]
failures = [int(failures)]


class Handler(FTPHandler):
    def pre_process_command(self, line, cmd, arg):
        if cmd in ("USER", "PASS"):
            with open(record, "a", encoding="utf-8", errors="surrogateescape") as f:
                f.write("%s %s\n" % (cmd, arg))
        return super().pre_process_command(line, cmd, arg)

    def ftp_RETR(self, file):
        if failures[0] > 0:
            failures[0] -= 1
            return self.respond("550 Temporarily unavailable.")
        return super().ftp_RETR(file)


Handler.authorizer = DummyAuthorizer()
Handler.authorizer.add_user(user, password, root, perm="elr")
Handler.passive_ports = range(30000, 30100)
FTPServer(("127.0.0.1", int(port)), Handler).serve_forever()
