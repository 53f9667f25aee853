# The Python module against archives built here by an independent writer and
# read back by an independent reader, and against the quorvel command itself.
import errno
import fcntl
import io
import json
import os
import random
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mount_model_sides import build_archive, read_archive  # noqa: E402

import quorvel  # noqa: E402

QUORVEL = os.environ.get("QUORVEL", "quorvel")
# Katakana and kanji whose second byte in CP932 is '\', with plain letters;
# no '.', which only a file's name ends in: no file is also a folder.
CP932_CHARS = "ソ表能十予あ漢字abcXYZ_-"


def write(path, entries):
    with open(path, "wb") as f:
        f.write(build_archive(entries))


def random_entries(rng, count):
    names = set()
    while len(names) < count:
        parts = ["".join(rng.choice(CP932_CHARS) for _ in range(rng.randint(1, 6)))
                 for _ in range(rng.randint(1, 3))]
        names.add("\\".join(parts) + ".txt")
    return [(n.encode("cp932"), rng.randbytes(rng.choice([0, 1, 100, 5000])))
            for n in sorted(names)]


def cli(*args):
    return subprocess.run([QUORVEL, *args], capture_output=True, check=False,
                          env=dict(os.environ, LANGUAGE="en", LC_ALL="C.UTF-8"))


@pytest.mark.parametrize("seed", range(3))
def test_the_module_reads_what_list_json_and_cat_give(tmp_path, seed):
    rng = random.Random(seed)
    entries = random_entries(rng, 40)
    path = str(tmp_path / "random.dat")
    write(path, entries)
    listed = [json.loads(line) for line in cli("list", "--json", path).stdout.splitlines()]
    with quorvel.Archive(path) as a:
        assert a.namelist() == [e["name"] for e in listed]
        for info, e, (raw, data) in zip(a.infolist(), listed, entries):
            assert (info.raw_name, info.size, info.position) == (raw, e["size"], e["position"])
            assert info.date_time.isoformat() == e["time"]
            assert a.read(info.name) == a.read(raw) == data
            assert cli("cat", "--", path, info.name).stdout == data
            with a.open(info) as f:
                assert f.read() == data
        assert a.testarchive() is None


def test_writes_and_appends_match_a_model(tmp_path):
    path = str(tmp_path / "model.dat")
    rng = random.Random(7)
    model = {}  # stored name -> bytes, in the archive's order
    with quorvel.Archive(path, "w", encoding="cp932") as a:
        for raw, data in random_entries(rng, 20):
            a.writestr(raw.decode("cp932"), data)
            model[raw] = data
    for round_ in range(6):
        with quorvel.Archive(path, "a") as a:
            for _ in range(5):
                names = list(model)
                op = rng.choice(["add", "replace", "remove"]) if names else "add"
                if op == "add":
                    raw, data = random_entries(rng, 1)[0]
                    if raw in model:
                        continue
                    a.writestr(raw.decode("cp932"), data)
                elif op == "replace":
                    raw, data = rng.choice(names), rng.randbytes(rng.randint(0, 300))
                    # '/' finds the entry stored with '\'; it keeps its place and name.
                    a.writestr(raw.decode("cp932").replace("\\", "/"), data)
                else:
                    raw, data = rng.choice(names), None
                    a.remove(raw)
                    del model[raw]
                if data is not None:
                    model[raw] = data
        with open(path, "rb") as f:
            assert read_archive(f.read()) == list(model.items()), f"round {round_}"


def test_refusals_leave_the_archive_as_it_was(tmp_path):
    path = str(tmp_path / "a.dat")
    write(path, [(b"one", b"1"), (b"two", b"22")])
    before = open(path, "rb").read()

    def unchanged():
        assert open(path, "rb").read() == before

    with pytest.raises(RuntimeError):
        with quorvel.Archive(path, "a") as a:
            a.writestr("three", b"3")
            raise RuntimeError("leaving by an exception")
    unchanged()

    with open(path, "rb") as held:  # as a writable mount or an update holds it
        fcntl.flock(held, fcntl.LOCK_EX)
        with pytest.raises(quorvel.BadArchive, match="mounted for writing or being updated"):
            quorvel.Archive(path, "a")
    unchanged()

    a = quorvel.Archive(path, "a")
    a.writestr("three", b"3")
    os.utime(path, (1, 1))  # another program's change while it is open
    with pytest.raises(quorvel.BadArchive, match="changed"):
        a.close()
    unchanged()

    with pytest.raises(ValueError):
        with quorvel.Archive(path, "a") as a:
            a.writestr("one/inner", b"a file that is also a folder")
    unchanged()

    # Bytes that no entry holds: the same sentence update prints.
    with open(path, "ab") as f:
        f.write(b"junk")
    before = open(path, "rb").read()
    refusal = cli("update", path, __file__).stderr.decode().strip()
    with pytest.raises(quorvel.BadArchive) as raised:
        quorvel.Archive(path, "a")
    assert refusal.startswith("quorvel: " + str(raised.value).split(";")[0])
    unchanged()
    with quorvel.Archive(path) as a:
        with pytest.raises(quorvel.BadArchive, match="belong to no entry|not the whole"):
            a.testarchive()


