#!/usr/bin/python3
"""Serves a folder over HTTPS on 127.0.0.1 (a free port) for the updater tests.

https_files.py FOLDER CERT KEY PORTFILE: writes the port into PORTFILE once it
listens; GET only, the request log goes to standard error. A file NAME.moved
beside NAME makes a GET of NAME answer "302 Found" with that file as the body,
as a login page or a proxy's notice would be."""
import functools
import http.server
import ssl
import sys

folder, cert, key, port_file = sys.argv[1:5]
import os


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        moved = self.translate_path(self.path) + ".moved"
        if not os.path.isfile(moved):
            return super().do_GET()
        with open(moved, "rb") as f:
            body = f.read()
        self.send_response(302)
        self.send_header("Location", "/elsewhere")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


handler = functools.partial(Handler, directory=folder)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
with open(port_file + ".tmp", "w") as out:
    out.write(str(server.server_address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
