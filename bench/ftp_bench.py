"""The FTP rows of the end-to-end benchmark: Halvenmoor with an FTP site
beside raw curl and `rclone mount` (:ftp:), all against one vsftpd on
loopback. Called by e2e_bench.py with --ftp; the tasks and the table are the
WebDAV run's (tar x and the per-request floor rows are left out).
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ftp_system import FtpSystem  # noqa: E402


def curl_ftp_tasks(bench, work, system):
    base = system.url() + "curl/"
    root = system.server_path("curl")
    run = bench.run

    def read():
        run(["curl", "-sSf", "-o", "/dev/null", base + "read.bin"])

    def write():
        run(["curl", "-sSf", "-T", work.big_local, base + "written.bin"])

    def small():
        # Every upload on the one control connection curl keeps, as a client would.
        config = os.path.join(system.work, "curl-ftp-small.cfg")
        piece = os.path.join(system.work, "small.bin")
        with open(piece, "wb") as f:
            f.write(work.small)
        with open(config, "w") as f:
            f.write("ftp-create-dirs\n")
            for i in range(bench.SMALL_COUNT):
                f.write(f'upload-file = "{piece}"\nurl = "{base}small/f{i:04d}.bin"\n')
        run(["curl", "-sSf", "-K", config])
        if not work.server_has(os.path.join(root, "small"), bench.SMALL_COUNT, bench.SMALL_SIZE):
            raise RuntimeError("curl did not upload every file")

    def listing():
        out = run(["curl", "-sSf", base + "wide/"]).stdout
        if out.count(b"\n") < bench.LISTING_COUNT:
            raise RuntimeError("the listing is short")

    return [read, write, small, listing, None, None, None]


def rclone_ftp(bench, system, mount):
    password = subprocess.run(["rclone", "obscure", "anonymous"], capture_output=True, text=True,
                              check=True).stdout.strip()
    return bench.Rclone(system, mount, [":ftp:/data/rclone", "--ftp-host", "127.0.0.1",
                                        "--ftp-port", str(system.port), "--ftp-user", "anonymous",
                                        "--ftp-pass", password], "rclone-ftp.log")


def run_ftp(bench, build_dir, source_dir, tools):
    """Measures the FTP rows and prints their table."""
    if not os.path.exists("/usr/sbin/vsftpd"):
        print("FTP rows left out: vsftpd is not installed", file=sys.stderr)
        return {}
    system = FtpSystem(build_dir, source_dir)
    mounts = tempfile.mkdtemp(prefix="hvm-bench-ftp-mounts-")
    peer = None
    results = {}
    try:
        system.start_server()
        print("FTP: preparing the server's files ...", file=sys.stderr)
        work = bench.Workload(system, source_dir)
        for tool in ("curl", "halvenmoor", "rclone"):
            work.prepare(tool)
        drive = system.add_site("benchftp", system.url() + "halvenmoor/", "P")
        system.start_driver()
        system.start_agent()
        system.moorgate("--connect", "benchftp")
        if "curl" in tools:
            print("FTP: curl ...", file=sys.stderr)
            results["curl"] = bench.measure(curl_ftp_tasks(bench, work, system), work.inputs("curl"))
        if "halvenmoor" in tools:
            print("FTP: halvenmoor ...", file=sys.stderr)
            tasks = bench.mount_tasks(work, drive, system.server_path("halvenmoor"))
            results["halvenmoor"] = bench.measure(tasks[:4] + [None, None, None], work.inputs("halvenmoor"))
        if shutil.which("rclone") and "rclone" in tools:
            print("FTP: rclone ...", file=sys.stderr)
            peer = rclone_ftp(bench, system, os.path.join(mounts, "rclone"))
            try:
                peer.up()
                tasks = bench.mount_tasks(work, peer.mount, system.server_path("rclone"))
                results["rclone"] = bench.measure(tasks[:4] + [None, None, None], work.inputs("rclone"))
            except Exception as error:
                print(f"   rclone does not mount: {error}", file=sys.stderr)
                results["rclone"] = [float("nan")] * len(bench.TASKS)
        print("\nFTP site (vsftpd on loopback)")
        bench.print_table(results)
    finally:
        if peer is not None:
            try:
                peer.down()
            except Exception:
                pass
        system.stop()
        system.remove()
        shutil.rmtree(mounts, ignore_errors=True)
    return results
