#!/usr/bin/python3
# quorvel mount --write against a plain folder: random operation sequences,
# kill -9 of the mount between and during them, and the saved archive's
# entries and order, driven by Hypothesis's stateful testing.
#
# Every step runs on the mount and on a plain folder (the model) alike; their
# results and then their trees (names, types, bytes) must agree. A killed
# mount is unmounted and mounted again with --write, which resumes its
# sidecar: what was answered must be there, the step in flight at the kill
# may be made or not (a write in part), and the archive keeps its bytes until
# a save. A save (now and then, killed during it or not, and always at the
# end) leaves the archive holding the model's files, or as it was after a
# kill, in the order the README gives: entries in their places (a file
# renamed over another takes that one's place), new files after them in the
# order made.
#
# usage: mount_model_test.py QUORVEL                  the fixed seeds, for make test
#        mount_model_test.py QUORVEL --soak SECONDS   random seeds for that long
#        mount_model_test.py QUORVEL --seed N ...     replay seeds (--shrink: the fewest steps)
# Exit 77 when FUSE cannot be used here.
import argparse
import functools
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback

try:
    from hypothesis import HealthCheck, Phase, Verbosity, seed, settings
    from hypothesis import strategies as st
    from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, invariant,
                                     multiple, precondition, rule, run_state_machine_as_test)
except ImportError:
    sys.exit("python3-hypothesis is missing: tools/install-deps installs it")
sys.dont_write_bytecode = True  # nothing written into the source tree
from mount_model_sides import (FLAGS, LOST, Blob, Mount, Side, build_archive, common_length, do,
                               read_archive, read_tree, same_result, shown, step_text,
                               tree_difference, written)

BOUNDED_SEEDS = [2, 3]  # make test's run: about 20 s on an idle machine
BIG_WRITE = 8 << 20  # long enough for a timer to kill the mount in the middle
MAX_FDS = 6


# --- The state machine ---

NAMES = st.sampled_from(["a", "b", "ü"])
# Paths made or used before come back often, so that steps meet each other.
KNOWN = Bundle("known")
NEW_PATHS = st.lists(NAMES, min_size=1, max_size=3).map("/".join)
PATHS = st.one_of(KNOWN, NEW_PATHS)
FOLDERS = st.one_of(st.just(""), PATHS)
SMALL = st.one_of(st.integers(0, 64), st.integers(0, 300_000))
SEEDS = st.integers(0, 1 << 16)
BLOBS = st.builds(Blob, SEEDS, st.one_of(st.integers(0, 64), st.integers(0, 70_000)))
FD_FLAGS = st.sampled_from(sorted(FLAGS))
# Now and then an entry large enough that copying it into the sidecar takes a while.
ENTRY_BLOBS = st.one_of(BLOBS, st.builds(Blob, SEEDS, st.integers(1 << 20, 4 << 20)))


def noted(function):
    """Notes the first failure of a run: if a replay goes another way (a kill
    lands elsewhere), Hypothesis reports only that it is flaky. A run whose
    rule or check failed is not saved at its end."""
    @functools.wraps(function)
    def wrapper(self, *args, **kwargs):
        self.whole = False
        try:
            result = function(self, *args, **kwargs)
        except Exception:
            if not MountModel.failures:
                MountModel.failures.append(traceback.format_exc(limit=-1))
            raise
        self.whole = True
        return result
    return wrapper


def action(function):
    """A rule's body: it mounts first if nothing is mounted yet."""
    @noted
    @functools.wraps(function)
    def wrapper(self, *args, **kwargs):
        MountModel.counts["steps"] += 1
        self.start()
        return function(self, *args, **kwargs)
    return wrapper


