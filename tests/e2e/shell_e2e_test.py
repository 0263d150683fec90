#!/usr/bin/env python3
"""End-to-end tests of the shell tools: moorshell and moorquick on a drive of
Apache mod_dav, through the real driver and agent, judged by a second client
(curl) and by Apache's access log.

    shell_e2e_test.py BUILD_DIR SOURCE_DIR [TestClass ...]
"""
import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
from e2e_system import wait_until  # noqa: E402

NOT_HERE = 3


class ServerLogCase(e2e_test.DriveCase):
    """A drive whose server requests are read from Apache's access log."""

    def tool(self, *args, check=False):
        name, rest = args[0], args[1:]
        return self.system.run([os.path.join(self.system.bin, name), *rest], check=check, timeout=60)

    def access_log(self):
        with open(os.path.join(self.system.server_state, "logs", "access.log")) as f:
            return f.read().splitlines()

    def requests_since(self, mark, method):
        return [line for line in self.access_log()[mark:] if f" {method} " in line]

    def logged_since(self, mark, method):
        """Requests of a method since mark, once Apache has logged one: it
        writes the line after sending the answer, so the log may lag."""
        wait_until(10, lambda: self.requests_since(mark, method))
        return self.requests_since(mark, method)

    def second_client_put(self, relative, data):
        """The HTTP status another client gets when it writes the file."""
        return self.sh(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "PUT",
                        "--data-binary", data, self.system.url() + relative]).out


