"""One table of scenarios run through the quorvel command, the Python module and quorvel mount, which must answer alike."""
# Each scenario is one row. The front ends run it and must agree on the
# kind of answer (an exit status on one side, a return value or an exception
# class on the other, never a message's text) and on what is on disk after.
# The mount (section 7) runs the rows of lookups, extraction, random archives
# and admitted names, and is skipped, saying why, where FUSE cannot be used.
# Archives are made and read back by the independent helpers of
# mount_model_sides and writers_diff_test, which share no code with quorvel.
import contextlib
import errno
import fcntl
import json
import os
import random
import shutil
import stat
import subprocess
import sys
import time
from collections import namedtuple

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from mount_model_sides import (MAGIC, build_archive, mounted, read_archive, read_tree,  # noqa: E402
                               tree_difference)
import writers_diff_test as layout  # noqa: E402  (its random archives, damage and reader)

import quorvel  # noqa: E402

# Absolute, since some commands run in a folder of their own.
QUORVEL = os.path.abspath(os.environ.get(
    "QUORVEL", os.path.join(os.path.dirname(HERE), "build", "native", "quorvel")))
SEEDS = int(os.environ.get("FRONTENDS_SEEDS", "8"))

# Verdicts are the exit statuses of `quorvel test`; the module's answers are
# mapped onto them (module_verdict).
SOUND, DAMAGED, UNREADABLE = 0, 1, 3
# What a writer does with a set of names; CLASH is a refusal that the module
# must give at the writestr() that causes it, not only at close().
ACCEPT, REFUSE, CLASH = "accept", "refuse", "clash"


def cli(*args, cwd=None):
    return subprocess.run([QUORVEL, *map(str, args)], cwd=cwd, capture_output=True, timeout=60,
                          stdin=subprocess.DEVNULL,
                          env=dict(os.environ, LANGUAGE="en", LC_ALL="C.UTF-8"))


def sj(text):
    """A name as an archive made on Japanese Windows stores it."""
    return text.encode("cp932")


def arc(*entries):
    return build_archive(list(entries))


def retarget(raw, index, start, end):
    """The archive with the index-th directory line's two numbers replaced."""
    at = len(MAGIC)
    for _ in range(index):
        at = raw.index(b"\n", at) + 1
    lf = raw.index(b"\n", at)
    return raw[:lf - 21] + b"%010d %010d" % (start, end) + raw[lf:]


