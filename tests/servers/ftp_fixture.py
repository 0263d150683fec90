#!/usr/bin/python3
"""An FTP server for the tests (pyftpdlib) on 127.0.0.1.

    ftp_fixture.py STATE MODE [CERT KEY]

User "hvm" with password "secret" works in STATE/data. MODE:
  mlsd   MLSD and LIST as pyftpdlib has them
  list   no MLSD/MLST: the client must read Unix LIST lines
  dos    no MLSD/MLST, LIST in the DOS/IIS form
  odd    no MLSD/MLST, LIST with broken and hostile lines between good ones
With CERT and KEY the server offers AUTH TLS. The port goes to STATE/port.
Faults are armed at run time: a file STATE/break-download or
STATE/break-upload holding a byte count makes the next transfer in that
direction break after that many bytes (the file is used up); STATE/lie-size
holding a number makes the next SIZE answer that number, STATE/refuse-size
makes it refuse (holding a reply code such as 502, or 1 for 550);
STATE/endless-download (holding 1) makes the next RETR send filler after
the file's bytes until the client closes the data connection (or
ENDLESS_LIMIT bytes went out); STATE/flood-listing holding a count makes
the next MLSD answer that many generated names instead of the folder's.
STATE/idle holding seconds ends control connections idle that long.
"""
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import (BufferedIteratorProducer, DTPHandler, FTPHandler, TLS_FTPHandler,
                                TLS_DTPHandler)
from pyftpdlib.servers import FTPServer

STATE = sys.argv[1]
MODE = sys.argv[2]
# Where an endless download gives up: far beyond any socket buffer, so that a
# client that never stops reading is told apart from one that cut it off.
ENDLESS_LIMIT = 256 << 20


def armed(name):
    """The byte count of an armed fault, used up by asking."""
    path = os.path.join(STATE, name)
    try:
        with open(path) as f:
            value = int(f.read().strip() or "0")
        os.unlink(path)
        return value
    except (OSError, ValueError):
        return 0


class BreakingDTP:
    """Breaks one transfer after the armed number of bytes."""
    limit = None

    def _limit(self):
        if self.limit is None:
            self.limit = armed("break-upload" if self.receive else "break-download")
        return self.limit

    def _break(self):
        sys.stderr.write("fault: %s broken after %d bytes\n" % (
            "upload" if self.receive else "download",
            self.tot_bytes_received if self.receive else self.tot_bytes_sent))
        sys.stderr.flush()
        self._resp = ("426 Connection closed; transfer aborted.", lambda *a, **k: None)
        self.close()

    def send(self, data):
        limit = self._limit()
        if limit and self.tot_bytes_sent + len(data) > limit:
            data = data[:max(0, limit - self.tot_bytes_sent)]
            if not data:
                self._break()
                return 0
        return super().send(data)

    def handle_read(self):
        limit = self._limit()
        if limit and self.tot_bytes_received >= limit:
            self._break()
            return
        super().handle_read()

    handle_read_event = handle_read


class PlainDTP(BreakingDTP, DTPHandler):
    pass


class SecureDTP(BreakingDTP, TLS_DTPHandler):
    pass


class EndlessProducer:
    """The file's bytes, then filler until the client stops reading."""

    def __init__(self, inner):
        self.inner = inner
        self.sent = 0

    def more(self):
        data = self.inner.more()
        if not data:
            if self.sent >= ENDLESS_LIMIT:
                sys.stderr.write("fault: endless download ran out after %d bytes\n" % self.sent)
                sys.stderr.flush()
                return b""
            data = b"\xee" * 65536
        self.sent += len(data)
        return data


def flood_lines(count):
    """count MLSD lines of distinct generated names, in blocks."""
    for start in range(0, count, 4096):
        yield "".join("type=file;size=1; n%07d\r\n" % i for i in range(start, min(count, start + 4096))).encode()


