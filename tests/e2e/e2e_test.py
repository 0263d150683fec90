#!/usr/bin/env python3
"""End-to-end tests: the real driver (quenlode), the real agent (moorgate) and
Apache mod_dav on loopback; ordinary programs work on the mapped drive.

    e2e_test.py BUILD_DIR SOURCE_DIR [TestClass ...]

Each test class brings up a System of its own (server, driver, agent, HOME,
runtime folder) and takes it down again, also after a failure. Exit status
77 means the machine cannot run these tests (no /dev/fuse, no Apache, not
allowed to mount).
"""
import errno
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_system import (SftpSystem, System, check_failed_upload_keeps_a_backup,  # noqa: E402
                        check_name_taken_meanwhile_is_kept, check_names_differing_in_case_never_mix,
                        check_spellings_of_one_name_agree,
                        check_streamed_uploads_follow_renames, check_uploads_streamed_while_writing,
                        finish_paused_writer, run_test_module,
                        start_paused_writer, wait_until)

BUILD_DIR = SOURCE_DIR = None
SYSTEMS = []
LIVENESS_SECONDS = 4
GiB = 1 << 30


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


class DriveCase(unittest.TestCase):
    """One system with the site site1 connected as the drive M."""

    system_class = System

    @classmethod
    def new_system(cls):
        return cls.system_class(BUILD_DIR, SOURCE_DIR, LIVENESS_SECONDS)

    @classmethod
    def setUpClass(cls):
        cls.system = cls.new_system()
        SYSTEMS.append(cls.system)
        try:
            cls.drive = cls.system.up()
        except BaseException:
            cls.system.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.system.stop()

    def sh(self, command, **kw):
        return self.system.run(command, **kw)

    def on_drive(self, relative):
        return os.path.join(self.drive, relative)

    def on_server(self, relative):
        return self.system.server_path(relative)

    def server_bytes(self, relative):
        with open(self.on_server(relative), "rb") as f:
            return f.read()