def tree(folder):
    """Every folder (None) and file (its bytes) below a folder."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        return read_tree(fd)
    finally:
        os.close(fd)


def snapshot(folder):
    """Everything in a folder as what it is: a link and where it leads, a
    folder, a FIFO, or a file and its bytes."""
    seen = {}
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(root, name)
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                what = ("link", os.readlink(path))
            elif stat.S_ISDIR(mode):
                what = ("folder",)
            elif stat.S_ISFIFO(mode):
                what = ("fifo",)
            else:
                with open(path, "rb") as f:
                    what = ("file", f.read())
            seen[os.path.relpath(path, folder)] = what
    return seen


def model_tree(entries):
    """The tree extraction must give, worked out from the stored names alone:
    refused names left out, folder entries as folders, other entries as files."""
    encoding = layout.decoding_of([name for name, _ in entries])
    expected = {}
    for name, data in entries:
        key = layout.extractable(name, encoding)
        if key is None:
            continue
        parts = key.split("/")
        for i in range(1, len(parts)):
            expected["/".join(parts[:i])] = None
        folder = data == b"" and name.decode(encoding)[-1:] in ("/", "\\")
        expected[key] = None if folder else data
    return expected


# --- The module's side, in the command's terms ---

def module_verdict(path):
    """(verdict, what happened): an archive that does not open could not be
    read; testarchive() returning a name or raising BadArchive is damage."""
    try:
        archive = quorvel.Archive(path)
    except (quorvel.Error, OSError) as e:
        return UNREADABLE, e
    with archive:
        try:
            bad = archive.testarchive()
        except quorvel.BadArchive as e:
            return DAMAGED, e
    return (SOUND, "testarchive() gave None") if bad is None else (DAMAGED, f"testarchive() gave {bad!r}")


def module_write(path, items, encoding="auto"):
    """Writes (name, bytes) items in mode "w": ("accepted", None) or
    ("refused", exception, the call that raised it)."""
    call = "Archive()"
    try:
        with quorvel.Archive(path, "w", encoding=encoding) as a:
            for name, data in items:
                call = f"writestr({name!r})"
                a.writestr(name, data)
            call = "close()"
    except Exception as e:  # noqa: BLE001  (the class is what the caller compares)
        return ("refused", e, call)
    return ("accepted", None)


def listing_agrees(path):
    """`list --json` and infolist() give the same names, sizes and positions."""
    listed = cli("list", "--json", path)
    try:
        with quorvel.Archive(path) as a:
            infos = [(i.name, i.size, i.position) for i in a.infolist()]
    except (quorvel.Error, OSError):
        infos = None
    if listed.returncode != 0 or infos is None:
        assert (listed.returncode == 0) == (infos is not None), \
            f"list exits {listed.returncode}, the module lists {infos}"
        return
    shown = [json.loads(line) for line in listed.stdout.splitlines()]
    assert [(e["name"], e["size"], e["position"]) for e in shown] == infos


# --- 1. The verdict of test ---

Verdict = namedtuple("Verdict", "id make expect error", defaults=(None,))


def holding(raw, name="A.dat"):
    """A maker that writes raw under name beside the planned archive."""
    def make(path):
        path = os.path.join(os.path.dirname(path), name)
        with open(path, "wb") as f:
            f.write(raw)
        return path
    return make


AB = arc((b"a", b"xxxx"), (b"b", b"yy"))
DATA = len(AB) - 6  # where a's bytes start


def out_of_order():
    """Data out of directory order, every byte owned once: b holds the last
    two bytes and c the three before them."""
    raw = arc((b"a", b"1"), (b"b", b"333"), (b"c", b"22"))
    start = len(raw) - 6
    return retarget(retarget(raw, 1, start + 4, start + 6), 2, start + 1, start + 4)


def empty_past_end():
    raw = arc((b"a", b"xx"), (b"e", b""))
    return retarget(raw, 1, len(raw) + 5, len(raw) + 5)


VERDICTS = [
    Verdict("empty", arc(), SOUND),
    Verdict("magic line only", MAGIC, SOUND),
    Verdict("one entry", arc((b"a\\b.txt", b"hello")), SOUND),
    Verdict("an empty entry", arc((b"e", b""), (b"f", b"x")), SOUND),
    Verdict("cp932 second bytes 5C", arc((sj("ソ"), b"1"), (sj("表\\能.txt"), b"2"),
                                        (sj("能力\\ソ\\表"), b"3")), SOUND),
    Verdict("folder entry first", arc((b"d\\", b""), (b"d\\f.txt", b"x")), SOUND),
    Verdict("folder entry last", arc((b"d/f.txt", b"x"), (b"d/", b"")), SOUND),
    Verdict("cp932 folder entry", arc((sj("ソ\\"), b""), (sj("ソ\\表.txt"), b"x")), SOUND),
    # An entry that has bytes is a file, whatever its name ends in.
    Verdict("a folder's name with bytes", arc((b"d\\", b"x")), SOUND),
    Verdict("data out of directory order", out_of_order(), SOUND),
    Verdict("a closing line with text",
            layout.build_archive(random.Random(0), [(b"a", b"1")], closing=b"end\n"), SOUND),
    # test checks that names decode; a control character is extract's concern.
    Verdict("a control character in a name", arc((b"a\x01b", b"x")), SOUND),
    Verdict("overlapping entries", retarget(AB, 1, DATA + 2, DATA + 6), DAMAGED),
    Verdict("an entry inside another",
            layout.build_archive(random.Random(0), [(b"a", b"xxxx"), (b"b", b"xx")], share=True), DAMAGED),
    Verdict("bytes that start inside the directory", retarget(AB, 0, len(MAGIC) + 4, DATA + 4), DAMAGED),
    Verdict("an end below the start", retarget(AB, 1, DATA + 6, DATA + 4), DAMAGED),
    Verdict("an empty entry past the end", empty_past_end(), DAMAGED),
    Verdict("a name stored twice", arc((b"x", b"1"), (b"x", b"2")), DAMAGED),
    Verdict("a path stored with either separator", arc((b"a\\b", b"1"), (b"a/b", b"2")), DAMAGED),
    Verdict("d a file, then a folder", arc((b"d", b"1"), (b"d\\b.txt", b"2")), DAMAGED),
    Verdict("d a folder, then a file", arc((b"d/b.txt", b"2"), (b"d", b"1")), DAMAGED),
    Verdict("a file beside its own folder entry", arc((b"d", b"1"), (b"d\\", b"")), DAMAGED),
    Verdict("a folder's name with bytes over a file", arc((b"d\\", b"x"), (b"d\\f", b"y")), DAMAGED),
    Verdict("cp932 file and folder", arc((sj("ソ"), b"1"), (sj("ソ\\x"), b"2")), DAMAGED),
    Verdict("cut inside its directory", AB[:30], DAMAGED),
    Verdict("truncated data", AB[:-1], DAMAGED),
    Verdict("bytes past the last entry", AB + b"junk", DAMAGED),
    Verdict("no closing line", AB.replace(b"\n\n", b"\n", 1), DAMAGED),
    Verdict("an empty line after the magic", AB[:len(MAGIC)] + b"\n" + AB[len(MAGIC):], DAMAGED),
    Verdict("a CR in a name", arc((b"a\rb", b"x")), DAMAGED),
    Verdict("an undecodable name", arc((b"a\x83", b"x")), DAMAGED),
    Verdict("a name over 199 bytes", arc((b"x" * 200, b"x")), DAMAGED),
    Verdict("a first line past byte 256", arc((b"x" * 214, b"x")), DAMAGED),
    Verdict("not an archive", b"hello\n", UNREADABLE, quorvel.BadArchive),
    Verdict("an empty file", b"", UNREADABLE, quorvel.BadArchive),
    Verdict("the magic without its LF", MAGIC[:-1], UNREADABLE, quorvel.BadArchive),
    Verdict("an archive not named .dat", holding(AB, "A.bin"), UNREADABLE, quorvel.BadArchive),
    Verdict("missing", lambda path: path, UNREADABLE, FileNotFoundError),
    Verdict("a folder", lambda path: os.mkdir(path) or path, UNREADABLE, IsADirectoryError),
    Verdict("a FIFO", lambda path: os.mkfifo(path) or path, UNREADABLE, (quorvel.BadArchive, OSError)),
]


@pytest.mark.parametrize("row", VERDICTS, ids=[r.id for r in VERDICTS])
def test_verdict(tmp_path, row):
    path = str(tmp_path / "A.dat")
    path = holding(row.make)(path) if isinstance(row.make, bytes) else row.make(path)
    command = cli("test", path).returncode
    verdict, what = module_verdict(path)
    assert {"quorvel test": command, "module": verdict} == \
        {"quorvel test": row.expect, "module": row.expect}, f"module: {what!r}"
    if row.error:
        assert isinstance(what, row.error), f"the module raised {what!r}"
    if row.expect != UNREADABLE:
        listing_agrees(path)


# --- 2. Names looked up ---

LOOKUP_ARCHIVES = {
    "cp932": [(b"a\\b.txt", b"1"), (b"c/d.txt", b"2"), (sj("ソ"), b"3"), (sj("表\\能.txt"), b"4"),
              (sj("能力\\ソ.txt"), b"5"), (b"d\\", b""), (b"d\\f", b"6")],
    "utf-8": [("dir\\ü.txt".encode(), b"7"), ("ソ\\x".encode(), b"8")],
    "long": [(b"y" * 200, b"9")],  # damaged (the listing cuts the name), but readable
}
Lookup = namedtuple("Lookup", "id archive query stored")  # stored: the name found, or None

LOOKUPS = [
    Lookup("the stored form", "cp932", "a\\b.txt", b"a\\b.txt"),
    Lookup("/ finds \\", "cp932", "a/b.txt", b"a\\b.txt"),
    Lookup("\\ finds /", "cp932", "c\\d.txt", b"c/d.txt"),
    Lookup("/ finds /", "cp932", "c/d.txt", b"c/d.txt"),
    Lookup("a second byte 5C alone", "cp932", "ソ", sj("ソ")),
    Lookup("second bytes 5C with \\", "cp932", "表\\能.txt", sj("表\\能.txt")),
    Lookup("second bytes 5C with /", "cp932", "表/能.txt", sj("表\\能.txt")),
    Lookup("a second byte 5C before /", "cp932", "能力/ソ.txt", sj("能力\\ソ.txt")),
    Lookup("a folder entry with /", "cp932", "d/", b"d\\"),
    Lookup("a file below a folder entry", "cp932", "d/f", b"d\\f"),
    Lookup("a folder entry without its separator", "cp932", "d", None),
    Lookup("a separator after a second byte 5C", "cp932", "ソ/", None),
    Lookup("another case", "cp932", "A/b.txt", None),
    Lookup("a doubled separator", "cp932", "a//b.txt", None),
    Lookup("missing", "cp932", "nope.txt", None),
    Lookup("utf-8 with /", "utf-8", "dir/ü.txt", "dir\\ü.txt".encode()),
    Lookup("utf-8 katakana then /", "utf-8", "ソ/x", "ソ\\x".encode()),
    Lookup("a name over 199 bytes, whole", "long", "y" * 200, b"y" * 200),
    Lookup("a name over 199 bytes, as listed", "long", "y" * 199, b"y" * 200),
]


@pytest.mark.parametrize("row", LOOKUPS, ids=[r.id for r in LOOKUPS])
def test_lookup(tmp_path, row):
    entries = LOOKUP_ARCHIVES[row.archive]
    raw = build_archive(entries)
    path = str(tmp_path / "A.dat")
    with open(path, "wb") as f:
        f.write(raw)
    data = dict(entries).get(row.stored)
    # The entry is known by where its line is, as the independent reader finds it.
    position = {name: at for at, name, _ in layout.read_layout(raw)}.get(row.stored)
    command = cli("cat", "--", path, row.query)
    if row.stored is None:
        assert command.returncode == 1, f"cat found {command.stdout!r}"
    else:
        assert (command.returncode, command.stdout) == (0, data)
    answers = []
    with quorvel.Archive(path) as a:
        for call in (lambda: a.read(row.query), lambda: a.getinfo(row.query).position,
                     lambda: a.open(row.query).read()):
            try:
                answers.append(call())
            except KeyError:
                answers.append(KeyError)
    expected = [KeyError] * 3 if row.stored is None else [data, position, data]
    assert answers == expected, "the module's read(), getinfo().position, open().read()"


# --- 3. Names a writer admits ---

Admission = namedtuple("Admission", "id names expect encoding operands module",
                       defaults=("auto", None, None))
# operands: what pack is given in place of the names themselves ("{outside}"
# is a file outside the folder pack reads from, a str is a -T list); module:
# the module's own answer where its documented behaviour differs from pack's.

HIRAGANA_199 = "あ" * 50 + "/" + "い" * 49  # 199 bytes in CP932, 299 in UTF-8

ADMISSIONS = [
    Admission("plain", ["a.txt"], ACCEPT),
    Admission("in a folder", ["d/b.txt", "e.txt"], ACCEPT),
    Admission("cp932 second bytes 5C", ["ソ/表.txt", "能力"], ACCEPT, "cp932"),
    Admission("199 bytes", ["x" * 199], ACCEPT),
    Admission("200 bytes", ["x" * 200], REFUSE),
    Admission("199 bytes across folders", ["x" * 99 + "/" + "y" * 99], ACCEPT),
    Admission("200 bytes across folders", ["x" * 99 + "/" + "y" * 100], REFUSE),
    Admission("199 bytes in cp932", [HIRAGANA_199], ACCEPT, "cp932"),
    Admission("the same name in utf-8", [HIRAGANA_199], REFUSE),
    Admission("a C0 control", ["a\x01b"], REFUSE),
    Admission("DEL", ["a\x7fb"], REFUSE),
    Admission("a C1 control NEL", ["a\x85b"], REFUSE),
    Admission("a C1 control CSI", ["a\x9bb"], REFUSE),
    Admission("TAB", ["a\tb"], REFUSE),
    Admission("CR", ["a\rb"], REFUSE),
    Admission("LF", ["a\nb"], REFUSE),
    Admission("a .. component", ["../outside.txt"], REFUSE),
    Admission("absolute", ["/outside.txt"], REFUSE, operands=["{outside}"]),
    Admission("empty", [""], REFUSE),
    Admission("an emoji in cp932", ["😀.txt"], REFUSE, "cp932"),
    Admission("an emoji in utf-8", ["😀.txt"], ACCEPT),
    Admission("é in cp932", ["é.txt"], REFUSE, "cp932"),
    Admission("a folder entry and its file", ["d/", "d/b.txt"], ACCEPT, operands="d/\nd/b.txt\n"),
    Admission("x beside ./x", ["x", "./x"], CLASH),
    # ./x is stored as x, as pack stores it: x written after it is the same
    # name written twice, which the module takes as a replacement (below).
    Admission("./x beside x", ["./x", "x"], CLASH, module=ACCEPT),
    # A disk cannot hold a file d beside a folder d: pack is given the folder
    # and a file in it, which would store d/b.txt twice.
    Admission("d beside d/b.txt", ["d", "d/b.txt"], CLASH),
    Admission("d/b.txt beside d", ["d/b.txt", "d"], CLASH, operands=["d/b.txt", "d"]),
    # writestr() of a name already written replaces that entry in its place,
    # as in mode "a" (documented, and what a translator's loop relies on);
    # pack has no later version to prefer and refuses the second.
    Admission("the same name twice", ["x", "x"], REFUSE, module=ACCEPT),
]


def make_inputs(folder, names, datas):
    """The files pack reads: deepest first, so that a name that is also a
    folder finds the folder; names that cannot be files are left to fail."""
    for name, data in sorted(zip(names, datas), key=lambda nd: -nd[0].count("/")):
        if not name or name.startswith("/") or ".." in name.split("/"):
            continue
        path = os.path.join(folder, name)
        if os.path.lexists(path):
            continue
        if name.endswith("/"):
            os.makedirs(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


@pytest.mark.parametrize("row", ADMISSIONS, ids=[r.id for r in ADMISSIONS])
def test_names_admitted(tmp_path, row):
    datas = [b"" if n.endswith("/") else b"data %d" % i for i, n in enumerate(row.names)]
    inputs, outside = tmp_path / "in", tmp_path / "outside.txt"
    inputs.mkdir()
    outside.write_bytes(b"outside")
    make_inputs(str(inputs), row.names, datas)
    # pack stores / between folders here, as the module stores the names it is given.
    options = ["--separator", "/", "-o", "../X.dat"]
    if row.encoding != "auto":
        options += ["--encoding", row.encoding]
    if isinstance(row.operands, str):
        (tmp_path / "list.txt").write_text(row.operands)
        options += ["-T", "../list.txt"]
        operands = []
    else:
        operands = [o.replace("{outside}", str(outside)) for o in (row.operands or row.names)]
    before = snapshot(tmp_path)
    command = cli("pack", *options, "--", *operands, cwd=inputs)
    module = module_write(str(tmp_path / "M.dat"), list(zip(row.names, datas)), row.encoding)

    # A refusal leaves nothing behind, neither the archive nor a temporary file.
    made = {n: v for n, v in snapshot(tmp_path).items() if n not in before}
    cli_expect = ACCEPT if row.expect == ACCEPT else REFUSE
    module_expect = row.module or row.expect
    if ACCEPT in (cli_expect, module_expect):
        codec = "utf-8" if row.encoding == "auto" else row.encoding
        expected = {}
        for name, data in zip(row.names, datas):
            # Stored as pack stores a path: no empty or "." parts.
            stored = "/".join(p for p in name.split("/") if p not in ("", "."))
            stored += "/" if name.endswith("/") else ""
            expected[stored.encode(codec)] = data  # a name written again replaces the first
        expected = sorted(expected.items())

    if cli_expect == ACCEPT:
        assert command.returncode == 0, command.stderr.decode(errors="replace")
        assert sorted(read_archive(made.pop("X.dat")[1])) == expected
    else:
        assert command.returncode == 3, f"pack exits {command.returncode}"
    if module_expect == ACCEPT:
        assert module[0] == "accepted", f"the module refused: {module[1:]!r}"
        assert sorted(read_archive(made.pop("M.dat")[1])) == expected
    else:
        assert module[0] == "refused" and isinstance(module[1], ValueError), f"the module: {module!r}"
        if module_expect == CLASH:
            assert module[2] == f"writestr({row.names[-1]!r})", f"refused at {module[2]}, not at once"
    assert made == {}, f"left behind: {sorted(made)}"


# --- 4. Write targets ---

Target = namedtuple("Target", "id setup expect error", defaults=((quorvel.Error, OSError, ValueError),))
OLD = arc((b"old", b"kept"))


def put(folder, name, raw=OLD):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(raw)
    return name


def link(folder, name, to, raw=None):
    if raw is not None:
        put(folder, to, raw)
    os.symlink(to, os.path.join(folder, name))
    return name


def locked(folder, keep):
    """An archive whose lock a writable mount or an update holds."""
    held = open(os.path.join(folder, put(folder, "K.dat")), "rb")
    fcntl.flock(held, fcntl.LOCK_EX)
    keep.append(held)
    return "K.dat"


def with_edits(folder):
    """An archive with a writable mount's unsaved edits in their sidecar."""
    os.mkdir(os.path.join(folder, ".S.dat.quorvel-edits"))
    return put(folder, "S.dat")


