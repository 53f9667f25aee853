#!/usr/bin/python3
"""Every writer held to an independent reader of the archive layout.

Seeded random archives, valid and damaged, go through update, update
--drop-unowned-bytes, pack -o over an archive and the save of a mount
--write. The reader below is written from the layout alone and shares no
code with quorvel. After a writer exits 0, every entry line the reader finds
in the old file comes back with its name and bytes unless the command
replaced or removed it; after a refusal the file is byte for byte as it was.
Whatever pack and update wrote, list, test, extract, cat and (now and then)
a read-only mount read back as the reader does; --readback "wine
quorvel64.exe" reads it back through the 64-bit module as well.

usage: writers_diff_test.py QUORVEL [--seed N | --seeds A-B | --soak SECONDS]
                            [--readback COMMAND] [--no-mount] [--verbose]
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

MAGIC = b"FILECMB-DATA-LIST-IN\n"
DIGITS = b"0123456789"


# --- The independent reader: the layout, and nothing of quorvel's ---

def entry_line(line):
    """(name, start, end) of one line without its LF, or None: a name without
    TAB, CR, LF or zero bytes, a TAB, ten digits, one non-digit, ten digits.
    A CR before the LF ends the line with it, as the plug-in reads CR LF."""
    if line.endswith(b"\r"):
        line = line[:-1]
    if len(line) < 22 or line[-22:-21] != b"\t":
        return None
    name, start, gap, end = line[:-22], line[-21:-11], line[-11:-10], line[-10:]
    if any(c in name for c in b"\t\r\n\0") or gap[0] in DIGITS:
        return None
    if not (start.isdigit() and end.isdigit() and start.isascii() and end.isascii()):
        return None
    return name, int(start), int(end)


def read_layout(data):
    """Every entry line of an archive: (position, name, bytes or None where
    they do not lie in the file)."""
    entries = []
    for position, text, whole in directory_lines(data)[:-1]:
        e = entry_line(text) if whole else None
        if e:
            name, start, stop = e
            ok = start <= stop <= len(data)
            entries.append((position, name, data[start:stop] if ok else None))
    return entries


def closing_may_be_entry(data):
    """Whether the line that closes the directory looks like an entry line
    (whole, or cut short of its LF with a TAB in it): no writer may drop it
    unasked."""
    lines = directory_lines(data)
    if not lines or lines[-1] is None:
        return False
    _, text, whole = lines[-1]
    return entry_line(text) is not None if whole else b"\t" in text


def directory_lines(data):
    """(position, text, ends in LF) of each line of the directory, the line
    that closes it last (None where nothing does). The directory runs to the
    first start field of line 1. Where line 1 gives no start field, it runs
    to the first entry's data."""
    if not data.startswith(MAGIC):
        return [None]
    first_lf = data.find(b"\n", len(MAGIC))
    line1 = data[len(MAGIC):first_lf] if first_lf >= 0 else b""
    known = len(line1) >= 21 and line1[-21:-11].isdigit() and line1[-21:-11].isascii()
    end = int(line1[-21:-11]) if known else len(data)
    lines, at = [], len(MAGIC)
    while at < min(end, len(data)):
        lf = data.find(b"\n", at, min(end, len(data)))
        stop = lf if lf >= 0 else min(end, len(data))
        lines.append((at, data[at:stop], lf >= 0))
        at = stop + 1
        if not known:  # the data's first byte ends a directory of unknown size
            found = [e for e in (entry_line(t) for _, t, _ in lines) if e]
            end = min([len(data)] + [s for _, s, _ in found])
    return lines if known and lines else lines + [None]


# --- Names and archives ---

WORDS = ["a", "data", "img_01", "x y", "readme.txt", "ソース", "表示", "能力", "日本語", "ア", "噂"]