class FileOperations(DriveCase):
    def test_listing_and_attributes_match_the_server(self):
        server = self.system.put_on_server("notes/plan.txt", b"plan for the week\n")
        os.utime(server, (1_600_000_000, 1_600_000_000))
        listing = self.sh(f"ls -l '{self.drive}/notes/'")
        self.assertRegex(listing.out, r"-rw\S* .* 18 .*plan\.txt")
        self.assertEqual(listing.err, "")  # no attribute or ACL query fails loudly
        self.assertEqual(self.sh(f"stat -c '%s %F %Y' '{self.drive}/notes/plan.txt'").out.split(),
                         ["18", "regular", "file", "1600000000"])
        self.assertEqual(self.sh(f"stat -c %F '{self.drive}/notes'").out.strip(), "directory")
        missing = self.sh(f"stat '{self.drive}/notes/absent.txt'", check=False)
        self.assertNotEqual(missing.code, 0)
        self.assertIn("No such file", missing.err)

    def test_copy_in_and_out_keeps_every_byte(self):
        local = os.path.join(self.system.work, "random.bin")
        with open(local, "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024 + 12345))  # not a multiple of 64 KiB
        self.sh(f"cp '{local}' '{self.drive}/random.bin'")
        self.assertEqual(sha256_of(self.on_server("random.bin")), sha256_of(local))
        self.assertEqual(self.sh(f"sha256sum < '{self.drive}/random.bin'").out.split()[0],
                         sha256_of(local))
        out = os.path.join(self.system.work, "back.bin")
        self.sh(f"cp '{self.drive}/random.bin' '{out}'")
        self.assertEqual(sha256_of(out), sha256_of(local))
        self.assertEqual(self.sh(f"cat '{self.drive}/random.bin' | wc -c").out.strip(),
                         str(os.path.getsize(local)))

    def test_overwrite_with_shorter_contents_leaves_no_tail(self):
        self.sh(f"printf 'a long first version\\n' > '{self.drive}/over.txt'")
        self.sh(f"printf 'short\\n' > '{self.drive}/over.txt'")
        self.assertEqual(self.server_bytes("over.txt"), b"short\n")
        self.assertEqual(self.sh(f"cat '{self.drive}/over.txt'").out, "short\n")

    def test_shell_redirections_upload_each_file_once(self):
        self.sh(f"echo hello > '{self.drive}/once.txt'")
        self.sh(f"dd if=/etc/hostname of='{self.drive}/once-dd.txt' status=none")
        # The shell closes its own descriptor of the new file before the
        # command writes through the copy: the empty file, then the contents.
        for name in ("once.txt", "once-dd.txt"):
            puts = self.system.logged(lambda log: [w for w in log if w[1:3] == ["PUT", "/dav/" + name]], 2)
            self.assertEqual(len(puts), 2, puts)
        self.assertEqual(self.server_bytes("once.txt"), b"hello\n")
        # Emptying a file without writing still reaches the server.
        self.sh(f": > '{self.drive}/once.txt'")
        self.assertEqual(self.server_bytes("once.txt"), b"")

    def test_overwriting_a_file_uploads_it_once_at_close(self):
        self.system.put_on_server("kept.txt", b"old contents\n")
        self.assertIn("kept.txt", os.listdir(self.drive))
        path = os.path.join(self.drive, "kept.txt")
        fd = os.open(path, os.O_WRONLY | os.O_TRUNC)
        try:
            os.write(fd, b"new")
            # Until the close the server keeps the old contents: an upload
            # that fails then leaves them there, not an empty file.
            self.assertEqual(self.server_bytes("kept.txt"), b"old contents\n")
        finally:
            os.close(fd)
        self.assertEqual(self.server_bytes("kept.txt"), b"new")
        source = os.path.join(self.system.work, "copied.txt")
        with open(source, "wb") as f:
            f.write(b"copied\n")
        self.sh(f"cp '{source}' '{path}'")
        self.assertEqual(self.server_bytes("kept.txt"), b"copied\n")
        puts = self.system.logged(lambda log: [w for w in log if w[1:3] == ["PUT", "/dav/kept.txt"]], 2)
        self.assertEqual(len(puts), 2, puts)

    def test_names_with_url_characters_reach_their_own_file(self):
        # "#" and "%" are plain characters of a Linux name, not a fragment or an escape.
        for name in ("c#d.txt", "e%41.txt", "f;g=h&i.txt"):
            with self.subTest(name=name):
                self.sh(f"printf '%s' '{name}' > '{self.drive}/{name}'")
                self.assertEqual(self.server_bytes(name), name.encode())
                self.assertEqual(self.sh(f"cat '{self.drive}/{name}'").out, name)
                self.assertIn(name, self.sh(f"ls '{self.drive}/'").out.split("\n"))
        self.assertFalse(os.path.exists(self.on_server("c")))
        self.assertFalse(os.path.exists(self.on_server("eA.txt")))

    def test_append_keeps_the_earlier_contents(self):
        self.system.put_on_server("log.txt", b"first\n")
        self.sh(f"echo second >> '{self.drive}/log.txt'")
        self.assertEqual(self.server_bytes("log.txt"), b"first\nsecond\n")

    def test_rm_removes_from_the_server(self):
        self.system.put_on_server("doomed.txt", b"x")
        self.sh(f"rm '{self.drive}/doomed.txt'")
        self.assertFalse(os.path.exists(self.on_server("doomed.txt")))
        self.assertNotEqual(self.sh(f"ls '{self.drive}/doomed.txt'", check=False).code, 0)

    def test_touch_creates_an_empty_file_and_sets_times(self):
        self.sh(f"touch '{self.drive}/empty'")
        self.assertTrue(os.path.isfile(self.on_server("empty")))
        self.assertEqual(os.path.getsize(self.on_server("empty")), 0)
        self.sh(f"touch -d '2020-01-02 03:04:05 UTC' '{self.drive}/empty'")
        self.assertEqual(self.sh(f"stat -c %Y '{self.drive}/empty'").out.strip(), "1577934245")

    def test_truncate_shrinks_and_grows(self):
        self.sh(f"printf 0123456789 > '{self.drive}/cut.txt'")
        self.sh(f"truncate -s 4 '{self.drive}/cut.txt'")
        self.assertEqual(self.server_bytes("cut.txt"), b"0123")
        self.assertEqual(self.sh(f"cat '{self.drive}/cut.txt'").out, "0123")
        self.sh(f"truncate -s 8 '{self.drive}/cut.txt'")
        self.assertEqual(self.server_bytes("cut.txt"), b"0123\0\0\0\0")
        self.assertEqual(self.sh(f"stat -c %s '{self.drive}/cut.txt'").out.strip(), "8")

    def test_editor_style_save_replaces_the_original(self):
        self.system.put_on_server("doc/report.txt", b"draft\n")
        self.sh(f"cat '{self.drive}/doc/report.txt'")  # the editor reads it first
        self.sh(f"printf 'final text\\n' > '{self.drive}/doc/.report.txt.swp' && "
                f"mv '{self.drive}/doc/.report.txt.swp' '{self.drive}/doc/report.txt'")
        self.assertEqual(self.server_bytes("doc/report.txt"), b"final text\n")
        self.assertFalse(os.path.exists(self.on_server("doc/.report.txt.swp")))
        self.assertEqual(self.sh(f"cat '{self.drive}/doc/report.txt'").out, "final text\n")

    def test_two_readers_of_one_file_get_the_same_bytes(self):
        content = os.urandom(16 * 1024 * 1024)
        self.system.put_on_server("shared.bin", content)
        expected = hashlib.sha256(content).hexdigest()
        out = self.sh(f"sha256sum '{self.drive}/shared.bin' & sha256sum '{self.drive}/shared.bin' & "
                      "wait", timeout=120).out.split()
        self.assertEqual([out[0], out[2]], [expected, expected])


class Folders(DriveCase):
    def test_mkdir_and_rmdir(self):
        self.sh(f"mkdir '{self.drive}/made'")
        self.assertTrue(os.path.isdir(self.on_server("made")))
        self.assertNotEqual(self.sh(f"mkdir '{self.drive}/made'", check=False).code, 0)
        self.sh(f"rmdir '{self.drive}/made'")
        self.assertFalse(os.path.exists(self.on_server("made")))

    def test_rmdir_of_a_folder_with_files_is_refused(self):
        self.system.put_on_server("full/keep.txt", b"keep")
        result = self.sh(f"rmdir '{self.drive}/full'", check=False)
        self.assertNotEqual(result.code, 0)
        self.assertIn("not empty", result.err)
        self.assertTrue(os.path.exists(self.on_server("full/keep.txt")))

    def test_mv_of_files_within_and_across_folders(self):
        self.system.put_on_server("a.txt", b"alpha")
        self.sh(f"mkdir '{self.drive}/into'")
        self.sh(f"mv '{self.drive}/a.txt' '{self.drive}/b.txt'")
        self.sh(f"mv '{self.drive}/b.txt' '{self.drive}/into/c.txt'")
        self.assertFalse(os.path.exists(self.on_server("a.txt")))
        self.assertFalse(os.path.exists(self.on_server("b.txt")))
        self.assertEqual(self.server_bytes("into/c.txt"), b"alpha")
        self.assertEqual(self.sh(f"cat '{self.drive}/into/c.txt'").out, "alpha")

    def test_mv_over_an_existing_file_replaces_it(self):
        self.system.put_on_server("old.txt", b"old")
        self.system.put_on_server("new.txt", b"new")
        self.sh(f"mv '{self.drive}/new.txt' '{self.drive}/old.txt'")
        self.assertEqual(self.server_bytes("old.txt"), b"new")
        self.assertEqual(self.sh(f"ls '{self.drive}/'").out.split().count("new.txt"), 0)

    def test_mv_of_a_folder_carries_its_contents(self):
        self.system.put_on_server("tree/sub/leaf.txt", b"leaf")
        self.sh(f"cat '{self.drive}/tree/sub/leaf.txt'")  # known to the driver before the move
        self.sh(f"mv '{self.drive}/tree' '{self.drive}/moved'")
        self.assertEqual(self.server_bytes("moved/sub/leaf.txt"), b"leaf")
        self.assertFalse(os.path.exists(self.on_server("tree")))
        self.assertEqual(self.sh(f"cat '{self.drive}/moved/sub/leaf.txt'").out, "leaf")
        self.assertNotEqual(self.sh(f"ls '{self.drive}/tree'", check=False).code, 0)

    def test_tar_of_a_source_tree_reads_back_identical(self):
        tarball = os.path.join(self.system.work, "src.tar")
        subprocess.run(["tar", "-C", SOURCE_DIR, "-cf", tarball, "platform", "agent/service",
                        "driver"], check=True)
        reference = os.path.join(self.system.work, "reference")
        os.makedirs(reference)
        subprocess.run(["tar", "-C", reference, "-xf", tarball], check=True)
        self.sh(f"mkdir '{self.drive}/src' && tar -C '{self.drive}/src' -xf '{tarball}'", timeout=240)
        self.sh(f"diff -r '{reference}' '{self.drive}/src'", timeout=240)
        self.sh(f"diff -r -x .DAV '{reference}' '{self.on_server('src')}'", timeout=60)
        # tar sets the times it found in the archive.
        probe = "platform/win32.h"
        self.assertEqual(int(os.stat(os.path.join(self.drive, "src", probe)).st_mtime),
                         int(os.stat(os.path.join(reference, probe)).st_mtime))


class LargeFiles(DriveCase):
    def test_offsets_above_4_gib_write_and_read_back(self):
        marker = b"beyond four gibibytes"
        offset = 4 * GiB + 4096 + 7
        path = self.on_drive("sparse.bin")
        self.sh(["python3", "-c", f"""
import os
fd = os.open({path!r}, os.O_WRONLY | os.O_CREAT, 0o644)
os.pwrite(fd, b'head', 0)
os.pwrite(fd, {marker!r}, {offset})
os.close(fd)
"""], timeout=300)
        server = self.on_server("sparse.bin")
        self.assertEqual(os.path.getsize(server), offset + len(marker))
        with open(server, "rb") as f:
            f.seek(offset)
            self.assertEqual(f.read(), marker)
        self.assertEqual(self.sh(f"stat -c %s '{path}'").out.strip(), str(offset + len(marker)))
        self.assertEqual(self.sh(["python3", "-c", f"""
import os, sys
fd = os.open({path!r}, os.O_RDONLY)
sys.stdout.write(repr((os.pread(fd, 4, 0), os.pread(fd, 64, {offset}), os.pread(fd, 8, {offset - 8}))))
"""], timeout=120).out, repr((b"head", marker, b"\0" * 8)))


    def test_large_files_go_up_while_written_and_are_whole_at_the_close(self):
        check_uploads_streamed_while_writing(self, "streamed")

    def test_a_file_going_up_while_written_ends_under_its_new_name(self):
        check_streamed_uploads_follow_renames(self, "streamed-renamed")


class Refresh(DriveCase):
    def propfinds_of(self, folder):
        """PROPFINDs of the folder Apache logged, once a marker request sent now
        is in the log: Apache logs after answering, so every request answered
        before the marker was sent is there too."""
        import urllib.request
        marker = f"/dav/marker-{time.monotonic_ns()}"
        try:
            urllib.request.urlopen(f"http://127.0.0.1:{self.system.port}{marker}", timeout=10)
        except OSError:
            pass  # a 404 is logged as well
        self.system.logged(lambda log: [w for w in log if w[2:3] == [marker]], 1)
        wanted = {f"/dav/{folder}", f"/dav/{folder}/"}
        return sum(1 for w in self.system.access_log() if w[1:2] == ["PROPFIND"] and w[2:3] and w[2] in wanted)

    def test_a_folders_listing_is_kept_for_the_refresh_period(self):
        self.system.put_on_server("kept/a.txt", b"a")
        self.assertIn("a.txt", self.sh(f"ls -l '{self.drive}/kept/'").out)
        listed = self.propfinds_of("kept")
        self.assertEqual(listed, 1)  # one PROPFIND for the look-up, open and read of one ls
        # Another client adds a file: within the period (5 minutes) the drive
        # lists the folder from what it has, without asking the server.
        self.system.put_on_server("kept/b.txt", b"b")
        self.assertNotIn("b.txt", self.sh(f"ls -l '{self.drive}/kept/'").out)
        self.assertNotIn("b.txt", self.sh(f"ls '{self.drive}/kept/'").out)
        self.assertEqual(self.propfinds_of("kept"), listed)
        # A change made through the drive lists it again, with the other's file.
        self.sh(f"echo c > '{self.drive}/kept/c.txt'")
        self.assertEqual(self.sh(f"ls '{self.drive}/kept/'").out.split(), ["a.txt", "b.txt", "c.txt"])
        # An explicit refresh does as well.
        self.system.put_on_server("kept/d.txt", b"d")
        self.system.moorgate("--refresh", "site1")
        self.assertIn("d.txt", self.sh(f"ls '{self.drive}/kept/'").out.split())

    def test_server_side_changes_show_after_a_refresh(self):
        self.system.put_on_server("seen.txt", b"version one\n")
        self.assertEqual(self.sh(f"cat '{self.drive}/seen.txt'").out, "version one\n")
        self.sh(f"ls '{self.drive}/'")
        self.system.put_on_server("added.txt", b"new on the server\n")
        with open(self.on_server("seen.txt"), "wb") as f:
            f.write(b"version two, longer\n")
        self.system.moorgate("--refresh", "site1")
        self.assertIn("added.txt", self.sh(f"ls '{self.drive}/'").out.split())
        self.assertEqual(self.sh(f"cat '{self.drive}/added.txt'").out, "new on the server\n")
        self.assertEqual(self.sh(f"cat '{self.drive}/seen.txt'").out, "version two, longer\n")


def python_on(system, code, timeout=60):
    """Runs a Python snippet with the mount's environment; its stdout, parsed."""
    return eval(system.run(["python3", "-c", code], timeout=timeout).out)


class DataFaults(DriveCase):
    """Faults found by random operations through the mount."""

    def test_truncate_by_path_right_after_a_close_holds(self):
        out = self.sh(f"cd '{self.drive}' && printf 0123456789 > cut2 && "
                      "python3 -c 'import os; os.truncate(\"cut2\", 4)' && stat -c %s cut2 && "
                      "printf X >> cut2 && cat cut2").out
        self.assertEqual(out, "4\n0123X")
        self.assertEqual(self.server_bytes("cut2"), b"0123X")

    def test_a_second_edit_keeps_the_first_after_reads_from_the_server(self):
        """Reads of a large file fill read-ahead blocks from the server; an edit
        uploaded afterwards makes them old, and the next edit, which starts its
        local copy from the server's bytes, must not start from theirs."""
        size, at = 994995, 667691
        original = os.urandom(size)
        self.system.put_on_server("edited-twice.bin", original)
        path = self.on_drive("edited-twice.bin")
        python_on(self.system, f"""
import os
path = {path!r}
for i in range(3):  # each read reaches the drive: the kernel's pages are dropped first
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    while os.read(fd, 1 << 16):
        pass
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
for offset, data in (({at}, b"first edit"), (0, b"second edit")):
    fd = os.open(path, os.O_RDWR)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.pwrite(fd, data, offset)
    os.close(fd)
print(1)
""")
        expected = bytearray(original)
        expected[at:at + 10] = b"first edit"
        expected[0:11] = b"second edit"
        self.assertEqual(self.server_bytes("edited-twice.bin"), bytes(expected))
        self.assertEqual(self.sh(["cmp", path, self.on_server("edited-twice.bin")]).code, 0)

    def test_reads_after_a_rename_come_from_the_new_name(self):
        """Read-ahead blocks of a large file are filled again as reads move on;
        after a rename they are filled from its new name, not from the old
        one, where another file may stand by then."""
        MiB = 1 << 20
        moved, newcomer = os.urandom(8 * MiB), os.urandom(8 * MiB)
        self.system.put_on_server("read-then-moved.bin", moved)
        old, new = self.on_drive("read-then-moved.bin"), self.on_drive("moved-away.bin")
        source = os.path.join(self.system.work, "newcomer.bin")
        with open(source, "wb") as f:
            f.write(newcomer)
        seen = python_on(self.system, f"""
import os
def read_through(path, offsets):
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)  # each read reaches the drive
    pieces = [os.pread(fd, 65536, at) for at in offsets]
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    return pieces
os.listdir({self.drive!r})  # the listing tells the size, which reading ahead needs
for i in range(3):
    read_through({old!r}, range(0, {8 * MiB}, 65536))
os.rename({old!r}, {new!r})
with open({old!r}, "wb") as f, open({source!r}, "rb") as g:  # another file under the old name
    f.write(g.read())
print([p.hex() for p in read_through({new!r}, [0, {4 * MiB}, {7 * MiB}])])
""", timeout=120)
        self.assertEqual(seen, [moved[at:at + 65536].hex() for at in (0, 4 * MiB, 7 * MiB)])
        self.assertEqual(self.server_bytes("moved-away.bin"), moved)

    def test_a_removed_files_descriptor_never_writes_into_its_replacement(self):
        path = self.on_drive("reborn")
        errors = python_on(self.system, f"""
import errno, os
fd = os.open({path!r}, os.O_RDWR | os.O_CREAT, 0o644)
os.write(fd, b"a\\n")
os.unlink({path!r})
with open({path!r}, "wb") as f:
    f.write(b"second\\n")
result = []
try:
    os.write(fd, b"X")
    result.append(0)
except OSError as e:
    result.append(e.errno)
try:
    os.close(fd)
    result.append(0)
except OSError as e:
    result.append(e.errno)
print(result)
""")
        self.assertEqual(self.server_bytes("reborn"), b"second\n")
        self.assertEqual(self.sh(f"cat '{path}'").out, "second\n")
        # The write names the reason (the file is gone), never "no such file".
        self.assertIn(errors[0], (0, errno.ESTALE))
        self.assertEqual(errors[1], 0)

    def test_a_shared_mapping_written_through_an_append_descriptor_stays_in_place(self):
        path = self.on_drive("mapped.bin")
        size = python_on(self.system, f"""
import mmap, os
fd = os.open({path!r}, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o644)
os.write(fd, b"a" * 10000)
m = mmap.mmap(fd, 10000)
m[0:5] = b"HELLO"
m[8190:8200] = b"0123456789"
m.flush()
m.close()
os.close(fd)
print(os.path.getsize({path!r}))
""")
        expected = bytearray(b"a" * 10000)
        expected[0:5] = b"HELLO"
        expected[8190:8200] = b"0123456789"
        self.assertEqual(size, 10000)
        self.assertEqual(self.server_bytes("mapped.bin"), bytes(expected))

    def test_long_non_ascii_names_list_and_read_back_or_are_refused(self):
        self.sh(f"mkdir '{self.drive}/r4'")
        accepted = []
        for count in (20, 100, 120, 127):
            name = "\u00e9" * count
            path = os.path.join(self.drive, "r4", name)
            try:
                with open(path, "w") as f:
                    f.write(f"x{count}")
            except OSError as e:
                self.assertEqual(e.errno, errno.ENAMETOOLONG, f"{count} characters")
                continue
            accepted.append(name)
        self.assertIn("\u00e9" * 20, accepted)
        self.assertEqual(sorted(os.listdir(os.path.join(self.drive, "r4"))), sorted(accepted))
        for name in accepted:
            with open(os.path.join(self.drive, "r4", name)) as f:
                self.assertEqual(f.read(), f"x{len(name)}")

    def test_server_entries_the_drive_cannot_show_are_logged_once(self):
        self.system.put_on_server("r5/short.txt", b"s")
        self.system.put_on_server("r5/" + "\u00e9" * 127, b"long")
        self.system.put_on_server("r5/" + "a" * 250, b"past the path limit")
        for _ in range(2):
            self.system.moorgate("--refresh", "site1")
            self.assertEqual(os.listdir(os.path.join(self.drive, "r5")), ["short.txt"])
        lines = [line for line in agent_log_lines(self.system) if "cannot be shown" in line and "\\r5" in line]
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("2 entries listed in \\r5", lines[0])

    def test_malformed_utf8_names_are_refused(self):
        base = os.fsencode(self.drive)
        good = base + b"/caf\xc3\xa9"
        with open(good, "wb") as f:
            f.write(b"good")
        for bad in (b"/caf\xe9", b"/caf\xc3", b"/caf\xed\xa0\x80", b"/caf\xc0\xa9"):
            with self.assertRaises(OSError) as refused:
                open(base + bad, "wb").close()
            self.assertEqual(refused.exception.errno, errno.EINVAL, bad)
            with self.assertRaises(OSError):
                os.stat(base + bad)
        self.assertEqual(self.server_bytes("caf\u00e9"), b"good")

    def test_names_differing_only_in_case_never_mix_two_files(self):
        check_names_differing_in_case_never_mix(self, "cases")
        lines = [line for line in agent_log_lines(self.system) if "cannot be shown" in line and "\\cases" in line]
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("2 entries listed in \\cases", lines[0])

    def test_spellings_of_one_name_agree(self):
        check_spellings_of_one_name_agree(self, "spelled")

    def test_new_names_with_control_characters_are_refused_and_reach_no_server(self):
        # A listing leaves such names out: made, the file would never be seen again.
        folder = self.on_drive("controls")
        os.mkdir(folder)
        with open(f"{folder}/plain", "wb") as f:
            f.write(b"plain")
        for bad in ("line\nbreak", "tab\there", "bell\x07", "del\x7f"):
            for attempt in (lambda p: open(p, "wb").close(), os.mkdir,
                            lambda p: os.rename(f"{folder}/plain", p)):
                with self.assertRaises(OSError) as refused:
                    attempt(f"{folder}/{bad}")
                self.assertEqual(refused.exception.errno, errno.EINVAL, repr(bad))
        self.assertEqual(os.listdir(self.on_server("controls")), ["plain"])
        self.assertEqual(self.server_bytes("controls/plain"), b"plain")

    def test_rename_of_an_open_file_works_and_its_descriptor_follows(self):
        src, dst = self.on_drive("open-src.txt"), self.on_drive("open-dst.txt")
        python_on(self.system, f"""
import os
fd = os.open({src!r}, os.O_RDWR | os.O_CREAT, 0o644)
os.write(fd, b"before ")
os.rename({src!r}, {dst!r})
os.write(fd, b"after")
os.close(fd)
print(1)
""")
        self.assertFalse(os.path.exists(self.on_server("open-src.txt")))
        self.assertEqual(self.server_bytes("open-dst.txt"), b"before after")

    def test_rename_onto_an_open_file_replaces_it(self):
        self.system.put_on_server("victim.txt", b"old")
        self.system.put_on_server("winner.txt", b"new")
        victim, winner = self.on_drive("victim.txt"), self.on_drive("winner.txt")
        python_on(self.system, f"""
import os
fd = os.open({victim!r}, os.O_RDONLY)
os.rename({winner!r}, {victim!r})
os.close(fd)
print(1)
""")
        self.assertEqual(self.server_bytes("victim.txt"), b"new")
        self.assertFalse(os.path.exists(self.on_server("winner.txt")))

    def test_folder_renames_follow_posix(self):
        d = self.drive
        self.sh(f"mkdir '{d}/fa' '{d}/fb' '{d}/fc' '{d}/fd' && printf in > '{d}/fa/x' && "
                f"printf busy > '{d}/fc/y' && printf plain > '{d}/ff'")
        codes = python_on(self.system, f"""
import os
def code(a, b):
    try:
        os.rename(a, b)
        return 0
    except OSError as e:
        return e.errno
print([code({d!r} + "/fa", {d!r} + "/fb"), code({d!r} + "/fd", {d!r} + "/fc"),
       code({d!r} + "/ff", {d!r} + "/fc"), code({d!r} + "/fd", {d!r} + "/ff")])
""")
        self.assertEqual(codes, [0, errno.ENOTEMPTY, errno.EISDIR, errno.ENOTDIR])
        self.assertEqual(self.server_bytes("fb/x"), b"in")
        self.assertFalse(os.path.exists(self.on_server("fa")))
        self.assertEqual(self.server_bytes("fc/y"), b"busy")
        self.assertEqual(self.sh(f"cat '{d}/fb/x'").out, "in")

    def test_zz_disconnecting_with_an_open_file_says_why(self):
        s = self.system
        path = self.on_drive("held-open.txt")
        holder = subprocess.Popen(["python3", "-c", f"""
import os, sys
fd = os.open({path!r}, os.O_RDWR | os.O_CREAT, 0o644)
os.write(fd, b"held")
print("open", flush=True)
sys.stdin.readline()
os.close(fd)
"""], env=s.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(holder.stdout.readline().strip(), "open")
            result = s.moorgate("--disconnect", "site1", check=False)
        finally:
            holder.communicate("\n", timeout=30)
        self.assertEqual(result.code, 1)
        self.assertIn("site1 was not disconnected: a file on its drive is open", result.err)
        self.assertEqual(self.server_bytes("held-open.txt"), b"held")


def agent_log_lines(system):
    lines = []
    for folder, _, files in os.walk(os.path.join(system.work, "state")):
        if "moorgate.log" in files:
            with open(os.path.join(folder, "moorgate.log"), errors="replace") as f:
                lines += f.readlines()
    return lines


class NewFileRequests(DriveCase):
    """What a new file costs on the server, counted in Apache's access log."""

    def requests_for(self, relative, count=1):
        """"METHOD status" of each request Apache logged for the file, in
        order, once there are at least count of them."""
        return self.system.logged(lambda log: [f"{w[1]} {w[4]}" for w in log
                                               if len(w) > 4 and w[2] == "/dav/" + relative], count)

    def server_properties(self, relative):
        import http.client
        connection = http.client.HTTPConnection("127.0.0.1", self.system.port, timeout=10)
        connection.request("PROPFIND", "/dav/" + relative, body="<?xml version='1.0'?><D:propfind "
                           "xmlns:D='DAV:'><D:allprop/></D:propfind>", headers={"Depth": "0"})
        try:
            return connection.getresponse().read().decode()
        finally:
            connection.close()

    def test_a_written_new_file_takes_one_put(self):
        self.sh(f"mkdir '{self.drive}/req'")
        python_on(self.system, f"""
with open({self.on_drive('req/one.bin')!r}, 'wb') as f:
    f.write(b'x' * 4096)
print(1)""")
        self.assertEqual(self.requests_for("req/one.bin"), ["PUT 201"])
        self.assertEqual(self.server_bytes("req/one.bin"), b"x" * 4096)
        local = os.path.join(self.system.work, "copy-source")
        with open(local, "wb") as f:
            f.write(b"copied")
        self.sh(f"cp '{local}' '{self.drive}/req/copied'")
        self.assertEqual(self.requests_for("req/copied"), ["PUT 201"])
        # An unwritten new file is on the server when its close returns; touch
        # sets its times, which go with it.
        self.sh(f"touch '{self.drive}/req/empty' && test -f '{self.on_server('req/empty')}'")
        self.assertEqual(self.requests_for("req/empty", 2), ["PUT 201", "PROPPATCH 207"])

    def test_tar_gives_each_new_file_one_put_and_its_times(self):
        source = os.path.join(self.system.work, "tar-source")
        os.makedirs(os.path.join(source, "t"))
        stamps = [1577934245 + i for i in range(3)]  # 2020-01-02 03:04:05 UTC and on
        for i, stamp in enumerate(stamps):
            path = os.path.join(source, "t", f"f{i}.txt")
            with open(path, "w") as f:
                f.write(f"file {i}\n")
            os.utime(path, (stamp, stamp))
        tarball = os.path.join(self.system.work, "t.tar")
        subprocess.run(["tar", "-C", source, "-cf", tarball, "t"], check=True)
        self.sh(f"mkdir '{self.drive}/untar' && tar --no-same-owner -C '{self.drive}/untar' -xf '{tarball}'")
        for i, stamp in enumerate(stamps):
            relative = f"untar/t/f{i}.txt"
            self.assertEqual(self.requests_for(relative, 2), ["PUT 201", "PROPPATCH 207"])
            self.assertEqual(self.server_bytes(relative), f"file {i}\n".encode())
            self.assertEqual(self.sh(f"stat -c %Y '{self.drive}/{relative}'").out.strip(), str(stamp))
            self.assertIn(f"Thu, 02 Jan 2020 03:04:0{5 + i} GMT", self.server_properties(relative))
        # A second look after the entries were learnt again from the server keeps them.
        self.sh(f"ls -l '{self.drive}/untar/t' >/dev/null")
        self.assertEqual(self.sh(f"stat -c %Y '{self.drive}/untar/t/f2.txt'").out.strip(), str(stamps[2]))

    def test_times_reach_the_server_only_when_a_program_sets_them(self):
        self.sh(f"cp /etc/hostname '{self.drive}/times.txt'")
        self.assertEqual(self.requests_for("times.txt"), ["PUT 201"])
        self.sh(f"touch -d '2020-01-02 03:04:05 UTC' '{self.drive}/times.txt'")
        self.assertTrue(wait_until(10, lambda: "PROPPATCH 207" in self.requests_for("times.txt")))
        self.assertIn("Thu, 02 Jan 2020 03:04:05 GMT", self.server_properties("times.txt"))
        # A later write stores its own time instead of leaving the old one standing.
        self.sh(f"echo more >> '{self.drive}/times.txt'")
        self.assertNotIn("2020", self.server_properties("times.txt"))
        self.assertNotEqual(self.sh(f"stat -c %Y '{self.drive}/times.txt'").out.strip(), "1577934245")

    def test_a_file_made_on_the_server_before_the_close_fails_it_and_is_kept(self):
        s = self.system
        path, go = self.on_drive("race.txt"), os.path.join(s.work, "go-race")
        writer = start_paused_writer(s, path, repr(b"ours, written here"), go)
        out, err = finish_paused_writer(self, writer, go, lambda: s.put_on_server("race.txt", b"theirs"))
        self.assertEqual((writer.returncode, out.strip()), (3, f"close failed {errno.EEXIST}"), err)
        self.assertEqual(self.server_bytes("race.txt"), b"theirs")
        self.assertEqual(self.requests_for("race.txt"), ["PUT 412"])
        backups = os.path.join(s.work, "share", "halvenmoor", "backup", "site1")
        saved = [n for n in os.listdir(backups) if n.startswith("race.txt.")]
        self.assertEqual(len(saved), 1, saved)
        with open(os.path.join(backups, saved[0]), "rb") as f:
            self.assertEqual(f.read(), b"ours, written here")
        self.assertEqual(self.sh(f"cat '{path}'").out, "theirs")

    def test_a_new_file_shows_before_its_close_and_one_removed_before_it_costs_nothing(self):
        early, doomed = self.on_drive("early.txt"), self.on_drive("doomed-new.txt")
        seen = python_on(self.system, f"""
import os, subprocess
fd = os.open({early!r}, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
os.write(fd, b"early")
size = subprocess.run(["stat", "-c", "%s", {early!r}], capture_output=True, text=True).stdout.strip()
names = subprocess.run(["ls", {self.drive!r}], capture_output=True, text=True).stdout.split()
os.close(fd)
fd = os.open({doomed!r}, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
os.write(fd, b"never sent")
os.unlink({doomed!r})
os.close(fd)
print([size, "early.txt" in names])
""")
        self.assertEqual(seen, ["5", True])
        self.assertEqual(self.server_bytes("early.txt"), b"early")
        self.assertEqual(self.requests_for("doomed-new.txt", 0), [])
        self.assertFalse(os.path.exists(self.on_server("doomed-new.txt")))


class RandomOperations(DriveCase):
    """Seeded random operations through the mount, compared with a local model folder.

    HVM_RANDOM_SEED repeats a run; HVM_RANDOM_STEPS sets its length."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "random_operations.py")

    @staticmethod
    def seed_and_steps():
        seed = int(os.environ.get("HVM_RANDOM_SEED", str(int.from_bytes(os.urandom(4), "big"))))
        return seed, int(os.environ.get("HVM_RANDOM_STEPS", "150"))

    def assert_server_holds(self, model, server_folder, seed):
        """What the server holds below server_folder is what the model holds, folders and all.
        The runs name files in any spelling and the model in lower case; the server holds
        one file for each name, in whichever spelling made it."""
        spelled = {}  # the model's folder -> its spelling on the server
        for folder, folders, files in os.walk(model):
            relative_model = os.path.relpath(folder, model)
            relative = spelled.get(relative_model, os.path.normpath(os.path.join(server_folder, relative_model)))
            listed = [n for n in os.listdir(os.path.join(self.system.data, relative)) if not n.startswith(".DAV")]
            self.assertEqual(sorted(n.lower() for n in listed), sorted(folders + files), f"seed {seed}: {relative}")
            on_server = {n.lower(): n for n in listed}
            for name in folders:
                spelled[os.path.normpath(os.path.join(relative_model, name))] = os.path.join(relative, on_server[name])
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    self.assertEqual(self.server_bytes(os.path.join(relative, on_server[name])), f.read(),
                                     f"seed {seed}: {relative}/{on_server[name]}")

    def run_against_model(self, folder, spellings):
        seed, steps = self.seed_and_steps()
        print(f"random operations{' in other spellings' if spellings else ''}: seed {seed}, {steps} steps",
              file=sys.stderr, flush=True)
        model = os.path.join(self.system.work, f"model-{folder}")
        os.makedirs(model)
        if folder != ".":
            os.mkdir(self.on_drive(folder))
        command = ["python3", self.SCRIPT, str(seed), str(steps), self.on_drive(folder), model]
        if spellings:
            command = ["env", "HVM_RANDOM_SPELLINGS=1"] + command
        result = self.system.run(command, timeout=300, check=False)
        self.assertEqual(result.code, 0, f"seed {seed}: {result!r}")
        self.assert_server_holds(model, folder, seed)
        if folder != ".":  # the other runs compare the whole drive
            shutil.rmtree(self.on_drive(folder))
            self.assertFalse(os.path.exists(self.on_server(folder)))

    def test_random_operations_match_a_local_model(self):
        self.run_against_model(".", spellings=False)

    def test_random_operations_in_other_spellings_match(self):
        """Now and then a step types a name in another spelling (F3, D0/f1):
        each spelling is a file of its own to the kernel, one file to the drive."""
        self.run_against_model("spelled", spellings=True)

    def test_three_runs_at_once_in_folders_of_their_own_match(self):
        """Three programs at once on one drive: their requests interleave in the driver
        and the agent, and none may see another's bytes."""
        seed, steps = self.seed_and_steps()
        print(f"three runs at once: seeds {seed}, {seed + 1}, {seed + 2}, {steps} steps",
              file=sys.stderr, flush=True)
        runs = []
        for k in range(3):
            folder, model = f"at-once{k}", os.path.join(self.system.work, f"at-once-model{k}")
            os.mkdir(self.on_drive(folder))
            os.makedirs(model)
            runs.append((seed + k, folder, model, subprocess.Popen(
                ["python3", self.SCRIPT, str(seed + k), str(steps), self.on_drive(folder), model],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)))
        outputs = [(run_seed, *process.communicate(timeout=300), process.returncode)
                   for run_seed, _, _, process in runs]
        for run_seed, out, err, code in outputs:
            self.assertEqual(code, 0, f"seed {run_seed}: {out}{err}")
        for run_seed, folder, model, _ in runs:
            self.assert_server_holds(model, folder, run_seed)
        for _, folder, _, _ in runs:
            shutil.rmtree(self.on_drive(folder))
            self.assertFalse(os.path.exists(self.on_server(folder)))


class SftpRandomOperations(RandomOperations):
    """The same random operations on an SFTP drive."""
    system_class = SftpSystem


class Connecting(unittest.TestCase):
    """Connections that must be refused, each with its reason."""

    @classmethod
    def setUpClass(cls):
        cls.system = s = System(BUILD_DIR, SOURCE_DIR, LIVENESS_SECONDS)
        SYSTEMS.append(s)
        try:
            s.start_server()
            # The agent reads the sites when it starts.
            cls.locked = s.add_site("locked", s.url("auth"), "L", login="hvm", password="wrong")
            cls.opened = s.add_site("opened", s.url("auth"), "O", login="hvm", password="secret")
            cls.taken = s.add_site("taken", s.url(), "K")
            s.start_driver()
            s.start_agent()
        except BaseException:
            s.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.system.stop()

    def test_wrong_password_fails_with_the_401_text(self):
        s = self.system
        self.assertNotEqual(s.moorgate("--connect", "locked", check=False).code, 0)
        self.assertIn("The requested resource requires user authentication.(401)", s.agent_output())
        self.assertFalse(os.path.lexists(self.locked))

    def test_right_password_connects(self):
        s = self.system
        s.put_on_server("secret.txt", b"for hvm only\n", folder="auth")
        s.moorgate("--connect", "opened")
        self.assertEqual(s.run(f"cat '{self.opened}/secret.txt'").out, "for hvm only\n")
        s.moorgate("--disconnect", "opened")
        self.assertFalse(os.path.lexists(self.opened))

    def test_a_drive_letter_in_use_is_refused(self):
        s = self.system
        os.makedirs(self.taken)
        with open(os.path.join(self.taken, "mine.txt"), "w") as f:
            f.write("the user's own file")
        self.assertNotEqual(s.moorgate("--connect", "taken", check=False).code, 0)
        self.assertIn("The drive is already mapped", s.agent_output())
        self.assertTrue(os.path.isfile(os.path.join(self.taken, "mine.txt")))


class Faults(DriveCase):
    def test_1_agent_killed_while_a_read_waits(self):
        s = self.system
        s.put_on_server("slow.bin", os.urandom(4 * 1024 * 1024))
        self.sh(f"ls -l '{self.drive}/'")
        s.signal_server(signal.SIGSTOP)  # the agent's GET now waits for an answer
        try:
            reader = subprocess.Popen(["cat", self.on_drive("slow.bin")], env=s.env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.5)
            self.assertIsNone(reader.poll(), "the read should still be waiting for the server")
            killed_at = time.monotonic()
            s.kill_agent()
            try:
                reader.wait(timeout=LIVENESS_SECONDS + 15)
            except subprocess.TimeoutExpired:
                s.abort_mount()
                reader.wait(timeout=10)
                self.fail("the read did not end after the agent died")
            self.assertNotEqual(reader.returncode, 0)
            # The driver gives up once the pings have been missing for the liveness time.
            self.assertLess(time.monotonic() - killed_at, LIVENESS_SECONDS + 6)
        finally:
            s.signal_server(signal.SIGCONT)
        # Nothing hangs afterwards: the drive answers (with errors) at once.
        result = self.sh(f"ls '{self.drive}/'", check=False, timeout=LIVENESS_SECONDS + 20)
        self.assertFalse(result.timed_out)

    def test_2_restarted_agent_connects_the_site_again(self):
        s = self.system
        s.kill_agent()
        s.start_agent()
        s.moorgate("--connect", "site1")
        self.assertEqual(self.sh(f"wc -c < '{self.drive}/slow.bin'").out.strip(), str(4 * 1024 * 1024))
        self.sh(f"printf again > '{self.drive}/after.txt'")
        self.assertEqual(self.server_bytes("after.txt"), b"again")

    def test_3_server_stopped_during_a_write(self):
        check_failed_upload_keeps_a_backup(self, self.system.stop_server, "site1")

    def test_4_a_server_that_does_not_answer_gives_eio_and_a_log_line(self):
        # The server is still stopped from the test before.
        codes = python_on(self.system, f"""
import os
def code(action):
    try:
        action()
        return 0
    except OSError as e:
        return e.errno
print([code(lambda: os.listdir({self.drive!r})),
       code(lambda: open({self.on_drive('new-while-down')!r}, 'w').close()),
       code(lambda: os.stat({self.on_drive('never-seen/below')!r}))])
""", timeout=120)
        self.assertEqual(codes, [errno.EIO] * 3)
        self.assertTrue(any("the server does not answer" in line
                            for line in agent_log_lines(self.system)))


class HttpListing(unittest.TestCase):
    """A read-only drive over a server that offers its files through index
    pages only (Apache mod_autoindex): listing, reading, refused changes."""
    kind = "apache"
    # Where the sparse file's marker lies; above 4 GiB where ranged reads work.
    large_offset = 4 * GiB + 4096 + 7
    marker = b"beyond four gibibytes"
    files = {
        "notes.txt": b"plan for the week\n",
        "Gr\u00fc\u00dfe und Leerzeichen.txt": os.urandom(70000),
        "sub dir/inner.bin": os.urandom(3 * 1024 * 1024 + 12345),
        "empty.txt": b"",
    }

    @classmethod
    def setUpClass(cls):
        server = {"nginx": "/usr/sbin/nginx", "lighttpd": "/usr/sbin/lighttpd"}.get(cls.kind)
        if server and not os.path.exists(server):
            raise unittest.SkipTest(f"needs {server}")
        cls.system = System(BUILD_DIR, SOURCE_DIR, LIVENESS_SECONDS)
        SYSTEMS.append(cls.system)
        try:
            cls.drive = cls.system.up_index(cls.kind, prepare=cls.prepare_server)
        except BaseException:
            cls.system.stop()
            raise

    @classmethod
    def prepare_server(cls):
        for name, content in cls.files.items():
            path = cls.system.index_path(name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
        with open(cls.system.index_path("sparse.bin"), "wb") as f:
            f.write(b"head")
            f.seek(cls.large_offset)
            f.write(cls.marker)
        os.makedirs(cls.system.index_path("empty dir"))
        subprocess.run(["chmod", "-R", "a+rX", cls.system.index_path()], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.system.stop()

    def sh(self, command, **kw):
        return self.system.run(command, **kw)

    def on_drive(self, relative):
        return os.path.join(self.drive, relative)

    def test_listing_shows_the_server_files_as_read_only(self):
        listing = self.sh(f"ls -la '{self.drive}/'").out
        for name in ("notes.txt", "Gr\u00fc\u00dfe und Leerzeichen.txt", "sub dir", "sparse.bin", "empty.txt"):
            self.assertIn(name, listing)
        for name, content in self.files.items():
            self.assertEqual(self.sh(["stat", "-c", "%s %A", self.on_drive(name)]).out.split(),
                             [str(len(content)), "-r--------"], name)
        self.assertEqual(self.sh(["stat", "-c", "%s", self.on_drive("sparse.bin")]).out.strip(),
                         str(self.large_offset + len(self.marker)))
        self.assertEqual(self.sh(["stat", "-c", "%F", self.on_drive("sub dir")]).out.strip(), "directory")
        missing = self.sh(["stat", self.on_drive("absent.txt")], check=False)
        self.assertIn("No such file", missing.err)

    def test_reads_match_the_server_byte_for_byte(self):
        for name, content in self.files.items():
            out = self.sh(["sha256sum", self.on_drive(name)], timeout=120).out
            self.assertEqual(out.split()[0], hashlib.sha256(content).hexdigest(), name)

    def test_large_sparse_file_reads_far_past_its_start(self):
        path = self.on_drive("sparse.bin")
        self.assertEqual(self.sh(["python3", "-c", f"""
import os, sys
fd = os.open({path!r}, os.O_RDONLY)
sys.stdout.write(repr((os.pread(fd, 4, 0), os.pread(fd, 64, {self.large_offset}),
                       os.pread(fd, 8, {self.large_offset - 8}))))
"""], timeout=300).out, repr((b"head", self.marker, b"\0" * 8)))

    def test_every_change_is_refused_and_the_server_keeps_its_files(self):
        before = sorted(os.listdir(self.system.index_path()))
        attempts = {
            "create": f"os.open({self.on_drive('new.txt')!r}, os.O_WRONLY | os.O_CREAT, 0o644)",
            "write": f"os.open({self.on_drive('notes.txt')!r}, os.O_WRONLY | os.O_APPEND)",
            "truncate": f"os.truncate({self.on_drive('notes.txt')!r}, 0)",
            "unlink": f"os.unlink({self.on_drive('notes.txt')!r})",
            "mkdir": f"os.mkdir({self.on_drive('made')!r})",
            "rmdir": f"os.rmdir({self.on_drive('empty dir')!r})",
            "rename": f"os.rename({self.on_drive('notes.txt')!r}, {self.on_drive('moved.txt')!r})",
        }
        for what, call in attempts.items():
            result = self.sh(["python3", "-c", f"""
import errno, os, sys
try:
    {call}
except OSError as e:
    sys.stdout.write(errno.errorcode[e.errno])
else:
    sys.stdout.write("done")
"""])
            self.assertIn(result.out, ("EACCES", "EROFS", "EPERM"), what)
        # Times set on the drive stay on this side; the server's file keeps its own.
        server_time = os.stat(self.system.index_path("notes.txt")).st_mtime
        self.sh(["touch", "-d", "2001-01-01", self.on_drive("notes.txt")], check=False)
        self.assertEqual(os.stat(self.system.index_path("notes.txt")).st_mtime, server_time)
        self.assertEqual(sorted(os.listdir(self.system.index_path())), before)
        with open(self.system.index_path("notes.txt"), "rb") as f:
            self.assertEqual(f.read(), self.files["notes.txt"])
        self.assertEqual(self.sh(["cat", self.on_drive("notes.txt")]).out.encode(), self.files["notes.txt"])


class HttpListingPython(HttpListing):
    """The same over Python's http.server: names only on its pages (sizes and
    times from HEAD) and no byte ranges (reads download the file)."""
    kind = "python"
    large_offset = 16 * 1024 * 1024 + 7


class HttpListingNginx(HttpListing):
    """The same over nginx autoindex pages: exact sizes in the page, times in UTC."""
    kind = "nginx"


class HttpListingLighttpd(HttpListing):
    """The same over lighttpd dirlisting pages: rounded sizes, exact ones from HEAD."""
    kind = "lighttpd"


class SftpFiles(DriveCase):
    """The same drive on an SFTP site (OpenSSH's sshd, a test account)."""

    system_class = SftpSystem

    def test_listing_shows_sizes_times_and_links_as_their_targets(self):
        server = self.system.put_on_server("notes/plan.txt", b"plan for the week\n")
        os.utime(server, (1_600_000_000, 1_600_000_000))
        os.symlink("plan.txt", self.on_server("notes/plan-link.txt"))
        os.symlink("notes", self.on_server("notes-link"))
        listing = self.sh(f"ls -l '{self.drive}/notes/'")
        self.assertRegex(listing.out, r"-rw\S* .* 18 .*plan\.txt")
        self.assertRegex(listing.out, r"-rw\S* .* 18 .*plan-link\.txt")
        self.assertEqual(self.sh(f"stat -c '%s %Y' '{self.drive}/notes/plan.txt'").out.split(),
                         ["18", "1600000000"])
        self.assertEqual(self.sh(f"cat '{self.drive}/notes-link/plan-link.txt'").out,
                         "plan for the week\n")
        self.assertNotEqual(self.sh(f"stat '{self.drive}/notes/absent.txt'", check=False).code, 0)

    def test_copy_in_and_out_keeps_every_byte(self):
        local = os.path.join(self.system.work, "random.bin")
        with open(local, "wb") as f:
            f.write(os.urandom(40 * 1024 * 1024 + 12345))
        self.sh(f"cp '{local}' '{self.drive}/random.bin'", timeout=180)
        self.assertEqual(sha256_of(self.on_server("random.bin")), sha256_of(local))
        out = os.path.join(self.system.work, "back.bin")
        self.sh(f"cp '{self.drive}/random.bin' '{out}'", timeout=180)
        self.assertEqual(sha256_of(out), sha256_of(local))

    def test_overwrite_append_and_truncate(self):
        self.sh(f"printf 'a long first version\\n' > '{self.drive}/over.txt'")
        self.sh(f"printf 'short\\n' > '{self.drive}/over.txt'")
        self.assertEqual(self.server_bytes("over.txt"), b"short\n")
        self.sh(f"echo more >> '{self.drive}/over.txt'")
        self.assertEqual(self.server_bytes("over.txt"), b"short\nmore\n")
        self.sh(f"truncate -s 3 '{self.drive}/over.txt'")
        self.assertEqual(self.server_bytes("over.txt"), b"sho")
        self.sh(f"touch -d '2020-01-02 03:04:05 UTC' '{self.drive}/over.txt'")
        self.assertEqual(int(os.stat(self.on_server("over.txt")).st_mtime), 1577934245)

    def test_rename_delete_and_folders(self):
        self.system.put_on_server("a.txt", b"A")
        self.system.put_on_server("b.txt", b"B")
        self.sh(f"mkdir '{self.drive}/box'")
        self.assertTrue(os.path.isdir(self.on_server("box")))
        self.sh(f"mv '{self.drive}/a.txt' '{self.drive}/box/a.txt'")
        self.assertEqual(self.server_bytes("box/a.txt"), b"A")
        self.sh(f"mv -f '{self.drive}/b.txt' '{self.drive}/box/a.txt'")
        self.assertEqual(self.server_bytes("box/a.txt"), b"B")
        self.assertFalse(os.path.exists(self.on_server("b.txt")))
        self.assertNotEqual(self.sh(f"rmdir '{self.drive}/box'", check=False).code, 0)
        self.sh(f"rm '{self.drive}/box/a.txt'")
        self.sh(f"rmdir '{self.drive}/box'")
        self.assertFalse(os.path.exists(self.on_server("box")))

    def test_names_differing_only_in_case_never_mix_two_files(self):
        check_names_differing_in_case_never_mix(self, "cases")

    def test_spellings_of_one_name_agree(self):
        check_spellings_of_one_name_agree(self, "spelled")

    def test_a_name_with_a_control_character_can_be_read_and_renamed_but_not_made(self):
        # The server may hold such a name; the drive lists it and lets it be fixed.
        self.system.put_on_server("ctl/tab\tname", b"tabbed")
        self.assertIn("tab\tname", os.listdir(self.on_drive("ctl")))
        with open(self.on_drive("ctl/tab\tname"), "rb") as f:
            self.assertEqual(f.read(), b"tabbed")
        os.rename(self.on_drive("ctl/tab\tname"), self.on_drive("ctl/tab name"))
        self.assertEqual(self.server_bytes("ctl/tab name"), b"tabbed")
        with self.assertRaises(OSError) as refused:
            os.rename(self.on_drive("ctl/tab name"), self.on_drive("ctl/new\nline"))
        self.assertEqual(refused.exception.errno, errno.EINVAL)
        self.assertEqual(sorted(os.listdir(self.on_server("ctl"))), ["tab name"])

    def test_offsets_above_4_gib_read_back(self):
        marker = b"beyond four gibibytes"
        offset = 4 * GiB + 4096 + 7
        with open(self.on_server("sparse.bin"), "wb") as f:
            f.seek(offset)
            f.write(marker)
        self.system.give_to_server(self.on_server("sparse.bin"))
        path = self.on_drive("sparse.bin")
        self.assertEqual(self.sh(f"stat -c %s '{path}'").out.strip(), str(offset + len(marker)))
        self.assertEqual(self.sh(["python3", "-c", f"""
import os, sys
fd = os.open({path!r}, os.O_RDONLY)
sys.stdout.write(repr((os.pread(fd, 64, {offset}), os.pread(fd, 8, {offset - 8}))))
"""], timeout=120).out, repr((marker, b"\0" * 8)))

    def test_a_name_another_client_took_before_the_open_is_never_replaced(self):
        # A folder made through the drive is known empty: the create asks the
        # server nothing before its open, which must not empty the other file.
        self.sh(f"mkdir '{self.drive}/fresh'")
        check_name_taken_meanwhile_is_kept(self, "site1", "fresh/taken.txt", "open")
        self.sh(f"printf 'a new name' > '{self.drive}/fresh/free.txt'")
        self.assertEqual(self.server_bytes("fresh/free.txt"), b"a new name")

    def test_a_create_the_server_refuses_fails_at_the_close_and_keeps_a_backup(self):
        locked = self.on_server("locked")
        os.makedirs(locked)
        self.system.give_to_server(locked)
        os.chmod(locked, 0o555)
        path = self.on_drive("locked/refused.txt")
        result = self.sh(["python3", "-c", f"""
import os, sys
fd = os.open({path!r}, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
os.write(fd, b"kept safe")
try:
    os.close(fd)
except OSError as e:
    sys.exit(3)
"""], check=False)
        self.assertEqual(result.code, 3, result.out + result.err)
        self.assertEqual(os.listdir(locked), [])
        backups = os.path.join(self.system.work, "share", "halvenmoor", "backup", "site1")
        saved = [n for n in os.listdir(backups) if n.startswith("refused.txt.")]
        self.assertEqual(len(saved), 1, saved)
        with open(os.path.join(backups, saved[0]), "rb") as f:
            self.assertEqual(f.read(), b"kept safe")


class SftpFaults(DriveCase):
    system_class = SftpSystem

    def test_1_server_killed_during_a_write(self):
        check_failed_upload_keeps_a_backup(self, lambda: self.system.server_command("kill"), "site1")

    def test_2_server_back_the_drive_works_again(self):
        s = self.system
        s.server_command("restart")
        self.sh(f"printf again > '{self.drive}/after.txt'")
        self.assertEqual(self.server_bytes("after.txt"), b"again")

    def test_3_changed_host_key_is_refused(self):
        s = self.system
        known_hosts = os.path.join(s.home, ".ssh", "known_hosts")
        with open(known_hosts) as f:
            before = f.read()
        self.assertIn(f"[127.0.0.1]:{s.port} ssh-ed25519", before)
        s.server_command("rekey")
        # The session ended with the old server: the reconnect meets the new
        # key, asks nobody and refuses; a file only the server has stays unseen.
        s.put_on_server("fresh.txt", b"made after the key changed\n")
        self.assertNotEqual(self.sh(f"cat '{self.drive}/fresh.txt'", check=False).code, 0)
        self.assertNotIn("The server host has been changed", s.agent_output())
        s.moorgate("--disconnect", "site1", check=False)
        # Connecting again asks; the scripted person has no answer, so Cancel.
        self.assertNotEqual(s.moorgate("--connect", "site1", check=False).code, 0)
        self.assertIn("The server host has been changed, accept the changes?", s.agent_output())
        with open(known_hosts) as f:
            self.assertEqual(f.read(), before)
        self.assertFalse(os.path.lexists(self.drive))


def main():
    return run_test_module(sys.modules[__name__], "/usr/sbin/apache2", "Apache",
                           "Apache serves as www-data")


if __name__ == "__main__":
    sys.exit(main())