def mtime_text(path, dos):
    st = os.stat(path)
    t = time.gmtime(st.st_mtime)
    if dos:
        return time.strftime("%m-%d-%y  %I:%M%p", t)
    if time.time() - st.st_mtime > 180 * 86400:
        return time.strftime("%b %d  %Y", t)
    return time.strftime("%b %d %H:%M", t)


class ListingFS(AbstractedFS):
    def format_list(self, basedir, listing, ignore_err=True):
        if MODE == "odd":
            yield b"total 42\r\n"
            yield b"this line is no listing at all\r\n"
            yield b"-rw-r--r-- 1 u g 12 Foo 01 2020 bad-month\r\n"
            yield b"-rw-r--r-- 1 u g 12 Jan 01 2020 back\\slash\r\n"
            yield b"-rw-r--r-- 1 u g 99999999999999999999999 Jan 01 2020 too-big\r\n"
            yield b"drwxr-xr-x 2 u g 4096 Jan 01 2020 .\r\n"
        for name in listing:
            path = os.path.join(basedir, name)
            try:
                st = os.stat(path)
            except OSError:
                continue
            directory = os.path.isdir(path)
            if MODE == "dos":
                size = "<DIR>         " if directory else "%14d" % st.st_size
                line = "%s       %s %s" % (mtime_text(path, True), size, name)
            else:
                kind = "d" if directory else "-"
                line = "%srw-r--r--   1 owner    group %12d %s %s" % (
                    kind, 0 if directory else st.st_size, mtime_text(path, False), name)
            yield (line + "\r\n").encode("utf8", self.cmd_channel.unicode_errors)


def main():
    data = os.path.join(STATE, "data")
    os.makedirs(data, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user("hvm", "secret", data, perm="elradfmwMT")
    # The log-in an FTP proxy in front of this server would be given.
    authorizer.add_user("hvm@gate@ftp.example.org", "secret@gatepw", data, perm="elradfmwMT")
    secure = len(sys.argv) > 4
    handler = TLS_FTPHandler if secure else FTPHandler

    class Handler(handler):
        endless = 0  # the running RETR sends filler after the file

        def ftp_SIZE(self, path):
            lie = armed("lie-size")
            if lie:
                self.respond("213 %d" % lie)
                return
            refusal = armed("refuse-size")
            if refusal == 502:
                self.respond("502 Command not implemented.")
            elif refusal:
                self.respond("550 SIZE not allowed here.")
            else:
                handler.ftp_SIZE(self, path)

        def ftp_RETR(self, file):
            self.endless = armed("endless-download")
            return handler.ftp_RETR(self, file)

        def ftp_MLSD(self, path):
            count = armed("flood-listing")
            if not count:
                return handler.ftp_MLSD(self, path)
            self.push_dtp_data(BufferedIteratorProducer(flood_lines(count)), isproducer=True, cmd="MLSD")
            return path

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            if cmd == "RETR" and self.endless:
                self.endless = 0
                data = EndlessProducer(data)
            return handler.push_dtp_data(self, data, isproducer, file, cmd)

    Handler.authorizer = authorizer
    Handler.use_sendfile = False  # every byte goes through send(), where faults are armed
    Handler.dtp_handler = SecureDTP if secure else PlainDTP
    if secure:
        Handler.certfile, Handler.keyfile = sys.argv[3], sys.argv[4]
    if MODE != "mlsd":
        Handler.proto_cmds = {k: v for k, v in handler.proto_cmds.items() if k not in ("MLSD", "MLST")}
        Handler.abstracted_fs = ListingFS
    idle = os.path.join(STATE, "idle")
    if os.path.exists(idle):
        with open(idle) as f:
            Handler.timeout = int(f.read().strip())
    Handler.banner = "hvm test server ready."
    server = FTPServer(("127.0.0.1", 0), Handler)
    port = server.socket.getsockname()[1]
    with open(os.path.join(STATE, "port.tmp"), "w") as f:
        f.write(str(port))
    os.rename(os.path.join(STATE, "port.tmp"), os.path.join(STATE, "port"))
    server.serve_forever()


if __name__ == "__main__":
    main()
