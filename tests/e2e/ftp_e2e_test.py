#!/usr/bin/env python3
"""End-to-end tests of an FTP site: the real driver (quenlode), the real
agent (moorgate) and vsftpd on loopback; ordinary programs work on the drive.

    ftp_e2e_test.py BUILD_DIR SOURCE_DIR [TestClass ...]

Exit status 77 means the machine cannot run these tests (no /dev/fuse, no
vsftpd, not root).
"""
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
from e2e_test import GiB, sha256_of  # noqa: E402
from ftp_system import FtpSystem  # noqa: E402
from e2e_system import (check_failed_upload_keeps_a_backup, check_name_taken_meanwhile_is_kept,  # noqa: E402
                        check_names_differing_in_case_never_mix,
                        check_spellings_of_one_name_agree, check_streamed_uploads_follow_renames,
                        check_uploads_streamed_while_writing,
                        run_test_module)


class FtpDriveCase(e2e_test.DriveCase):
    """One system with the FTP site ftp1 connected as the drive F."""
    mode = "plain"

    @classmethod
    def new_system(cls):
        return FtpSystem(e2e_test.BUILD_DIR, e2e_test.SOURCE_DIR, e2e_test.LIVENESS_SECONDS, cls.mode)


class FtpFiles(FtpDriveCase):
    def test_listing_shows_names_sizes_and_kinds(self):
        self.system.put_on_server("Grüße aus Köln/Straße Nr 1.txt", b"hallo welt\n")
        self.system.put_on_server("plain.txt", b"0123456789")
        listing = self.sh(f"ls -l '{self.drive}/'").out
        self.assertRegex(listing, r"d\S* .*Grüße aus Köln")
        self.assertRegex(listing, r"-\S* .* 10 .*plain\.txt")
        self.assertEqual(self.sh(f"ls '{self.drive}/Grüße aus Köln/'").out, "Straße Nr 1.txt\n")
        self.assertEqual(self.sh(f"cat '{self.drive}/Grüße aus Köln/Straße Nr 1.txt'").out, "hallo welt\n")

    def test_copy_in_and_out_keeps_every_byte(self):
        local = os.path.join(self.system.work, "random.bin")
        with open(local, "wb") as f:
            f.write(os.urandom(5 * 1024 * 1024 + 4321))
        self.sh(f"cp '{local}' '{self.drive}/zufällig daten.bin'")
        self.assertEqual(sha256_of(self.on_server("zufällig daten.bin")), sha256_of(local))
        out = os.path.join(self.system.work, "back.bin")
        self.sh(f"cp '{self.drive}/zufällig daten.bin' '{out}'")
        self.assertEqual(sha256_of(out), sha256_of(local))

    def test_overwrite_and_append(self):
        self.sh(f"printf 'a long first version\\n' > '{self.drive}/over.txt'")
        self.sh(f"printf 'short\\n' > '{self.drive}/over.txt'")
        self.assertEqual(self.server_bytes("over.txt"), b"short\n")
        self.sh(f"echo more >> '{self.drive}/over.txt'")
        self.assertEqual(self.server_bytes("over.txt"), b"short\nmore\n")
        self.assertEqual(self.sh(f"cat '{self.drive}/over.txt'").out, "short\nmore\n")

    def test_names_differing_only_in_case_never_mix_two_files(self):
        check_names_differing_in_case_never_mix(self, "cases")

    def test_spellings_of_one_name_agree(self):
        check_spellings_of_one_name_agree(self, "spelled")

    def test_a_file_cut_and_extended_after_a_read_reads_zeros_past_the_cut(self):
        # The read fills the reading job's cache; what it holds is old after the cut.
        path = f"{self.drive}/cut.bin"
        first = os.urandom(3 * 1024 * 1024)
        with open(path, "wb") as f:
            f.write(first)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), first)
        os.truncate(path, 1000000)
        os.truncate(path, len(first))
        expected = first[:1000000] + bytes(len(first) - 1000000)
        self.assertEqual(self.server_bytes("cut.bin"), expected)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), expected)

    def test_mkdir_mv_rm_rmdir(self):
        self.sh(f"mkdir '{self.drive}/neuer Ordner'")
        self.assertTrue(os.path.isdir(self.on_server("neuer Ordner")))
        self.sh(f"echo x > '{self.drive}/neuer Ordner/a.txt'")
        self.sh(f"mv '{self.drive}/neuer Ordner/a.txt' '{self.drive}/neuer Ordner/b ü.txt'")
        self.assertFalse(os.path.exists(self.on_server("neuer Ordner/a.txt")))
        self.assertEqual(self.server_bytes("neuer Ordner/b ü.txt"), b"x\n")
        self.sh(f"mv '{self.drive}/neuer Ordner' '{self.drive}/umbenannt'")
        self.assertEqual(self.server_bytes("umbenannt/b ü.txt"), b"x\n")
        self.assertNotEqual(self.sh(f"rmdir '{self.drive}/umbenannt'", check=False).code, 0)
        self.sh(f"rm '{self.drive}/umbenannt/b ü.txt'")
        self.sh(f"rmdir '{self.drive}/umbenannt'")
        self.assertFalse(os.path.exists(self.on_server("umbenannt")))
        self.assertNotIn("umbenannt", self.sh(f"ls '{self.drive}/'").out.split("\n"))

    def test_a_new_file_before_its_first_upload_lists_moves_and_goes(self):
        # A folder the server lists (made on its side), away from the tests' root.
        self.system.put_on_server("pending/other.txt", b"other")
        drive = self.on_drive("pending")
        made, moved, doomed = self.on_drive("pending/new.txt"), self.on_drive("pending/new moved.txt"), \
            self.on_drive("pending/doomed.txt")
        seen = self.sh(["python3", "-c", f"""
import os
fd = os.open({made!r}, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
os.write(fd, b"first")
listed = "new.txt" in os.listdir({drive!r})
size = os.stat({made!r}).st_size
os.rename({made!r}, {moved!r})
os.write(fd, b" second")
os.close(fd)
fd = os.open({doomed!r}, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
os.write(fd, b"never sent")
os.unlink({doomed!r})
os.close(fd)
print(listed, size)
"""]).out.split()
        self.assertEqual(seen, ["True", "5"])
        self.assertEqual(sorted(os.listdir(self.on_server("pending"))), ["new moved.txt", "other.txt"])
        self.assertEqual(self.server_bytes("pending/new moved.txt"), b"first second")
        self.assertEqual(self.sh(f"cat '{drive}/new moved.txt'").out, "first second")

    def test_a_name_another_client_takes_before_the_close_is_never_replaced(self):
        self.system.put_on_server("racing/other.txt", b"other")
        check_name_taken_meanwhile_is_kept(self, "ftp1", "racing/race.txt", "close")

    def test_a_name_another_client_took_before_the_open_is_never_replaced(self):
        # A folder made through the drive is known empty: the create asks the
        # server nothing, and only the upload can find the other file.
        self.sh(f"mkdir '{self.drive}/fresh'")
        check_name_taken_meanwhile_is_kept(self, "ftp1", "fresh/taken.txt", "open")
        self.sh(f"printf 'a new name' > '{self.drive}/fresh/free.txt'")
        self.assertEqual(self.server_bytes("fresh/free.txt"), b"a new name")


