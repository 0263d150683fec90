#!/usr/bin/env python3
"""Halvenmoor through its mount beside raw curl, davfs2 and rclone mount, all
against one Apache mod_dav on loopback, in one run.

    e2e_bench.py BUILD_DIR SOURCE_DIR [--no-install] [--tools curl,halvenmoor,davfs2,rclone]
    e2e_bench.py BUILD_DIR SOURCE_DIR --ftp [--no-install] [--tools curl,halvenmoor,rclone]
    e2e_bench.py BUILD_DIR SOURCE_DIR --sftp [--no-install] [--tools sftp,halvenmoor,sshfs]

With --sftp the same tasks run against OpenSSH's sshd on loopback (a test
account): Halvenmoor's SFTP site beside the sftp command (batch mode) and
sshfs (installed from Debian when missing).

With --ftp the same tasks (but tar x) run against an FTP site on vsftpd
instead, beside raw curl and rclone mount (bench/ftp_bench.py).

--only read,write (of read, write, small, listing, tar, small4, tar4) runs only
those tasks.

Installs davfs2 and rclone from Debian when they are missing (unless
--no-install; a missing one is then left out). Prints one table: seconds per
task and tool, and each tool's time as a multiple of Halvenmoor's. Every
write counts until the server holds the whole file, so tools that upload in
the background are measured to the end of their upload. Run as root.
"""
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import urllib.parse
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_system import SftpSystem, System, wait_until  # noqa: E402

MiB = 1 << 20
BIG = 256 * MiB
SMALL_COUNT, SMALL_SIZE = 1000, 4096
LISTING_COUNT = 5000
TASKS = ["read 256 MiB (cold)", "write 256 MiB", "1,000 files of 4 KiB",
         "ls -l of 5,000 files (cold)", "tar x of a source tree",
         "1,000 files, the agent's requests", "tar x, the agent's requests"]
# The requests the agent sends for each new file (one guarded PUT; tar sets
# the times, which go with a PROPPATCH), made by raw curl on one connection:
# the floor under the small-file and tar tasks for any client that speaks
# WebDAV this way.
PROPPATCH_BODY = ("<?xml version='1.0' encoding='utf-8'?><D:propertyupdate xmlns:D='DAV:' "
                  "xmlns:HVM='urn:Halvenmoor:'><D:set><D:prop><HVM:hvm_creationdate>"
                  "2026-12-08T01:02:03Z</HVM:hvm_creationdate><HVM:hvm_getlastmodified>"
                  "Tue, 08 Dec 2026 01:02:03 GMT</HVM:hvm_getlastmodified></D:prop></D:set>"
                  "</D:propertyupdate>")
STEP_LIMIT = 900


def run(argv, **kw):
    return subprocess.run(argv, check=True, capture_output=True, timeout=STEP_LIMIT, **kw)


def timed(action):
    start = time.monotonic()
    action()
    return time.monotonic() - start


def ensure_packages():
    missing = [p for p in ("davfs2", "rclone")
               if subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
                                 text=True).stdout.find("install ok installed") < 0]
    if missing:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing],
                       env=env, check=False, timeout=STEP_LIMIT)