class ShellTools(ServerLogCase):
    def test_lock_is_seen_by_another_client_until_unlock(self):
        self.system.put_on_server("locked.txt", b"contents\n")
        path = self.on_drive("locked.txt")
        self.assertTrue(wait_until(10, lambda: os.path.exists(path)))
        self.assertEqual(self.tool("moorshell", "info", path).out.split()[0], "---")
        result = self.tool("moorshell", "lock", path)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.second_client_put("locked.txt", "theirs"), "423")
        self.assertEqual(self.tool("moorshell", "info", path).out.split()[0], "L--")
        attributes = self.sh(["getfattr", "-d", "-m", "-", path]).out
        self.assertIn('user.halvenmoor.lock="L"', attributes)
        self.assertIn("user.halvenmoor.version", attributes)
        self.assertIn("user.halvenmoor.readonly", attributes)
        # The lock holder still writes through the drive (the token travels with the PUT).
        self.sh(f"printf 'ours\\n' > '{path}'")
        self.assertEqual(self.server_bytes("locked.txt"), b"ours\n")
        self.assertEqual(self.tool("moorshell", "lock", path).code, 0)  # already locked
        result = self.tool("moorshell", "unlock", path)
        self.assertEqual(result.code, 0, result)
        self.assertIn(self.second_client_put("locked.txt", "theirs"), ("201", "204"))
        self.assertEqual(self.tool("moorshell", "info", path).out.split()[0], "---")
        self.assertNotEqual(self.tool("moorshell", "unlock", path).code, 0)  # nothing to unlock

    def test_copy_is_made_by_the_server(self):
        content = os.urandom(300_000)
        self.system.put_on_server("docs/source.bin", content)
        source = self.on_drive("docs/source.bin")
        self.assertTrue(wait_until(10, lambda: os.path.exists(source)))
        mark = len(self.access_log())
        # The destination named through "..", beside the source.
        result = self.tool("moorshell", "copy", source, self.on_drive("docs/../docs/copied.bin"))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.server_bytes("docs/copied.bin"), content)
        self.assertEqual(len(self.logged_since(mark, "COPY")), 1)
        self.assertEqual(self.requests_since(mark, "PUT"), [])
        with open(self.on_drive("docs/copied.bin"), "rb") as f:
            self.assertEqual(f.read(), content)

    def test_a_copy_to_a_name_with_a_control_character_reaches_no_server(self):
        # Listings leave such names out: a copy made under one would never show.
        self.system.put_on_server("ctl/a.txt", b"A")
        self.system.put_on_server("ctl/tree/b.txt", b"B")
        source = self.on_drive("ctl/a.txt")
        self.assertTrue(wait_until(10, lambda: os.path.exists(source)))
        self.assertNotEqual(self.tool("moorshell", "copy", source, self.on_drive("ctl/a\tcopy.txt")).code, 0)
        self.assertNotEqual(self.tool("moorquick", "copy", self.on_drive("ctl/tree"),
                                      self.on_drive("ctl/tree\ncopy")).code, 0)
        self.assertEqual(sorted(os.listdir(self.on_server("ctl"))), ["a.txt", "tree"])

    def test_paths_off_the_drives_are_refused_with_the_message(self):
        outside = os.path.join(self.system.work, "outside.txt")
        with open(outside, "w") as f:
            f.write("local\n")
        self.system.put_on_server("here.txt", b"here\n")
        here = self.on_drive("here.txt")
        self.assertTrue(wait_until(10, lambda: os.path.exists(here)))
        # ".." taken after the drive's link: the folder of the Connections, not a drive.
        escape = self.on_drive("..")
        link = os.path.join(self.system.work, "link-to-drive")
        os.symlink(here, link)
        for args in (("lock", outside), ("info", "/etc/hostname"), ("lock", escape),
                     ("copy", here, outside), ("copy", outside, self.on_drive("x.txt"))):
            result = self.tool("moorshell", *args)
            self.assertEqual(result.code, NOT_HERE, result)
            self.assertIn("The operation is only permited within Halvenmoor's disks", result.err)
        # A link into the drive is followed to the drive's file.
        self.assertEqual(self.tool("moorshell", "info", link).code, 0)
        result = self.tool("moorshell", "copy", here, self.on_drive("no/such/folder/x.txt"))
        self.assertNotEqual(result.code, 0)
        self.assertIn("No such file or directory", result.err)

    def test_commands_the_server_does_not_offer_are_refused(self):
        """Apache has no DASL search and no DeltaV versions."""
        self.system.put_on_server("plain.txt", b"plain\n")
        path = self.on_drive("plain.txt")
        self.assertTrue(wait_until(10, lambda: os.path.exists(path)))
        for args in (("search", path, "plain"), ("checkout", path), ("checkin", path),
                     ("uncheckout", path), ("report", path)):
            result = self.tool("moorshell", *args)
            self.assertEqual(result.code, NOT_HERE, result)
            self.assertIn("is not offered by the server here", result.err)
            self.assertIn("PROPFIND", result.err)  # the server's own list is shown
        result = self.tool("moorshell", "hide-report", path)
        self.assertEqual(result.code, 1, result)
        self.assertIn("There is nothing to hide", result.err)

    def test_a_folder_of_1000_files_is_copied_and_deleted_in_one_request(self):
        for i in range(1000):
            self.system.put_on_server(f"tree/f{i:04}.txt", f"file {i}\n".encode())
        tree = self.on_drive("tree")
        self.assertTrue(wait_until(10, lambda: os.path.isdir(tree)))
        mark = len(self.access_log())
        self.assertNotIn("tree2", os.listdir(self.drive))
        result = self.tool("moorquick", "copy", tree, self.on_drive("tree2"))
        self.assertEqual(result.code, 0, result)
        # Shown at once, not at the next refresh.
        self.assertIn("tree2", os.listdir(self.drive))
        self.assertEqual(len(self.logged_since(mark, "COPY")), 1)
        copies = self.access_log()[mark:]
        self.assertEqual(len([line for line in copies if " COPY /dav/tree" in line]), 1, copies)
        self.assertEqual([line for line in copies if " PUT " in line or " GET " in line], [])
        self.assertEqual(len(os.listdir(self.on_server("tree2"))), 1000)
        self.assertEqual(sorted(os.listdir(self.on_drive("tree2"))), sorted(os.listdir(tree)))
        with open(self.on_drive("tree2/f0999.txt")) as f:
            self.assertEqual(f.read(), "file 999\n")
        # Into an existing folder, as cp does; then refused, since the server would replace it.
        self.assertEqual(self.tool("moorquick", "copy", tree, self.on_drive("tree2")).code, 0)
        self.assertEqual(len(os.listdir(self.on_server("tree2/tree"))), 1000)
        result = self.tool("moorquick", "copy", tree, self.on_drive("tree2"))
        self.assertEqual(result.code, 1, result)
        self.assertIn("already exists", result.err)
        # A link to the folder is deleted as a link, the folder stays.
        link = os.path.join(self.system.work, "tree2-link")
        os.symlink(self.on_drive("tree2"), link)
        self.assertEqual(self.tool("moorquick", "delete", link).code, 0)
        self.assertFalse(os.path.lexists(link))
        self.assertTrue(os.path.exists(self.on_server("tree2/f0000.txt")))
        mark = len(self.access_log())
        result = self.tool("moorquick", "delete", self.on_drive("tree2"))
        self.assertEqual(result.code, 0, result)
        deletes = self.logged_since(mark, "DELETE")
        self.assertEqual(len(deletes), 1, deletes)
        self.assertFalse(os.path.exists(self.on_server("tree2")))
        # Gone from the drive at once, not at the next refresh.
        self.assertFalse(os.path.exists(self.on_drive("tree2")))
        self.assertNotIn("tree2", os.listdir(self.drive))
        self.assertFalse(os.path.exists(self.on_drive("tree2/f0000.txt")))

    def test_moorquick_leaves_ordinary_folders_to_the_ordinary_way(self):
        local = os.path.join(self.system.work, "local-tree")
        os.makedirs(os.path.join(local, "inner"))
        with open(os.path.join(local, "inner", "a.txt"), "w") as f:
            f.write("a\n")
        result = self.tool("moorquick", "duplicate", local)
        self.assertEqual(result.code, 0, result)
        with open(os.path.join(local + " (copy)", "inner", "a.txt")) as f:
            self.assertEqual(f.read(), "a\n")
        self.assertEqual(self.tool("moorquick", "delete", local + " (copy)").code, 0)
        self.assertFalse(os.path.exists(local + " (copy)"))

    def test_listing_with_attributes_stays_quiet(self):
        self.system.put_on_server("quiet/a.txt", b"a\n")
        self.assertTrue(wait_until(10, lambda: os.path.exists(self.on_drive("quiet/a.txt"))))
        listing = self.sh(f"ls -l '{self.on_drive('quiet')}'")
        self.assertEqual(listing.err, "")
        # Names outside the drive's own are answered at once, without the agent.
        result = self.sh(["getfattr", "-n", "user.other", self.on_drive("quiet/a.txt")], check=False)
        self.assertNotEqual(result.code, 0)
        self.assertIn("No such attribute", result.err)