class MountModel(RuleBasedStateMachine):
    counts = {"mounts": 0, "steps": 0, "kills": 0, "saves": 0}
    failures = []

    def __init__(self, quorvel):
        super().__init__()
        self.work = tempfile.mkdtemp(prefix="axq-model-")
        archive, point = os.path.join(self.work, "A.dat"), os.path.join(self.work, "m")
        os.mkdir(point)
        os.mkdir(os.path.join(self.work, "model"))
        self.mount = Mount(quorvel, archive, point)
        self.model = Side("model", os.open(os.path.join(self.work, "model"),
                                           os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC))
        self.mnt = None
        self.next_fid = 0
        self.whole = False  # set when a rule or check ends without failing

    # The saved order: self.place[path] for every file of the model; the
    # entries' own places and stored names come first.
    @initialize(target=KNOWN, entries=st.lists(st.tuples(NEW_PATHS, ENTRY_BLOBS), max_size=6),
                separators=st.sampled_from(["\\", "/", "mixed"]))
    def make_archive(self, entries, separators):
        paths, stored = [], []
        for path, blob in entries:
            clash = any(p == path or p.startswith(path + "/") or path.startswith(p + "/")
                        for p in paths)
            if clash:
                continue
            sep = separators if separators != "mixed" else "/\\"[len(paths) % 2]
            paths.append(path)
            stored.append((path.replace("/", sep).encode(), blob.bytes))
            folder = os.path.dirname(path)
            if folder:
                os.makedirs(os.path.join(self.work, "model", folder), exist_ok=True)
            with open(os.path.join(self.work, "model", path), "wb") as f:
                f.write(blob.bytes)
        self.original = build_archive(stored)
        with open(self.mount.archive, "wb") as f:
            f.write(self.original)
        slash = any(b"/" in name for name, _ in stored)
        backslash = any(b"\\" in name for name, _ in stored)
        self.separator = "/" if slash and not backslash else "\\"
        self.entry_paths = paths
        self.entry_names = [name for name, _ in stored]
        self.place = {path: i for i, path in enumerate(paths)}
        self.next_place = len(paths)
        self.whole = True
        folders = {os.path.dirname(p) for p in paths} - {""}
        return multiple("a", *paths, *folders)

    # --- Running steps on both sides ---

    def model_step(self, step):
        """Runs a step on the model and keeps the places of its files."""
        op, *a = step
        before = self.model_kind(a[1]) if op == "open" else None
        if op == "rename":
            source, target = self.model_kind(a[0]), self.model_kind(a[1])
        result = do(self.model, step)
        if result[0] != "ok":
            return result
        if op == "open" and before is None and FLAGS[a[2]] & os.O_CREAT:
            self.place[a[1]] = self.next_place
            self.next_place += 1
        elif op == "unlink":
            self.place.pop(a[0], None)
        elif op == "rename" and a[0] != a[1]:
            if source == "folder":
                for path in [p for p in self.place if p.startswith(a[0] + "/")]:
                    self.place[a[1] + path[len(a[0]):]] = self.place.pop(path)
            else:
                place = self.place.pop(a[0])
                self.place[a[1]] = self.place[a[1]] if target == "file" else place
        return result

    def model_kind(self, path):
        try:
            st_ = os.stat(path, dir_fd=self.model.root, follow_symlinks=False)
        except OSError:
            return None
        return "folder" if stat.S_ISDIR(st_.st_mode) else "file"

    def run(self, steps):
        for step in steps:
            mount, model = do(self.mnt, step), self.model_step(step)
            assert same_result(mount, model), \
                f"{step_text(step)}: the mount gave {shown(mount)}, the model {shown(model)}"

    def fid(self):
        self.next_fid += 1
        return self.next_fid

    def fids(self):
        return sorted(self.model.fds)

    # --- Rules: what programs do to files ---

    def start(self):
        """Mounts at the first rule: a run that makes no step mounts nothing."""
        if self.mnt is None:
            MountModel.counts["mounts"] += 1
            self.mount.start()
            self.mnt = Side("mount", self.mount.root)

    @rule(target=KNOWN, path=PATHS, blob=BLOBS)
    @action
    def write_file(self, path, blob):  # > path
        f = self.fid()
        self.run([("open", f, path, "create-trunc"), ("pwrite", f, 0, blob.bytes), ("close", f)])
        return path

    @rule(path=PATHS, offset=SMALL, blob=BLOBS)
    @action
    def write_at(self, path, offset, blob):  # dd conv=notrunc, also past the end
        f = self.fid()
        self.run([("open", f, path, "w"), ("pwrite", f, offset, blob.bytes), ("close", f)])

    @rule(path=PATHS, blob=BLOBS)
    @action
    def append(self, path, blob):  # >> path
        f = self.fid()
        self.run([("open", f, path, "append"), ("append", f, blob.bytes), ("close", f)])

    @rule(path=PATHS, size=SMALL)
    @action
    def truncate(self, path, size):
        self.run([("truncate", path, size)])

    @rule(target=KNOWN, path=PATHS, to=PATHS)
    @action
    def rename(self, path, to):
        self.run([("rename", path, to)])
        return to

    @rule(target=KNOWN, path=PATHS)
    @action
    def mkdir(self, path):
        self.run([("mkdir", path)])
        return path

    @rule(path=PATHS)
    @action
    def rmdir(self, path):
        self.run([("rmdir", path)])

    @rule(path=PATHS)
    @action
    def unlink(self, path):
        self.run([("unlink", path)])

    @rule(target=KNOWN, path=PATHS, blob=BLOBS)
    @action
    def editor_save(self, path, blob):
        """A new file beside the target, flushed, renamed over it, the folder flushed."""
        folder, name = os.path.split(path)
        temp = os.path.join(folder, f".{name}.swp")
        f = self.fid()
        self.run([("open", f, temp, "create-trunc"), ("pwrite", f, 0, blob.bytes), ("fsync", f),
                  ("close", f), ("rename", temp, path), ("fsyncdir", folder or ".")])
        return path

    @rule(path=PATHS)
    @action
    def fsync_file(self, path):
        f = self.fid()
        self.run([("open", f, path, "r"), ("fsync", f), ("close", f)])

    @rule(folder=FOLDERS)
    @action
    def fsync_folder(self, folder):
        self.run([("fsyncdir", folder or ".")])

    # --- Descriptors kept open across other steps ---

    @precondition(lambda self: len(self.model.fds) < MAX_FDS)
    @rule(target=KNOWN, path=PATHS, flags=FD_FLAGS)
    @action
    def open_fd(self, path, flags):
        self.run([("open", self.fid(), path, flags)])
        return path

    @precondition(lambda self: self.model.fds)
    @rule(which=st.integers(0, MAX_FDS - 1), offset=SMALL, blob=BLOBS)
    @action
    def fd_write(self, which, offset, blob):
        f = self.fids()[which % len(self.fids())]
        self.run([("pwrite", f, offset, blob.bytes)])

    @precondition(lambda self: self.model.fds)
    @rule(which=st.integers(0, MAX_FDS - 1))
    @action
    def fd_read(self, which):
        self.run([("read", self.fids()[which % len(self.fids())])])

    @precondition(lambda self: self.model.fds)
    @rule(which=st.integers(0, MAX_FDS - 1), size=SMALL)
    @action
    def fd_truncate(self, which, size):
        self.run([("ftruncate", self.fids()[which % len(self.fids())], size)])

    @precondition(lambda self: self.model.fds)
    @rule(which=st.integers(0, MAX_FDS - 1))
    @action
    def fd_fsync(self, which):
        self.run([("fsync", self.fids()[which % len(self.fids())])])

    @precondition(lambda self: self.model.fds)
    @rule(which=st.integers(0, MAX_FDS - 1))
    @action
    def fd_close(self, which):
        self.run([("close", self.fids()[which % len(self.fids())])])

    # --- Crashes ---

    @rule()
    @action
    def kill_between(self):
        self.mount.kill()
        self.recover()

    @rule(path=PATHS, offset=SMALL, seed_=SEEDS, delay=st.integers(0, 20))
    @action
    def kill_during_write(self, path, offset, seed_, delay):
        """A timer kills the mount while a file is opened and a large write
        runs (or just after)."""
        f = self.fid()
        self.run_killed([("open", f, path, "create"),
                         ("pwrite", f, offset, Blob(seed_, BIG_WRITE).bytes)], delay)

    @rule(steps=st.lists(st.tuples(st.sampled_from(["write", "create", "rename", "unlink",
                                                     "mkdir", "rmdir", "truncate"]),
                                   PATHS, PATHS, BLOBS), min_size=1, max_size=6),
          delay=st.integers(0, 5))
    @action
    def kill_amid(self, steps, delay):
        """A timer kills the mount amid small changes."""
        expanded = []
        for op, path, other, blob in steps:
            f = self.fid()
            expanded += {
                "write": [("open", f, path, "w"), ("pwrite", f, 0, blob.bytes), ("close", f)],
                "create": [("open", f, path, "create"), ("close", f)],
                "rename": [("rename", path, other)],
                "unlink": [("unlink", path)],
                "mkdir": [("mkdir", path)],
                "rmdir": [("rmdir", path)],
                "truncate": [("truncate", path, blob.length)],
            }[op]
        self.run_killed(expanded, delay)

    def run_killed(self, steps, delay):
        """Runs steps while a timer kills the mount after `delay` ms. Each step
        the mount answered is made on the model too; the one in flight at the
        kill may or may not be made (a write in part), and is settled after
        the resume; none after it runs."""
        timer = threading.Timer(delay / 1000, self.mount.kill)
        timer.start()
        pending = None
        try:
            for step in steps:
                mount = do(self.mnt, step)
                if mount[0] == "error" and (mount[1] in LOST or
                                            mount[1] == "EIO" and self.mount.killed.is_set()):
                    pending = step
                    break
                if step[0] == "pwrite" and mount[0] == "ok" and mount[1] < len(step[3]):
                    # Cut short by the kill: the rest may be written in part.
                    done = mount[1]
                    self.model_step(("pwrite", step[1], step[2], step[3][:done]))
                    pending = ("pwrite", step[1], step[2] + done, step[3][done:])
                    break
                model = self.model_step(step)
                assert same_result(mount, model), \
                    f"{step_text(step)}: the mount gave {shown(mount)}, the model {shown(model)}"
        finally:
            timer.join()
        self.recover(pending)

    def recover(self, pending=None):
        """After a kill: unmount, check the archive, mount again, and find the
        model's tree there, with the step in flight made or not."""
        MountModel.counts["kills"] += 1
        self.mount.after_kill()
        for fd in self.mnt.fds.values():
            try:
                os.close(fd)
            except OSError:
                pass
        self.mnt.fds.clear()
        self.check_archive_unchanged()
        self.mount.start()
        self.mnt = Side("mount", self.mount.root)
        got = read_tree(self.mnt.root)
        if pending is not None:
            self.settle(pending, got)
        for fd in self.model.fds.values():
            os.close(fd)
        self.model.fds.clear()
        difference = tree_difference(got, read_tree(self.model.root))
        assert not difference, f"after the kill and the resume:\n{difference}"

    def settle(self, step, got):
        """Makes the step in flight at a kill on the model if the mount shows it made."""
        if step[0] == "pwrite":
            fid, offset, data = step[1:]
            fd = self.model.fds.get(fid)
            if fd is None:
                return
            target = os.readlink(f"/proc/self/fd/{fd}")
            base = os.readlink(f"/proc/self/fd/{self.model.root}")
            path = os.path.relpath(target, base)
            now = got.get(path)
            if target.endswith(" (deleted)") or not isinstance(now, bytes):
                return
            with open(target, "rb") as f:  # fd may be open for writing only
                old = f.read()
            for done in (len(now) - offset, common_length(now[offset:], data)):
                if 0 <= done <= len(data) and written(old, offset, data[:done]) == now:
                    os.pwrite(fd, data[:done], offset)
                    return
        elif tree_difference(got, read_tree(self.model.root)):
            self.model_step(step)
            if step[0] == "open":
                self.model_step(("close", step[1]))

    # --- Checks ---

    def check_archive_unchanged(self):
        with open(self.mount.archive, "rb") as f:
            assert f.read() == self.original, "the archive changed before a clean save"

    @invariant()
    @noted
    def same_trees(self):
        if self.mnt is None:
            return
        difference = tree_difference(read_tree(self.mnt.root), read_tree(self.model.root))
        assert not difference, f"the trees differ:\n{difference}"
        self.check_archive_unchanged()

    def expected_entries(self):
        """The model's files as the save stores them, in order."""
        entries = []
        for path, place in sorted(self.place.items(), key=lambda item: item[1]):
            if place < len(self.entry_paths) and self.entry_paths[place] == path:
                name = self.entry_names[place]
            else:
                name = path.replace("/", self.separator).encode()
            with open(os.path.join(self.work, "model", path), "rb") as f:
                entries.append((name, f.read()))
        return entries

    def teardown(self):
        try:
            if self.mnt is not None and self.whole:
                self.save_and_compare()
        finally:
            self.mount.clean_up()
            for side in (self.mnt, self.model):
                for fd in (side.fds.values() if side else []):
                    try:
                        os.close(fd)
                    except OSError:
                        pass
            os.close(self.model.root)
            shutil.rmtree(self.work, ignore_errors=True)

    def save_and_compare(self, kill_delay=None):
        """Saves with quorvel umount, and compares the archive with the model.
        With kill_delay, a timer kills the mount that many ms into the save:
        the archive is then either as it was or the whole new one."""
        for fid in self.fids():
            self.run([("close", fid)])
        timer = None if kill_delay is None else threading.Timer(kill_delay / 1000, self.mount.kill)
        if timer:
            timer.start()
        saved = self.mount.save()
        if timer:
            timer.join()
        try:
            self.mount.after_kill()
        except AssertionError as e:
            raise AssertionError(f"{e}, after umount's exit {saved.returncode}: "
                                 f"{saved.stderr.strip()}") from None
        self.mnt = None
        MountModel.counts["saves"] += 1
        with open(self.mount.archive, "rb") as f:
            raw = f.read()
        if timer and raw == self.original and saved.returncode != 0:
            return  # killed before its rename: the edits wait in the sidecar
        assert saved.returncode == 0 or timer, f"umount: exit {saved.returncode}: {saved.stderr}"
        got, want = read_archive(raw), self.expected_entries()
        if got != want:
            raise AssertionError(
                "the saved archive differs from the model:\n"
                f"  saved: {[(n.decode(errors='replace'), len(d)) for n, d in got]}\n"
                f"  model: {[(n.decode(errors='replace'), len(d)) for n, d in want]}")
        if not timer:
            for folder, _, _, fd in os.fwalk(".", dir_fd=self.model.root):
                if folder != "." and not any(p.startswith(folder[2:] + "/") for p in self.place):
                    assert f"{folder[2:]}: an empty folder is not stored" in saved.stderr, \
                        f"umount did not name the empty folder {folder[2:]}: {saved.stderr}"
            left = [n for n in os.listdir(self.work) if n not in ("A.dat", "m", "model")]
            assert not left, f"the save left {left} beside the archive"
        # The saved archive is the one the next mount starts from.
        self.drop_empty_folders()
        self.original = raw
        self.entry_names = [name for name, _ in got]
        self.entry_paths = [name.decode().replace("\\", "/") for name in self.entry_names]
        self.place = {path: i for i, path in enumerate(self.entry_paths)}
        self.next_place = len(self.entry_paths)
        slash = any(b"/" in name for name in self.entry_names)
        backslash = any(b"\\" in name for name in self.entry_names)
        self.separator = "/" if slash and not backslash else "\\"

    @rule()
    @action
    def save_and_mount_again(self):
        self.save_and_mount_again_killed(None)

    @rule(delay=st.integers(0, 30))
    @action
    def kill_during_save(self, delay):
        self.save_and_mount_again_killed(delay)

    def save_and_mount_again_killed(self, kill_delay):
        """A save, killed during it or not, and a mount --write after it: the
        model's tree either way, nothing left beside the archive."""
        self.save_and_compare(kill_delay)
        self.start()
        left = [n for n in os.listdir(self.work)
                if n not in ("A.dat", "m", "model", ".A.dat.quorvel-edits")]
        assert not left, f"a save and a mount left {left} beside the archive"
        difference = tree_difference(read_tree(self.mnt.root), read_tree(self.model.root))
        if difference and kill_delay is not None and \
                self.expected_entries() == read_archive(self.original):
            # With nothing to write, a save killed as it removed the edits
            # may have removed them all: then the empty folders are gone.
            self.drop_empty_folders()
            difference = tree_difference(read_tree(self.mnt.root), read_tree(self.model.root))
        assert not difference, f"after the save and a new mount:\n{difference}"

    def drop_empty_folders(self):
        """Removes the model's empty folders, which no archive holds."""
        for folder, _, _, _ in os.fwalk(".", topdown=False, dir_fd=self.model.root):
            if folder != ".":
                try:
                    os.rmdir(folder[2:], dir_fd=self.model.root)
                except OSError:
                    pass


