#!/usr/bin/env python3
"""The shell tools' costs and gains through the mount, against Apache mod_dav
on loopback, in one run:

  - `ls -l` of 5,000 files, cold and warm: the price of serving extended
    attributes (run it on another build folder for the figures before);
  - a folder of 1,000 files copied on the server by `moorquick copy` beside
    `cp -r` through the drive, and the ratio of the two;
  - `cp` of a 100 MB file within the drive (one COPY on the server) beside
    `cp --reflink=never` (which does not ask for copy_file_range: the bytes go
    through the mount, as every cp did before) and curl's GET and PUT of the
    same file, with the ratios of both to cp.

    shell_bench.py BUILD_DIR SOURCE_DIR        (as root, like the end-to-end tests)
"""
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_system import System, wait_until  # noqa: E402

LISTING_COUNT = 5000
TREE_COUNT = 1000
BIG_FILE_BYTES = 100 * 1000 * 1000


def timed(action):
    start = time.monotonic()
    action()
    return time.monotonic() - start


def fill(system, folder, count, size):
    root = system.server_path(folder)
    os.makedirs(root)
    for i in range(count):
        with open(os.path.join(root, f"f{i:05d}.bin"), "wb") as f:
            f.write(b"x" * size)
    system.give_to_server(root)


def big_file_copies(system, drive):
    """cp of a 100 MB file within the drive, against the bytes going through the
    mount and through curl; each copy counts until the server holds it."""
    with open("/dev/urandom", "rb") as random:
        system.put_on_server("big/source.bin", random.read(BIG_FILE_BYTES))
    source = f"{drive}/big/source.bin"
    subprocess.run(["ls", "-l", f"{drive}/big"], check=True, capture_output=True)

    def copy(*options, name):
        subprocess.run(["cp", *options, source, f"{drive}/big/{name}"], check=True)
        if os.path.getsize(system.server_path(f"big/{name}")) != BIG_FILE_BYTES:
            raise RuntimeError(f"{name} is not whole on the server")

    def curl():
        fetched = os.path.join(system.work, "fetched.bin")
        url = system.url() + "big/"
        subprocess.run(["curl", "-sf", "-o", fetched, url + "source.bin"], check=True)
        subprocess.run(["curl", "-sf", "-o", "/dev/null", "-T", fetched, url + "curl.bin"], check=True)
        os.remove(fetched)

    server = timed(lambda: copy(name="cp.bin"))
    through = timed(lambda: copy("--reflink=never", name="through.bin"))
    by_curl = timed(curl)
    return [("cp of 100 MB within the drive", server, None),
            ("cp --reflink=never (bytes through)", through, through / server),
            ("curl GET + PUT", by_curl, by_curl / server)]


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    system = System(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    try:
        drive = system.up()
        fill(system, "wide", LISTING_COUNT, 100)
        fill(system, "tree", TREE_COUNT, 4096)

        def listing():
            out = subprocess.run(["ls", "-l", f"{drive}/wide"], check=True, capture_output=True).stdout
            if out.count(b"\n") < LISTING_COUNT:
                raise RuntimeError("the listing is short")

        rows = [("ls -l of 5,000 files (cold)", timed(listing), None),
                ("ls -l of 5,000 files (warm)", min(timed(listing) for _ in range(3)), None)]
        # Every file of the tree is known to the drive before either copy.
        subprocess.run(["ls", "-l", f"{drive}/tree"], check=True, capture_output=True)
        quick = os.path.join(system.bin, "moorquick")
        if os.path.exists(quick):
            server_copy = timed(lambda: subprocess.run(
                [quick, "copy", f"{drive}/tree", f"{drive}/tree-quick"], check=True, env=system.env))

            def plain_copy():
                subprocess.run(["cp", "-r", f"{drive}/tree", f"{drive}/tree-cp"], check=True)
                # Apache keeps the files' dead properties in a ".DAV" folder beside them.
                def copied():
                    return len([n for n in os.listdir(system.server_path("tree-cp")) if n != ".DAV"])
                if not wait_until(600, lambda: copied() == TREE_COUNT):
                    raise RuntimeError("cp -r never finished on the server")
            cp_copy = timed(plain_copy)
            rows.append(("copy of 1,000 files: moorquick", server_copy, None))
            rows.append(("copy of 1,000 files: cp -r", cp_copy, cp_copy / server_copy))
        print(f"{'task':34} {'seconds':>9} {'cp -r / moorquick':>18}")
        for name, seconds, ratio in rows:
            print(f"{name:34} {seconds:9.3f} {'' if ratio is None else f'{ratio:17.1f}x'}")
        print()
        print(f"{'task':34} {'seconds':>9} {'this / cp':>18}")
        for name, seconds, ratio in big_file_copies(system, drive):
            print(f"{name:34} {seconds:9.3f} {'' if ratio is None else f'{ratio:17.1f}x'}")
    finally:
        system.stop()
        system.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
