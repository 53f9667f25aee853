# The Python module against zipfile on the same content as a stored zip, side
# by side in one run: namelist() of 100,000 entries (the open counted) and
# read() of every entry of 10,000 x 4 KiB. Median of interleaved runs, in ms.
# usage: python_bench.py DATA_DIR   (PYTHONPATH holding the built module)
import os
import statistics
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from mount_model_sides import build_archive  # noqa: E402

import quorvel  # noqa: E402

RUNS = 9


def make(folder, label, count, size):
    entries = [(b"script\\%06d.txt" % i, os.urandom(size)) for i in range(count)]
    ours, theirs = os.path.join(folder, label + ".dat"), os.path.join(folder, label + ".zip")
    if not os.path.exists(ours):
        with open(ours, "wb") as f:
            f.write(build_archive(entries))
        with zipfile.ZipFile(theirs, "w", zipfile.ZIP_STORED) as z:
            for name, data in entries:
                z.writestr(name.decode(), data)
    return ours, theirs


def ms(work):
    start = time.perf_counter()
    work()
    return (time.perf_counter() - start) * 1000


def side_by_side(title, ours, theirs):
    a, b = [], []
    for _ in range(RUNS):
        a.append(ms(ours))
        b.append(ms(theirs))
    mine, peer = statistics.median(a), statistics.median(b)
    print(f"{title:<44} {mine:9.1f} {peer:9.1f} {mine / peer:6.2f}")


def read_all_ours(path):
    with quorvel.Archive(path) as a:
        for name in a.namelist():
            a.read(name)


def read_all_zip(path):
    with zipfile.ZipFile(path) as z:
        for name in z.namelist():
            z.read(name)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    names_dat, names_zip = make(folder, "py-names-100000", 100000, 0)
    reads_dat, reads_zip = make(folder, "py-reads-10000", 10000, 4096)
    print(f"{'Python (ms, median of ' + str(RUNS) + ')':<44} {'quorvel':>9} {'zipfile':>9} {'ratio':>6}")
    side_by_side("open + namelist(), 100,000 entries",
                 lambda: quorvel.Archive(names_dat).namelist(),
                 lambda: zipfile.ZipFile(names_zip).namelist())
    side_by_side("open + read() of 10,000 x 4 KiB",
                 lambda: read_all_ours(reads_dat), lambda: read_all_zip(reads_zip))


main()
