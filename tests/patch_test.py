"""Patches between archives: for random pairs of archives, what diff reports
is what changed, and its patch applied with the removals it lists brings the
old archive to the new one's entries, byte for byte. Once through the
command line (diff -o, update --remove, update --from) and once through the
module (diff(patch=), remove(), apply()); every archive is read back by the
independent reader of the writers' test, and written by its writer.

Run by pytest, with QUORVEL and PYTHONPATH set as for the other module tests;
PATCH_SEEDS sets how many pairs (default 40).
"""
import json
import os
import random
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from writers_diff_test import WORDS, build_archive, read_layout  # noqa: E402

import quorvel  # noqa: E402

QUORVEL = os.environ["QUORVEL"]
SEEDS = int(os.environ.get("PATCH_SEEDS", "40"))


def random_pair(rng):
    """Two archives' entries, {path: (stored name, bytes)}, from one pool of
    paths none of which is a folder of another; each archive in its own code
    page and with its own separator."""
    pool, seen = [], set()
    for _ in range(rng.randint(0, 12)):
        path = "/".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3))) + rng.choice(["", ".b"])
        if any(p == path or p.startswith(path + "/") or path.startswith(p + "/") for p in seen):
            continue
        seen.add(path)
        pool.append(path)
    old = {p: rng.choice([b"", rng.randbytes(rng.randint(1, 200)), b"same"]) for p in pool
           if rng.random() < 0.7}
    new = {}
    for p in pool:
        if p in old and rng.random() < 0.8:
            roll = rng.random()
            body = old[p]
            if roll < 0.2 and body:  # the same size, another byte
                i = rng.randrange(len(body))
                body = body[:i] + bytes([body[i] ^ 1]) + body[i + 1:]
            elif roll < 0.35:
                body = rng.randbytes(rng.randint(0, 50))
            new[p] = body
        elif p not in old and rng.random() < 0.5:
            new[p] = rng.randbytes(rng.randint(0, 100))
    return old, new


def stored_entries(rng, entries):
    encoding, separator = rng.choice(["utf-8", "cp932"]), rng.choice("\\/")
    paths = list(entries)
    rng.shuffle(paths)
    return [(p.replace("/", separator).encode(encoding), entries[p]) for p in paths]


def decoded(name):
    try:
        text = name.decode("utf-8")
    except UnicodeDecodeError:
        text = name.decode("cp932")
    return text.replace("\\", "/")


def entries_of(path):
    """{path: (stored name, bytes)} as the independent reader finds them."""
    with open(path, "rb") as f:
        layout = read_layout(f.read())
    names = [n for _, n, _ in layout]
    utf8 = all(_is_utf8(n) for n in names)
    return {(n.decode("utf-8") if utf8 else n.decode("cp932")).replace("\\", "/"): (n, b)
            for _, n, b in layout}


def _is_utf8(name):
    try:
        name.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def expected_changes(old, new):
    return ({p for p in new if p not in old}, {p for p in old if p not in new},
            {p for p in old if p in new and old[p] != new[p]})


def check_result(result, old_stored, new):
    """The old archive, patched: new's paths and bytes; the paths it kept keep
    their stored names."""
    got = entries_of(result)
    assert {p: b for p, (_, b) in got.items()} == new
    for p, (name, _) in old_stored.items():
        if p in new:
            assert got[p][0] == name, f"{p} lost its stored name"


def quorvel_run(*args, cwd):
    return subprocess.run([QUORVEL, *args], cwd=cwd, capture_output=True, env=dict(
        os.environ, LANGUAGE="en"))