def random_path(rng):
    parts = [rng.choice(WORDS) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.1:
        parts[-1] = parts[-1] * rng.randint(10, 25)  # near the 199-byte limit
    return "/".join(parts) + rng.choice(["", ".bin", ".txt"])


def stored(path, encoding, separator="\\"):
    return path.replace("/", separator).encode(encoding)


def listed_utf8(name):
    """A name as auto reads it for UTF-8: one of 199 bytes, the most a
    listing shows, may be a longer name cut inside a character, which is
    then left out."""
    try:
        name.decode("utf-8")
    except UnicodeDecodeError as e:
        if len(name) == 199 and e.reason == "unexpected end of data":
            return name[:e.start]
    return name


def decoding_of(names):
    """The encoding quorvel's auto rule picks: UTF-8 if every name is valid UTF-8."""
    try:
        for n in names:
            listed_utf8(n).decode("utf-8")
        return "utf-8"
    except UnicodeDecodeError:
        return "cp932"


def path_key(name, encoding):
    """A stored name's path, its parts split at / and \\ (None if it does not decode)."""
    try:
        text = name.decode(encoding)
    except UnicodeDecodeError:
        return None
    return "/".join(p for p in text.replace("\\", "/").split("/") if p not in ("", "."))


def extractable(name, encoding):
    """The path extract writes a name to, or None where it refuses the name
    (undecodable, absolute, a control character, a '..' part, or empty) or
    the file system cannot hold it (a part over 255 bytes)."""
    key = path_key(name, encoding)
    text = name.decode(encoding, "replace")
    if not key or not text.isprintable() or text[0] in "/\\" or ".." in key.split("/"):
        return None
    if any(len(part.encode()) > 255 for part in key.split("/")):
        return None
    return key if not (len(key) > 1 and key[1] == ":") else None


def build_archive(rng, entries, closing=b"\n", shuffle=False, share=False, gaps=False):
    """entries: (stored name, bytes). Data in directory order, or shuffled;
    with share, an entry may point at an earlier one's bytes."""
    size = len(MAGIC) + sum(len(n) + 23 for n, _ in entries) + len(closing)
    order = list(range(len(entries)))
    if shuffle:
        rng.shuffle(order)
    ranges, blob = {}, b""
    for i in order:
        name, body = entries[i]
        same = [j for j in ranges if body and body in entries[j][1]] if share else []
        if same:  # the same bytes, or a part of them
            first, _ = ranges[same[0]]
            at = first + entries[same[0]][1].index(body)
            ranges[i] = (at, at + len(body))
            continue
        if gaps and rng.random() < 0.2:
            blob += rng.randbytes(rng.randint(1, 9))  # bytes no entry holds
        ranges[i] = (size + len(blob), size + len(blob) + len(body))
        blob += body
    lines = b"".join(n + b"\t%010d %010d\n" % ranges[i] for i, (n, _) in enumerate(entries))
    return MAGIC + lines + closing + blob


def random_entries(rng, encoding):
    entries, seen = [], set()
    for _ in range(rng.randint(0, 7)):
        path = random_path(rng)
        if path in seen or any(s.startswith(path + "/") or path.startswith(s + "/") for s in seen):
            continue
        seen.add(path)
        if rng.random() < 0.15:  # a folder entry
            entries.append((stored(path, encoding) + b"\\", b""))
            seen.add(path + "/x")
            continue
        body = rng.choice([b"", rng.randbytes(rng.randint(1, 300)), b"same bytes", b"bytes"])
        name = stored(path, encoding, rng.choice("\\\\/"))
        if rng.random() < 0.1:  # a name of 199 or 200 bytes, as stored
            name = (name + b"-" * 200)[:rng.choice([199, 200])]
        entries.append((name, body))
    return entries


def damage(rng, data):
    """One kind of damage: the first line's, a byte, a line end, a cut, junk."""
    kind = rng.randrange(9)
    lf = data.find(b"\n", len(MAGIC))
    if kind == 0 and lf > 22:  # a CR or zero byte in the first name
        return data[:21] + rng.choice([b"\r", b"\0"]) + data[22:]
    if kind == 1:  # an empty line after the magic line
        return data[:21] + b"\n" + data[21:]
    if kind == 2 and lf > 42:  # a digit missing from a field of line 1, or a CR in it
        at = lf - rng.choice([15, 3])
        return data[:at] + rng.choice([b"", b"\r"]) + data[at + 1:]
    if kind == 3 and data:
        at = rng.randrange(len(data))
        return data[:at] + bytes([rng.randrange(256)]) + data[at + 1:]
    if kind == 4 and data:
        at = rng.randrange(len(data))
        return data[:at] + rng.choice([b"\n", b"\r", b"\r\n"]) + data[at:]
    if kind == 5 and data:
        return data[:rng.randrange(len(data))]
    if kind == 6:
        return data + rng.randbytes(rng.randint(1, 40))
    if kind == 7 and data.count(b"\n") > 2:  # no closing line; for an archive of
        # odd length, the last entry line's LF gone too (chosen so, and not
        # drawn, so that each seed draws as it did before)
        if len(data) % 2:  # two bytes more at the end keep every range in the file
            return data.replace(b"\n\n", b"", 1) + b"::"
        return data.replace(b"\n\n", b"\n", 1)
    return data


# --- Running quorvel ---

class Failure(Exception):
    pass


def run(command, *args, cwd):
    """Exit status, standard output and error of a command. They go through
    files, not pipes: a process the command starts (Wine's) may hold a pipe."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command + list(args), cwd=cwd, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL, timeout=900).returncode
        out.seek(0)
        err.seek(0)
        output, error = out.read(), err.read()
    check(b"Sanitizer" not in error and b"runtime error:" not in error,
          f"{args[0]}: {error.decode(errors='replace')}")  # a sanitized build's report
    return code, output, error


def check(condition, what):
    if not condition:
        raise Failure(what)


def check_kept(old_entries, new_data, exempt, what):
    """Every old entry whose name is not in exempt is in the new file with its
    bytes, in the same order; returns the new entries."""
    new = read_layout(new_data)
    new_pairs = [(n, b) for _, n, b in new]
    at = 0
    for _, name, body in old_entries:
        if name in exempt:
            continue
        check(body is not None, f"{what}: exit 0 on an entry whose bytes are not in the file: {name!r}")
        while at < len(new_pairs) and new_pairs[at] != (name, body):
            at += 1
        check(at < len(new_pairs), f"{what}: the entry {name!r} did not come back with its bytes")
        at += 1
    check(all(b is not None for _, _, b in new), f"{what}: wrote an entry outside its file")
    return new


def read_back(t, archive, entries, verbose):
    """list, test, extract, cat and now and then a mount agree with the reader."""
    q, cwd = t.quorvel, t.dir
    encoding = decoding_of([n for _, n, _ in entries])
    keys = [extractable(n, encoding) for _, n, _ in entries]
    code, out, err = run(q, "list", "-l", archive, cwd=cwd)
    check(code == 0, f"list {archive}: exit {code}: {err!r}")
    positions = [int(line.split()[3]) for line in out.splitlines()[2:-2]]
    check(positions == [p for p, _, _ in entries], f"list {archive}: positions {positions}")
    plain = all(keys)
    code, out, err = run(q, "test", archive, cwd=cwd)
    check(code == 0 or not plain, f"test {archive}: exit {code}: {out!r} {err!r}")
    shutil.rmtree(os.path.join(cwd, "out"), ignore_errors=True)
    code, _, err = run(q, "extract", archive, "-C", "out", cwd=cwd)
    check(code == 0 or not plain, f"extract {archive}: exit {code}: {err!r}")
    for (_, name, body), key in zip(entries, keys):
        if key is None:
            continue
        target = os.path.join(cwd, "out", key)
        if body == b"" and name.decode(encoding)[-1:] in "/\\":
            check(os.path.isdir(target), f"extract {archive}: no folder {key}")
        else:
            with open(target, "rb") as f:
                check(f.read() == body, f"extract {archive}: {key} differs")
    files = [(k, b) for (_, n, b), k in zip(entries, keys)
             if k and not any(c in k for c in "*?[") and b
             and not n.endswith((b"/", b"\\"))]
    for key, body in t.rng.sample(files, min(2, len(files))):
        code, out, err = run(q, "cat", archive, "--", key, cwd=cwd)
        check(code == 0 and out == body, f"cat {archive} {key}: exit {code} {err!r}")
    for command in t.readback:
        code, out, err = run(command, "test", archive, cwd=cwd)
        check(code == 0 or not plain, f"{command[-1]} test {archive}: exit {code}: {err!r}")
        plain_files = [(k, b) for k, b in files if k.isascii()]  # as a console passes them
        for key, body in t.rng.sample(plain_files, min(2, len(plain_files))):
            code, out, err = run(command, "cat", archive, "--", key, cwd=cwd)
            check(code == 0 and out == body, f"{command[-1]} cat {archive} {key}: exit {code}")
    if t.rng.random() < 0.2 and t.mount and plain:  # the same draws with and without mounts
        with Mounted(t, archive, False) as folder:
            for key, body in files:
                with open(os.path.join(folder, key), "rb") as f:
                    check(f.read() == body, f"mount {archive}: {key} differs")


class Mounted:
    def __init__(self, t, archive, write):
        self.t, self.archive, self.write = t, archive, write
        self.folder = os.path.join(t.dir, "mnt")

    def __enter__(self):
        os.makedirs(self.folder, exist_ok=True)
        args = ["mount"] + (["--write"] if self.write else []) + [self.archive, self.folder]
        self.code, _, self.err = run(self.t.quorvel, *args, cwd=self.t.dir)
        return self.folder if self.code == 0 else None

    def __exit__(self, *rest):
        if self.code == 0:
            self.saved = run(self.t.quorvel, "umount", self.folder, cwd=self.t.dir)
        subprocess.run(["fusermount3", "-u", "-q", self.folder], stderr=subprocess.DEVNULL)


# --- The writers ---

def new_files(t, encoding, old_keys):
    """A few files to give a writer: some over entries' paths, some new."""
    paths = set()
    for _ in range(t.rng.randint(1, 3)):
        known = [k for k in old_keys if k and k.isprintable()]
        paths.add(t.rng.choice(known) if known and t.rng.random() < 0.4 else random_path(t.rng))
    made = []
    for path in sorted(paths):
        full = os.path.join(t.dir, "in", path)
        try:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(t.rng.randbytes(t.rng.randint(0, 200)))
            made.append(path)
        except OSError:
            pass  # a file where a folder of the same name was made
    return made


def try_writer(t, which, old):
    archive = "a.dat"
    path = os.path.join(t.dir, archive)
    shutil.rmtree(os.path.join(t.dir, "in"), ignore_errors=True)
    os.makedirs(os.path.join(t.dir, "in"))
    with open(path, "wb") as f:
        f.write(old)
    old_entries = read_layout(old)
    encoding = decoding_of([n for _, n, _ in old_entries])
    keys = {n: path_key(n, encoding) for _, n, _ in old_entries}
    files = new_files(t, encoding, keys.values())
    exempt = {n for n, k in keys.items() if k in files}
    if which == "pack":
        archive = t.rng.choice(["a.dat", "a.DAT", "a.bin"])
        path = os.path.join(t.dir, archive)
        with open(path, "wb") as f:
            f.write(old)
        exempt = set(keys)
        # The files as named, through "./", or as the folder "."; read from
        # the folder itself or through -C. A file given twice is refused.
        operands = t.rng.choice([list(files), ["./" + f for f in files], ["."]])
        if files and t.rng.random() < 0.1:
            operands.append(t.rng.choice(files))
        if t.rng.random() < 0.5:
            where, options = t.dir, ["-C", "in", "-o", archive]
        else:
            where, options = os.path.join(t.dir, "in"), ["-o", "../" + archive]
        code, _, err = run(t.quorvel, "pack", "--encoding", "CP932", *options, "--", *operands,
                           cwd=where)
    elif which == "save":
        return try_save(t, old, old_entries, keys, files)
    else:
        flags = ["--drop-unowned-bytes"] if which == "drop" else []
        code, _, err = run(t.quorvel, "update", *flags, "../" + archive, "--", *files,
                           cwd=os.path.join(t.dir, "in"))
    with open(path, "rb") as f:
        now = f.read()
    leftovers = [n for n in os.listdir(t.dir) if "quorvel" in n]
    check(not leftovers, f"{which}: left {leftovers}")
    if t.verbose:
        print(f"  {which}: exit {code} {err.decode(errors='replace').strip()}")
    if code != 0:
        check(now == old, f"{which}: exit {code}, and the file changed")
        return
    check(which == "pack" or not closing_may_be_entry(old),
          f"{which}: exit 0 on an archive whose closing line may be an entry")
    new = check_kept(old_entries, now, exempt, which)
    added = [f for f in files if f not in keys.values()]
    expected = len(files) if which == "pack" else len(old_entries) + len(added)
    check(len(new) == expected, f"{which}: {len(new)} entries written, {expected} expected")
    for name in files:
        with open(os.path.join(t.dir, "in", name), "rb") as f:
            body = f.read()
        found = [b for _, n, b in new if path_key(n, "cp932" if which == "pack" else encoding) == name]
        check(found == [body], f"{which}: {name} is not stored once with its bytes")
    read_back(t, archive, new, t.verbose)


def try_save(t, old, old_entries, keys, files):
    """A writable mount: files written over or deleted, one new file, then the save."""
    if not t.mount:
        return
    path = os.path.join(t.dir, "a.dat")
    mount = Mounted(t, "a.dat", True)
    exempt = set()
    with mount as folder:
        if folder is None:
            with open(path, "rb") as f:
                check(f.read() == old, "mount --write refused, and the file changed")
            return
        shown = sorted(os.path.relpath(os.path.join(r, n), folder)
                       for r, _, ns in os.walk(folder) for n in ns)
        deleted = 0
        for name in t.rng.sample(shown, min(2, len(shown))):
            if list(keys.values()).count(name) != 1:
                continue
            exempt |= {n for n, k in keys.items() if k == name}
            if t.rng.random() < 0.3:
                os.unlink(os.path.join(folder, name))
                deleted += 1
                continue
            with open(os.path.join(folder, name), "wb") as f:
                f.write(b"changed")
        with open(os.path.join(folder, "zz-new.bin"), "wb") as f:
            f.write(b"new")
    code, _, err = mount.saved
    with open(path, "rb") as f:
        now = f.read()
    if t.verbose:
        print(f"  save: exit {code} {err.decode(errors='replace').strip()}")
    if code != 0:
        check(now == old, f"save: exit {code} ({err!r}), and the file changed")
        return
    check(not closing_may_be_entry(old), "save: exit 0 on an archive whose closing line may be an entry")
    new = check_kept(old_entries, now, exempt, "save")
    check(len(new) == len(old_entries) + 1 - deleted, f"save: {len(new)} entries written")
    check((b"zz-new.bin", b"new") in [(n, b) for _, n, b in new], "save: the new file is missing")


class Trial:
    def __init__(self, quorvel, seed, readback, mount, verbose):
        self.quorvel, self.rng, self.readback = quorvel, random.Random(seed), readback
        self.mount, self.verbose = mount, verbose
        self.dir = tempfile.mkdtemp(prefix="axq-writers-")


def trial(quorvel, seed, readback, mount, verbose):
    t = Trial(quorvel, seed, readback, mount, verbose)
    rng = t.rng
    encoding = rng.choice(["cp932", "utf-8"])
    entries = random_entries(rng, encoding)
    old = build_archive(rng, entries, closing=rng.choice([b"\n", b"\n", b"end\n"]),
                        shuffle=rng.random() < 0.3, share=rng.random() < 0.3,
                        gaps=rng.random() < 0.2)
    for _ in range(rng.choice([0, 0, 0, 1, 1, 2, 3])):
        old = damage(rng, old)
    try:
        for which in ["update", "drop", "pack", "save"]:
            if verbose:
                print(f"seed {seed}: {which} on {old[:120]!r}...")
            try_writer(t, which, old)
    finally:
        shutil.rmtree(t.dir, ignore_errors=True)


def main(argv):
    quorvel, seeds, soak, readback, mount, verbose = [argv[1]], list(range(3, 9)), 0, [], True, False
    args = argv[2:]
    while args:
        a = args.pop(0)
        if a == "--seed":
            seeds = [int(args.pop(0))]
        elif a == "--seeds":
            first, last = args.pop(0).split("-")
            seeds = list(range(int(first), int(last) + 1))
        elif a == "--soak":
            soak = float(args.pop(0))
        elif a == "--readback":
            readback = [args.pop(0).split()]
        elif a == "--no-mount":
            mount = False
        elif a == "--verbose":
            verbose = True
        else:
            sys.exit(__doc__)
    quorvel = [os.path.realpath(quorvel[0])]
    readback = [[c if i < len(r) - 1 else os.path.realpath(c) for i, c in enumerate(r)]
                for r in readback]
    if mount and not (os.path.exists("/dev/fuse") and shutil.which("fusermount3")):
        print("skipped: the mount legs (no FUSE here)")
        mount = False
    failed, ran, deadline = [], 0, time.time() + soak
    if soak:
        seeds = iter(lambda: random.randrange(1, 1 << 31), None)
    for seed in seeds:
        if soak and time.time() > deadline:
            break
        ran += 1
        try:
            trial(quorvel, seed, readback, mount, verbose)
        except (Failure, OSError, subprocess.TimeoutExpired) as e:
            failed.append(seed)
            print(f"seed {seed} FAILED: {e}", flush=True)
            again = ([] if mount else ["--no-mount"]) + [f"--readback '{' '.join(r)}'" for r in readback]
            print(f"  replay: /usr/bin/python3 {os.path.relpath(__file__)} {quorvel[0]} "
                  f"--seed {seed} {' '.join(again)} --verbose", flush=True)
    print(f"{ran} seeds, {len(failed)} failed{': ' + ' '.join(map(str, failed)) if failed else ''}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