# --- Runs ---

def run_seed(quorvel, number, steps, examples, shrink, verbose=False):
    def factory():
        return MountModel(quorvel)
    phases = [Phase.explicit, Phase.generate] + ([Phase.shrink] if shrink else [])
    seed(number)(factory)
    run_state_machine_as_test(factory, settings=settings(
        max_examples=examples, stateful_step_count=steps, deadline=None, database=None,
        phases=phases, suppress_health_check=list(HealthCheck), report_multiple_bugs=False,
        verbosity=Verbosity.debug if verbose else Verbosity.normal))


def fuse_usable(quorvel):
    """Whether a mount can be made here at all; why not, otherwise."""
    if not os.path.exists("/dev/fuse") or shutil.which("fusermount3") is None:
        return "no /dev/fuse or no fusermount3 here"
    work = tempfile.mkdtemp(prefix="axq-model-")
    try:
        archive, point = os.path.join(work, "probe.dat"), os.path.join(work, "m")
        os.mkdir(point)
        with open(archive, "wb") as f:
            f.write(build_archive([(b"probe", b"x")]))
        run = subprocess.run([quorvel, "mount", archive, point], capture_output=True, text=True)
        if run.returncode != 0 and "cannot mount here" in run.stderr:
            return "FUSE mounts are not allowed here: " + run.stderr.strip()
        subprocess.run([quorvel, "umount", "--wait", "60", point], capture_output=True)
        return ""
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    # A stopped run (a test's time limit) still unmounts and removes what it made.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(
        description="quorvel mount --write against a plain folder, with kill -9")
    parser.add_argument("quorvel")
    parser.add_argument("--seed", type=int, action="append", default=[], help="run this seed")
    parser.add_argument("--soak", type=float, metavar="SECONDS", help="random seeds for so long")
    parser.add_argument("--steps", type=int, default=40, help="steps of a run (40)")
    parser.add_argument("--examples", type=int, default=20,
                        help="runs per seed (20); Hypothesis's first ones are short")
    parser.add_argument("--verbose", action="store_true", help="print every step")
    parser.add_argument("--shrink", action="store_true",
                        help="shrink a replayed failure (minutes: each try mounts and saves)")
    options = parser.parse_args()
    quorvel = os.path.realpath(options.quorvel)
    why = fuse_usable(quorvel)
    if why:
        print(f"skipped: {why}")
        return 77
    if options.soak is not None:
        deadline = time.monotonic() + options.soak
        seeds = iter(lambda: random.getrandbits(32), None)
    else:
        deadline = None
        seeds = iter(options.seed or BOUNDED_SEEDS)
    failed, ran = [], 0
    for number in seeds:
        if deadline is not None and time.monotonic() >= deadline:
            break
        ran += 1
        began = time.monotonic()
        MountModel.counts = dict.fromkeys(MountModel.counts, 0)
        MountModel.failures = []
        try:
            run_seed(quorvel, number, options.steps, options.examples,
                     shrink=options.shrink, verbose=options.verbose)
            counts = ", ".join(f"{n} {what}" for what, n in MountModel.counts.items())
            print(f"seed {number}: passed: {counts} ({time.monotonic() - began:.1f} s)", flush=True)
        except Exception as e:  # any failure, Hypothesis's own included, fails the seed
            # Hypothesis adds the failing steps to the exception as notes.
            steps = "\n".join(getattr(e, "__notes__", []))
            print(f"seed {number}: FAILED: {type(e).__name__}: {e}\n{steps}", flush=True)
            if MountModel.failures and str(e) not in MountModel.failures[0]:
                print(f"its first failure:\n{MountModel.failures[0]}", flush=True)
            failed.append(number)
    print(f"{ran} seeds, {len(failed)} failed")
    if failed:
        command = " ".join(["/usr/bin/python3", sys.argv[0], options.quorvel,
                            f"--steps {options.steps} --examples {options.examples}"]
                           + [f"--seed {n}" for n in failed])
        print(f"failed seeds: {' '.join(map(str, failed))}\nreplay: {command}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