TARGETS = [
    Target("a new archive", lambda d, k: "N.dat", ACCEPT),
    Target("over an archive", lambda d, k: put(d, "O.dat"), ACCEPT),
    Target(".DAT in capitals", lambda d, k: "U.DAT", ACCEPT),
    Target("through a link to an archive", lambda d, k: link(d, "R.dat", "real.dat", OLD), ACCEPT),
    Target("a name not ending in .dat", lambda d, k: put(d, "X.bin"), REFUSE),
    Target("a new name not ending in .dat", lambda d, k: "N.bin", REFUSE),
    Target("a folder", lambda d, k: os.mkdir(os.path.join(d, "D.dat")) or "D.dat", REFUSE, OSError),
    Target("a missing folder", lambda d, k: "none/X.dat", REFUSE, FileNotFoundError),
    Target("a dangling link", lambda d, k: link(d, "L.dat", "gone.dat"), REFUSE),
    Target("a FIFO", lambda d, k: os.mkfifo(os.path.join(d, "F.dat")) or "F.dat", REFUSE),
    Target("locked by a writer", locked, REFUSE, quorvel.BadArchive),
    Target("a writable mount's unsaved edits", lambda d, k: with_edits(d), REFUSE, quorvel.BadArchive),
]


@pytest.mark.parametrize("row", TARGETS, ids=[r.id for r in TARGETS])
def test_write_target(tmp_path, row):
    outcome, after, raised = {}, {}, None
    for side in ("quorvel pack", "module"):
        folder = tmp_path / side.replace(" ", "-")
        folder.mkdir()
        (folder / "f").write_bytes(b"hi\n")
        keep = []
        try:
            target = row.setup(str(folder), keep)
            before = snapshot(folder)
            if side == "module":
                result = module_write(str(folder / target), [("f", b"hi\n")])
                outcome[side], raised = result[0], result[1]
            else:
                code = cli("pack", "-o", target, "f", cwd=folder).returncode
                outcome[side] = {0: "accepted", 3: "refused"}.get(code, f"exit {code}")
        finally:
            for held in keep:
                held.close()
        after[side] = snapshot(folder)
        if row.expect == REFUSE:
            assert after[side] == before, f"{side} changed the folder"
    expect = "accepted" if row.expect == ACCEPT else "refused"
    assert outcome == {"quorvel pack": expect, "module": expect}, f"the module: {raised!r}"
    if raised is not None:
        assert isinstance(raised, row.error), f"the module raised {raised!r}"
    # The same archive written the same way: a link stays a link, and both
    # front ends wrote the same bytes where it leads.
    assert after["quorvel pack"] == after["module"]
    if row.expect == ACCEPT:
        with open(folder / target, "rb") as f:
            assert read_archive(f.read()) == [(b"f", b"hi\n")]


