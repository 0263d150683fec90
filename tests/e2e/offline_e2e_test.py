#!/usr/bin/env python3
"""End-to-end tests of the offline cache: Apache mod_dav, the real driver and
agent, moornook's commands on the drive, offline connect and synchronisation.

    offline_e2e_test.py BUILD_DIR SOURCE_DIR [TestClass ...]

Exit status 77 means the machine cannot run these tests.
"""
import os
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_system import SftpSystem, System, run_test_module, wait_until  # noqa: E402
from ftp_system import FtpSystem  # noqa: E402

BUILD_DIR = SOURCE_DIR = None
SYSTEMS = []


class OfflineCase(unittest.TestCase):
    """One system with site1 as the drive M; its folder docs made available offline."""

    files = {"docs/a.txt": b"server a\n", "docs/b.txt": b"server b\n", "docs/sub/c.txt": b"server c\n",
             "docs/d.txt": b"server d\n"}

    @classmethod
    def new_system(cls):
        return System(BUILD_DIR, SOURCE_DIR)

    @classmethod
    def setUpClass(cls):
        cls.system = cls.new_system()
        SYSTEMS.append(cls.system)
        try:
            cls.drive = cls.system.up(site="site1", drive="M")
            for name, content in cls.files.items():
                cls.system.put_on_server(name, content)
            cls.cache = os.path.join(cls.system.work, "share", "halvenmoor", "offline", "site1")
        except BaseException:
            cls.system.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.system.stop()

    def nook(self, *args, check=True, timeout=120):
        return self.system.run([os.path.join(self.system.bin, "moornook"), *args], check=check,
                               timeout=timeout)

    def server_bytes(self, relative):
        try:
            with open(self.system.server_path(relative), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def local_bytes(self, relative):
        try:
            with open(os.path.join(self.cache, relative), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write_on_drive(self, relative, content):
        path = os.path.join(self.drive, relative)
        try:
            with open(path, "wb") as f:
                f.write(content)
        except OSError as first:
            # What the drive shows afterwards tells a passing fault from a lasting one.
            time.sleep(1)
            try:
                with open(path, "wb") as f:
                    f.write(content)
                again = "a second try a second later succeeded"
            except OSError as second:
                again = f"a second try failed too: {second}"
            listing = self.system.run(f"ls -la '{os.path.dirname(path)}' | head -5", check=False).out
            raise AssertionError(f"writing {relative} on the drive: {first}; {again}\n{listing}") from first

    def reconnect(self, offline):
        self.system.moorgate("--disconnect", "site1")
        self.system.moorgate("--offline-connect" if offline else "--connect", "site1", timeout=300)


class OfflineRoundTrip(OfflineCase):
    def test_1_marked_folder_is_copied_and_reports_its_state(self):
        self.system.run(f"ls -R '{self.drive}/docs'")
        self.assertIn("not available offline", self.nook("state", f"{self.drive}/docs").out)
        self.nook("offline", "--subfolders", f"{self.drive}/docs")
        self.assertIn("available offline with all subfolders", self.nook("state", f"{self.drive}/docs").out)
        for name, content in self.files.items():
            self.assertEqual(self.local_bytes(name), content, name)
        outside = self.nook("state", self.system.work, check=False)
        self.assertEqual(outside.code, 3)

    def test_2_offline_edits_reach_the_server_when_online_again(self):
        self.reconnect(offline=True)
        self.assertEqual(self.system.run(f"cat '{self.drive}/docs/a.txt'").out, "server a\n")
        self.assertIn("not possible here", self.nook("state", f"{self.drive}/docs").out)
        self.write_on_drive("docs/a.txt", b"edited offline\n")
        self.write_on_drive("docs/new.txt", b"made offline\n")
        os.makedirs(os.path.join(self.drive, "docs", "newdir"))
        self.write_on_drive("docs/newdir/n.txt", b"deep\n")
        os.unlink(os.path.join(self.drive, "docs", "b.txt"))
        os.rename(os.path.join(self.drive, "docs", "d.txt"), os.path.join(self.drive, "docs", "sub", "d2.txt"))
        self.assertIsNotNone(self.server_bytes("docs/b.txt"))  # nothing reached the server yet
        refused = self.system.moorgate("--sync", "site1", check=False)  # no server to sync with
        self.assertEqual(refused.code, 1, refused)
        self.assertIn("site1 was not synchronised", refused.err)
        self.reconnect(offline=False)  # the site synchronises on connect
        self.assertEqual(self.server_bytes("docs/a.txt"), b"edited offline\n")
        self.assertEqual(self.server_bytes("docs/new.txt"), b"made offline\n")
        self.assertEqual(self.server_bytes("docs/newdir/n.txt"), b"deep\n")
        self.assertIsNone(self.server_bytes("docs/b.txt"))
        self.assertIsNone(self.server_bytes("docs/d.txt"))
        self.assertEqual(self.server_bytes("docs/sub/d2.txt"), b"server d\n")
        self.assertEqual(self.system.run(f"cat '{self.drive}/docs/new.txt'").out, "made offline\n")
        # Each upload of the synchronisation is told on the agent's terminal.
        def noticed(name):
            with open(self.system.agent_log, errors="replace") as f:
                return any("Notice [Upload finished]" in line and name in line for line in f)
        for name in ("\\docs\\a.txt", "\\docs\\new.txt", "\\docs\\newdir\\n.txt"):
            self.assertTrue(wait_until(10, lambda: noticed(name)), name)

    def test_3_both_changed_asks_and_keeps_both(self):
        self.reconnect(offline=True)
        self.write_on_drive("docs/sub/c.txt", b"local c\n")
        server = self.system.put_on_server("docs/sub/c.txt", b"server c2\n")
        os.utime(server, (time.time() + 120, time.time() + 120))
        self.reconnect(offline=False)
        self.assertIn("Conflict!", self.system.agent_output())
        self.assertEqual(self.server_bytes("docs/sub/c.txt"), b"server c2\n")
        self.assertEqual(self.local_bytes("docs/sub/c.txt"), b"local c\n")
        # Answered Yes the next time: the local copy wins.
        with open(self.system.answers, "w") as f:
            f.write("match=Conflict IDYES\n")
        result = self.nook("sync", f"{self.drive}/docs")
        self.assertIn("done", result.out)
        self.assertEqual(self.server_bytes("docs/sub/c.txt"), b"local c\n")

    def test_4_server_changes_and_deletions_reach_the_cache(self):
        self.system.put_on_server("docs/fresh.txt", b"fresh\n")
        os.unlink(self.system.server_path("docs/new.txt"))
        self.nook("sync", f"{self.drive}/docs")
        self.assertEqual(self.local_bytes("docs/fresh.txt"), b"fresh\n")
        self.assertIsNone(self.local_bytes("docs/new.txt"))
        self.nook("delete-cache", f"{self.drive}/docs")
        self.assertIsNone(self.local_bytes("docs/a.txt"))
        # The local copy is gone but the folder keeps its mark.
        state = self.nook("state", f"{self.drive}/docs").out.strip()
        self.assertTrue(state.endswith(": available offline with all subfolders"), state)

    def test_5_a_copy_holding_changes_is_never_dropped(self):
        self.system.moorsites("set", "site1", "--sync-on-connect", "0")
        try:
            self.reconnect(offline=True)
            self.write_on_drive("docs/a.txt", b"kept here\n")
            self.reconnect(offline=False)  # online, not synchronised
            for command in (["delete-cache"], ["offline", "--subfolders"]):
                refused = self.nook(*command, f"{self.drive}/docs", check=False)
                self.assertNotEqual(refused.code, 0, command)
                self.assertIn("not yet synchronised", refused.err, command)
                self.assertEqual(self.local_bytes("docs/a.txt"), b"kept here\n", command)
            state = self.nook("state", f"{self.drive}/docs").out.strip()
            self.assertTrue(state.endswith(": available offline with all subfolders"), state)
            self.nook("sync", f"{self.drive}/docs")
            self.assertEqual(self.server_bytes("docs/a.txt"), b"kept here\n")
            self.nook("delete-cache", f"{self.drive}/docs")
            self.assertIsNone(self.local_bytes("docs/a.txt"))
        finally:
            self.system.moorsites("set", "site1", "--sync-on-connect", "1")

    def test_6_saves_in_place_and_a_moved_folder_reach_the_server_without_a_question(self):
        self.nook("sync", f"{self.drive}/docs")  # the copy dropped above comes back
        self.assertEqual(self.local_bytes("docs/a.txt"), b"kept here\n")
        self.assertEqual(self.local_bytes("docs/fresh.txt"), b"fresh\n")
        conflicts = self.system.agent_output().count("Conflict!")
        self.reconnect(offline=True)
        # An editor's save: a new file renamed over the old one; another's: delete, then make again.
        self.write_on_drive("docs/a.txt.new", b"saved by rename\n")
        os.rename(os.path.join(self.drive, "docs", "a.txt.new"), os.path.join(self.drive, "docs", "a.txt"))
        os.rename(os.path.join(self.drive, "docs", "sub"), os.path.join(self.drive, "docs", "moved"))
        os.unlink(os.path.join(self.drive, "docs", "fresh.txt"))
        self.write_on_drive("docs/fresh.txt", b"saved by delete and create\n")
        self.reconnect(offline=False)  # the site synchronises on connect
        self.assertEqual(self.server_bytes("docs/a.txt"), b"saved by rename\n")
        self.assertEqual(self.server_bytes("docs/fresh.txt"), b"saved by delete and create\n")
        self.assertIsNone(self.server_bytes("docs/a.txt.new"))
        # A folder moved here moves there: nothing of it stays at the old place.
        self.assertEqual(self.server_bytes("docs/moved/c.txt"), b"local c\n")
        old_place = self.system.server_path("docs/sub")
        self.assertFalse(os.path.exists(old_place), os.listdir(old_place) if os.path.isdir(old_place) else "")
        self.assertIsNone(self.local_bytes("docs/sub/c.txt"))
        self.assertEqual(self.system.agent_output().count("Conflict!"), conflicts)


    def test_7_an_edit_in_the_minute_after_the_servers_time_reaches_it(self):
        # A server whose listing tells minutes only must not take an edit made
        # in the same minute for the copy the last run left.
        self.system.put_on_server("docs/minute.txt", b"server minute\n")
        self.nook("sync", f"{self.drive}/docs")
        self.assertEqual(self.local_bytes("docs/minute.txt"), b"server minute\n")
        self.reconnect(offline=True)
        self.write_on_drive("docs/minute.txt", b"edited within the minute\n")
        self.reconnect(offline=False)  # the site synchronises on connect
        self.assertEqual(self.server_bytes("docs/minute.txt"), b"edited within the minute\n")
        # The server's next change comes down over a copy that holds nothing new.
        later = self.system.put_on_server("docs/minute.txt", b"server later\n")
        os.utime(later, (time.time() + 120, time.time() + 120))
        self.nook("sync", f"{self.drive}/docs")
        self.assertEqual(self.local_bytes("docs/minute.txt"), b"server later\n")

    def test_8_a_file_and_a_folder_both_changed_under_one_name_follow_the_answer(self):
        # Yes keeps this side's: the server's folder goes with all it holds
        # (FTP and SFTP delete only empty folders), and so does its file.
        self.system.put_on_server("docs/tree/deep/y.txt", b"server y\n")
        self.system.put_on_server("docs/plain.txt", b"server plain\n")
        self.nook("sync", f"{self.drive}/docs")
        self.assertEqual(self.local_bytes("docs/tree/deep/y.txt"), b"server y\n")
        self.reconnect(offline=True)
        subprocess.run(["rm", "-r", os.path.join(self.drive, "docs", "tree")], check=True)
        self.write_on_drive("docs/tree", b"a file here now\n")
        os.unlink(os.path.join(self.drive, "docs", "plain.txt"))
        os.mkdir(os.path.join(self.drive, "docs", "plain.txt"))
        self.write_on_drive("docs/plain.txt/inner.txt", b"inner here\n")
        for name in ("docs/tree/deep/y.txt", "docs/plain.txt"):
            changed = self.system.put_on_server(name, b"changed there\n")
            os.utime(changed, (time.time() + 120, time.time() + 120))
        with open(self.system.answers) as f:
            answers = f.read()
        with open(self.system.answers, "w") as f:
            f.write("match=Conflict IDYES\n")
        try:
            asked = self.system.agent_output().count("Conflict!")
            self.reconnect(offline=False)  # the site synchronises on connect
            self.assertEqual(self.system.agent_output().count("Conflict!") - asked, 2)
        finally:
            with open(self.system.answers, "w") as f:
                f.write(answers)
        self.assertEqual(self.server_bytes("docs/tree"), b"a file here now\n")
        self.assertEqual(self.server_bytes("docs/plain.txt/inner.txt"), b"inner here\n")
        asked = self.system.agent_output().count("Conflict!")
        self.nook("sync", f"{self.drive}/docs")
        self.assertEqual(self.system.agent_output().count("Conflict!"), asked)


class OfflineRandomOperations(OfflineCase):
    """Seeded random operations (random_operations.py) in an offline folder while the
    site is connected offline, against a local model folder; the next connect
    synchronises, and then the server's folder must hold what the model holds.

    HVM_RANDOM_SEED repeats a run; HVM_RANDOM_STEPS sets its length."""

    files = {}
    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "random_operations.py")
    # What the folder holds before it goes offline: names the random steps use
    # and names they never touch.
    start = {"f0": b"server f0\n" * 500, "f1": b"server f1\n", "f2": b"",
             "d0/f0": b"server d0/f0\n" * 9000, "d0/f1": b"server d0/f1\n",
             "keep0": b"server keep0\n", "keep1": b"server keep1\n", "kept/k2": b"server k2\n"}

    def tree(self, root):
        """{relative path: bytes, or None for a folder} below root."""
        found = {}
        for folder, folders, names in os.walk(root):
            folders[:] = [n for n in folders if not n.startswith(".DAV")]
            for name in folders:
                found[os.path.relpath(os.path.join(folder, name), root)] = None
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    found[os.path.relpath(os.path.join(folder, name), root)] = f.read()
        return found

    def assert_trees_equal(self, got, expected, what, seed):
        def shown(tree):
            return {k: (None if v is None else (len(v), v[:16])) for k, v in sorted(tree.items())}
        missing = sorted(set(expected) - set(got))
        extra = sorted(set(got) - set(expected))
        differing = sorted(k for k in set(got) & set(expected) if got[k] != expected[k])
        self.assertFalse(missing or extra or differing,
                         f"seed {seed}: {what}: missing {missing}, extra {extra}, differing "
                         f"{[(k, shown({k: got[k]})[k], shown({k: expected[k]})[k]) for k in differing]}")

    # One seed for the group, each test's run at an offset from it.
    base_seed = int(os.environ.get("HVM_RANDOM_SEED", str(int.from_bytes(os.urandom(4), "big"))))

    def seed_and_steps(self, offset):
        return self.base_seed + offset, int(os.environ.get("HVM_RANDOM_STEPS", "150"))

    def prepare(self, folder):
        """The folder on the server, made available offline, and a model holding the same."""
        past = time.time() - 3600
        for name, content in self.start.items():
            path = self.system.put_on_server(f"{folder}/{name}", content)
            os.utime(path, (past, past))
        self.system.run(f"ls -R '{self.drive}/{folder}'")
        self.nook("offline", "--subfolders", f"{self.drive}/{folder}")
        model = os.path.join(self.system.work, f"model-{folder}")
        for name, content in self.start.items():
            os.makedirs(os.path.dirname(os.path.join(model, name)), exist_ok=True)
            with open(os.path.join(model, name), "wb") as f:
                f.write(content)
        return model

    def run_offline(self, folder, seed, steps, model):
        print(f"random operations offline in {folder}: seed {seed}, {steps} steps "
              f"(HVM_RANDOM_SEED={self.base_seed} repeats the group)", file=sys.stderr, flush=True)
        self.reconnect(offline=True)
        # Every kind of step applies offline: copies there go through reads
        # and writes, as the offline drive offers no server copy.
        result = subprocess.run(["python3", self.SCRIPT, str(seed), str(steps), f"{self.drive}/{folder}", model],
                                env=self.system.env, capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, f"seed {seed}: {result.stdout}{result.stderr}")
        print(result.stdout.strip(), file=sys.stderr, flush=True)

    def conflicts(self):
        return self.system.agent_output().count("Conflict!")

    def test_1_offline_changes_reach_the_server_as_the_model_holds_them(self):
        seed, steps = self.seed_and_steps(0)
        model = self.prepare("rand1")
        self.run_offline("rand1", seed, steps, model)
        asked = self.conflicts()
        self.reconnect(offline=False)  # the site synchronises on connect
        self.assertEqual(self.conflicts(), asked, f"seed {seed}: a question was asked")
        expected = self.tree(model)
        self.assert_trees_equal(self.tree(self.system.server_path("rand1")), expected, "server", seed)
        self.assert_trees_equal(self.tree(os.path.join(self.cache, "rand1")), expected, "cache", seed)
        # A second run finds both sides in step.
        self.nook("sync", f"{self.drive}/rand1")
        self.assertEqual(self.conflicts(), asked, f"seed {seed}: a question was asked")
        self.assert_trees_equal(self.tree(self.system.server_path("rand1")), expected, "server", seed)
        self.assert_trees_equal(self.tree(os.path.join(self.drive, "rand1")), expected, "drive", seed)

    def test_3_a_second_round_goes_on_from_the_synchronised_copies(self):
        """Two offline rounds, each synchronised: the second starts from the
        copies and times the first run left."""
        seed, steps = self.seed_and_steps(2)
        model = self.prepare("rand3")
        for round_seed in (seed, seed + 1000):
            self.run_offline("rand3", round_seed, steps, model)
            asked = self.conflicts()
            self.reconnect(offline=False)  # the site synchronises on connect
            self.assertEqual(self.conflicts(), asked, f"seed {round_seed}: a question was asked")
            expected = self.tree(model)
            self.assert_trees_equal(self.tree(self.system.server_path("rand3")), expected, "server", round_seed)
            self.assert_trees_equal(self.tree(os.path.join(self.cache, "rand3")), expected, "cache", round_seed)

    def test_2_server_changes_meanwhile_are_kept(self):
        """Before the connect the server changes and deletes files the run left
        alone, adds one, and changes files the run changed or deleted: those
        changed on both sides ask and keep both; those deleted here stay with
        the server's change and come back."""
        seed, steps = self.seed_and_steps(1)
        model = self.prepare("rand2")
        self.run_offline("rand2", seed, steps, model)
        local = self.tree(model)
        expected_server, expected_cache = dict(local), dict(local)
        later = time.time() + 120

        def on_server(name, content):
            path = self.system.put_on_server(f"rand2/{name}", content)
            os.utime(path, (later, later))
            expected_server[name] = expected_cache[name] = content
            for parent in (os.path.dirname(name),) if os.path.dirname(name) else ():
                expected_server[parent] = expected_cache[parent] = None
        on_server("keep0", b"keep0 changed on the server\n")
        os.unlink(self.system.server_path("rand2/keep1"))
        del expected_server["keep1"], expected_cache["keep1"]
        on_server("kept/k2", b"k2 changed on the server\n")
        on_server("fresh", b"new on the server\n")
        both = []
        for name in ("f0", "f1", "f2", "d0/f0", "d0/f1"):
            if name not in local:  # deleted or moved here: the server's change stays and comes back
                on_server(name, f"{name} changed on the server\n".encode())
            elif local[name] is not None and local[name] != self.start[name]:  # changed on both sides
                both.append(name)
                on_server(name, f"{name} changed on the server\n".encode())
                expected_cache[name] = local[name]
        asked = self.conflicts()
        self.reconnect(offline=False)  # the site synchronises on connect
        self.assertEqual(self.conflicts() - asked, len(both), f"seed {seed}: questions for {both}")
        self.assert_trees_equal(self.tree(self.system.server_path("rand2")), expected_server, "server", seed)
        self.assert_trees_equal(self.tree(os.path.join(self.cache, "rand2")), expected_cache, "cache", seed)
        # Answered No: the server's versions replace the local ones, and no question is left.
        with open(self.system.answers) as f:
            answers = f.read()
        with open(self.system.answers, "a") as f:
            f.write("match=Conflict IDNO\n")
        try:
            self.nook("sync", f"{self.drive}/rand2")
        finally:
            with open(self.system.answers, "w") as f:
                f.write(answers)
        self.assert_trees_equal(self.tree(os.path.join(self.cache, "rand2")), expected_server, "cache", seed)
        asked = self.conflicts()
        self.nook("sync", f"{self.drive}/rand2")
        self.assertEqual(self.conflicts(), asked, f"seed {seed}: a question was asked again")


class FtpOfflineRoundTrip(OfflineRoundTrip):
    """The same round trip on an FTP site (vsftpd): renames, deletions and
    times there go through the FTP client, whose listing may tell minutes only."""

    @classmethod
    def new_system(cls):
        return FtpSystem(BUILD_DIR, SOURCE_DIR)


class SftpOfflineRoundTrip(OfflineRoundTrip):
    """The same round trip on an SFTP site (OpenSSH's sshd)."""

    @classmethod
    def new_system(cls):
        return SftpSystem(BUILD_DIR, SOURCE_DIR)


class FtpOfflineRandomOperations(OfflineRandomOperations):
    """The same random operations offline on an FTP site (vsftpd)."""

    @classmethod
    def new_system(cls):
        return FtpSystem(BUILD_DIR, SOURCE_DIR)


class SftpOfflineRandomOperations(OfflineRandomOperations):
    """The same random operations offline on an SFTP site (sshd)."""

    @classmethod
    def new_system(cls):
        return SftpSystem(BUILD_DIR, SOURCE_DIR)


class OfflineKilledSync(OfflineCase):
    """The agent killed in the middle of a synchronisation: the next start finishes it."""

    count = 300
    files = {f"bulk/f{i:04d}.txt": f"server {i}\n".encode() * 2000 for i in range(count)}

    def test_killed_sync_is_completed_without_loss_or_duplicates(self):
        s = self.system
        self.nook("offline", f"{self.drive}/bulk", timeout=300)
        self.reconnect(offline=True)
        for i in range(self.count):
            self.write_on_drive(f"bulk/f{i:04d}.txt", f"local {i}\n".encode() * 2000)
        s.moorgate("--disconnect", "site1")
        connect = s.start_process([os.path.join(s.bin, "moorgate"), "--connect", "site1"],
                                  os.path.join(s.work, "connect.log"))

        def uploaded():
            return sum(1 for i in range(self.count)
                       if (self.server_bytes(f"bulk/f{i:04d}.txt") or b"").startswith(b"local"))
        self.assertTrue(wait_until(120, lambda: uploaded() >= 5, step=0.02))
        s.kill_agent()
        done_at_kill = uploaded()
        connect.wait(timeout=30)
        self.assertLess(done_at_kill, self.count, "the run ended before it could be killed")
        s.start_agent()
        s.moorgate("--connect", "site1", check=False, timeout=300)
        self.assertEqual(uploaded(), self.count)
        self.assertNotIn("Conflict!", s.agent_output())
        names = sorted(n for n in os.listdir(s.server_path("bulk")) if not n.startswith("."))
        self.assertEqual(names, [f"f{i:04d}.txt" for i in range(self.count)])
        for i in range(self.count):
            self.assertEqual(self.local_bytes(f"bulk/f{i:04d}.txt"), f"local {i}\n".encode() * 2000)


def main():
    return run_test_module(sys.modules[__name__], "/usr/sbin/apache2", "Apache",
                           "Apache serves as www-data", agent_log_lines=80)


if __name__ == "__main__":
    sys.exit(main())
