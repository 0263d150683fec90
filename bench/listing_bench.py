#!/usr/bin/env python3
"""`ls -l` of wide folders through the drive, each listed cold, beside raw
curl asking Apache for the same folder, in one run.

    listing_bench.py BUILD_DIR SOURCE_DIR [ROUNDS] [ENTRIES]

Makes ROUNDS (default 5) folders of ENTRIES (default 5,000) files on one
Apache on loopback, connects one site, and for each folder times: curl's
PROPFIND with Depth 1 and no body (Apache's answer with all properties),
curl's PROPFIND with the body the agent sends, and `ls -l` of the folder
through the drive (the first listing of that folder). Prints each round and
the medians, with Halvenmoor's time as a multiple of curl's. Run as root.
"""
import os
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_system import System  # noqa: E402

# The agent's standard listing body (site flag 0x2 clear).
AGENT_BODY = ("<?xml version='1.0' encoding='utf-8'?><D:propfind xmlns:D='DAV:'  xmlns:HVM='urn:Halvenmoor:'>"
              "<D:prop><D:creationdate/><D:getlastmodified/><D:getcontentlength/><HVM:hvm_creationdate/>"
              "<HVM:hvm_getlastmodified/><D:resourcetype/></D:prop></D:propfind>\n")


def timed(argv):
    start = time.monotonic()
    result = subprocess.run(argv, check=True, capture_output=True, timeout=300)
    return time.monotonic() - start, result.stdout


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    entries = int(sys.argv[4]) if len(sys.argv) > 4 else 5000
    system = System(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    rows = []
    try:
        system.start_server()
        root = system.server_path("site")
        for r in range(rounds):
            folder = os.path.join(root, f"wide{r}")
            os.makedirs(folder)
            for i in range(entries):
                with open(os.path.join(folder, f"entry-{i:05d}.txt"), "wb") as f:
                    f.write(b"x" * 100)
        system.give_to_server(root)
        drive = system.add_site("bench", system.url() + "site/", "B")
        system.start_driver()
        system.start_agent()
        system.moorgate("--connect", "bench")
        os.listdir(drive)
        print(f"{'round':>5} {'curl':>8} {'curl, agent body':>17} {'halvenmoor':>11} {'ratio':>6}")
        for r in range(rounds):
            url = system.url() + f"site/wide{r}/"
            propfind = ["curl", "-sSf", "-o", "/dev/null", "-X", "PROPFIND", "-H", "Depth: 1"]
            curl, _ = timed(propfind + [url])
            curl_body, _ = timed(propfind + ["--data-binary", AGENT_BODY, url])
            os.sync()
            ours, out = timed(["ls", "-l", f"{drive}/wide{r}"])
            if out.count(b"\n") < entries:
                raise RuntimeError("the listing is short")
            rows.append((curl, curl_body, ours))
            print(f"{r:>5} {curl:>8.3f} {curl_body:>17.3f} {ours:>11.3f} {ours / curl:>6.2f}", flush=True)
        medians = [statistics.median(column) for column in zip(*rows)]
        print(f"{'median':>5} {medians[0]:>8.3f} {medians[1]:>17.3f} {medians[2]:>11.3f} "
              f"{medians[2] / medians[0]:>6.2f}")
    finally:
        system.stop()
        system.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