class Workload:
    """The server-side material: files to read, a wide folder, a tarball."""

    def __init__(self, system, source_dir):
        self.system = system
        self.tarball = os.path.join(system.work, "tree.tar")
        run(["tar", "-C", source_dir, "-cf", self.tarball, "platform", "agent", "driver", "common"])
        with tarfile.open(self.tarball) as archive:
            self.tree_sizes = {m.name: m.size for m in archive.getmembers() if m.isfile()}
        self.big_local = os.path.join(system.work, "big.bin")
        with open(self.big_local, "wb") as f:
            for _ in range(BIG // MiB):
                f.write(os.urandom(MiB))
        self.small = os.urandom(SMALL_SIZE)

    def prepare(self, tool):
        """A folder per tool on the server: a big file to read and a wide folder to list."""
        root = self.system.server_path(tool)
        os.makedirs(os.path.join(root, "wide"))
        shutil.copyfile(self.big_local, os.path.join(root, "read.bin"))
        for i in range(LISTING_COUNT):
            with open(os.path.join(root, "wide", f"entry-{i:05d}.txt"), "wb") as f:
                f.write(b"x" * (i % 100))
        self.system.give_to_server(root)
        return root

    def inputs(self, tool):
        """The files a tool's tasks read, besides what goes through it."""
        return [self.big_local, self.tarball, os.path.join(self.system.server_path(tool), "read.bin")]

    def server_has(self, folder, count, size=None):
        try:
            names = [n for n in os.listdir(folder) if n != ".DAV"]  # mod_dav_fs's property store
        except OSError:
            return False
        if len(names) < count:
            return False
        return size is None or all(os.path.getsize(os.path.join(folder, n)) == size for n in names)

    def server_file_complete(self, path, size):
        return os.path.exists(path) and os.path.getsize(path) == size

    def server_tree_complete(self, folder):
        """Every file of the tarball on the server with its full size (a tool that
        creates files empty and uploads later is not done yet)."""
        for name, size in self.tree_sizes.items():
            path = os.path.join(folder, name)
            if not os.path.isfile(path) or os.path.getsize(path) != size:
                return False
        return True


def mount_tasks(work, mount, server_root, tar_options=()):
    """The five tasks through a mounted folder whose server side is server_root."""
    def read():
        run(["dd", f"if={mount}/read.bin", "of=/dev/null", "bs=1M"])

    def write():
        run(["dd", f"if={work.big_local}", f"of={mount}/written.bin", "bs=1M", "conv=fsync"])
        if not wait_until(STEP_LIMIT, lambda: work.server_file_complete(
                os.path.join(server_root, "written.bin"), BIG), step=0.05):
            raise RuntimeError("the written file never reached the server")

    def small():
        os.makedirs(f"{mount}/small")
        for i in range(SMALL_COUNT):
            with open(f"{mount}/small/f{i:04d}.bin", "wb") as f:
                f.write(work.small)
        if not wait_until(STEP_LIMIT, lambda: work.server_has(
                os.path.join(server_root, "small"), SMALL_COUNT, SMALL_SIZE), step=0.05):
            raise RuntimeError("the small files never reached the server")

    def listing():
        out = run(["ls", "-l", f"{mount}/wide"]).stdout
        if out.count(b"\n") < LISTING_COUNT:
            raise RuntimeError("the listing is short")

    def tar():
        os.makedirs(f"{mount}/tree")
        run(["tar", *tar_options, "-C", f"{mount}/tree", "-xf", work.tarball])
        if not wait_until(STEP_LIMIT, lambda: work.server_tree_complete(
                os.path.join(server_root, "tree")), step=0.05):
            raise RuntimeError("the tree never reached the server")

    return [read, write, small, listing, tar, None, None]


def curl_tasks(work, system):
    base = system.url() + "curl/"
    server_root = system.server_path("curl")
    piece = os.path.join(system.work, "piece.bin")
    body = os.path.join(system.work, "proppatch.xml")
    with open(body, "w") as f:
        f.write(PROPPATCH_BODY)
    with open(piece, "wb") as f:
        f.write(work.small)

    def read():
        run(["curl", "-sSf", "-o", "/dev/null", base + "read.bin"])

    def write():
        run(["curl", "-sSf", "-T", work.big_local, base + "written.bin"])

    def small():
        run(["curl", "-sSf", "-X", "MKCOL", base + "small/"])
        config = os.path.join(system.work, "curl-small.cfg")
        with open(config, "w") as f:
            for i in range(SMALL_COUNT):
                f.write(f'upload-file = "{piece}"\nurl = "{base}small/f{i:04d}.bin"\n')
        run(["curl", "-sSf", "-o", "/dev/null", "-K", config])
        if not work.server_has(os.path.join(server_root, "small"), SMALL_COUNT, SMALL_SIZE):
            raise RuntimeError("curl did not upload every file")

    def listing():
        run(["curl", "-sSf", "-o", "/dev/null", "-X", "PROPFIND", "-H", "Depth: 1", base + "wide/"])

    def new_file_requests(url, content, times=False):
        """curl config blocks for one new file, as the agent makes it."""
        blocks = [f'url = "{url}"\nupload-file = "{content}"\nheader = "If-None-Match: *"\n'
                  f'output = "/dev/null"\n']
        if times:
            blocks.append(f'url = "{url}"\nrequest = "PROPPATCH"\ndata-binary = "@{body}"\n'
                          f'header = "Content-Type: text/xml"\noutput = "/dev/null"\n')
        return blocks

    def small_as_the_agent():
        run(["curl", "-sSf", "-X", "MKCOL", base + "small4/"])
        config = os.path.join(system.work, "curl-small4.cfg")
        blocks = []
        for i in range(SMALL_COUNT):
            blocks += new_file_requests(f"{base}small4/f{i:04d}.bin", piece)
        with open(config, "w") as f:
            f.write("next\n".join(blocks))
        run(["curl", "-sS", "-K", config])
        if not work.server_has(os.path.join(server_root, "small4"), SMALL_COUNT, SMALL_SIZE):
            raise RuntimeError("curl did not upload every file")

    def tree_config():
        """The tree's folders made with MKCOL, each file with the agent's requests."""
        local = os.path.join(system.work, "tree-local")
        os.makedirs(local, exist_ok=True)
        run(["tar", "-C", local, "-xf", work.tarball])
        blocks = [f'url = "{base}tree4/"\nrequest = "MKCOL"\noutput = "/dev/null"\n']
        with tarfile.open(work.tarball) as archive:
            for member in archive.getmembers():
                url = f"{base}tree4/{urllib.parse.quote(member.name.rstrip('/'))}"
                if member.isdir():
                    blocks.append(f'url = "{url}/"\nrequest = "MKCOL"\noutput = "/dev/null"\n')
                    continue
                blocks += new_file_requests(url, os.path.join(local, member.name), times=True)
        config = os.path.join(system.work, "curl-tree4.cfg")
        with open(config, "w") as f:
            f.write("next\n".join(blocks))
        return config
    tree4 = tree_config()

    def tar_as_the_agent():
        run(["curl", "-sS", "-K", tree4])
        if not work.server_tree_complete(os.path.join(server_root, "tree4")):
            raise RuntimeError("curl did not upload the whole tree")

    return [read, write, small, listing, None, small_as_the_agent, tar_as_the_agent]


class DavFs:
    name = "davfs2"
    system_cache = "/var/cache/davfs2"  # davfs2 run by root keeps its cache here

    def __init__(self, system, mount):
        self.system, self.mount = system, mount
        self.conf = os.path.join(system.work, "davfs2.conf")
        with open(self.conf, "w") as f:
            f.write("delay_upload 0\nuse_locks 0\nask_auth 0\n")

    def up(self):
        os.makedirs(self.mount)
        run(["mount.davfs", "-o", f"conf={self.conf}", self.system.url() + "davfs2/", self.mount],
            stdin=subprocess.DEVNULL)

    def down(self):
        subprocess.run(["umount", self.mount], capture_output=True, timeout=STEP_LIMIT)
        tag = os.path.basename(os.path.dirname(self.mount))
        if os.path.isdir(self.system_cache):
            for name in os.listdir(self.system_cache):
                if tag in name:
                    shutil.rmtree(os.path.join(self.system_cache, name), ignore_errors=True)


class Rclone:
    """rclone mount of a remote given by its arguments (default: the WebDAV
    site's rclone folder), writing back at once."""
    name = "rclone"

    def __init__(self, system, mount, remote=None, log_name="rclone.log"):
        self.system, self.mount = system, mount
        self.remote = remote or [":webdav:", "--webdav-url", system.url() + "rclone/"]
        self.log_name = log_name
        self.process = None

    def up(self):
        os.makedirs(self.mount)
        with open(os.path.join(self.system.work, self.log_name), "w") as log:
            self.process = subprocess.Popen(
                ["rclone", "mount", self.remote[0], self.mount, *self.remote[1:],
                 "--vfs-cache-mode", "writes", "--vfs-write-back", "0s",
                 "--cache-dir", os.path.join(self.system.work, "rclone-cache")],
                stdout=subprocess.DEVNULL, stderr=log)
        if not wait_until(30, self.system_mounted):
            raise RuntimeError("rclone did not mount")

    def system_mounted(self):
        with open("/proc/mounts") as mounts:
            return any(line.split()[1] == self.mount for line in mounts)

    def down(self):
        subprocess.run(["fusermount3", "-u", self.mount], capture_output=True)
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=30)
            self.process = None