def test_errors(tmp_path):
    path = str(tmp_path / "e.dat")
    write(path, [(b"x", b"x")])
    with pytest.raises(OSError) as raised:
        quorvel.Archive(str(tmp_path / "missing.dat"))
    assert raised.value.errno == errno.ENOENT and raised.value.filename.endswith("missing.dat")
    with pytest.raises(OSError) as raised:
        quorvel.Archive(str(tmp_path))
    assert raised.value.errno == errno.EISDIR
    not_archive = tmp_path / "text.txt"
    not_archive.write_bytes(b"hello")
    with pytest.raises(quorvel.BadArchive) as raised:
        quorvel.Archive(str(not_archive))
    cli_error = cli("list", str(not_archive)).stderr.decode().strip()
    assert cli_error == "quorvel: " + str(raised.value)
    assert issubclass(quorvel.BadArchive, quorvel.Error) and not quorvel.is_archive(not_archive)
    with quorvel.Archive(path) as a:
        with pytest.raises(KeyError):
            a.read("y")
        with pytest.raises(ValueError):
            a.writestr("y", b"")
    with quorvel.Archive(str(tmp_path / "new.dat"), "w") as w:
        with pytest.raises(OSError) as raised:
            w.write(str(tmp_path))
        assert raised.value.errno == errno.EISDIR
        for bad in ["", "../up", "/abs", "tab\there", "x" * 200]:
            with pytest.raises(ValueError):
                w.writestr(bad, b"")
    with pytest.raises(ValueError):
        a.namelist()
    # A damaged entry: its bytes run past the end of the file.
    damaged = tmp_path / "damaged.dat"
    damaged.write_bytes(build_archive([(b"a", b"aa"), (b"b", b"bbbb")])[:-2])
    with quorvel.Archive(str(damaged)) as a:
        assert a.testarchive() == "b"
        with pytest.raises(quorvel.BadArchive):
            a.read("b")


def test_extract_keeps_names_below_the_folder(tmp_path):
    path = str(tmp_path / "x.dat")
    write(path, [("フォルダ\\表.txt".encode("cp932"), b"ok"), (b"..\\evil", b"no")])
    out = tmp_path / "out"
    with quorvel.Archive(path) as a:
        written = a.extract("フォルダ\\表.txt", out)
        assert open(written, "rb").read() == b"ok" and written.endswith("フォルダ/表.txt")
        with pytest.raises(quorvel.BadArchive, match="refused"):
            a.extract(b"..\\evil", out)
    assert not (tmp_path / "evil").exists()


def peak_rss_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])


def test_open_streams_a_large_entry(tmp_path):
    size = 256 << 20
    path = tmp_path / "big.dat"
    head = build_archive([(b"big", b"")])
    start = len(head)
    head = head.replace(b"%010d\n" % start, b"%010d\n" % (start + size))
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(start + size)  # sparse: no disk needed
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = peak_rss_kib()
    total = 0
    with quorvel.Archive(str(path)) as a, a.open("big") as f:
        assert isinstance(f, io.BufferedIOBase) and f.seekable()
        while chunk := f.read(1 << 20):
            total += len(chunk)
    assert total == size
    assert peak_rss_kib() - before < 64 << 10


def test_extractall_gives_the_tree_quorvel_extract_gives(tmp_path):
    path = str(tmp_path / "tree.dat")
    entries = random_entries(random.Random(11), 30)
    write(path, entries)
    with quorvel.Archive(path) as a:
        a.extractall(tmp_path / "ours")
    assert cli("extract", "-C", str(tmp_path / "theirs"), path).returncode == 0

    def tree(root):
        return {os.path.relpath(os.path.join(d, f), root): open(os.path.join(d, f), "rb").read()
                for d, _, files in os.walk(root) for f in files}
    assert tree(tmp_path / "ours") == tree(tmp_path / "theirs") and len(tree(tmp_path / "ours")) == 30