# --- 5. Extraction with folder entries ---

# expect: extract's exit status. damage: the built archive changed before
# use. unread: entries no front end hands out; the mount shows them, and a
# read gives EIO.
Extraction = namedtuple("Extraction", "id entries expect damage unread", defaults=(None, ()))


def wrapped_onto_first(raw, index):
    """The index-th entry's offsets moved by 4 GiB: read modulo 2^32, as the
    plug-in reads them, they give the first entry's bytes."""
    first = raw[len(MAGIC):raw.index(b"\n", len(MAGIC))]
    start, end = (int(field) for field in first.split(b"\t")[1].split(b" "))
    return retarget(raw, index, start + 2**32, end + 2**32)


EXTRACTIONS = [
    Extraction("folder entry first", [(b"d\\", b""), (b"d\\f.txt", b"x")], 0),
    Extraction("folder entry last", [(b"d\\f.txt", b"x"), (b"d\\", b"")], 0),
    Extraction("empty folders only", [(b"e\\", b""), (b"g/", b""), (b"h\\i\\", b"")], 0),
    Extraction("nested folder entries", [(b"d\\", b""), (b"d\\s\\", b""), (b"d\\s\\f", b"1"),
                                         (b"d\\g", b"")], 0),
    Extraction("cp932 folder entry", [(sj("ソ\\"), b""), (sj("ソ\\表.txt"), b"x"), (sj("能"), b"")], 0),
    Extraction("a folder's name with bytes", [(b"d\\", b"x")], 0),
    # A refused name comes last, so that the tree does not depend on whether
    # a front end goes on after it.
    Extraction("a .. component", [(b"ok.txt", b"1"), (b"d\\", b""), (b"..\\evil", b"no")], 1),
    Extraction("an absolute name", [(b"ok.txt", b"1"), (b"\\abs", b"no")], 1),
    Extraction("a control character", [(b"ok.txt", b"1"), (b"a\x01b", b"no")], 1),
    Extraction("an offset past 4 GiB", [(b"ok.txt", b"1"), (b"b", b"2")], 1,
               lambda raw: wrapped_onto_first(raw, 1), (b"b",)),
]