# The short names --only takes, one per row of TASKS.
TASK_KEYS = ["read", "write", "small", "listing", "tar", "small4", "tar4"]


def selected_rows():
    """The rows --only read,write,... asks for (every row without it)."""
    if "--only" not in sys.argv[:-1]:
        return set(range(len(TASKS)))
    names = sys.argv[sys.argv.index("--only") + 1].split(",")
    return {TASK_KEYS.index(n) for n in names if n in TASK_KEYS}


def settle(inputs):
    """The same memory state before every task, whichever tool ran before:
    dirty pages written out, the page cache dropped (on this kind of virtual
    machine, pages the guest has not used for a while cost a host fault each
    when taken again, and every tool before leaves hundreds of megabytes
    cached, so the tool measured later paid more), then the inputs every
    tool reads (the file to copy in, the tarball, the server's file to read)
    read back into the cache."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as drop:
            drop.write("1\n")  # the page cache; dentries and inodes stay
    except OSError:
        return  # not root: the writeback alone
    for path in inputs:
        with open(path, "rb") as f:
            while f.read(MiB):
                pass


def measure(tasks, inputs=()):
    times = []
    rows = selected_rows()
    for row, task in enumerate(tasks):
        if task is None or row not in rows:
            times.append(None)
            continue
        settle(inputs)
        try:
            times.append(timed(task))
        except Exception as error:  # a tool that fails a task shows it in the table
            detail = (getattr(error, "stderr", None) or b"").decode(errors="replace").strip()
            print(f"   failed: {error} {detail[-400:]}", file=sys.stderr)
            times.append(float("nan"))
    return times


def print_table(results):
    tools = list(results)
    print()
    print(f"{'task':30}" + "".join(f"{t:>14}" for t in tools))
    for row, task in enumerate(TASKS):
        line = f"{task:30}"
        for tool in tools:
            value = results[tool][row]
            if value is None:
                line += f"{'-':>14}"
            elif value != value:  # nan: the tool failed the task
                line += f"{'failed':>14}"
            else:
                line += f"{value:13.2f}s"
        print(line)
    if "halvenmoor" not in results:
        return
    print("\ntime as a multiple of Halvenmoor's (above 1: slower than Halvenmoor)")
    print(f"{'task':30}" + "".join(f"{t:>14}" for t in tools))
    for row, task in enumerate(TASKS):
        base = results["halvenmoor"][row]
        line = f"{task:30}"
        for tool in tools:
            value = results[tool][row]
            line += f"{'-':>14}" if value is None or not base else f"{value / base:14.2f}"
        print(line)
    if "curl" not in results:
        return
    curl, hvm = results["curl"], results["halvenmoor"]
    shares = [f"{name} {curl[row] / hvm[row]:.0%}" for row, name in ((0, "read"), (1, "write"))
              if curl[row] and hvm[row]]
    if shares:
        print("\nHalvenmoor's speed as a share of raw curl: " + ", ".join(shares))


# The account owns what it writes; tar run by root would try to give each file
# to root, which sshfs refuses.
SFTP_TAR_OPTIONS = ("--no-same-owner",)


def ssh_options(system):
    key = os.path.join(system.server_state, "client_key")
    return ["-i", key, "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
            "-o", "BatchMode=yes"]


def sftp_tasks(work, system):
    """The tasks with OpenSSH's sftp command in batch mode, one session per task."""
    root = system.server_path("sftp")
    target = f"{system.user}@127.0.0.1"
    local = os.path.join(system.work, "sftp-local")
    os.makedirs(os.path.join(local, "small"))
    for i in range(SMALL_COUNT):
        with open(os.path.join(local, "small", f"f{i:04d}.bin"), "wb") as f:
            f.write(work.small)
    run(["tar", "-C", local, "-xf", work.tarball])
    tree = os.path.join(system.work, "sftp-tree")
    os.makedirs(tree)
    run(["tar", "-C", tree, "-xf", work.tarball])

    def batch(*commands):
        script = os.path.join(system.work, "sftp.batch")
        with open(script, "w") as f:
            f.write("\n".join(commands) + "\n")
        run(["sftp", "-q", *ssh_options(system), "-P", str(system.port), "-b", script, target])

    def read():
        batch(f"get {root}/read.bin /dev/null")

    def write():
        batch(f"put {work.big_local} {root}/written.bin")

    def small():
        batch(f"put -r {local}/small {root}/small")
        if not work.server_has(os.path.join(root, "small"), SMALL_COUNT, SMALL_SIZE):
            raise RuntimeError("sftp did not upload every file")

    def listing():
        batch(f"ls -l {root}/wide")

    def tar():
        batch(f"mkdir {root}/tree", f"put -r {tree}/. {root}/tree")
        if not work.server_tree_complete(os.path.join(root, "tree")):
            raise RuntimeError("sftp did not upload the whole tree")

    return [read, write, small, listing, tar, None, None]


