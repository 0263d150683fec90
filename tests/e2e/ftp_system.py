"""A System whose site is an FTP server: vsftpd on loopback (anonymous,
every write right in its folder /data), for the end-to-end tests and the
benchmarks. Everything else (driver, agent, mount, drives folder) is the
System's own."""
import os
import signal
import subprocess

from e2e_system import System


class FtpSystem(System):
    def __init__(self, build_dir, source_dir, liveness_seconds=4, mode="plain"):
        super().__init__(build_dir, source_dir, liveness_seconds)
        self.server_state = os.path.join(self.work, "vsftpd")
        self.data = os.path.join(self.server_state, "data")
        self.mode = mode

    def start_server(self):
        result = self.run([os.path.join(self.servers, "vsftpd_ftp.sh"), "start", self.server_state,
                           self.mode], timeout=30)
        self.port = int(result.out.split()[-1])
        return self.port

    def up(self, site="ftp1", drive="F"):
        self.start_server()
        path = self.add_site(site, self.url(), drive)
        if self.mode != "plain":  # the test certificate is self-signed
            self.moorsites("set", site, "--ignore-cert", "1")
        self.start_driver()
        self.start_agent()
        self.moorgate("--connect", site)
        return path

    def url(self, folder="data"):
        scheme = {"plain": "ftp", "explicit": "ftpes", "implicit": "ftps"}[self.mode]
        return f"{scheme}://127.0.0.1:{self.port}/{folder}/"

    def server_path(self, relative, folder="data"):
        return os.path.join(self.server_state, folder, relative)

    def give_to_server(self, path):
        if os.geteuid() == 0:
            subprocess.run(["chown", "-R", "ftp:ftp", os.path.realpath(path)], check=True)

    def server_pids(self):
        pid_file = os.path.join(self.server_state, "pid")
        if not os.path.exists(pid_file):
            return []
        with open(pid_file) as f:
            listener = int(f.read().strip())
        # The listener and the session processes it forked.
        table = subprocess.run(["ps", "-e", "-o", "pid=,ppid="], capture_output=True, text=True).stdout
        parents = {int(a): int(b) for a, b in (line.split() for line in table.splitlines() if line.strip())}
        family = {listener}
        grown = True
        while grown:
            grown = False
            for pid, parent in parents.items():
                if pid not in family and parent in family:
                    family.add(pid)
                    grown = True
        return sorted(family)

    def signal_server(self, sig):
        for pid in self.server_pids():
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass

    def stop_server(self):
        if self.port is not None:
            self.signal_server(signal.SIGCONT)
            self.run([os.path.join(self.servers, "vsftpd_ftp.sh"), "stop", self.server_state],
                     timeout=30, check=False)