def extract_both(tmp_path, path):
    """(extract's exit status, the module's exception or None), and the two trees."""
    command = cli("extract", path, "-C", tmp_path / "cli" / "out").returncode
    try:
        with quorvel.Archive(path) as a:
            a.extractall(str(tmp_path / "module" / "out"))
        raised = None
    except Exception as e:  # noqa: BLE001
        raised = e
    # Whether a folder is made for no entries at all says nothing of the tree.
    trees = {side: tree(str(tmp_path / side / "out")) if (tmp_path / side / "out").exists() else {}
             for side in ("cli", "module")}
    # Nothing lands beside the folder extracted to.
    beside = {side: set(os.listdir(tmp_path / side)) - {"out"} for side in ("cli", "module")}
    assert beside == {"cli": set(), "module": set()}
    return command, raised, trees


def extraction_archive(row):
    raw = build_archive(row.entries)
    return row.damage(raw) if row.damage else raw


@pytest.mark.parametrize("row", EXTRACTIONS, ids=[r.id for r in EXTRACTIONS])
def test_extraction(tmp_path, row):
    path = str(tmp_path / "A.dat")
    with open(path, "wb") as f:
        f.write(extraction_archive(row))
    (tmp_path / "cli").mkdir()
    (tmp_path / "module").mkdir()
    command, raised, trees = extract_both(tmp_path, path)
    assert command == row.expect
    if row.expect == 0:
        assert raised is None, f"extractall raised {raised!r}"
    else:
        assert isinstance(raised, quorvel.BadArchive), f"extractall: {raised!r}"
    expected = model_tree([(n, d) for n, d in row.entries if n not in row.unread])
    assert trees == {"cli": expected, "module": expected}
    # Read one by one, an entry not handed out is refused, never another's bytes.
    for name in row.unread:
        assert cli("cat", path, name.decode()).returncode == 3
        with quorvel.Archive(path) as a, pytest.raises(quorvel.BadArchive):
            a.read(name.decode())


# --- 5b. Names added to an archive: update and mode "a" ---

# A file given for `name` (with '/') added to an archive of `entries`: both
# writers store the same names and bytes, new names in the archive's own
# separator, a name already there replaced under its stored bytes.
Append = namedtuple("Append", "id entries name")
APPENDS = [
    Append("a flat archive takes \\", [(b"a", b"1")], "new/x.txt"),
    Append("an archive of \\", [(b"d\\a", b"1")], "new/x.txt"),
    Append("an archive of /", [(b"d/a", b"1")], "new/x.txt"),
    Append("an archive of both", [(b"d/a", b"1"), (b"e\\b", b"2")], "new/x.txt"),
    Append("a \\ name replaced through /", [(b"d\\a", b"1")], "d/a"),
    Append("a cp932 name replaced", [(sj("ソ\\表"), b"1")], "ソ/表"),
]


