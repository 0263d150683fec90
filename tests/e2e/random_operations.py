#!/usr/bin/env python3
"""Seeded random file operations on the mapped drive and on a local model folder.

    random_operations.py SEED STEPS DRIVE MODEL

Names on the drive are compared without regard to case. With
HVM_RANDOM_SPELLINGS=1 a step now and then names a file or folder on the
drive in another spelling (F0, D1/f0) than in the model, where every name is
lower case. Two spellings of one file are two inodes to the kernel, each with
pages of its own: once a step's close, truncate, unlink or rename returns,
every other spelling must show its result (the test groups run this in
test_random_operations_in_other_spellings_match).

Each step picks an operation (KINDS: write, append, truncate, rename, unlink,
mmap, read, pwrite, two handles on one file, rename of an open file, mkdir,
rmdir, rename of folders and of files into and out of them, whole copies
with unsent writes on the source, copies of a part at offsets, writes with
fsync) and a few names,
runs it on both folders and compares: the outcome (success or the errno) and
afterwards the contents of the names touched. The first difference ends the
run with exit status 1 and the step that caused it, so a failing seed can be
replayed. The run stops early (successfully) when its time budget is spent.
"""
import errno
import mmap
import os
import random
import sys
import time

NAMES = [f"f{i}" for i in range(6)]
FOLDERS = ["d0", "d1"]
NESTED = ["d0/f0", "d0/f1", "d1/f0"]
KINDS = ["write", "append", "truncate", "rename", "unlink", "mmap", "read", "pwrite", "handles",
         "rename_open", "mkdir", "rmdir", "rename_folder", "copy", "copy_range", "fsync"]
# HVM_RANDOM_KINDS=write,append,... runs only the named kinds (a drive that
# cannot offer some of them); a seed repeats a run only with the same list.
if os.environ.get("HVM_RANDOM_KINDS"):
    chosen = os.environ["HVM_RANDOM_KINDS"].split(",")
    unknown = [k for k in chosen if k not in KINDS]
    if unknown:
        sys.exit(f"HVM_RANDOM_KINDS: no such kinds {unknown}; known are {KINDS}")
    KINDS = chosen
TIME_BUDGET = 200  # seconds
SPELLINGS = os.environ.get("HVM_RANDOM_SPELLINGS") == "1"
TRACE = os.environ.get("HVM_RANDOM_TRACE") == "1"  # each step on stderr, for replays
# HVM_RANDOM_LARGE=1: now and then files past a mebibyte, which go up while written.
LARGE = os.environ.get("HVM_RANDOM_LARGE") == "1"
SPREAD = 20 if LARGE else 1  # how far offsets reach


class Mismatch(Exception):
    pass


def outcome(action):
    try:
        return ("ok", action())
    except OSError as e:
        return ("errno", e.errno)


def write_whole(path, data):
    with open(path, "wb") as f:
        f.write(data)


