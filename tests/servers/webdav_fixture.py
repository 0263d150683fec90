#!/usr/bin/python3
"""A small HTTP/1.1 server for WebDAV behaviours that the real servers on this
machine do not produce. The first path segment picks the behaviour:

  /iis/...       banner "Microsoft-IIS/6.0" with the SharePoint header; ranged
                 GETs get 206 without Accept-Ranges
  /iis5/...      banner "Microsoft-IIS/5.0"
  /noranges/...  "Accept-Ranges: none"; GET always answers 200 with the whole file
  /ranges200/... ranged GETs are answered 200 with the whole file
  /wrongrange/... ranged GETs are answered 206 with the file's first bytes and
                 a Content-Range that says so
  /ntlm/...      401 offering only NTLM until an NTLM Authorization arrives
  /locked/...    423 for PUT, DELETE, MOVE
  /nopatch/...   PROPPATCH answered 405
  /broken/...    PROPFIND answers with XML that does not close
  /nohref/...    PROPFIND answers a response without href
  /hostile/...   PROPFIND answers hrefs outside the folder, with "..", overlong,
                 on other hosts and ports
  /baddates/...  PROPFIND answers entries whose dates cannot be read or are missing
  /quota/...     quota properties
  /dies/...      PUT: reads part of the body, then drops the connection
  /cookie/...    sets a cookie on every reply
  /slow/...      answers after five seconds
  /patchwaits/... a PROPPATCH is answered once a MKCOL has come since the log
                 was last cleared (or after five seconds); the log tells which it
                 was ("PROPPATCH answered", afterMkcol)

Files: any name ending in "-<size>.bin" has <size> bytes of the pattern
(i * 7 + 3) % 251. Every request is recorded; GET /_log answers them as JSON
(method, path, headers in order) and DELETE /_log forgets them.

Usage: webdav_fixture.py PORTFILE [CERT KEY [CLIENT_CA]]   (binds 127.0.0.1 on a free port and
writes it; with a certificate and key it speaks TLS)
"""
import json
import re
import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOG = []
LOG_LOCK = threading.Lock()
MKCOL_CAME = threading.Event()
COUNTERS = {}


def pattern(size, start=0, end=None):
    end = size if end is None else end
    return bytes(((i * 7 + 3) % 251) for i in range(start, end))


def file_size(path):
    m = re.search(r"-(\d+)\.bin$", path)
    return int(m.group(1)) if m else None


def multistatus(responses):
    return ('<?xml version="1.0" encoding="utf-8"?>\n<D:multistatus xmlns:D="DAV:">'
            + "".join(responses) + "</D:multistatus>").encode()


GOOD_DATES = ("<D:creationdate>2021-03-04T05:06:07Z</D:creationdate>"
              "<D:getlastmodified>Thu, 04 Mar 2021 05:06:07 GMT</D:getlastmodified>")