@pytest.mark.parametrize("row", APPENDS, ids=[r.id for r in APPENDS])
def test_names_added(tmp_path, row):
    encoding = "cp932" if any(b >= 0x80 for n, _ in row.entries for b in n) else "auto"
    for side in ("cli", "module"):
        (tmp_path / side).mkdir()
        with open(tmp_path / side / "A.dat", "wb") as f:
            f.write(build_archive(row.entries))
    source = tmp_path / "cli" / row.name
    source.parent.mkdir(parents=True, exist_ok=True)
    source.write_bytes(b"new")
    options = [] if encoding == "auto" else ["-O", encoding]
    command = cli("update", *options, "A.dat", row.name, cwd=tmp_path / "cli")
    assert command.returncode == 0, command.stderr.decode(errors="replace")
    with quorvel.Archive(str(tmp_path / "module" / "A.dat"), "a", encoding) as a:
        a.writestr(row.name, b"new")
    stored = {side: read_archive((tmp_path / side / "A.dat").read_bytes())
              for side in ("cli", "module")}
    assert stored["module"] == stored["cli"]


# --- 6. Random archives, valid and damaged ---

def random_archive(seed):
    """A seeded random archive, damaged or not, and the generator that made it
    (its later draws choose the names looked up)."""
    rng = random.Random(seed)
    encoding = rng.choice(["cp932", "utf-8"])
    entries = layout.random_entries(rng, encoding)
    raw = layout.build_archive(rng, entries, closing=rng.choice([b"\n", b"\n", b"end\n"]),
                               shuffle=rng.random() < 0.2, share=rng.random() < 0.2,
                               gaps=rng.random() < 0.2)
    for _ in range(rng.choice([0, 0, 1, 2])):
        raw = layout.damage(rng, raw)
    return rng, raw


@pytest.mark.parametrize("seed", range(SEEDS))
def test_random_archive(tmp_path, seed):
    rng, raw = random_archive(seed)
    path = str(tmp_path / "R.dat")
    with open(path, "wb") as f:
        f.write(raw)
    context = f"seed {seed}: {raw[:200]!r}"

    command = cli("test", path).returncode
    verdict, what = module_verdict(path)
    assert command == verdict, f"{context}\ntest exits {command}, the module: {what!r}"
    if verdict == UNREADABLE:
        return
    listing_agrees(path)
    if verdict != SOUND:
        return
    # A sound archive reads as the independent reader reads it...
    found = {position: data for position, _, data in layout.read_layout(raw)}
    with quorvel.Archive(path) as a:
        infos = a.infolist()
        for info in infos:
            assert a.read(info) == found[info.position], f"{context}\n{info.name}"
        # ...both find an entry by its listed name, and by it with / and \
        # swapped (where it holds only one of them: cat tries the name as
        # typed, then all \, then all /), CP932's second bytes 5C included...
        for info in rng.sample(infos, min(3, len(infos))):
            if not info.name.isprintable() or any(c in info.name for c in "*?["):
                continue  # a pattern, or what no one types
            queries = [info.name]
            if not ("/" in info.name and "\\" in info.name):
                queries.append(info.name.translate(str.maketrans("/\\", "\\/")))
            for query in queries:
                command = cli("cat", "--", path, query)
                data = found[info.position]
                assert (command.returncode, command.stdout, a.read(query)) == (0, data, data), \
                    f"{context}\n{query}"
    # ...and both front ends extract it to the tree its names make.
    (tmp_path / "cli").mkdir()
    (tmp_path / "module").mkdir()
    command, raised, trees = extract_both(tmp_path, path)
    assert (command == 0) == (raised is None), f"{context}\nextract exits {command}, extractall: {raised!r}"
    if command == 0:
        stored = [(name, data) for _, name, data in layout.read_layout(raw)]
        assert trees == {"cli": model_tree(stored), "module": model_tree(stored)}, context
    else:
        # extract goes on past a name it refuses, extractall stops there:
        # what extractall did write is what extract wrote.
        assert {k: trees["cli"].get(k, "missing") for k in trees["module"]} == trees["module"], context


# --- 7. The same rows through quorvel mount (Linux, FUSE) ---
#
# The third front end. A lookup is a path in the mounted folder, extraction
# is the mounted tree, and a writer's admission is a file made with open() in
# a mount --write, saved by quorvel umount. Each mount is a child of this
# test run (mount -f), so that its end and exit status are known; it is
# unmounted in a finally whatever happened.

class MountRefused(Exception):
    def __init__(self, status, messages):
        super().__init__(f"quorvel mount exits {status}: {messages}")
        self.status, self.messages = status, messages


class Mount:
    """quorvel mount -f ARCHIVE POINT, up once the kernel lists the mount."""

    def __init__(self, archive, point, *options):
        self.point = os.path.realpath(point)
        os.makedirs(self.point, exist_ok=True)
        self.log = self.point + ".log"
        self.umount = None
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [QUORVEL, "mount", "-f", *options, "--", str(archive), self.point],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                env=dict(os.environ, LANGUAGE="en", LC_ALL="C.UTF-8"))
        deadline = time.monotonic() + 20
        try:
            while not mounted(self.point):
                if self.process.poll() is not None:
                    raise MountRefused(self.process.returncode, self.messages())
                assert time.monotonic() < deadline, f"the mount did not come up in 20 s: {self.messages()}"
                time.sleep(0.005)
        except BaseException:
            self.unmount()
            raise

    def messages(self):
        with open(self.log, errors="replace") as log:
            return log.read().strip()

    def unmount(self):
        """quorvel umount, which waits for a save; its run. Afterwards nothing
        is mounted at the point and the mount's process has ended."""
        if self.umount is not None:
            return self.umount
        try:
            self.umount = subprocess.run([QUORVEL, "umount", self.point], capture_output=True,
                                         timeout=60, env=dict(os.environ, LANGUAGE="en"))
        finally:
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            if mounted(self.point):
                subprocess.run(["fusermount3", "-u", "-z", self.point], capture_output=True)
        return self.umount

    def ended_cleanly(self):
        run = self.unmount()
        assert (run.returncode, self.process.returncode) == (0, 0), \
            f"umount exits {run.returncode} ({run.stderr!r}), the mount {self.process.returncode}: " \
            f"{self.messages()}"