def append(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def write_at(path, offset, data):
    fd = os.open(path, os.O_WRONLY)
    try:
        os.pwrite(fd, data, offset)
    finally:
        os.close(fd)


def truncate_by_descriptor(path, size):
    fd = os.open(path, os.O_WRONLY)
    try:
        os.ftruncate(fd, size)
    finally:
        os.close(fd)


def write_mapped(path, offset, data, through_append):
    flags = os.O_RDWR | (os.O_APPEND if through_append else 0)
    fd = os.open(path, flags)
    try:
        size = os.fstat(fd).st_size
        if size == 0:
            return "empty"
        offset %= size
        data = data[: size - offset]
        with mmap.mmap(fd, size) as m:
            m[offset:offset + len(data)] = data
            m.flush()
        return len(data)
    finally:
        os.close(fd)


def two_handles(path, first, second, first_closes_first):
    """Writes through one handle, reads that back through a second one open at
    the same time, writes through the second, and closes them in either order."""
    a = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    b = None
    try:
        b = os.open(path, os.O_RDWR)
        (at1, data1), (at2, data2) = first, second
        os.pwrite(a, data1, at1)
        seen = os.pread(b, len(data1), at1)
        os.pwrite(b, data2, at2)
        size = os.fstat(a).st_size
        if first_closes_first:
            os.close(a)
            a = None
        return seen, size
    finally:
        for fd in (a, b):
            if fd is not None:
                os.close(fd)


def while_open(path, other, first, second):
    """Writes through a handle, renames the file to other while the handle
    stays open, writes through it again and closes it. (A removed file's
    handle refuses writes on the drive, by design, so unlink is not tried.)"""
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        os.pwrite(fd, first[1], first[0])
        os.rename(path, other)
        os.pwrite(fd, second[1], second[0])
        return os.fstat(fd).st_size
    finally:
        os.close(fd)


def copy_whole(source, target):
    """A whole-file copy as cp makes it (copy_file_range, which the drive may
    have the server make), while a handle on the source holds unsent writes."""
    fd = os.open(source, os.O_RDWR)
    try:
        os.pwrite(fd, b"unsent", 0)
        with open(source, "rb") as src, open(target, "wb") as dst:
            copied = 0
            while True:
                n = os.copy_file_range(src.fileno(), dst.fileno(), 1 << 20)
                if n == 0:
                    return copied
                copied += n
    finally:
        os.close(fd)


def copy_part(source, target, at_in, at_out, count):
    """A part of one file copied into another at an offset."""
    src = os.open(source, os.O_RDONLY)
    try:
        dst = os.open(target, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            return os.copy_file_range(src, dst, count, at_in, at_out)
        finally:
            os.close(dst)
    finally:
        os.close(src)


def write_with_fsync(path, first, second):
    """Writes, fsync, writes at the end, fsync, close."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        os.write(fd, first)
        os.fsync(fd)
        os.pwrite(fd, second, os.fstat(fd).st_size)
        os.fsync(fd)
        return os.fstat(fd).st_size
    finally:
        os.close(fd)


def read_all(path):
    with open(path, "rb") as f:
        return f.read()


class Run:
    def __init__(self, seed, drive, model):
        self.rng = random.Random(seed)
        self.drive, self.model = drive, model
        self.spelled = {}  # the last step's other spellings on the drive

    def spelling(self, name):
        """The name as the drive side of a step writes it: now and then with
        some letters in upper case."""
        if not SPELLINGS or self.rng.random() >= 0.3:
            return name
        return "".join(c.upper() if self.rng.random() < 0.5 else c for c in name)

    def data(self):
        size = self.rng.choice([0, 1, 7, 100, 4096, 5000, 70000, 150000] +
                               ([(1 << 20) + 5, 2500000] if LARGE else []))
        return self.rng.randbytes(size)

    def both(self, description, action, drive_alike=None):
        """action(root) runs on a folder; both folders must answer alike
        (drive_alike maps a drive outcome that means the same as the model's)."""
        if TRACE:
            print(f"  {description} {self.spelled or ''}", file=sys.stderr, flush=True)
        on_drive = outcome(lambda: action(self.drive))
        in_model = outcome(lambda: action(self.model))
        if drive_alike:
            on_drive = drive_alike(on_drive)
        if on_drive != in_model:
            raise Mismatch(f"{description}: drive {on_drive}, model {in_model}")

    def compare(self, name):
        drive_path, model_path = os.path.join(self.drive, name), os.path.join(self.model, name)
        if os.path.exists(model_path) != os.path.exists(drive_path):
            raise Mismatch(f"{name}: exists on drive {os.path.exists(drive_path)}, "
                           f"in model {os.path.exists(model_path)}")
        if not os.path.exists(model_path):
            return
        if os.path.isdir(model_path) != os.path.isdir(drive_path):
            raise Mismatch(f"{name}: a folder on drive {os.path.isdir(drive_path)}, "
                           f"in model {os.path.isdir(model_path)}")
        if os.path.isdir(model_path):
            listed = sorted(n.lower() for n in os.listdir(drive_path))
            if listed != sorted(os.listdir(model_path)):
                raise Mismatch(f"{name}: drive lists {listed}, model {sorted(os.listdir(model_path))}")
            return
        drive_bytes, model_bytes = read_all(drive_path), read_all(model_path)
        if drive_bytes != model_bytes:
            first = next((i for i, (a, b) in enumerate(zip(drive_bytes, model_bytes)) if a != b),
                         min(len(drive_bytes), len(model_bytes)))
            raise Mismatch(f"{name}: drive {len(drive_bytes)} bytes, model {len(model_bytes)} "
                           f"bytes, first difference at {first}")
        if os.stat(drive_path).st_size != len(model_bytes):
            raise Mismatch(f"{name}: stat says {os.stat(drive_path).st_size}, "
                           f"model {len(model_bytes)}")

    def step(self, number):
        kind = self.rng.choice(KINDS)
        a, b = self.pick(), self.pick()
        if kind in ("mkdir", "rmdir"):
            a = self.rng.choice(FOLDERS + NAMES[:1])
        elif kind == "rename_folder":
            a, b = self.rng.choice(FOLDERS), self.rng.choice(FOLDERS + NAMES[:1] + NESTED[:1])
        spelled = {a: self.spelling(a), b: self.spelling(b)}

        def at(root, name):
            return os.path.join(root, spelled.get(name, name) if root == self.drive else name)

        self.spelled = {k: v for k, v in spelled.items() if k != v}
        if kind == "write":
            data = self.data()
            self.both(f"write {a} {len(data)}", lambda r: write_whole(at(r, a), data))
        elif kind == "append":
            data = self.data()[:5000 * SPREAD]
            self.both(f"append {a} {len(data)}", lambda r: append(at(r, a), data))
        elif kind == "pwrite":
            offset, data = self.rng.randrange(0, 160000 * SPREAD), self.data()[:20000]
            self.both(f"pwrite {a} at {offset} {len(data)}",
                      lambda r: write_at(at(r, a), offset, data))
        elif kind == "truncate":
            size = self.rng.choice([0, 3, 4096, 6000, 100000] + ([(1 << 20) + 3, 1500000] if LARGE else []))
            if self.rng.random() < 0.5:
                self.both(f"truncate {a} {size}", lambda r: os.truncate(at(r, a), size))
            else:
                self.both(f"ftruncate {a} {size}", lambda r: truncate_by_descriptor(at(r, a), size))
        elif kind == "rename":
            self.both(f"rename {a} {b}", lambda r: os.rename(at(r, a), at(r, b)))
        elif kind == "unlink":
            self.both(f"unlink {a}", lambda r: os.unlink(at(r, a)))
        elif kind == "mmap":
            offset, data = self.rng.randrange(0, 200000 * SPREAD), self.data()[:9000]
            through_append = self.rng.random() < 0.5
            self.both(f"mmap {a} at {offset} {len(data)} append={through_append}",
                      lambda r: write_mapped(at(r, a), offset, data, through_append))
        elif kind == "handles":
            first = (self.rng.randrange(0, 160000 * SPREAD), self.data()[:20000 * SPREAD])
            second = (self.rng.randrange(0, 160000 * SPREAD), self.data()[:20000 * SPREAD])
            order = self.rng.random() < 0.5
            self.both(f"handles {a} {first[0]}+{len(first[1])} {second[0]}+{len(second[1])} "
                      f"first closes first={order}",
                      lambda r: two_handles(at(r, a), first, second, order))
        elif kind == "rename_open":
            first = (self.rng.randrange(0, 100000 * SPREAD), self.data()[:20000 * SPREAD])
            second = (self.rng.randrange(0, 100000 * SPREAD), self.data()[:20000 * SPREAD])
            self.both(f"rename {a} to {b} while open, {first[0]}+{len(first[1])} then "
                      f"{second[0]}+{len(second[1])}",
                      lambda r: while_open(at(r, a), at(r, b), first, second))
        elif kind == "mkdir":
            self.both(f"mkdir {a}", lambda r: os.mkdir(at(r, a)))
        elif kind == "rmdir":
            self.both(f"rmdir {a}", lambda r: os.rmdir(at(r, a)))
        elif kind == "rename_folder":
            # A folder onto a file below itself: the model's kernel sees one
            # folder (EINVAL); with other spellings the drive's sees a folder
            # onto a file (ENOTDIR) before the drive is asked.
            into_itself = self.spelled and b.startswith(a + "/")
            self.both(f"rename folder {a} to {b}", lambda r: os.rename(at(r, a), at(r, b)),
                      (lambda o: ("errno", errno.EINVAL) if o == ("errno", errno.ENOTDIR) else o)
                      if into_itself else None)
        elif kind == "copy" and a != b:
            self.both(f"copy {a} to {b}", lambda r: copy_whole(at(r, a), at(r, b)))
        elif kind == "copy_range" and a != b:
            at_in, at_out = self.rng.randrange(0, 160000 * SPREAD), self.rng.randrange(0, 160000 * SPREAD)
            count = self.rng.choice([1, 4096, 70000, 1 << 20])
            self.both(f"copy {count} of {a} at {at_in} to {b} at {at_out}",
                      lambda r: copy_part(at(r, a), at(r, b), at_in, at_out, count))
        elif kind == "fsync":
            first, second = self.data()[:40000 * SPREAD], self.data()[:40000 * SPREAD]
            self.both(f"fsync {a} {len(first)}+{len(second)}",
                      lambda r: write_with_fsync(at(r, a), first, second))
        else:
            self.both(f"read {a}", lambda r: read_all(at(r, a)))
        for name in {a, b, os.path.dirname(a) or a, os.path.dirname(b) or b}:
            self.compare(name)
        return kind

    def pick(self):
        """A file name, now and then one inside a folder."""
        return self.rng.choice(NESTED) if self.rng.random() < 0.25 else self.rng.choice(NAMES)


def main():
    seed, steps, drive, model = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    print(f"seed {seed}", flush=True)
    run = Run(seed, drive, model)
    started = time.monotonic()
    done = 0
    kinds = {}
    try:
        for number in range(steps):
            if time.monotonic() - started > TIME_BUDGET:
                print(f"time budget spent after {done} steps", flush=True)
                break
            kind = run.step(number)
            kinds[kind] = kinds.get(kind, 0) + 1
            done += 1
        for name in NAMES + FOLDERS + NESTED:
            run.compare(name)
        # Only the names the steps use: the folders may start with files of their own.
        listed = sorted(n.lower() for n in os.listdir(drive) if n.lower() in NAMES + FOLDERS)
        modelled = sorted(n for n in os.listdir(model) if n in NAMES + FOLDERS)
        if listed != modelled:
            raise Mismatch(f"listing: drive {listed}, model {modelled}")
    except Mismatch as e:
        spelled = f" (the drive spelled {run.spelled})" if run.spelled else ""
        print(f"seed {seed}, step {done}: {e}{spelled}", file=sys.stderr, flush=True)
        return 1
    print(f"{done} steps matched ({', '.join(f'{k} {n}' for k, n in sorted(kinds.items()))})", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
