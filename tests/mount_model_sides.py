# The two sides of the writable mount's random-operation test: archives
# built and read here rather than by the tool under test, steps that run
# alike on the mount and on a plain folder, trees read and compared, and the
# mount process, started, killed and unmounted.
import errno
import os
import random
import signal
import subprocess
import threading
import time

MAGIC = b"FILECMB-DATA-LIST-IN\n"


# --- Archives, built and read here rather than by the tool under test ---

def build_archive(entries):
    """The bytes of an archive of (stored name, bytes) entries, in order."""
    start = len(MAGIC) + sum(len(name) + 23 for name, _ in entries) + 1
    lines = []
    for name, data in entries:
        lines.append(name + b"\t%010d %010d\n" % (start, start + len(data)))
        start += len(data)
    return MAGIC + b"".join(lines) + b"\n" + b"".join(data for _, data in entries)


def read_archive(raw):
    """The (stored name, bytes) entries of an archive whose directory accounts
    for every byte: each entry right after the one before, none left over."""
    assert raw.startswith(MAGIC), "the saved archive lacks its magic line"
    at, listed = len(MAGIC), []
    while True:
        end = raw.index(b"\n", at)
        line, at = raw[at:end], end + 1
        if not line:
            break
        name, _, numbers = line.rpartition(b"\t")
        start, stop = (int(n) for n in numbers.split(b" "))
        listed.append((name, start, stop))
    for name, start, stop in listed:
        assert start == at and stop >= start, f"{name!r} lies at {start}..{stop}, not at {at}"
        at = stop
    assert at == len(raw), f"{len(raw) - at} bytes after the last entry belong to none"
    return [(name, raw[start:stop]) for name, start, stop in listed]


# --- Operations, as steps that run alike on the mount and on the model ---

class Blob:
    """Bytes named by a seed and a length, so that a printed step stays short."""

    def __init__(self, seed, length):
        self.seed, self.length = seed, length
        self.bytes = random.Random(seed).randbytes(length)

    def __repr__(self):
        return f"Blob(seed={self.seed}, length={self.length})"


FLAGS = {
    "r": os.O_RDONLY,
    "w": os.O_WRONLY,
    "rw": os.O_RDWR,
    "append": os.O_WRONLY | os.O_APPEND,
    "rw-append": os.O_RDWR | os.O_APPEND,
    "trunc": os.O_WRONLY | os.O_TRUNC,
    "create": os.O_RDWR | os.O_CREAT,
    "create-trunc": os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
}
# A dead mount answers what was asked of it with these; a write cut off by
# the kill may also get EIO from the kernel.
LOST = {"ENOTCONN", "ECONNABORTED"}
# Errors POSIX lets a file system choose between.
SAME_ERROR = {"EEXIST": "ENOTEMPTY"}


class Side:
    """One of the two trees: its root as a descriptor (so that nothing reaches
    the folder below a dead mount) and the descriptors open in it."""

    def __init__(self, name, root):
        self.name, self.root, self.fds = name, root, {}

    def proc(self, path):
        return f"/proc/self/fd/{self.root}/{path}"


def do(side, step):
    """Runs one step; ("ok", value), ("error", name) or ("skip",) when its
    descriptor is not open on this side."""
    op, *a = step
    if op in ("close", "pwrite", "append", "read", "ftruncate", "fsync") and a[0] not in side.fds:
        return ("skip",)
    try:
        if op == "open":
            fid, path, flags = a
            side.fds[fid] = os.open(path, FLAGS[flags] | os.O_CLOEXEC, 0o644, dir_fd=side.root)
            return ("ok", None)
        if op == "close":
            os.close(side.fds.pop(a[0]))
            return ("ok", None)
        if op == "pwrite":
            fid, offset, data = a
            return ("ok", os.pwrite(side.fds[fid], data, offset))
        if op == "append":
            return ("ok", os.write(side.fds[a[0]], a[1]))
        if op == "read":
            chunks, at = [], 0
            while chunk := os.pread(side.fds[a[0]], 1 << 20, at):
                chunks.append(chunk)
                at += len(chunk)
            return ("ok", b"".join(chunks))
        if op == "ftruncate":
            os.ftruncate(side.fds[a[0]], a[1])
        elif op == "fsync":
            os.fsync(side.fds[a[0]])
        elif op == "truncate":
            os.truncate(side.proc(a[0]), a[1])
        elif op == "rename":
            os.rename(a[0], a[1], src_dir_fd=side.root, dst_dir_fd=side.root)
        elif op == "mkdir":
            os.mkdir(a[0], dir_fd=side.root)
        elif op == "rmdir":
            os.rmdir(a[0], dir_fd=side.root)
        elif op == "unlink":
            os.unlink(a[0], dir_fd=side.root)
        elif op == "fsyncdir":
            fd = os.open(a[0], os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=side.root)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        else:
            raise ValueError(op)
        return ("ok", None)
    except OSError as e:
        return ("error", errno.errorcode.get(e.errno, str(e.errno)))


def same_result(a, b):
    if a[0] == "error" and b[0] == "error":
        return a[1] == b[1] or SAME_ERROR.get(a[1]) == b[1] or SAME_ERROR.get(b[1]) == a[1]
    return a == b