@contextlib.contextmanager
def mounted_at(archive, point, *options):
    mount = Mount(archive, point, *options)
    try:
        yield mount
    finally:
        mount.unmount()


@pytest.fixture(scope="module")
def fuse(tmp_path_factory):
    """Skips the mount column, saying why, where no FUSE mount can be made."""
    if not os.path.exists("/dev/fuse") or not stat.S_ISCHR(os.stat("/dev/fuse").st_mode) \
            or shutil.which("fusermount3") is None:
        pytest.skip("quorvel mount: no /dev/fuse or no fusermount3 here")
    folder = tmp_path_factory.mktemp("probe")
    (folder / "P.dat").write_bytes(arc((b"probe", b"x")))
    try:
        with mounted_at(folder / "P.dat", folder / "m"):
            pass
    except MountRefused as e:
        pytest.skip(f"quorvel mount cannot mount here: {e}")


def shown_tree(point):
    """Every folder (None) and file below a mount point: its bytes, or the
    name of the error reading it gave."""
    seen = {}
    for folder, folders, files in os.walk(point):
        prefix = os.path.relpath(folder, point)
        prefix = "" if prefix == "." else prefix + "/"
        seen.update((prefix + name, None) for name in folders)
        for name in files:
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    seen[prefix + name] = f.read()
            except OSError as e:
                seen[prefix + name] = errno.errorcode.get(e.errno, str(e.errno))
    return seen


def listed_path(name):
    """Where the mount shows an entry of this decoded listed name, as extract
    writes it: None for what extract refuses (an absolute name, a drive
    letter, a '..' part, a control character: C0, DEL or C1, nothing left)."""
    if not name or name[0] in "/\\" or any(ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0 for c in name):
        return None
    key = "/".join(p for p in name.replace("\\", "/").split("/") if p not in ("", "."))
    if not key or ".." in key.split("/") or key[1:2] == ":":
        return None
    return key


def is_folder_entry(info):
    return info.size == 0 and info.name[-1:] in ("/", "\\")


# Lookups: one mount per archive of the table, for every row.

@pytest.fixture(scope="module")
def lookup_mounts(fuse, tmp_path_factory):
    folder = tmp_path_factory.mktemp("lookups")
    with contextlib.ExitStack() as stack:
        mounts = {}
        for key, entries in LOOKUP_ARCHIVES.items():
            archive = folder / f"{key}.dat"
            archive.write_bytes(build_archive(entries))
            mounts[key] = (str(archive), stack.enter_context(mounted_at(archive, folder / key)))
        yield mounts
        for _, mount in mounts.values():
            mount.ended_cleanly()


MOUNT_LOOKUPS = [r for r in LOOKUPS if r.id not in {
    # Linux reads a//b.txt as a/b.txt: no path in the mount spells that name.
    "a doubled separator",
}]


@pytest.mark.parametrize("row", MOUNT_LOOKUPS, ids=[r.id for r in MOUNT_LOOKUPS])
def test_lookup_mounted(lookup_mounts, row):
    archive, mount = lookup_mounts[row.archive]
    point = mount.point
    assert mount.process.poll() is None, f"the mount ended: {mount.messages()}"
    if row.stored is None:
        # Nothing found: no file at the name taken as a path ("d", whose entry
        # is the folder entry d\, is the folder the mount shows for it).
        path = os.path.join(point, row.query.replace("\\", "/"))
        assert not os.path.isfile(path), f"the mount shows a file at {row.query!r}"
        return
    # The entry found is shown at its listed name, with / between folders:
    # "The tree comes from one listing and the decoded names" (README, mount),
    # and the listing cuts a name over 199 bytes, as list and extract show it.
    raw = build_archive(LOOKUP_ARCHIVES[row.archive])
    position = {name: at for at, name, _ in layout.read_layout(raw)}[row.stored]
    with quorvel.Archive(archive) as a:
        infos = a.infolist()
    info = next(i for i in infos if i.position == position)
    path = os.path.join(point, listed_path(info.name))
    if is_folder_entry(info):  # "`mount` shows it as a folder" (README, Folder entries)
        assert os.path.isdir(path), f"the folder entry {info.name!r} is no folder in the mount"
    else:
        with open(path, "rb") as f:
            assert f.read() == dict(LOOKUP_ARCHIVES[row.archive])[row.stored]


# Extraction: the mounted tree is the tree extract makes.

@pytest.mark.parametrize("row", EXTRACTIONS, ids=[r.id for r in EXTRACTIONS])
def test_extraction_mounted(tmp_path, fuse, row):
    path = tmp_path / "A.dat"
    path.write_bytes(extraction_archive(row))
    assert cli("extract", path, "-C", tmp_path / "out").returncode == row.expect
    extracted = tree(str(tmp_path / "out")) if (tmp_path / "out").exists() else {}
    extracted.update((name.decode(), "EIO") for name in row.unread)
    with mounted_at(path, tmp_path / "m") as mount:
        assert shown_tree(mount.point) == extracted
        mount.ended_cleanly()


