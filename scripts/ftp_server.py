"""An FTP server on 127.0.0.1 port 21 for the end-to-end tests and the demo (pyftpdlib).

Run it with Debian's /usr/bin/python3, which has python3-pyftpdlib. It prints "ready" once
it listens, writes every command and response to the --log file, and ends on SIGTERM.

  ftp_server.py --log FILE [--user NAME:PASSWORD:HOME]... [--anonymous HOME]
                [--hide NAME]... [--drop PATH:BYTES] [--idle-timeout SECONDS] [--silent]

--hide keeps files of that name out of every directory listing (they can still be fetched);
--drop resets the data connection of the first download of PATH once BYTES have been sent.
--idle-timeout drops a control connection idle that long (logging "421 Control connection timed out.").
--silent never greets: a login waits until the connection times out (logging "test server: no greeting").

Port 21 is fixed, so servers of concurrent test runs on this machine take turns through a
lock file, held for the life of the server.
"""

import argparse
import fcntl
import logging
import os
import signal
import socket
import struct
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

HOST, PORT = "127.0.0.1", 21
LOCK = "/tmp/renewix-ftp-port21.lock"
LOCK_WAIT = 600
# Small socket buffers make a transfer advance only as fast as the client reads.
DATA_SEND_BUFFER = 8192

hidden = set()
drops = {}  # real path -> bytes to send before the reset


class HidingFS(AbstractedFS):
    def listdir(self, path):
        return [name for name in super().listdir(path) if name not in hidden]

    def format_list(self, basedir, listing, ignore_err=True):
        return super().format_list(basedir, [n for n in listing if n not in hidden], ignore_err)

    def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
        return super().format_mlsx(basedir, [n for n in listing if n not in hidden], perms, facts, ignore_err)


class DroppingDTPHandler(DTPHandler):
    """Resets the connection (RST, not FIN) in the middle of a file that is to be dropped."""

    def __init__(self, sock, cmd_channel):
        super().__init__(sock, cmd_channel)
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, DATA_SEND_BUFFER)
        except (OSError, AttributeError):
            pass

    def initiate_send(self):
        name = getattr(self.file_obj, "name", None)
        limit = drops.get(os.path.realpath(name)) if name else None
        if limit is not None and self.tot_bytes_sent >= limit:
            del drops[os.path.realpath(name)]
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            logging.getLogger("pyftpdlib").info("test server: reset the data connection after %d bytes",
                                                self.tot_bytes_sent)
            self._resp = ("426 Data connection reset by the test server; transfer aborted.", logging.info)
            self.close()
            return
        super().initiate_send()


class Handler(FTPHandler):
    abstracted_fs = HidingFS
    dtp_handler = DroppingDTPHandler
    use_sendfile = False  # every chunk goes through initiate_send
    permit_foreign_addresses = False


class SilentHandler(Handler):
    def handle(self):
        logging.getLogger("pyftpdlib").info("test server: no greeting")


def take_port_lock():
    handle = open(LOCK, "w")
    deadline = time.monotonic() + LOCK_WAIT
    while True:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return handle
        except BlockingIOError:
            if time.monotonic() > deadline:
                sys.exit(f"another FTP test server has held port {PORT} for {LOCK_WAIT} s")
            time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--user", action="append", default=[])
    parser.add_argument("--anonymous")
    parser.add_argument("--hide", action="append", default=[])
    parser.add_argument("--drop", action="append", default=[])
    parser.add_argument("--idle-timeout", type=int)
    parser.add_argument("--silent", action="store_true")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    for user in args.user:
        name, password, home = user.split(":", 2)
        authorizer.add_user(name, password, home, perm="elr")
    if args.anonymous:
        authorizer.add_anonymous(args.anonymous, perm="elr")
    hidden.update(args.hide)
    for drop in args.drop:
        path, count = drop.rsplit(":", 1)
        drops[os.path.realpath(path)] = int(count)
    Handler.authorizer = authorizer
    if args.idle_timeout:
        Handler.timeout = args.idle_timeout

    logging.basicConfig(filename=args.log, level=logging.DEBUG, format="%(message)s")
    lock = take_port_lock()
    try:
        server = FTPServer((HOST, PORT), SilentHandler if args.silent else Handler)
    except OSError as error:
        sys.exit(f"cannot listen on {HOST}:{PORT}: {error}")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready", flush=True)
    try:
        server.serve_forever()  # closes every connection on exit
    finally:
        lock.close()


if __name__ == "__main__":
    main()