def shown(result):
    if result[0] == "ok" and isinstance(result[1], bytes):
        return f"ok: {len(result[1])} bytes"
    return ": ".join(str(r) for r in result)


def read_tree(root):
    """Every folder (None) and file (its bytes) below a folder descriptor."""
    tree = {}
    for folder, folders, files, fd in os.fwalk(".", dir_fd=root):
        prefix = "" if folder == "." else folder[2:] + "/"
        for name in folders:
            tree[prefix + name] = None
        for name in files:
            file = os.open(name, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW, dir_fd=fd)
            try:
                chunks = []
                while chunk := os.read(file, 1 << 20):
                    chunks.append(chunk)
            finally:
                os.close(file)
            tree[prefix + name] = b"".join(chunks)
    return tree


def tree_difference(mount, model):
    """What differs between two trees, briefly; "" when nothing does."""
    lines = []
    for path in sorted(set(mount) | set(model)):
        a, b = mount.get(path, "missing"), model.get(path, "missing")
        if a == b:
            continue
        def kind(x):
            return x if isinstance(x, str) else "a folder" if x is None else f"{len(x)} bytes"
        where = ""
        if isinstance(a, bytes) and isinstance(b, bytes):
            where = f", first difference at {common_length(a, b)}"
        lines.append(f"  {path}: mount has {kind(a)}, model has {kind(b)}{where}")
    return "\n".join(lines)


def common_length(a, b):
    """How many bytes two byte strings share from their start."""
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def written(old, offset, data):
    """A file's bytes after writing `data` at `offset`."""
    grown = old.ljust(offset, b"\0")
    return grown[:offset] + data + grown[offset + len(data):]


# --- The mount process ---

def mounted(point):
    with open("/proc/self/mountinfo") as info:
        return any(line.split()[4] == point for line in info)


def process_state(pid):
    """A process's state letter (Z for one that ended), and where it waits."""
    try:
        with open(f"/proc/{pid}/stat") as status, open(f"/proc/{pid}/wchan") as where:
            return status.read().rsplit(")", 1)[1].split()[0] + " in " + where.read()
    except OSError:
        return "gone"


def alive(pid):
    return process_state(pid)[0] not in "Zg"


def wait_for(condition, what, seconds=60):
    """Waits until condition() holds; `what` (or what() says) what was awaited.
    A minute: on a busy machine a process may take seconds to end."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, \
            f"timed out waiting for {what() if callable(what) else what}"
        time.sleep(0.005)


class Mount:
    """A writable mount of one archive, started by quorvel mount --write; its
    process is known by the id it notes in the sidecar, and killed by it."""

    def __init__(self, quorvel, archive, point):
        self.quorvel, self.archive, self.point = quorvel, archive, point
        folder, name = os.path.split(archive)
        self.sidecar = os.path.join(folder, f".{name}.quorvel-edits")
        self.pid = None
        self.root = None
        self.killed = threading.Event()

    def start(self):
        run = subprocess.run([self.quorvel, "mount", "--write", self.archive, self.point],
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, f"mount --write: exit {run.returncode}: {run.stderr}"
        before = self.pid
        wait_for(lambda: self.noted_pid() not in (None, before) and alive(self.noted_pid()),
                 "the mount to note its process")
        self.pid = self.noted_pid()
        self.killed.clear()
        self.root = os.open(self.point, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)

    def noted_pid(self):
        try:
            with open(os.path.join(self.sidecar, "mount.pid")) as note:
                return int(note.read())
        except (OSError, ValueError):
            return None

    def kill(self):
        # Only our own mount: its process may have ended and its id gone to another.
        try:
            with open(f"/proc/{self.pid}/cmdline", "rb") as f:
                ours = self.archive.encode() in f.read().split(b"\0")
        except (OSError, TypeError):
            ours = False
        if ours and alive(self.pid):
            os.kill(self.pid, signal.SIGKILL)
            self.killed.set()

    def after_kill(self):
        """Waits for the process to end (killed or saved) and its mount to go."""
        wait_for(lambda: not alive(self.pid),
                 lambda: f"the mount's process {self.pid} to end ({process_state(self.pid)})")
        self.close_root()
        if mounted(self.point):
            subprocess.run(["fusermount3", "-u", "-z", self.point], capture_output=True)
        wait_for(lambda: not mounted(self.point), "the killed mount to be unmounted")

    def close_root(self):
        if self.root is not None:
            os.close(self.root)
            self.root = None

    def save(self):
        self.close_root()
        # Other programs on the machine may look into the mount for a while.
        return subprocess.run([self.quorvel, "umount", "--wait", "60", self.point],
                              capture_output=True, text=True, timeout=120)

    def clean_up(self):
        self.close_root()
        self.kill()
        if mounted(self.point):
            subprocess.run(["fusermount3", "-u", "-z", self.point], capture_output=True)


def step_text(step):
    return "(" + ", ".join(f"{len(x)} bytes" if isinstance(x, bytes) else repr(x)
                           for x in step) + ")"
