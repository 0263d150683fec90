#!/usr/bin/python3
"""Serves a folder over HTTPS on 127.0.0.1 (a free port) for the updater tests.

https_files.py FOLDER CERT KEY PORTFILE: writes the port into PORTFILE once it
listens; GET only, the request log goes to standard error."""
import functools
import http.server
import ssl
import sys

folder, cert, key, port_file = sys.argv[1:5]
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
with open(port_file + ".tmp", "w") as out:
    out.write(str(server.server_address[1]))
import os
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
