#!/usr/bin/env python3
"""The offline cache beside raw curl, against one Apache mod_dav on loopback:
a folder of 1,000 files of 4 KiB made available offline (every file
downloaded into the cache), and the same 1,000 files changed offline and
synchronised back when the site connects (every file uploaded). curl does the
same transfers in one process on one connection (GET, then PUT).

    offline_bench.py BUILD_DIR SOURCE_DIR [--count N]

Prints seconds per task and the ratio of Halvenmoor's time to curl's. Run as root.
"""
import os
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_system import System  # noqa: E402

SIZE = 4096


def timed(action):
    start = time.monotonic()
    action()
    return time.monotonic() - start


def curl_config(lines):
    handle = tempfile.NamedTemporaryFile("w", delete=False, suffix=".curl")
    handle.write("\n".join(lines) + "\n")
    handle.close()
    return handle.name


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    count = int(sys.argv[sys.argv.index("--count") + 1]) if "--count" in sys.argv else 1000
    s = System(build, source)
    rows = []
    try:
        drive = s.up()
        data = s.server_path("small")
        os.makedirs(data, exist_ok=True)
        for i in range(count):
            with open(os.path.join(data, f"f{i:04d}.bin"), "wb") as f:
                f.write(os.urandom(SIZE))
        s.give_to_server(data)
        moornook = os.path.join(s.bin, "moornook")
        s.run(f"ls '{drive}/small' > /dev/null")

        down = timed(lambda: s.run([moornook, "offline", f"{drive}/small"], timeout=900))
        target = tempfile.mkdtemp(prefix="hvm-curl-", dir=s.work)
        config = curl_config([f'url = "{s.url()}small/f{i:04d}.bin"\noutput = "{target}/f{i:04d}.bin"'
                              for i in range(count)])
        curl_down = timed(lambda: s.run(["curl", "-sS", "--fail", "-K", config], timeout=900))
        rows.append((f"offline copy of {count:,} files of 4 KiB", down, curl_down))

        s.moorgate("--disconnect", "site1", timeout=900)
        s.moorgate("--offline-connect", "site1")
        for i in range(count):
            with open(os.path.join(drive, "small", f"f{i:04d}.bin"), "wb") as f:
                f.write(os.urandom(SIZE))
        s.moorgate("--disconnect", "site1")
        up = timed(lambda: s.moorgate("--connect", "site1", timeout=900))
        config = curl_config([f'upload-file = "{target}/f{i:04d}.bin"\nurl = "{s.url()}curl/f{i:04d}.bin"'
                              for i in range(count)])
        s.run(["curl", "-sS", "--fail", "-X", "MKCOL", f"{s.url()}curl/"])
        curl_up = timed(lambda: s.run(["curl", "-sS", "--fail", "-K", config], timeout=900))
        rows.append((f"synchronise {count:,} changed files up", up, curl_up))
    finally:
        s.stop()
        s.remove()
    print(f"{'task':<40} {'halvenmoor s':>13} {'curl s':>8} {'ratio':>7}")
    for task, ours, theirs in rows:
        print(f"{task:<40} {ours:>13.2f} {theirs:>8.2f} {ours / theirs:>7.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