@pytest.mark.parametrize("seed", range(1, SEEDS + 1))
def test_a_patch_and_the_removals_bring_old_to_new(seed, tmp_path):
    rng = random.Random(seed)
    old, new = random_pair(rng)
    with open(tmp_path / "old.dat", "wb") as f:
        f.write(build_archive(rng, stored_entries(rng, old)))
    with open(tmp_path / "new.dat", "wb") as f:
        f.write(build_archive(rng, stored_entries(rng, new)))
    old_stored = entries_of(tmp_path / "old.dat")
    added, removed, changed = expected_changes(old, new)

    # The command line.
    done = quorvel_run("diff", "--json", "old.dat", "new.dat", "-o", "patch.dat", cwd=tmp_path)
    assert done.returncode == (1 if added or removed or changed else 0), done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    by_change = {c: {l["name"].replace("\\", "/") for l in lines if l["change"] == c}
                 for c in ("added", "removed", "changed")}
    assert (by_change["added"], by_change["removed"], by_change["changed"]) == (added, removed,
                                                                                 changed)
    patch = entries_of(tmp_path / "patch.dat")
    assert {p: b for p, (_, b) in patch.items()} == {p: new[p] for p in added | changed}
    shutil.copy(tmp_path / "old.dat", tmp_path / "cli.dat")
    gone = [l["name"] for l in lines if l["change"] == "removed"]
    if gone:
        done = quorvel_run("update", "cli.dat", "--remove", *gone, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
    done = quorvel_run("update", "cli.dat", "--from", "patch.dat", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    check_result(tmp_path / "cli.dat", old_stored, new)
    assert quorvel_run("diff", "cli.dat", "new.dat", cwd=tmp_path).returncode == 0

    # The module.
    shutil.copy(tmp_path / "old.dat", tmp_path / "module.dat")
    differences = quorvel.diff(tmp_path / "old.dat", tmp_path / "new.dat",
                               patch=tmp_path / "module-patch.dat")
    assert [(d.change, d.name) for d in differences] == [(l["change"], l["name"]) for l in lines]
    with quorvel.Archive(tmp_path / "module.dat", "a") as archive:
        for d in differences:
            if d.change == "removed":
                archive.remove(d.name)
        archive.apply(tmp_path / "module-patch.dat")
    check_result(tmp_path / "module.dat", old_stored, new)
    assert quorvel.diff(tmp_path / "module.dat", tmp_path / "new.dat") == []


def test_a_patch_is_refused_where_it_would_overwrite_what_it_compares(tmp_path):
    with open(tmp_path / "a.dat", "wb") as f:
        f.write(build_archive(random.Random(1), [(b"x", b"1")]))
    done = quorvel_run("diff", "a.dat", "a.dat", "-o", "a.dat", cwd=tmp_path)
    assert done.returncode == 3 and b"one of the archives compared" in done.stderr
    done = quorvel_run("update", "a.dat", "--from", "a.dat", cwd=tmp_path)
    assert done.returncode == 3 and b"a patch is another one" in done.stderr
    done = quorvel_run("update", "a.dat", "--remove", "y", cwd=tmp_path)
    assert done.returncode == 1 and b"no entry of that name to remove" in done.stderr
    with pytest.raises(KeyError):
        with quorvel.Archive(tmp_path / "a.dat", "a") as archive:
            archive.apply(tmp_path / "a.dat", ["y"])


def write_raw(path, lines_and_data):
    """An archive of (name bytes, data) with each line as given, closed."""
    from writers_diff_test import MAGIC
    size = len(MAGIC) + sum(len(n) + 23 for n, _ in lines_and_data) + 1
    at, lines = size, b""
    for name, body in lines_and_data:
        lines += name + b"\t%010d %010d\n" % (at, at + len(body))
        at += len(body)
    with open(path, "wb") as f:
        f.write(MAGIC + lines + b"\n" + b"".join(b for _, b in lines_and_data))


DAMAGED_PATCHES = {
    "a name over 199 bytes": [(b"b", b"2"), (b"y" * 205, b"L")],
    "a name given twice": [(b"b", b"2"), (b"b", b"3")],
    "a first line past byte 256": [(b"z" * 260, b"2"), (b"b", b"3")],
}


@pytest.mark.parametrize("case", sorted(DAMAGED_PATCHES))
def test_a_patch_that_is_not_whole_is_refused_by_both_front_ends(case, tmp_path):
    write_raw(tmp_path / "game.dat", [(b"a", b"1"), (b"b", b"B")])
    write_raw(tmp_path / "patch.dat", DAMAGED_PATCHES[case])
    before = (tmp_path / "game.dat").read_bytes()
    done = quorvel_run("update", "game.dat", "--from", "patch.dat", cwd=tmp_path)
    assert done.returncode == 3, done.stderr
    done = quorvel_run("diff", "game.dat", "patch.dat", cwd=tmp_path)
    assert done.returncode == 3, done.stderr
    with pytest.raises(quorvel.BadArchive):
        with quorvel.Archive(tmp_path / "game.dat", "a") as archive:
            archive.apply(tmp_path / "patch.dat")
    assert (tmp_path / "game.dat").read_bytes() == before


def test_a_patch_reads_in_its_archives_code_page_and_removals_take_names_as_given(tmp_path):
    # The patch's one name (ﾂｱ, C2 B1) is valid UTF-8 too: read in the
    # archive's CP932 it replaces its entry instead of adding another.
    cp = lambda text: text.encode("cp932")
    write_raw(tmp_path / "old.dat", [(cp("ア.txt"), b"same"), (cp("ﾂｱ.txt"), b"old")])
    write_raw(tmp_path / "new.dat", [(cp("ア.txt"), b"same"), (cp("ﾂｱ.txt"), b"NEW!")])
    quorvel_run("diff", "old.dat", "new.dat", "-o", "patch.dat", cwd=tmp_path)
    shutil.copy(tmp_path / "old.dat", tmp_path / "cli.dat")
    assert quorvel_run("update", "cli.dat", "--from", "patch.dat", cwd=tmp_path).returncode == 0
    assert quorvel_run("diff", "cli.dat", "new.dat", cwd=tmp_path).returncode == 0
    with quorvel.Archive(tmp_path / "old.dat", "a") as archive:
        archive.apply(tmp_path / "patch.dat")
    assert quorvel.diff(tmp_path / "old.dat", tmp_path / "new.dat") == []
    # A name given twice is one removal; one that does not decode is given
    # as list shows it.
    write_raw(tmp_path / "g.dat", [(b"a.txt", b"1"), (b"lone\x83", b"2"), (b"c", b"3")])
    done = quorvel_run("update", "g.dat", "--remove", "a.txt", "a.txt", "lone\\x83", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert [n for _, n, _ in read_layout((tmp_path / "g.dat").read_bytes())] == [b"c"]
    # ... unless an entry's decoded name is that text: then only that entry goes.
    write_raw(tmp_path / "h.dat", [(b"lone\\x83", b"1"), (b"lone\x83", b"2")])
    done = quorvel_run("update", "h.dat", "--remove", "lone\\x83", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert [n for _, n, _ in read_layout((tmp_path / "h.dat").read_bytes())] == [b"lone\x83"]
    done = subprocess.run(f"'{QUORVEL}' diff g.dat new.dat >/dev/full", shell=True,
                          cwd=tmp_path, capture_output=True)
    assert done.returncode == 3 and b"standard output" in done.stderr