def response(href, collection=False, size=0, dates=GOOD_DATES):
    rt = "<D:collection/>" if collection else ""
    return ("<D:response><D:href>%s</D:href><D:propstat><D:prop>%s"
            "<D:getcontentlength>%d</D:getcontentlength>"
            "<D:resourcetype>%s</D:resourcetype></D:prop>"
            "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>"
            % (href, dates, size, rt))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def version_string(self):
        return {"iis": "Microsoft-IIS/6.0", "iis5": "Microsoft-IIS/5.0"}.get(
            self.kind(), "HvmFixture/1.0")

    def date_time_string(self, timestamp=None):
        return "Thu, 04 Mar 2021 05:06:07 GMT"

    def kind(self):
        return self.path.split("/")[1] if self.path.count("/") >= 1 else ""

    def record(self, body):
        with LOG_LOCK:
            LOG.append({"method": self.command, "path": self.path,
                        "headers": [[k, v] for k, v in self.headers.items()],
                        "bodyLength": len(body)})

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        kind = self.kind()
        if kind == "iis":
            self.send_header("MicrosoftSharePointTeamServices", "12.0.0.6421")
        if kind == "cookie":
            self.send_header("Set-Cookie", "session=abc%d; Path=/" % len(LOG))
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        if self.path == "/_log":
            if self.command == "DELETE":
                self.read_body()
                with LOG_LOCK:
                    LOG.clear()
                MKCOL_CAME.clear()
                return self.answer(204)
            with LOG_LOCK:
                data = json.dumps(LOG).encode()
            return self.answer(200, data, [("Content-Type", "application/json")])
        kind = self.kind()
        if kind == "slow":
            import time
            time.sleep(5)
        if kind == "dies" and self.command == "PUT":
            return self.die_in_upload()
        body = self.read_body()
        self.record(body)
        if kind == "ntlm":
            auth = self.headers.get("Authorization") or ""
            if not auth.startswith("NTLM "):
                return self.answer(401, b"", [("WWW-Authenticate", "NTLM")])
        if kind == "locked" and self.command in ("PUT", "DELETE", "MOVE"):
            return self.answer(423)
        if kind == "moved":
            # Every request sent elsewhere, with a body as long as the file
            # asked for: a client that takes it gets the wrong bytes.
            body = b"m" * (file_size(self.path) or 20)
            return self.answer(302, body, [("Location", "https://elsewhere.invalid" + self.path)])
        method = getattr(self, "on_" + self.command.replace("-", "_"), None)
        if method is None:
            return self.answer(405)
        return method(kind, body)

    def die_in_upload(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(min(length, 65536) // 2)
        with LOG_LOCK:
            LOG.append({"method": "PUT", "path": self.path, "headers": [], "bodyLength": -1})
        self.close_connection = True
        self.connection.shutdown(socket.SHUT_RDWR)

    def on_GET(self, kind, _body):
        size = file_size(self.path)
        if size is None:
            return self.answer(404)
        rng = self.headers.get("Range")
        m = re.match(r"bytes=(\d+)-(\d+)", rng or "")
        if kind == "noranges":
            return self.answer(200, pattern(size), [("Accept-Ranges", "none")])
        if m and kind == "wrongrange":
            count = min(int(m.group(2)), size - 1) - int(m.group(1)) + 1
            return self.answer(206, pattern(size, 0, count),
                               [("Content-Range", "bytes 0-%d/%d" % (count - 1, size)), ("Accept-Ranges", "bytes")])
        if m and kind != "ranges200":
            start, last = int(m.group(1)), min(int(m.group(2)), size - 1)
            headers = [("Content-Range", "bytes %d-%d/%d" % (start, last, size))]
            if kind != "iis":
                headers.append(("Accept-Ranges", "bytes"))
            return self.answer(206, pattern(size, start, last + 1), headers)
        return self.answer(200, pattern(size))

    def on_HEAD(self, kind, body):
        return self.answer(200, b"", [("Last-Modified", "Thu, 04 Mar 2021 05:06:07 GMT")])

    def on_PUT(self, kind, _body):
        return self.answer(201)

    def on_DELETE(self, kind, _body):
        return self.answer(204)

    def on_MKCOL(self, kind, _body):
        if kind == "patchwaits":
            MKCOL_CAME.set()
        return self.answer(201)

    def on_MOVE(self, kind, _body):
        return self.answer(201)

    def on_COPY(self, kind, _body):
        return self.answer(201)

    def on_UNLOCK(self, kind, _body):
        return self.answer(204)

    def on_OPTIONS(self, kind, _body):
        return self.answer(200, b"", [("Allow", "OPTIONS, GET, PUT, PROPFIND"), ("DAV", "1,2")])

    def on_REPORT(self, kind, _body):
        # The first creator's name holds separators and a control character.
        creators = {1: "ev\\il/one&#9;x", 2: "ann"}
        versions = "".join(
            "<D:response><D:href>%s?v=%d</D:href><D:propstat><D:prop>"
            "<D:version-name>1.%d</D:version-name><D:creator-displayname>%s</D:creator-displayname>"
            "<D:label-name-set><D:label-name>L%d</D:label-name></D:label-name-set></D:prop>"
            "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>" % (self.path, i, i, creators[i], i)
            for i in (1, 2))
        return self.answer(207, multistatus([versions]), [("Content-Type", "text/xml")])

    def on_SEARCH(self, kind, _body):
        return self.answer(207, multistatus([response("/" + kind + "/found%20one.txt"),
                                             response("/" + kind + "/sub/two.txt")]),
                           [("Content-Type", "text/xml")])

    def on_PROPPATCH(self, kind, _body):
        if kind == "nopatch":
            return self.answer(405)
        if kind == "patchwaits":
            came = MKCOL_CAME.wait(5)
            with LOG_LOCK:
                LOG.append({"method": "PROPPATCH answered", "path": self.path, "headers": [],
                            "afterMkcol": came})
        return self.answer(207, multistatus([response(self.path)]),
                           [("Content-Type", "text/xml")])

    def on_PROPFIND(self, kind, body):
        xml = [("Content-Type", 'text/xml; charset="utf-8"')]
        base = "/" + kind + "/"
        if kind == "broken":
            return self.answer(207, b'<?xml version="1.0"?><D:multistatus xmlns:D="DAV:"><D:response><D:href>'
                               + base.encode() + b"a.txt</D:href><D:propstat>", xml)
        if kind == "nohref":
            return self.answer(207, multistatus([response(base, True),
                                                 response(base + "a.txt").replace(
                                                     "<D:href>%sa.txt</D:href>" % base, "")]), xml)
        if kind == "quota":
            return self.answer(207, multistatus([
                "<D:response><D:href>%s</D:href><D:propstat><D:prop>"
                "<D:quota-available-bytes>123456789012</D:quota-available-bytes>"
                "<D:quota-used-bytes>42</D:quota-used-bytes></D:prop>"
                "<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>" % base]), xml)
        if kind == "hostile":
            return self.answer(207, multistatus([
                response(base, True),
                response(base + "good.txt", size=5),
                response("/elsewhere/outside.txt"),
                response(base + "..%2F..%2Fescape.txt"),
                response(base + "sub/../../up.txt"),
                response(base + "x" * 300 + ".txt"),
                response(base + "deeper/child.txt"),
                response("http://evil.example" + base + "other-host.txt"),
                response("//evil.example" + base + "network-path.txt"),
                response("http://127.0.0.1:1" + base + "other-port.txt"),
                response("http://%s@evil.example%suserinfo.txt" % (self.headers.get("Host"), base)),
                response(base + "%2e%2e/%2E%2E/encoded-dots.txt"),
                response(base + "..%5Cbackslash.txt"),
            ]), xml)
        if kind == "baddates":
            return self.answer(207, multistatus([
                response(base, True),
                response(base + "good.txt", size=5),
                response("http://%s%sabsolute.txt" % (self.headers.get("Host"), base), size=6),
                response(base + "no-dates.txt", size=7, dates=""),
                response(base + "garbled.txt", size=8,
                         dates="<D:creationdate>Thu, 04 Mar 2021</D:creationdate>"
                               "<D:getlastmodified>yesterday</D:getlastmodified>"),
                response(base + "month-13.txt", size=9,
                         dates="<D:creationdate>2021-13-04T05:06:07Z</D:creationdate>"
                               "<D:getlastmodified>Thu, 04 Foo 2021 05:06:07 GMT</D:getlastmodified>"),
            ]), xml)
        path = self.path if self.path.endswith("/") else self.path + "/"
        return self.answer(207, multistatus([
            response(path, True),
            response(path + "plain-600000.bin", size=600000),
            response(path + "a%20b.txt", size=3),
        ]), xml)

    def __getattr__(self, name):
        if name.startswith("do_"):
            return self.handle_any
        raise AttributeError(name)


def main():
    port_file = sys.argv[1]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if len(sys.argv) > 3:
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        if len(sys.argv) > 4:
            context.verify_mode = ssl.CERT_REQUIRED
            context.load_verify_locations(sys.argv[4])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