class Sshfs:
    name = "sshfs"

    def __init__(self, system, mount):
        self.system, self.mount = system, mount

    def up(self):
        os.makedirs(self.mount)
        options = ["-o", f"IdentityFile={self.system.server_state}/client_key",
                   "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                   "-o", "BatchMode=yes", "-p", str(self.system.port)]
        run(["sshfs", f"{self.system.user}@127.0.0.1:{self.system.server_path('sshfs')}", self.mount,
             *options], stdin=subprocess.DEVNULL)

    def down(self):
        subprocess.run(["fusermount3", "-u", self.mount], capture_output=True, timeout=STEP_LIMIT)


def main_sftp(build_dir, source_dir, tools):
    """The SFTP run: sftp command, Halvenmoor, sshfs on one sshd."""
    if "--no-install" not in sys.argv and not shutil.which("sshfs"):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", "sshfs"],
                       env=env, check=False, timeout=STEP_LIMIT)
    system = SftpSystem(build_dir, source_dir)
    mounts = tempfile.mkdtemp(prefix="hvm-bench-mounts-")
    results = {}
    peer = None
    try:
        system.start_server()
        print("preparing the server's files ...", file=sys.stderr)
        work = Workload(system, source_dir)
        for tool in ("sftp", "halvenmoor", "sshfs"):
            work.prepare(tool)
        system.accept_unknown_keys()
        drive = system.add_site("bench", system.url() + "halvenmoor/", "B", login=system.user,
                                password=system.password)
        system.start_driver()
        system.start_agent()
        system.moorgate("--connect", "bench")
        if "sftp" in tools:
            print("sftp ...", file=sys.stderr)
            results["sftp"] = measure(sftp_tasks(work, system), work.inputs("sftp"))
        if "halvenmoor" in tools:
            print("halvenmoor ...", file=sys.stderr)
            results["halvenmoor"] = measure(mount_tasks(work, drive, system.server_path("halvenmoor"),
                                                        SFTP_TAR_OPTIONS), work.inputs("halvenmoor"))
        if shutil.which("sshfs") and "sshfs" in tools:
            peer = Sshfs(system, os.path.join(mounts, "sshfs"))
            print("sshfs ...", file=sys.stderr)
            try:
                peer.up()
                results["sshfs"] = measure(mount_tasks(work, peer.mount, system.server_path("sshfs"),
                                                       SFTP_TAR_OPTIONS), work.inputs("sshfs"))
            except Exception as error:
                print(f"   sshfs does not mount: {error}", file=sys.stderr)
                results["sshfs"] = [float("nan")] * len(TASKS)
        print_table(results)
        if "sftp" in results and "halvenmoor" in results:
            ref, hvm = results["sftp"], results["halvenmoor"]
            print(f"\nHalvenmoor's speed as a share of the sftp command's: read {ref[0] / hvm[0]:.0%}, "
                  f"write {ref[1] / hvm[1]:.0%}")
    finally:
        if peer is not None:
            try:
                peer.down()
            except Exception:
                pass
        system.stop()
        system.remove()
        shutil.rmtree(mounts, ignore_errors=True)
    return 0


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    # A stop from outside still takes down what was started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    build_dir, source_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if "--sftp" in sys.argv:
        tools = ["sftp", "halvenmoor", "sshfs"]
        if "--tools" in sys.argv[:-1]:
            tools = sys.argv[sys.argv.index("--tools") + 1].split(",")
        return main_sftp(build_dir, source_dir, tools)
    if "--no-install" not in sys.argv:
        ensure_packages()
    tools = ["curl", "halvenmoor", "davfs2", "rclone"]
    if "--tools" in sys.argv[:-1]:
        tools = [t for t in sys.argv[sys.argv.index("--tools") + 1].split(",") if t in tools]
    if "--ftp" in sys.argv:
        import ftp_bench
        ftp_bench.run_ftp(sys.modules[__name__], build_dir, source_dir, tools)
        return 0
    system = System(build_dir, source_dir)
    mounts = tempfile.mkdtemp(prefix="hvm-bench-mounts-")
    peers = []
    results = {}
    try:
        system.start_server()
        print("preparing the server's files ...", file=sys.stderr)
        work = Workload(system, source_dir)
        for tool in ("curl", "halvenmoor", "davfs2", "rclone"):
            work.prepare(tool)
        drive = system.add_site("bench", system.url() + "halvenmoor/", "B")
        system.start_driver()
        system.start_agent()
        system.moorgate("--connect", "bench")

        if "curl" in tools:
            print("curl ...", file=sys.stderr)
            results["curl"] = measure(curl_tasks(work, system), work.inputs("curl"))
        if "halvenmoor" in tools:
            print("halvenmoor ...", file=sys.stderr)
            results["halvenmoor"] = measure(mount_tasks(work, drive, system.server_path("halvenmoor")),
                                            work.inputs("halvenmoor"))
        if shutil.which("mount.davfs") and "davfs2" in tools:
            peers.append(DavFs(system, os.path.join(mounts, "davfs2")))
        if shutil.which("rclone") and "rclone" in tools:
            peers.append(Rclone(system, os.path.join(mounts, "rclone")))
        for peer in peers:
            print(f"{peer.name} ...", file=sys.stderr)
            try:
                peer.up()
            except Exception as error:
                print(f"   {peer.name} does not mount: {error}", file=sys.stderr)
                results[peer.name] = [float("nan")] * len(TASKS)
                continue
            results[peer.name] = measure(mount_tasks(work, peer.mount, system.server_path(peer.name)),
                                         work.inputs(peer.name))
            peer.down()
        print_table(results)
    finally:
        for peer in peers:
            try:
                peer.down()
            except Exception:
                pass
        system.stop()
        system.remove()
        shutil.rmtree(mounts, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
