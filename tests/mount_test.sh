#!/bin/sh
# quorvel mount: an archive as a read-only folder. The tree against an
# extraction, a large entry, reads from four processes at once, writes that
# fail, the archive changing or cut short while mounted, the sizes the
# format allows, and nothing left running after the unmount.
# Skipped (77) where FUSE cannot be used.
# usage: mount_test.sh QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
Q=$(realpath "$1")
. "$here/testlib.sh"
need_fuse
daemons=""
trap 'for d in $daemons; do kill "$d" 2>/dev/null; done; for m in m*; do fusermount3 -u -z "$work/$m" 2>/dev/null; done; rm -rf "$work"' EXIT

# Mounts $1 at $2 in the foreground, in the background of this script;
# its messages go to $2.log. False if it did not come up.
mount_at() {
    mkdir -p "$2"
    $Q mount -f "$@" 2>"$2.log" &
    daemons="$daemons $!"
    eval "pid_$2=$!"
    for _ in $(seq 100); do
        grep -q " $work/$2 fuse" /proc/mounts && return 0
        kill -0 $! 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
# Unmounts $1 and checks that its quorvel has ended, with status 0.
unmount() {
    q umount "$1"
    eval "pid=\$pid_$1"
    wait "$pid"
    check '[ $? -eq 0 ] && ! kill -0 "$pid" 2>/dev/null && ! grep -q " $work/$1 " /proc/mounts' \
        "the mount at $1 did not end cleanly"
}

mkdir -p src/deep/er src/imgs
i=0
while [ $i -lt 200 ]; do
    printf 'image %d' $i >src/imgs/i$i.png
    i=$((i + 1))
done
head -c 30000000 /dev/urandom >src/deep/er/large.bin
: >src/empty
printf 'with space' >"src/deep/a name"
q pack -o tree.dat src >/dev/null
if ! mount_at tree.dat m; then
    echo "skipped: FUSE mounts are not allowed here: $(cat m.log)"
    exit 77
fi
q extract tree.dat -C out >/dev/null
check 'diff -r out m >/dev/null' "the mounted tree differs from an extraction"
check 'cmp -s m/src/deep/er/large.bin src/deep/er/large.bin' "a large entry reads wrong"
check '[ "$(stat -c %a:%s m/src/deep/er/large.bin)" = 444:30000000 ] &&
       [ "$(stat -c %a m/src/deep)" = 555 ]' "modes and sizes"
check '[ "$(stat -c %Y m/src/empty)" = "$(stat -c %Y tree.dat)" ]' \
    "files do not carry the archive's last-write time"
readers=""
for p in 1 2 3 4; do
    (for r in 1 2 3; do for f in m/src/imgs/*.png m/src/deep/er/large.bin; do cat "$f"; done; done |
        md5sum >reader$p.txt) &
    readers="$readers $!"
done
wait $readers
for f in src/imgs/*.png src/deep/er/large.bin; do cat "$f"; done >one.txt
for r in 1 2 3; do cat one.txt; done | md5sum >want.txt
check 'for p in 1 2 3 4; do cmp -s reader$p.txt want.txt || exit 1; done' "readers at once got other bytes"
check '! (echo x >m/src/new) 2>write.txt && grep -q "Read-only file system" write.txt' "a new file"
check '! (echo x >>m/src/empty) 2>write.txt && grep -q -e "Read-only" -e "Permission" write.txt' \
    "appending to an entry"
check '! mkdir m/src/new 2>write.txt && grep -q "Read-only file system" write.txt' "a new folder"
check '! rm -f m/src/empty 2>write.txt && grep -q "Read-only file system" write.txt' "removing an entry"

# Refused: a file that is not an archive, a missing folder, a folder already mounted.
mkdir -p empty-dir
expect 3 "mount a file that is not an archive" mount src/empty empty-dir
has err.txt "not a Quorvel archive"
expect 3 "mount on a missing folder" mount tree.dat missing
has err.txt "missing: No such file or directory"
expect 3 "mount on a folder already mounted" mount tree.dat m
has err.txt "something is already mounted there"
check '[ "$(grep -c " $work/" /proc/mounts)" -eq 1 ]' "a refused mount mounted something"
unmount m

# An archive that changes while mounted: reads fail, one line says why.
cp tree.dat changing.dat
mount_at changing.dat m2
cat m2/src/imgs/i1.png >/dev/null
touch -d '2001-01-01' changing.dat
check '! cat m2/src/imgs/i2.png >/dev/null 2>&1' "a read after the archive changed succeeded"
check '! cat m2/src/imgs/i3.png >/dev/null 2>&1' "a second read after the change succeeded"
check '[ "$(grep -c "the archive changed on disk" m2.log)" -eq 1 ]' "the change is not told once: $(cat m2.log)"
unmount m2

# A truncated archive: the entry cut short fails alone; undecodable names are left out.
head -c -5 tree.dat >cut.dat
mount_at cut.dat m3
check '! cat m3/src/imgs/i99.png >/dev/null 2>cat.txt && grep -q "Input/output error" cat.txt' \
    "the entry past the end did not fail with EIO"
check 'cat m3/src/imgs/i0.png >/dev/null' "an entry inside the file failed"
unmount m3
make_archive names.dat good.txt g 'bad\203' b
mount_at names.dat m4 -O CP932
check '[ "$(ls m4)" = good.txt ] && grep -q "bad\\\\x83: left out" m4.log' "an undecodable name"
unmount m4
# A file that is also a folder: the later entry is left out, and the warning
# says why.
make_archive both.dat 'd\\b.txt' b d x
mount_at both.dat m5
check '[ "$(cat m5/d/b.txt)" = b ] && grep -q "d: left out: an entry listed before takes its path, as a file or as a folder" m5.log' \
    "a file that is also a folder: $(cat m5.log)"
unmount m5

# The sizes the format allows: a 4 GiB archive whose first entry is near the
# 2 GiB block limit (sparse, so that it takes no room), and 100,000 entries.
big=$((2147483647 - 4096))
start=$((21 + 2 * 23 + 4 + 5 + 1))
last=$((4294967295 - 8))
{
    printf 'FILECMB-DATA-LIST-IN\n'
    printf 'huge\t%010d %010d\n' $start $((start + big))
    printf 'tail.\t%010d %010d\n' $last 4294967295
    printf '\n'
} >big.dat
truncate -s 4294967287 big.dat
printf 'the end!' >>big.dat
printf 'at 2 GiB' | dd of=big.dat bs=1 seek=$((start + big - 8)) conv=notrunc 2>/dev/null
awk 'BEGIN {
    n = 100000; start = 21 + 1
    for (i = 0; i < n; i++) start += length(sprintf("d/f%06d", i)) + 23
    printf "FILECMB-DATA-LIST-IN\n"
    for (i = 0; i < n; i++) printf "d/f%06d\t%010d %010d\n", i, start + i, start + i + 1
    printf "\n"
    for (i = 0; i < n; i++) printf "%d", i % 10
}' >many.dat
mount_at big.dat m5 --cache-size 64M
check '[ "$(stat -c %s m5/huge)" -eq $big ] && [ "$(cat m5/tail.)" = "the end!" ]' "a 4 GiB archive"
check '[ "$(tail -c 8 m5/huge)" = "at 2 GiB" ]' "an entry near the 2 GiB limit"
unmount m5
mount_at many.dat m6
check '[ "$(ls m6/d | wc -l)" -eq 100000 ] && [ "$(cat m6/d/f099999)" = 9 ]' "100,000 entries"
unmount m6
# Only this test's mounts: other programs may run quorvel mount meanwhile.
check '[ -z "$(for p in $daemons; do kill -0 $p 2>/dev/null && echo $p; done)" ] &&
       [ "$(grep -c " $work/" /proc/mounts)" -eq 0 ]' \
    "something was left running or mounted"
finish