def test_entries_not_yet_written_and_folder_entries(tmp_path):
    path = str(tmp_path / "w.dat")
    source = tmp_path / "on-disk.bin"
    source.write_bytes(b"from disk")
    with quorvel.Archive(path, "w") as a:
        a.write(source, arcname="data/disk.bin")
        a.writestr("folder/", b"")
        a.writestr("empty.txt", b"")
        assert a.read("data/disk.bin") == b"from disk"
        assert a.getinfo("data/disk.bin").date_time is None
    with quorvel.Archive(path, "a") as a:
        assert [i.is_dir() for i in a.infolist()] == [False, True, False]
        a.writestr("data/disk.bin", b"changed")
        assert a.read("data/disk.bin") == b"changed"  # before it is written
        with a.open("data/disk.bin") as f:
            assert f.read() == b"changed"
    with open(path, "rb") as f:
        assert read_archive(f.read()) == [(b"data/disk.bin", b"changed"), (b"folder/", b""),
                                          (b"empty.txt", b"")]
    with open(path, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        with pytest.raises(quorvel.BadArchive):
            quorvel.Archive(path, "w")


def test_streams_outlive_the_archive_and_readers_meet_a_close(tmp_path):
    import threading
    path = str(tmp_path / "t.dat")
    write(path, [(b"%03d" % i, os.urandom(200_000)) for i in range(50)])
    a = quorvel.Archive(path)
    streams = [a.open(b"%03d" % i) for i in range(5)]
    failures = []

    def reader():
        try:
            for name in a.namelist():
                a.read(name)
        except ValueError:
            pass  # closed meanwhile: refused, not a crash
        except Exception as e:  # noqa: BLE001
            failures.append(e)

    threads = [threading.Thread(target=reader) for _ in range(4)]
    for t in threads:
        t.start()
    a.close()
    for t in threads:
        t.join()
    assert not failures
    # A stream opened before the close still reads its entry whole.
    assert all(len(s.read()) == 200_000 for s in streams)


def test_paths_and_names_holding_a_zero_byte_are_refused_whole(tmp_path):
    real = tmp_path / "real.dat"
    write(str(real), [(b"a", b"1")])
    for call in (lambda: quorvel.Archive(str(tmp_path / "t\x00.dat"), "w"),
                 lambda: quorvel.Archive(str(real) + "\x00-x")):
        with pytest.raises(ValueError, match="null"):
            call()
    assert not (tmp_path / "t").exists()
    (tmp_path / "in.txt").write_bytes(b"x")
    with quorvel.Archive(str(tmp_path / "n.dat"), "w") as a:
        with pytest.raises(ValueError):
            a.write(str(tmp_path / "in.txt") + "\x00x", "in.txt")
        with pytest.raises(ValueError, match=r"a\\x00b"):
            a.writestr("a\x00b", b"")


def test_mode_w_keeps_to_the_write_targets_rules(tmp_path):
    with pytest.raises(ValueError, match=r"\.dat"):
        quorvel.Archive(str(tmp_path / "patch.bin"), "w")
    assert not (tmp_path / "patch.bin").exists()
    # A killed writable mount's unsaved edits: replacing the archive strands them.
    game = tmp_path / "game.dat"
    write(str(game), [(b"a", b"old")])
    (tmp_path / ".game.dat.quorvel-edits").mkdir()
    for mode in ("w", "a"):
        with pytest.raises(quorvel.BadArchive, match="unsaved edits"):
            quorvel.Archive(str(game), mode)
    assert read_archive(game.read_bytes()) == [(b"a", b"old")]
    # A link that leads nowhere is kept, and nothing is made where it points.
    os.symlink(str(tmp_path / "nowhere" / "x.dat"), str(tmp_path / "link.dat"))
    with pytest.raises(quorvel.Error, match="link"):
        with quorvel.Archive(str(tmp_path / "link.dat"), "w") as a:
            a.writestr("a", b"1")
    (tmp_path / "in.txt").write_bytes(b"x")
    assert cli("pack", "-o", str(tmp_path / "link.dat"), "-C", str(tmp_path), "in.txt"
               ).returncode == 3
    assert os.path.islink(str(tmp_path / "link.dat"))
    assert not (tmp_path / "nowhere").exists()


def test_write_takes_the_files_bytes_when_it_is_called(tmp_path):
    source = tmp_path / "tmp.txt"
    path = str(tmp_path / "out.dat")
    with quorvel.Archive(path, "w") as a:
        source.write_bytes(b"first")
        a.write(str(source), "one.txt")
        source.write_bytes(b"second, longer")  # changed after write(): not stored
        a.write(str(source), "two.txt")
        source.unlink()  # gone before close(): nothing is lost
        assert a.read("one.txt") == b"first"
    assert read_archive(open(path, "rb").read()) == [(b"one.txt", b"first"),
                                                     (b"two.txt", b"second, longer")]


def test_names_are_found_and_added_with_either_separator(tmp_path):
    path = str(tmp_path / "s.dat")
    write(path, [("表\\a.txt".encode("cp932"), b"A")])
    with quorvel.Archive(path, "a") as a:
        assert a.read("表/a.txt") == b"A" and a.getinfo("表/a.txt").size == 1
        with a.open("表/a.txt") as f:
            assert f.read() == b"A"
        a.writestr("表/b.txt", b"B")  # stored with the archive's separator
        a.writestr("表/a.txt", b"A2")  # replaces, keeping the stored name
        assert a.read("表\\b.txt") == b"B"
        a.remove("表/b.txt")
        a.writestr("c/d.txt", b"D")
    assert read_archive(open(path, "rb").read()) == [("表\\a.txt".encode("cp932"), b"A2"),
                                                     (b"c\\d.txt", b"D")]


def test_clashes_are_refused_when_the_name_is_added(tmp_path):
    path = str(tmp_path / "c.dat")
    with quorvel.Archive(path, "w") as a:
        a.writestr("d/b.txt", b"1")
        a.writestr("x", b"2")
        for clash in ("d", "./x", "d/b.txt/e"):
            with pytest.raises(ValueError, match="folder|more than once"):
                a.writestr(clash, b"3")
        for control in ("c1\u009b[2J", "nel\u0085"):
            with pytest.raises(ValueError, match="control"):
                a.writestr(control, b"")
        a.writestr("d/", b"")  # a folder entry of the folder is no clash
    # The refusals cost nothing else: the other entries are written.
    assert [n for n, _ in read_archive(open(path, "rb").read())] == [b"d/b.txt", b"x", b"d/"]


@pytest.mark.parametrize("folder_first", [True, False])
def test_extract_makes_folder_entries_as_folders(tmp_path, folder_first):
    entries = [(b"d\\", b""), (b"d\\f.txt", b"F")]
    path = str(tmp_path / "f.dat")
    write(path, entries if folder_first else entries[::-1])
    with quorvel.Archive(path) as a:
        a.extractall(str(tmp_path / "out"))
        assert a.extract("d\\", str(tmp_path / "one")).endswith("/d")
    assert (tmp_path / "out" / "d").is_dir() and (tmp_path / "one" / "d").is_dir()
    assert (tmp_path / "out" / "d" / "f.txt").read_bytes() == b"F"


def test_testarchive_finds_what_test_finds(tmp_path):
    path = str(tmp_path / "twice.dat")
    write(path, [(b"a", b"1"), (b"a", b"2")])
    assert cli("test", path).returncode == 1
    with quorvel.Archive(path) as a:
        with pytest.raises(quorvel.BadArchive, match="more than once"):
            a.testarchive()
        # Each EntryInfo still reads its own entry, not the first of its name.
        assert [a.read(info) for info in a.infolist()] == [b"1", b"2"]
        assert [a.open(info).read() for info in a.infolist()] == [b"1", b"2"]


def test_calls_of_the_wrong_kind_raise_what_python_raises(tmp_path):
    path = str(tmp_path / "k.dat")
    write(path, [(b"a", b"1")])
    with quorvel.Archive(path) as a:
        with pytest.raises(TypeError):
            a.read(5)
        with a.open("a") as f:
            with pytest.raises(io.UnsupportedOperation):
                f.fileno()


def test_ctrl_c_during_close_leaves_the_archive_as_it_was(tmp_path):
    import signal
    import threading
    path = tmp_path / "big.dat"
    write(str(path), [(b"old", b"x")])
    interrupted = written = False
    a = quorvel.Archive(str(path), "a")
    a.writestr("big", b"\0" * (64 << 20))
    timer = threading.Timer(0.05, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        a.close()
    except KeyboardInterrupt as e:
        interrupted = True
        written = "quorvel: the archive was written" in getattr(e, "__notes__", [])
    try:
        timer.join()  # the signal sent after close() returned comes here
    except KeyboardInterrupt:
        timer.join()
    names = [n for n, _ in read_archive(path.read_bytes())]
    # Interrupted before the rename: nothing written; after it, or not at
    # all: all of it, and the interrupt says so.
    assert names == ([b"old"] if interrupted and not written else [b"old", b"big"])


def test_messages_in_japanese_under_a_japanese_locale(tmp_path):
    code = "import quorvel\ntry:\n    quorvel.Archive('missing.dat')\nexcept OSError as e:\n" \
           "    print(e.strerror)\ntry:\n    quorvel.Archive('x.bin', 'w')\n" \
           "except ValueError as e:\n    print(e)\n"
    env = dict(os.environ, LANGUAGE="ja", LANG="ja_JP.UTF-8", LC_ALL="")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=str(tmp_path), env=env, check=True).stdout
    if "No such file" in out:
        pytest.skip("no Japanese locale on this machine")
    assert ".dat" in out and "アーカイブ" in out, out


def test_a_directory_whose_lines_end_in_cr_lf_is_read_whole(tmp_path):
    names, datas = [b"a.txt", "表.txt".encode("cp932")], [b"AAA", b"BB"]

    def directory(start):
        lines, offset = [], start
        for name, data in zip(names, datas):
            lines.append(name + b"\t%010d %010d\r\n" % (offset, offset + len(data)))
            offset += len(data)
        return b"FILECMB-DATA-LIST-IN\n" + b"".join(lines) + b"\r\n"

    path = tmp_path / "crlf.dat"
    path.write_bytes(directory(len(directory(0))) + b"".join(datas))
    assert cli("test", str(path)).returncode == 0
    assert cli("cat", str(path), "a.txt").stdout == b"AAA"
    with quorvel.Archive(str(path)) as a:
        assert a.testarchive() is None
        assert [a.read(n) for n in a.namelist()] == datas


def test_write_refuses_a_file_whose_size_changes_while_it_is_copied(tmp_path):
    # A file the system gives more bytes than its size says, as one that grows.
    with quorvel.Archive(str(tmp_path / "g.dat"), "w") as a:
        with pytest.raises(OSError, match="changed size"):
            a.write("/proc/self/status", "status")
        a.writestr("kept", b"k")
        assert a.namelist() == ["kept"]


def test_a_folder_entry_given_bytes_is_checked_as_a_file(tmp_path):
    with quorvel.Archive(str(tmp_path / "f.dat"), "w") as a:
        a.writestr("a/", b"")
        a.writestr("a/b", b"1")
        with pytest.raises(ValueError, match="both a file and a folder"):
            a.writestr("a/", b"x")
        a.writestr("a/", b"")  # still a folder entry: no clash


def test_names_and_paths_that_are_no_utf8_fail_as_their_kind(tmp_path):
    with pytest.raises(FileNotFoundError):
        quorvel.Archive(os.fsdecode(bytes(tmp_path) + b"/miss\x83.dat"))
    path = str(tmp_path / "n.dat")
    write(path, [(b"a", b"1")])
    with quorvel.Archive(path, "a") as a:
        with pytest.raises(KeyError):
            a.read("\udc83")
        with pytest.raises(ValueError, match="UTF-8"):
            a.writestr("\udc83", b"")
        a.writestr("c//d/./e", b"2")  # stored as update stores the path
    assert [n for n, _ in read_archive(open(path, "rb").read())] == [b"a", b"c\\d\\e"]


def test_removing_many_entries_costs_each_a_lookup(tmp_path):
    import time
    path = str(tmp_path / "many.dat")
    write(path, [(b"e%05d" % i, b"") for i in range(20000)])
    start = time.perf_counter()
    with quorvel.Archive(path, "a") as a:
        for i in range(0, 20000, 2):
            a.remove("e%05d" % i)
        assert len(a.namelist()) == 10000 and "e00000" not in a.namelist()
        with pytest.raises(KeyError):
            a.read("e00002")
        a.writestr("e00002", b"back")
    assert time.perf_counter() - start < 20  # was minutes: each removal rebuilt the index
    names = [n for n, _ in read_archive(open(path, "rb").read())]
    assert len(names) == 10001 and names[-1] == b"e00002"


def test_extractall_extracts_what_it_can_then_raises(tmp_path):
    path = str(tmp_path / "h.dat")
    write(path, [(b"..\\evil", b"x"), (b"ok", b"fine")])
    with quorvel.Archive(path) as a:
        with pytest.raises(quorvel.BadArchive, match=r"h\.dat: \.\.\\evil: refused"):
            a.extractall(str(tmp_path / "out"))
        with pytest.raises(ValueError, match="requires mode 'w' or 'a'"):
            a.writestr("x", b"")
    assert (tmp_path / "out" / "ok").read_bytes() == b"fine"
    assert not (tmp_path / "evil").exists()
    with quorvel.Archive(str(tmp_path / "w.dat"), "w") as a:
        with pytest.raises(ValueError, match="mode 'r' or 'a'"):
            a.testarchive()
