#!/usr/bin/env python3
"""Python's http.server over STATE/www whose HEAD answers wait for company:
each is held until another HEAD is in flight (or two seconds passed, so that
a client sending them one after the other still gets its answers). The
largest number of HEADs ever in flight at once is written to
STATE/logs/heads-at-once as HEADs arrive.

    held_heads.py STATE PORT
"""
import functools
import http.server
import os
import sys
import threading

state, port = sys.argv[1], int(sys.argv[2])
lock = threading.Condition()
in_flight = 0
most = 0


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_HEAD(self):
        global in_flight, most
        with lock:
            in_flight += 1
            most = max(most, in_flight)
            # Written before any answer, whole (renamed into place), so that a
            # client that got its answers reads the final count.
            record = os.path.join(state, "logs", "heads-at-once")
            with open(record + ".new", "w") as f:
                f.write(f"{most}\n")
            os.rename(record + ".new", record)
            lock.notify_all()
            lock.wait_for(lambda: in_flight >= 2, timeout=2)
        try:
            super().do_HEAD()
        finally:
            with lock:
                in_flight -= 1

    def log_message(self, fmt, *args):
        sys.stderr.write(fmt % args + "\n")


handler = functools.partial(Handler, directory=os.path.join(state, "www"))
http.server.ThreadingHTTPServer(("127.0.0.1", port), handler).serve_forever()
