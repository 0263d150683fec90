#!/usr/bin/python3
"""A forward HTTP proxy for plain http: it takes requests with absolute URIs,
passes each to its server on a connection of its own ("Connection: close")
and relays both directions until the server closes. Every forwarded request
is appended to LOGFILE as "METHOD URI". CONNECT and relative URIs get 501.

Usage: forward_proxy.py PORTFILE LOGFILE   (binds 127.0.0.1 on a free port and writes it)
"""
import os
import select
import socket
import socketserver
import sys
import threading
from urllib.parse import urlsplit

LOG_LOCK = threading.Lock()
DROPPED = {"proxy-connection", "proxy-authorization", "connection", "keep-alive"}


def read_head(sock):
    """The request's header block and whatever body bytes came with it."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


def relay(client, server):
    sockets = [client, server]
    while True:
        readable, _, _ = select.select(sockets, [], [], 60)
        if not readable:
            return
        for s in readable:
            data = s.recv(65536)
            if not data:
                if s is server:
                    return
                sockets.remove(client)  # the client has sent all; wait for the answer
                continue
            (server if s is client else client).sendall(data)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        head, rest = read_head(self.request)
        if head is None:
            return
        lines = head.split("\r\n")
        method, uri, version = lines[0].split(" ", 2)
        target = urlsplit(uri)
        if method == "CONNECT" or target.scheme != "http" or not target.hostname:
            self.request.sendall(b"HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        with LOG_LOCK, open(self.server.log_path, "a") as log:
            log.write(f"{method} {uri}\n")
        path = target.path or "/"
        if target.query:
            path += "?" + target.query
        headers = [l for l in lines[1:] if l.split(":", 1)[0].strip().lower() not in DROPPED]
        out = "\r\n".join([f"{method} {path} {version}"] + headers + ["Connection: close", "", ""])
        try:
            server = socket.create_connection((target.hostname, target.port or 80), timeout=60)
        except OSError:
            self.request.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        with server:
            server.sendall(out.encode("latin-1") + rest)
            relay(self.request, server)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    server.log_path = sys.argv[2]
    open(server.log_path, "a").close()
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
