"""The whole system on one machine, for the end-to-end tests and benchmarks.

A System owns a scratch folder with its own runtime folder (control socket,
mount, instance socket), HOME (registry, drives folder), temporary folder and
Apache state, so that several Systems run side by side. Every program started
here is stopped again by stop(), also after a failure; every command run
through the mount has a time limit, and a command stuck inside the FUSE mount
is freed by aborting the mount's connection, so a broken build fails instead
of hanging.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

FUSE_CONNECTIONS = "/sys/fs/fuse/connections"


class CommandFailed(AssertionError):
    pass


class Result:
    def __init__(self, code, out, err, seconds, timed_out):
        self.code, self.out, self.err = code, out, err
        self.seconds, self.timed_out = seconds, timed_out

    def __repr__(self):
        return (f"exit={self.code} timed_out={self.timed_out} after {self.seconds:.1f}s\n"
                f"stdout: {self.out[-2000:]}\nstderr: {self.err[-2000:]}")


def socket_answers(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(2)
    try:
        s.connect(path)
        return True
    except OSError:
        return False
    finally:
        s.close()


def run_test_module(module, server_program, needs_text, root_text, agent_log_lines=40):
    """The command line of an end-to-end test script: BUILD_DIR SOURCE_DIR [TestClass ...].

    Runs the tests of the script started (__main__). Sets BUILD_DIR and SOURCE_DIR
    of `module`, whose SYSTEMS lists the Systems its cases started; answers 77 (skipped) when the
    machine cannot run the tests, runs them, and keeps each System's folder
    with its logs printed when a test failed (else removes them)."""
    if len(sys.argv) < 3:
        print(module.__doc__)
        return 2
    # A stop from outside still takes down what was started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    module.BUILD_DIR, module.SOURCE_DIR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not os.path.exists("/dev/fuse") or not os.path.exists(server_program):
        print(f"skipped: needs /dev/fuse and {needs_text}")
        return 77
    if os.geteuid() != 0:
        print(f"skipped: the end-to-end tests run as root ({root_text})")
        return 77
    program = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]], exit=False)
    ok = program.result.wasSuccessful()
    for system in module.SYSTEMS:
        if not ok:
            print(f"--- kept {system.work}\n--- agent log:\n{system.log_tail(system.agent_log, agent_log_lines)}"
                  f"--- driver log:\n{system.log_tail(system.driver_log)}", file=sys.stderr)
        else:
            system.remove()
    return 0 if ok else 1


def wait_until(seconds, predicate, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def fnv1a64(text):
    value = 1469598103934665603
    for byte in text.encode():
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return value


class System:
    def __init__(self, build_dir, source_dir, liveness_seconds=4):
        self.bin = os.path.join(build_dir, "bin")
        self.servers = os.path.join(source_dir, "tests", "servers")
        self.work = tempfile.mkdtemp(prefix="hvm-e2e-")
        self.home = os.path.join(self.work, "home")
        self.runtime = os.path.join(self.work, "run")
        self.mount = os.path.join(self.runtime, "mnt")
        self.drives = os.path.join(self.home, "Halvenmoor")
        self.server_state = os.path.join(self.work, "apache")
        self.data = os.path.join(self.server_state, "data")
        self.answers = os.path.join(self.work, "answers")
        for folder in (self.home, os.path.join(self.work, "tmp"), os.path.join(self.work, "state")):
            os.makedirs(folder)
        open(self.answers, "w").close()
        self.env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "HALVENMOOR_USER_REG", "DISPLAY",
                     "WAYLAND_DISPLAY", "HALVENMOOR_DEBUG_STDERR"):
            self.env.pop(name, None)
        self.env.update({
            "HOME": self.home,
            "HALVENMOOR_RUNTIME_DIR": self.runtime,
            "HALVENMOOR_MACHINE_REG": os.path.join(self.work, "system.reg"),
            "XDG_STATE_HOME": os.path.join(self.work, "state"),
            "XDG_DATA_HOME": os.path.join(self.work, "share"),
            "TMPDIR": os.path.join(self.work, "tmp"),
            "HALVENMOOR_UI_ANSWERS": self.answers,
            "QUENLODE_LIVENESS_SECONDS": str(liveness_seconds),
        })
        self.port = None
        # A second server that offers files through index pages only (http_index.sh).
        self.index_state = os.path.join(self.work, "index")
        self.index_port = None
        self.driver = None
        self.agent = None
        self.fuse_connection = None
        self.agent_log = os.path.join(self.work, "agent.log")
        self.driver_log = os.path.join(self.work, "driver.log")

    # --- commands -------------------------------------------------------
    def run(self, command, timeout=60, input=None, check=True, cwd=None):
        """Runs a command (a list, or a string for bash) with a time limit."""
        argv = ["bash", "-c", command] if isinstance(command, str) else command
        start = time.monotonic()
        process = subprocess.Popen(argv, env=self.env, cwd=cwd, start_new_session=True,
                                   stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        timed_out = False
        try:
            out, err = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            out, err = self._reap(process)
        result = Result(process.returncode, out.decode(errors="replace"),
                        err.decode(errors="replace"), time.monotonic() - start, timed_out)
        if check and (timed_out or result.code != 0):
            raise CommandFailed(f"{command!r} failed: {result!r}")
        return result

    def _reap(self, process):
        """Kills a command that ran out of time; one stuck in the mount is freed by an abort."""
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            return process.communicate(timeout=3)
        except subprocess.TimeoutExpired:
            self.abort_mount()
            return process.communicate(timeout=10)

    def start_process(self, argv, log):
        with open(log, "ab") as out:
            return subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True)

    # --- server ---------------------------------------------------------
    def start_server(self):
        result = self.run([os.path.join(self.servers, "apache_webdav.sh"), "start",
                           self.server_state], timeout=30)
        self.port = int(result.out.split()[-1])
        return self.port

    def url(self, folder="dav"):
        return f"http://127.0.0.1:{self.port}/{folder}/"

    def server_path(self, relative, folder="data"):
        return os.path.join(self.server_state, folder, relative)

    def put_on_server(self, relative, content, folder="data"):
        """A file made on the server's side, owned as Apache would own it."""
        path = self.server_path(relative, folder)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        self.give_to_server(os.path.join(self.server_state, folder))
        return path

    def access_log(self):
        """Apache's access log, one list of words a request."""
        with open(os.path.join(self.server_state, "logs", "access.log")) as f:
            return [line.split() for line in f]

    def logged(self, select, count, seconds=10):
        """What select() picks from the access log, once it picks at least
        count lines: Apache writes a line after sending the answer, so the
        log may lag behind the client that got it."""
        wait_until(seconds, lambda: len(select(self.access_log())) >= count)
        return select(self.access_log())

    def give_to_server(self, path):
        if os.geteuid() == 0:
            subprocess.run(["chown", "-R", "www-data:www-data", path], check=True)

    def apache_pids(self):
        pid_file = os.path.join(self.server_state, "run", "httpd.pid")
        if not os.path.exists(pid_file):
            return []
        with open(pid_file) as f:
            parent = f.read().strip()
        children = subprocess.run(["pgrep", "-P", parent], capture_output=True, text=True).stdout
        return [int(parent)] + [int(p) for p in children.split()]

    def signal_server(self, sig):
        for pid in self.apache_pids():
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass

    def stop_server(self):
        if self.port is not None:
            self.signal_server(signal.SIGCONT)
            self.run([os.path.join(self.servers, "apache_webdav.sh"), "stop", self.server_state],
                     timeout=30, check=False)

    # --- index-page server (plain HTTP listing sites) ---------------------
    def start_index_server(self, kind):
        """Apache, nginx, lighttpd or Python serving index_path() as /pub/."""
        result = self.run([os.path.join(self.servers, "http_index.sh"), "start",
                           self.index_state, kind], timeout=30)
        self.index_port = int(result.out.split()[-1])
        return self.index_port

    def index_url(self):
        return f"http://127.0.0.1:{self.index_port}/pub/"

    def index_path(self, relative=""):
        return os.path.join(self.index_state, "data", relative)

    def stop_index_server(self):
        if self.index_port is not None:
            self.run([os.path.join(self.servers, "http_index.sh"), "stop", self.index_state],
                     timeout=30, check=False)
            self.index_port = None

    def up_index(self, kind, site="site1", drive="M", prepare=None):
        """An index-page server, driver, agent and one read-only listing site; the drive's path.
        prepare() runs once the server's folder exists, before the site connects."""
        self.start_index_server(kind)
        if prepare is not None:
            prepare()
        path = self.add_site(site, self.index_url(), drive, extra=("--propfind-get", "1"))
        self.start_driver()
        self.start_agent()
        self.moorgate("--connect", site)
        return path

    # --- driver and agent -----------------------------------------------
    def start_driver(self):
        argv = [os.path.join(self.bin, "quenlode")]
        if os.environ.get("HVM_E2E_TRACE") == "1":
            argv += ["--log-level", "1"]
        self.driver = self.start_process(argv, self.driver_log)
        if not wait_until(15, lambda: socket_answers(os.path.join(self.runtime, "qlode"))
                          and self.mounted()):
            raise CommandFailed("quenlode did not start:\n" + self.log_tail(self.driver_log))
        self.fuse_connection = os.minor(os.stat(self.mount).st_dev)

    def mounted(self):
        with open("/proc/mounts") as mounts:
            return any(line.split()[1] == self.mount for line in mounts)

    def enable_traces(self):
        """Agent and driver trace lines into their logs (HVM_E2E_TRACE=1)."""
        registry = os.path.join(self.home, ".config", "halvenmoor", "user.reg")
        with open(registry, "a") as f:
            f.write('\n[HKEY_CURRENT_USER\\Software\\KOLV\\Halvenmoor]\n"LogLevel"=dword:00000003\n')
        self.env["HALVENMOOR_DEBUG_STDERR"] = "1"

    def start_agent(self):
        if os.environ.get("HVM_E2E_TRACE") == "1" and "HALVENMOOR_DEBUG_STDERR" not in self.env:
            self.enable_traces()
        # A killed agent leaves its instance socket behind; wait for the new one's.
        instance = os.path.join(self.runtime, "instance")
        if os.path.exists(instance) and not socket_answers(instance):
            os.unlink(instance)
        self.agent = self.start_process([os.path.join(self.bin, "moorgate")], self.agent_log)
        if not wait_until(15, lambda: socket_answers(instance) or self.agent.poll() is not None) \
                or self.agent.poll() is not None:
            raise CommandFailed("moorgate did not start:\n" + self.log_tail(self.agent_log))

    def moorgate(self, *args, check=True, timeout=60):
        return self.run([os.path.join(self.bin, "moorgate"), *args], timeout=timeout, check=check)

    def moorsites(self, *args, input=None, check=True):
        return self.run([os.path.join(self.bin, "moorsites"), *args], input=input, check=check,
                        timeout=30)

    def add_site(self, name, url, drive, login=None, password=None, extra=()):
        args = ["add", name, "--url", url, "--drive", drive, "--auto", "0", *extra]
        if login is not None:
            args += ["--login", login]
        if password is not None:
            args += ["--password-stdin"]
        self.moorsites(*args, input=(password + "\n").encode() if password is not None else None)
        return os.path.join(self.drives, drive)

    def up(self, site="site1", drive="M"):
        """Server, driver, agent and one connected site; the drive's path."""
        self.start_server()
        path = self.add_site(site, self.url(), drive)
        self.start_driver()
        self.start_agent()
        self.moorgate("--connect", site)
        return path

    def kill_agent(self):
        if self.agent is not None:
            self.agent.kill()
            self.agent.wait(timeout=10)
            self.agent = None

    def abort_mount(self):
        """Fails every request in the mount at once, as a driver crash would."""
        if self.fuse_connection is None:
            return
        try:
            with open(os.path.join(FUSE_CONNECTIONS, str(self.fuse_connection), "abort"), "w") as f:
                f.write("1")
        except OSError:
            pass

    def stop(self):
        if self.agent is not None:
            if self.agent.poll() is None:
                self.moorgate("--quit", check=False, timeout=30)
            try:
                self.agent.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill_agent()
            self.agent = None
        if self.driver is not None:
            self.driver.terminate()
            try:
                self.driver.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.abort_mount()
                self.driver.kill()
                self.driver.wait(timeout=10)
            self.driver = None
        if self.mounted():
            subprocess.run(["umount", "-l", self.mount], check=False, capture_output=True)
            subprocess.run(["fusermount3", "-u", "-z", self.mount], check=False,
                           capture_output=True)
        self.stop_server()
        self.stop_index_server()
        section = f"/dev/shm/Halvenmoor_WebSharedData.{fnv1a64(self.runtime):016x}.{os.getuid()}"
        if os.path.exists(section):
            os.unlink(section)

    def remove(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def log_tail(self, path, lines=40):
        try:
            with open(path, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def agent_output(self):
        with open(self.agent_log, errors="replace") as f:
            return f.read()


class SftpSystem(System):
    """A System whose site lives on OpenSSH's sshd (tests/servers/sshd_sftp.sh)
    under a test account; the server's unknown key is accepted by the
    scripted answer the person would give."""

    password = "secret"

    def __init__(self, build_dir, source_dir, liveness_seconds=4):
        super().__init__(build_dir, source_dir, liveness_seconds)
        self.server_state = os.path.join(self.work, "sshd")
        self.data = os.path.join(self.server_state, "data")
        self.user = None

    def start_server(self):
        result = self.run([os.path.join(self.servers, "sshd_sftp.sh"), "start", self.server_state],
                          timeout=60)
        self.port = int(result.out.split()[-1])
        with open(os.path.join(self.server_state, "user")) as f:
            self.user = f.read().strip()
        return self.port

    def url(self, folder="data"):
        return f"sftp://127.0.0.1:{self.port}{self.server_state}/{folder}/"

    def server_command(self, command):
        """kill, restart, rekey: see sshd_sftp.sh."""
        self.run([os.path.join(self.servers, "sshd_sftp.sh"), command, self.server_state], timeout=60)

    def give_to_server(self, path):
        if self.user is not None:
            subprocess.run(["chown", "-R", self.user, path], check=True)

    def accept_unknown_keys(self):
        with open(self.answers, "a") as f:
            f.write("match=IDS_SFTP_ACCEPT_CHANGE IDYES\n")

    def up(self, site="site1", drive="M"):
        self.start_server()
        self.accept_unknown_keys()
        path = self.add_site(site, self.url(), drive, login=self.user, password=self.password)
        self.start_driver()
        self.start_agent()
        self.moorgate("--connect", site)
        return path

    def stop_server(self):
        if self.port is not None:
            self.run([os.path.join(self.servers, "sshd_sftp.sh"), "stop", self.server_state],
                     timeout=60, check=False)


def start_paused_writer(system, path, data_expr, go, flags="os.O_WRONLY | os.O_CREAT | os.O_EXCL"):
    """A program that opens path with flags, writes the bytes data_expr (Python
    source) gives, prints "written", and closes the file once go exists;
    exit status 3 with "close failed ERRNO" when the close fails."""
    return subprocess.Popen(["python3", "-c", f"""
import os, sys, time
fd = os.open({path!r}, {flags}, 0o644)
os.write(fd, {data_expr})
print("written", flush=True)
while not os.path.exists({go!r}):
    time.sleep(0.05)
try:
    os.close(fd)
except OSError as e:
    print("close failed", e.errno, flush=True)
    sys.exit(3)
print("closed", flush=True)
"""], env=system.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_paused_writer(case, writer, go, between):
    """Waits for the writer's "written", runs between(), lets the writer go on
    (the file go appears) and returns its output; on a failure the writer is
    killed and the mount freed."""
    try:
        case.assertEqual(writer.stdout.readline().strip(), "written")
        between()
        open(go, "w").close()
        return writer.communicate(timeout=120)
    except BaseException:
        writer.kill()
        case.system.abort_mount()
        raise


def check_failed_upload_keeps_a_backup(case, stop_server, site):
    """Writes 2 MiB through the drive, calls stop_server before the close, and
    checks that the close fails and the backup copy holds every byte."""
    import hashlib
    s = case.system
    content = os.urandom(2 * 1024 * 1024)
    source = os.path.join(s.work, "payload.bin")
    with open(source, "wb") as f:
        f.write(content)
    go = os.path.join(s.work, "go")
    writer = start_paused_writer(s, case.on_drive("lost.bin"), f"open({source!r}, 'rb').read()", go,
                                 "os.O_WRONLY | os.O_CREAT | os.O_TRUNC")
    out, err = finish_paused_writer(case, writer, go, stop_server)
    case.assertEqual(writer.returncode, 3, out + err)
    backups = os.path.join(s.work, "share", "halvenmoor", "backup", site)
    saved = os.listdir(backups) if os.path.isdir(backups) else []
    case.assertEqual(len(saved), 1, f"backups: {saved}")
    case.assertTrue(saved[0].startswith("lost.bin."))
    with open(os.path.join(backups, saved[0]), "rb") as f:
        case.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(content).hexdigest())


def check_name_taken_meanwhile_is_kept(case, site, relative, make_theirs_before):
    """Creates relative (a new name) through the drive with O_EXCL and writes
    to it; another client makes a file of that name on the server before the
    drive's open reaches it ("open") or before the close ("close"). The close
    fails with EEXIST, the server keeps the other client's bytes, the backup
    copy holds the written ones, and the drive then shows the server's file."""
    import errno
    s = case.system
    path, go = case.on_drive(relative), os.path.join(s.work, "go-" + os.path.basename(relative))
    theirs, ours = b"theirs, made on the server", b"ours, written through the drive"
    if make_theirs_before == "open":
        s.put_on_server(relative, theirs)
    writer = start_paused_writer(s, path, repr(ours), go)
    out, err = finish_paused_writer(case, writer, go, lambda: make_theirs_before == "close" and
                                    s.put_on_server(relative, theirs))
    case.assertEqual((writer.returncode, out.strip()), (3, f"close failed {errno.EEXIST}"), err)
    with open(s.server_path(relative), "rb") as f:
        case.assertEqual(f.read(), theirs)
    backups = os.path.join(s.work, "share", "halvenmoor", "backup", site)
    name = os.path.basename(relative)
    saved = [n for n in os.listdir(backups) if n.startswith(name + ".")]
    case.assertEqual(len(saved), 1, saved)
    with open(os.path.join(backups, saved[0]), "rb") as f:
        case.assertEqual(f.read(), ours)
    case.assertEqual(s.run(["cat", path]).out, theirs.decode())


def check_names_differing_in_case_never_mix(case, folder):
    """Two pairs of server files whose names differ only in case, of different
    sizes. The drive compares names without regard to case and shows one of
    each pair; whichever spelling a program uses, size and bytes come from that
    one file, and a write through the shown name reaches it and leaves the
    other untouched."""
    s = case.system
    files = {"Case.txt": b"U" * 10, "case.txt": b"l" * 30000, "Big.txt": b"B" * 30000, "big.txt": b"b" * 10}
    for name, content in files.items():
        s.put_on_server(f"{folder}/{name}", content)
    shown = sorted(os.listdir(case.on_drive(folder)))
    case.assertEqual([n.lower() for n in shown], ["big.txt", "case.txt"])
    for name in files:
        own = next(n for n in shown if n.lower() == name.lower())
        path = case.on_drive(f"{folder}/{name}")
        with open(path, "rb") as f:
            data = f.read()
        case.assertEqual((os.stat(path).st_size, data), (len(files[own]), files[own]), name)
    shown_case = next(n for n in shown if n.lower() == "case.txt")
    other = "case.txt" if shown_case == "Case.txt" else "Case.txt"
    with open(case.on_drive(f"{folder}/{shown_case}"), "wb") as f:
        f.write(b"written through the drive")
    with open(s.server_path(f"{folder}/{shown_case}"), "rb") as f:
        case.assertEqual(f.read(), b"written through the drive")
    with open(s.server_path(f"{folder}/{other}"), "rb") as f:
        case.assertEqual(f.read(), files[other])
    # Both spellings read, then a write through the other one: it is the
    # shown file's, and the write replaces it whole.
    for round in range(3):
        for name in (shown_case, other):
            with open(case.on_drive(f"{folder}/{name}"), "rb") as f:
                f.read()
        text = b"through the other spelling %d" % round
        with open(case.on_drive(f"{folder}/{other}"), "wb") as f:
            f.write(text)
        with open(s.server_path(f"{folder}/{shown_case}"), "rb") as f:
            case.assertEqual(f.read(), text)
        case.assertEqual(os.stat(case.on_drive(f"{folder}/{shown_case}")).st_size, len(text))
    with open(s.server_path(f"{folder}/{other}"), "rb") as f:
        case.assertEqual(f.read(), files[other])


def check_spellings_of_one_name_agree(case, folder):
    """Names typed in other spellings than the server's (each spelling is a
    file of its own to the kernel): what one spelling changed shows through
    the others as soon as the change returns, new names inside a folder typed
    otherwise land in the server's folder, and a rename onto another spelling
    of an existing name replaces that file rather than adding a second."""
    s = case.system
    drive = case.on_drive(folder)
    s.put_on_server(f"{folder}/Doc.txt", b"old contents")
    s.put_on_server(f"{folder}/Sub/keep.txt", b"k")
    with open(f"{drive}/Doc.txt", "rb") as f:  # the kernel keeps these pages
        case.assertEqual(f.read(), b"old contents")
    case.assertEqual(os.stat(f"{drive}/doc.txt").st_size, 12)

    with open(f"{drive}/doc.txt", "wb") as f:
        f.write(b"new, longer contents")
    case.assertEqual(os.stat(f"{drive}/Doc.txt").st_size, 20)
    with open(f"{drive}/Doc.txt", "rb") as f:
        case.assertEqual(f.read(), b"new, longer contents")
    os.truncate(f"{drive}/DOC.TXT", 3)
    case.assertEqual(os.stat(f"{drive}/doc.txt").st_size, 3)
    with open(f"{drive}/Doc.txt", "rb") as f:
        case.assertEqual(f.read(), b"new")

    # Written through one spelling while another holds the file open.
    with open(f"{drive}/Doc.txt", "rb") as reader:
        case.assertEqual(reader.read(), b"new")
        with open(f"{drive}/doc.txt", "r+b") as writer:
            writer.write(b"NEW")
            writer.flush()
            for _ in range(100):  # the other's pages are dropped right after the write
                if os.pread(reader.fileno(), 3, 0) == b"NEW":
                    break
                time.sleep(0.02)
            case.assertEqual(os.pread(reader.fileno(), 3, 0), b"NEW")

    with open(f"{drive}/sub/made.txt", "wb") as f:
        f.write(b"made")
    case.assertEqual(sorted(os.listdir(s.server_path(f"{folder}/Sub"))), ["keep.txt", "made.txt"])
    case.assertFalse(os.path.exists(s.server_path(f"{folder}/sub")))

    with open(f"{drive}/other.txt", "wb") as f:
        f.write(b"moved over")
    os.rename(f"{drive}/other.txt", f"{drive}/DOC.txt")
    case.assertEqual(sorted(n for n in os.listdir(s.server_path(folder)) if n != "Sub"), ["Doc.txt"])
    with open(s.server_path(f"{folder}/Doc.txt"), "rb") as f:
        case.assertEqual(f.read(), b"moved over")
    with open(f"{drive}/doc.txt", "rb") as f:
        case.assertEqual(f.read(), b"moved over")

    os.unlink(f"{drive}/doc.TXT")
    for spelling in ("Doc.txt", "doc.txt", "DOC.txt"):
        case.assertFalse(os.path.exists(f"{drive}/{spelling}"), spelling)
    case.assertFalse(os.path.exists(s.server_path(f"{folder}/Doc.txt")))


def check_uploads_streamed_while_writing(case, folder):
    """A file of several MiB written from start to end reaches the server
    while it is written, and is whole there when its close returns; bytes
    rewritten or cut after part of the file went out still end up on the
    server exactly as the program left them (the close uploads again)."""
    s = case.system
    MiB = 1 << 20
    os.makedirs(case.on_drive(folder))
    server_folder = case.on_server(folder)

    def upload_under_way():
        # Apache writes the body into a temporary file beside the target,
        # an FTP server into the target itself.
        try:
            return any(os.path.getsize(os.path.join(server_folder, n)) >= MiB for n in os.listdir(server_folder))
        except OSError:
            return False

    for name, change in (("sequential.bin", ""),
                         ("rewritten.bin", "os.pwrite(fd, b'REWRITTEN', 1000)\n"
                                           "model[1000:1009] = b'REWRITTEN'\n"),
                         ("cut.bin", "os.ftruncate(fd, 500000)\n"
                                     "del model[500000:]\n"
                                     "os.lseek(fd, 0, os.SEEK_END)\n")):
        go = os.path.join(s.work, f"go-{name}")
        path = case.on_drive(f"{folder}/{name}")
        writer = subprocess.Popen(["python3", "-c", f"""
import os, sys, time
fd = os.open({path!r}, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
model = bytearray()
for i in range(12):
    piece = os.urandom(256 * 1024)
    os.write(fd, piece)
    model += piece
print('written', flush=True)
while not os.path.exists({go!r}):
    time.sleep(0.05)
{change}for i in range(12):
    piece = os.urandom(256 * 1024)
    os.write(fd, piece)
    model += piece
os.close(fd)
open({go!r} + '.model', 'wb').write(model)
print('closed', flush=True)
"""], env=s.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = finish_paused_writer(case, writer, go, lambda: case.assertTrue(
            wait_until(60, upload_under_way, step=0.02), f"{name}: no upload before the close"))
        case.assertEqual(writer.returncode, 0, out + err)
        # Read at once: the close returned only after the server had the file.
        with open(go + ".model", "rb") as f:
            model = f.read()
        case.assertEqual(case.server_bytes(f"{folder}/{name}"), model, name)
        case.assertEqual(s.run(["cmp", path, go + ".model"]).code, 0, name)


def check_streamed_uploads_follow_renames(case, folder):
    """A file past a MiB goes up while written, to the name it has then. Renamed
    before its close (itself, over another file, or its folder), it ends whole
    under its new name, and nothing comes back under the old one."""
    s = case.system
    d = case.on_drive(folder)
    os.makedirs(f"{d}/box")
    for name, content in (("kept.bin", b"kept"), ("victim.bin", b"victim")):
        with open(f"{d}/{name}", "wb") as f:
            f.write(content)
    s.run(["python3", "-c", f"""
import os
def written(path, flags, byte):
    fd = os.open(path, os.O_WRONLY | flags, 0o644)
    for i in range(6):
        os.write(fd, byte * (256 * 1024))  # the upload begins past the first MiB
    return fd
d = {d!r}
fd = written(d + "/new.part", os.O_CREAT | os.O_EXCL, b"n")
os.rename(d + "/new.part", d + "/new.bin")
os.write(fd, b"end")
os.close(fd)
fd = written(d + "/kept.bin", os.O_TRUNC, b"k")
os.rename(d + "/kept.bin", d + "/victim.bin")
os.close(fd)
fd = written(d + "/box/in.bin", os.O_CREAT, b"i")
os.rename(d + "/box", d + "/box2")
os.close(fd)
"""])
    MiB6 = 6 * 256 * 1024
    case.assertEqual(sorted(os.listdir(case.on_server(folder))), ["box2", "new.bin", "victim.bin"])
    # The PUT broken off at the folder's move may leave Apache's own temporary
    # file behind (mod_dav_fs removes it when it notices the abort, which can
    # come after the move took it along): the server's, not a file of the drive.
    listed = [n for n in os.listdir(case.on_server(f"{folder}/box2")) if not n.startswith(".davfs.tmp")]
    case.assertEqual(listed, ["in.bin"])
    for name, content in (("new.bin", b"n" * MiB6 + b"end"), ("victim.bin", b"k" * MiB6),
                          ("box2/in.bin", b"i" * MiB6)):
        case.assertEqual(case.server_bytes(f"{folder}/{name}"), content, name)