def python_copy(system, source, destination, offset, count):
    """os.copy_file_range of count bytes from offset into a new file, as a
    program that copies a part of a file would."""
    return system.run(["python3", "-c", f"""
import os
src = os.open({source!r}, os.O_RDONLY)
dst = os.open({destination!r}, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
done = 0
while done < {count}:
    n = os.copy_file_range(src, dst, {count} - done, {offset} + done)
    if n == 0:
        break
    done += n
os.close(dst)
print(done)
"""]).out.strip()


class ServerCopies(ServerLogCase):
    """cp of a file within the drive: one COPY on the server where it can be,
    the bytes through the drive everywhere else."""

    SIZE = 5 * 1024 * 1024

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.content = os.urandom(cls.SIZE)
        cls.system.put_on_server("cp/source.bin", cls.content)
        cls.system.put_on_server("other/keep.txt", b"keep\n")

    def source(self):
        path = self.on_drive("cp/source.bin")
        self.assertTrue(wait_until(10, lambda: os.path.exists(path)))
        return path

    def drive_bytes(self, relative):
        with open(self.on_drive(relative), "rb") as f:
            return f.read()

    def copy_within(self, source, relative, by_server):
        """cp of source to relative on the drive: by the server (one COPY,
        nothing read or written through the drive) or through the drive (PUT,
        no COPY); the bytes on the server and read back through the drive are
        the source's either way."""
        mark = len(self.access_log())
        self.sh(["cp", source, self.on_drive(relative)])
        if by_server:
            copies = self.logged_since(mark, "COPY")
            self.assertEqual(len(copies), 1, copies)
            self.assertIn(" 201 ", copies[0])
            self.assertEqual(self.requests_since(mark, "PUT") + self.requests_since(mark, "GET"), [])
        else:
            # An existing file is emptied (an empty PUT) when opened with O_TRUNC.
            self.assertTrue(self.logged_since(mark, "PUT"))
            self.assertEqual(self.requests_since(mark, "COPY"), [])
        self.assertEqual(os.path.getsize(self.on_drive(relative)), self.SIZE)
        self.assertEqual(self.server_bytes(relative), self.content)
        self.assertEqual(self.drive_bytes(relative), self.content)

    def test_cp_within_the_drive_is_one_copy_on_the_server(self):
        source = self.source()
        self.copy_within(source, "cp/copy.bin", by_server=True)
        # Into another folder as well; the copy's close uploads nothing.
        self.assertTrue(wait_until(10, lambda: os.path.isdir(self.on_drive("other"))))
        self.copy_within(source, "other/copy.bin", by_server=True)

    def test_other_copies_go_through_the_drive_with_every_byte(self):
        source = self.source()
        # Onto a file with contents: the server's copy would need the old one replaced.
        self.system.put_on_server("cp/existing.bin", b"old contents\n" * 1000)
        self.assertTrue(wait_until(10, lambda: os.path.exists(self.on_drive("cp/existing.bin"))))
        self.copy_within(source, "cp/existing.bin", by_server=False)
        # A part of the file, from an offset.
        part = self.on_drive("cp/part.bin")
        self.assertEqual(python_copy(self.system, source, part, 4096, 100_000), "100000")
        self.assertEqual(self.server_bytes("cp/part.bin"), self.content[4096:104096])
        self.assertEqual(self.drive_bytes("cp/part.bin"), self.content[4096:104096])
        # The copy of a copy made by the server reads the server's bytes.
        self.sh(["cp", source, self.on_drive("cp/first.bin")])
        self.sh(["cp", self.on_drive("cp/first.bin"), self.on_drive("cp/second.bin")])
        self.assertEqual(self.drive_bytes("cp/second.bin"), self.content)
        self.assertEqual(self.server_bytes("cp/second.bin"), self.content)

    def test_a_copy_the_server_refuses_ends_with_the_bytes_or_a_clear_error(self):
        # Apache refuses to COPY anything below nocopy/ (403): cp carries the bytes itself.
        self.system.put_on_server("nocopy/source.bin", self.content)
        refused = self.on_drive("nocopy/source.bin")
        self.assertTrue(wait_until(10, lambda: os.path.exists(refused)))
        mark = len(self.access_log())
        self.sh(["cp", refused, self.on_drive("cp/from-nocopy.bin")])
        self.assertIn(" 403 ", self.logged_since(mark, "COPY")[0])
        self.assertEqual(len(self.logged_since(mark, "PUT")), 1)
        self.assertEqual(self.server_bytes("cp/from-nocopy.bin"), self.content)
        self.assertEqual(self.drive_bytes("cp/from-nocopy.bin"), self.content)
        # The destination's folder removed on the server meanwhile: neither
        # the COPY nor the upload can make the file, and cp says so.
        self.system.put_on_server("gone/keep.txt", b"keep\n")
        self.assertTrue(wait_until(10, lambda: os.path.exists(self.on_drive("gone/keep.txt"))))
        self.sh(["rm", "-rf", self.on_server("gone")])
        mark = len(self.access_log())
        result = self.sh(["cp", self.source(), self.on_drive("gone/copy.bin")], check=False)
        self.assertNotEqual(result.code, 0, result)
        self.assertIn("copy.bin", result.err)
        self.assertFalse(os.path.exists(self.on_server("gone/copy.bin")))
        self.assertIn(" 409 ", self.logged_since(mark, "COPY")[0])


if __name__ == "__main__":
    sys.exit(e2e_test.main())