class FtpLargeFiles(FtpDriveCase):
    def test_a_sparse_file_above_4_gib_reads_at_its_end(self):
        marker = b"beyond four gibibytes"
        offset = 4 * GiB + 4096 + 7
        path = self.system.put_on_server("sparse.bin", b"head")
        with open(path, "r+b") as f:
            f.seek(offset)
            f.write(marker)
        self.assertEqual(self.sh(f"stat -c %s '{self.drive}/sparse.bin'").out.strip(), str(offset + len(marker)))
        drive_path = self.on_drive("sparse.bin")
        self.assertEqual(self.sh(["python3", "-c", f"""
import os, sys
fd = os.open({drive_path!r}, os.O_RDONLY)
sys.stdout.write(repr((os.pread(fd, 4, 0), os.pread(fd, 64, {offset}), os.pread(fd, 8, {offset - 8}))))
"""], timeout=120).out, repr((b"head", marker, b"\0" * 8)))


    def test_large_files_go_up_while_written_and_are_whole_at_the_close(self):
        check_uploads_streamed_while_writing(self, "streamed")

    def test_a_file_going_up_while_written_ends_under_its_new_name(self):
        check_streamed_uploads_follow_renames(self, "streamed-renamed")


class FtpRandomOperations(FtpDriveCase, e2e_test.RandomOperations):
    """The WebDAV drive's random operations, on an FTP drive."""


class FtpsExplicit(FtpDriveCase):
    mode = "explicit"

    def test_files_go_both_ways_over_tls(self):
        self.system.put_on_server("in.txt", b"secret in\n")
        self.assertEqual(self.sh(f"cat '{self.drive}/in.txt'").out, "secret in\n")
        self.sh(f"printf 'secret out' > '{self.drive}/out.txt'")
        self.assertEqual(self.server_bytes("out.txt"), b"secret out")


class FtpsImplicit(FtpsExplicit):
    mode = "implicit"


class FtpFaults(FtpDriveCase):
    def test_server_stopped_before_the_upload_fails_the_close_and_keeps_a_backup(self):
        check_failed_upload_keeps_a_backup(self, self.system.stop_server, "ftp1")


def main():
    return run_test_module(e2e_test, "/usr/sbin/vsftpd", "vsftpd", "vsftpd needs it")


if __name__ == "__main__":
    sys.exit(main())