@pytest.mark.parametrize("seed", range(SEEDS))
def test_random_archive_mounted(tmp_path, fuse, seed):
    _, raw = random_archive(seed)
    path = tmp_path / "R.dat"
    path.write_bytes(raw)
    context = f"seed {seed}: {raw[:200]!r}"
    verdict, what = module_verdict(str(path))
    if verdict == UNREADABLE:
        # "A file that is not an archive ...: one line and exit 3" (README, mount).
        with pytest.raises(MountRefused) as refused:
            with mounted_at(path, tmp_path / "m"):
                pass
        assert refused.value.status == 3, context
        return
    with quorvel.Archive(str(path)) as a:
        infos = a.infolist()
        reads = {}
        for info in infos:
            try:
                reads[info.position] = a.read(info)
            except (quorvel.Error, OSError) as e:
                reads[info.position] = e
    with mounted_at(path, tmp_path / "m") as mount:
        shown = shown_tree(mount.point)
        mount.ended_cleanly()
    if verdict == SOUND:
        assert cli("extract", path, "-C", tmp_path / "out").returncode in (0, 1), context
        extracted = tree(str(tmp_path / "out")) if (tmp_path / "out").exists() else {}
        assert shown == extracted, f"{context}\n{tree_difference(shown, extracted)}"
        return
    # A damaged archive: "A read-only mount shows what is listed", leaving out
    # what it cannot show: "Undecodable names are left out", and so are "a
    # second entry of a name, or a file where another entry has a folder"
    # (README, mount). So every file shown is a listed entry of its path, and
    # reads as that entry does (answer()), and every entry whose path no other
    # entry claims is shown so. Which names decode is the listing's to say
    # (list --json marks the others).
    listed = [json.loads(line) for line in cli("list", "--json", path).stdout.splitlines()]
    undecoded = {e["position"] for e in listed if e.get("decoded", True) is False}
    at = {}
    for info in infos:
        key = None if info.position in undecoded else listed_path(info.name)
        if key is not None:
            at.setdefault(key, []).append(info)

    def answer(info):
        """What the mount must give for an entry: its bytes, or EIO where it
        cannot be read. That is the module's answer, but the module reads
        "straight from the archive file" with its own checks, and "Opening a
        file reads the entry through GetFile" and "An entry that cannot be
        read gives EIO for that file only" (README, mount): where the mount
        and the module differ, GetFile decides, asked through cat (GetFile
        refuses, for one, "a line that ends in CR (a damaged directory,
        which the listing splits at CR)", README)."""
        read = reads[info.position]
        read = read if isinstance(read, bytes) else "EIO"
        if shown.get(at_key[info.position]) == read or any(c in info.name for c in "*?["):
            return read
        cat = cli("cat", "--", path, info.name)
        return cat.stdout if cat.returncode == 0 else "EIO"

    at_key = {i.position: key for key, claims in at.items() for i in claims}
    for key, value in shown.items():
        if value is None:
            continue
        answers = [answer(i) for i in at.get(key, [])]
        assert value in answers, f"{context}\n{key}: the mount gives " \
            f"{value if isinstance(value, str) else len(value)} (bytes), the module and cat " \
            f"{[a if isinstance(a, str) else len(a) for a in answers]}"
    for key, [*claims] in at.items():
        info = claims[0]
        clash = len(claims) > 1 or any(
            other.startswith(key + "/") and not is_folder_entry(info)
            or key.startswith(other + "/") and not is_folder_entry(at[other][0])
            for other in at if other != key)
        if clash:
            continue
        want = None if is_folder_entry(info) else answer(info)
        got = shown.get(key, "missing")
        assert got == want, f"{context}\n{key}: the mount shows " \
            f"{got if got is None or isinstance(got, str) else len(got)}, the module and cat " \
            f"{want if want is None or isinstance(want, str) else len(want)}"


# Names a writer admits: made with open() in a mount --write of an empty
# archive, one mount per row, saved by quorvel umount.

MOUNT_ADMISSIONS = [r for r in ADMISSIONS if r.id not in {
    # ../outside.txt and /outside.txt name files outside the mount: a file
    # system has no such name inside it to refuse.
    "a .. component", "absolute",
    # "" is the mount's own folder, and ./x is x itself: no file of its own.
    "empty", "x beside ./x", "./x beside x",
}]


def make_in(point, name, data):
    """Makes a name as a program does: its folders, then the file with open()
    and write() (a name ending in / is a folder). None, or the OSError."""
    path = point
    parts = name.split("/")
    try:
        for part in parts[:-1]:
            path = os.path.join(path, part)
            if not os.path.isdir(path):
                os.mkdir(path)
        if parts[-1]:
            with open(os.path.join(path, parts[-1]), "wb") as f:
                f.write(data)
    except OSError as e:
        return e
    return None


@pytest.mark.parametrize("row", MOUNT_ADMISSIONS, ids=[r.id for r in MOUNT_ADMISSIONS])
def test_names_admitted_mounted(tmp_path, fuse, row):
    datas = [b"" if n.endswith("/") else b"data %d" % i for i, n in enumerate(row.names)]
    items = list(zip(row.names, datas))
    module = module_write(str(tmp_path / "M.dat"), items, row.encoding)
    # The module refuses at the writestr() of the name it refuses; a file
    # system keeps each file made before it.
    calls = [f"writestr({n!r})" for n in row.names]
    assert module[0] == "accepted" or module[2] in calls, f"the module: {module!r}"
    taken = len(items) if module[0] == "accepted" else calls.index(module[2])

    archive = tmp_path / "W.dat"
    archive.write_bytes(arc())
    options = ["--write"] + ([] if row.encoding == "auto" else ["--encoding", row.encoding])
    with mounted_at(archive, tmp_path / "m", *options) as mount:
        answers = []
        for name, data in items:
            answers.append(make_in(mount.point, name, data))
            if answers[-1] is not None:
                break
        mount.ended_cleanly()
    kinds = ["accepted" if a is None else "refused" for a in answers]
    assert kinds == ["accepted"] * taken + ["refused"] * (len(items) > taken), \
        f"the module: {module[0]} {module[1:]!r}; the mount: {answers}"

    # The save holds what the module writes of the names it took, but
    # "New names are stored ... with the archive's separator" (README, mount
    # --write), `\` in an archive whose names have none, and a folder made in
    # the mount is no entry: "Empty folders cannot be stored".
    codec = "utf-8" if row.encoding == "auto" else row.encoding
    assert module_write(str(tmp_path / "T.dat"), items[:taken], row.encoding)[0] == "accepted"
    expected = [(name.decode(codec).replace("/", "\\").encode(codec), data)
                for name, data in read_archive((tmp_path / "T.dat").read_bytes())
                if not (data == b"" and name.endswith(b"/"))]
    assert read_archive(archive.read_bytes()) == expected
    assert not (tmp_path / ".W.dat.quorvel-edits").exists(), "the save left its sidecar"
