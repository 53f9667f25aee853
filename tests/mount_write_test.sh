#!/bin/sh
# quorvel mount --write: the ways programs save files, the order of the
# saved archive, names in the archive's code page, the sidecar surviving
# kill -9, a full disk and a changed archive, resuming and discarding edits.
# Skipped (77) where FUSE cannot be used.
# usage: mount_write_test.sh QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
Q=$(realpath "$1")
. "$here/testlib.sh"
need_fuse
trap 'for m in m*; do fusermount3 -u -z "$work/$m" 2>/dev/null; done
      for t in disk*; do umount -l "$work/$t" 2>/dev/null; done; rm -rf "$work"' EXIT

# Mounts archive $1 writable at $2 (more options after), in the background;
# its messages go to $2.log. False if it did not come up.
mount_rw() {
    archive=$1 dir=$2
    shift 2
    mkdir -p "$dir"
    $Q mount --write "$@" "$archive" "$dir" 2>"$dir.log" || return 1
    grep -q " $work/$dir fuse" /proc/mounts
}
names() { q list "$1" | tr -d '\r' | tr '\n' ' '; }
sidecar() { echo ".$(basename "$1").quorvel-edits"; }

mkdir -p src/img src/doc
printf 'one' >src/img/001.png
printf 'two' >src/img/002.png
printf 'alpha\nbeta\n' >src/doc/a.txt
printf 'bbbb' >src/doc/b.txt
printf 'keep' >src/keep.txt
printf 'src/img/001.png\nsrc/img/002.png\nsrc/doc/a.txt\nsrc/doc/b.txt\nsrc/keep.txt\n' |
    q pack -T - -o game.dat >/dev/null
if ! mount_rw game.dat m; then
    echo "skipped: FUSE mounts are not allowed here: $(cat m.log)"
    exit 77
fi
check '[ -d "$(sidecar game.dat)" ]' "no sidecar beside the archive"
check 'kill -0 "$(cat "$(sidecar game.dat)/mount.pid")"' "mount.pid names no process once mount returned"

# Every common way of saving a file.
printf 'ONE' | dd of=m/src/img/001.png conv=notrunc 2>/dev/null      # in place
printf 'TWO, longer' >m/src/img/.002.png.tmp && mv m/src/img/.002.png.tmp m/src/img/002.png
cp m/src/doc/b.txt m/src/doc/b.txt~ && printf 'B' >m/src/doc/b.txt  # a backup, then the file
rm m/src/doc/b.txt~
sed -i 's/beta/BETA/' m/src/doc/a.txt
printf 'more' >>m/src/keep.txt
truncate -s 2 m/src/keep.txt
cp src/doc/a.txt m/src/copied.txt
printf 'moved' >moved.txt && mv moved.txt m/src/moved.txt
if command -v rsync >/dev/null; then
    printf 'synced' >synced.txt
    rsync synced.txt m/src/doc/b.txt
fi
check '[ "$(cat m/src/img/001.png m/src/img/002.png m/src/keep.txt)" = "ONETWO, longerke" ]' \
    "the mount does not show the saved bytes"
check '[ "$(cat m/src/doc/a.txt)" = "$(printf "alpha\nBETA")" ]' "sed -i"

# Folders: a new one with a file, a renamed one, an empty one; a deletion.
mkdir m/src/new && printf 'n' >m/src/new/n.txt
mv m/src/doc m/src/text
mkdir m/src/empty
rm m/src/img/001.png
check '[ "$(ls m/src | tr "\n" " ")" = "copied.txt empty img keep.txt moved.txt new text " ]' \
    "the tree after the changes: $(ls m/src | tr '\n' ' ')"

# A program standing in a folder follows it when it is renamed; in a folder
# removed it can make nothing. No name is kept back for the mount itself.
mkdir m/src/stay
( cd m/src/stay && mv ../stay ../gone && printf here >made.txt )
check '[ "$(cat m/src/gone/made.txt 2>/dev/null)" = here ]' "a file made in a renamed folder"
check '( cd m/src/gone && rm made.txt && rmdir ../gone && ! touch late.txt 2>/dev/null )' \
    "a file was made in a removed folder"
check 'printf h >m/src/.fuse_hidden0001 && rm m/src/.fuse_hidden0001' "a name was kept back"
check '[ ! -e m/src/gone ] && [ ! -e m/src/stay ]' "the folders stayed"

# Names are checked when made: no CP932-free checks here, the archive is UTF-8.
check '! ln -s x m/src/link 2>/dev/null && ! ln m/src/keep.txt m/src/hard 2>/dev/null' \
    "links were made"
check '! mkfifo m/src/fifo 2>/dev/null' "a device node was made"
# A rename that would leave a whiteout (as overlay file systems ask) is refused.
check 'python3 -c "import ctypes, sys; c = ctypes.CDLL(None, use_errno=True)
sys.exit(c.renameat2(-100, b\"m/src/keep.txt\", -100, b\"m/src/w\", 4) == 0)" &&
    [ -e m/src/keep.txt ] && [ ! -e m/src/w ]' "a rename with a whiteout was done"
check '! touch "m/src/$(printf "a\tb")" 2>/dev/null' "a name with a TAB was made"
check '! touch "m/src/$(head -c 200 /dev/zero | tr "\0" x)" 2>/dev/null' "a name over 199 bytes"
check 'chmod 600 m/src/keep.txt && touch -d 2001-01-01 m/src/keep.txt' "mode and time changes"

# Two writers of one file see what a local file system shows them.
( for i in 1 2 3 4 5; do printf "a$i" >>m/src/both.txt; done ) &
( for i in 1 2 3 4 5; do printf "b$i" >>m/src/both.txt; done ) &
wait
check '[ "$(wc -c <m/src/both.txt)" -eq 20 ]' "appends from two processes were lost"
exec 3>m/src/both.txt 4>m/src/both.txt
printf AAAA >&3 && printf B >&4
exec 3>&- 4>&-
check '[ "$(cat m/src/both.txt)" = BAAA ]' "two writers of one file: $(cat m/src/both.txt)"

expect 0 "umount saves" umount m
has err.txt "src/empty: an empty folder is not stored"
check '[ ! -e "$(sidecar game.dat)" ]' "the sidecar stayed after a good save"
want="src\\img\\002.png src\\text\\a.txt src\\text\\b.txt src\\keep.txt src\\copied.txt "
want="${want}src\\moved.txt src\\new\\n.txt src\\both.txt "
check '[ "$(names game.dat)" = "$want" ]' "the saved order differs: $(names game.dat | tr '\\' /)"
q extract game.dat -C out >/dev/null
check '[ "$(cat out/src/img/002.png out/src/keep.txt out/src/moved.txt)" = "TWO, longerkemoved" ]' \
    "the saved bytes"
if command -v rsync >/dev/null; then
    check '[ "$(cat out/src/text/b.txt)" = synced ]' "rsync's save"
fi

# Nothing changed: the archive keeps its bytes and time, the sidecar goes.
cp -p game.dat before.dat
mount_rw game.dat m && cat m/src/keep.txt >/dev/null && q umount m
check 'cmp -s game.dat before.dat && ! [ game.dat -nt before.dat ]' \
    "an unchanged mount rewrote the archive"
check '[ ! -e "$(sidecar game.dat)" ]' "an unchanged mount left its sidecar"

# kill -9 after fsync loses nothing: the next mount resumes, and saves.
mount_rw game.dat m
printf 'first' >m/src/crash.txt
printf 'after crash' >m/src/.crash.txt.tmp && mv m/src/.crash.txt.tmp m/src/crash.txt
printf 'gone' >m/src/gone.txt && rm m/src/gone.txt
sync m/src/crash.txt
pid=$(cat "$(sidecar game.dat)/mount.pid")
kill -9 "$pid"
sleep 0.5
fusermount3 -u -z m 2>/dev/null
check 'cmp -s game.dat before.dat' "a killed mount changed the archive"
expect 0 "a read-only mount of an archive with edits" mount game.dat m
has err.txt "unsaved edits exist"
check '[ ! -e m/src/crash.txt ]' "the read-only mount shows unsaved edits"
q umount m
mount_rw game.dat m
check '[ "$(cat m/src/crash.txt)" = "after crash" ]' "the resumed mount lost the edit"
q umount m
expect 0 "cat the resumed edit" cat game.dat src/crash.txt
check '[ "$(cat out.txt)" = "after crash" ]' "the resumed edit was not saved"

# SIGTERM to a mount in the foreground saves, as an unmount does.
mkdir -p m
$Q mount -f --write game.dat m 2>m.log &
pid=$!
for _ in $(seq 100); do grep -q " $work/m fuse" /proc/mounts && break; sleep 0.1; done
printf 'by signal' >m/src/signal.txt
kill -TERM "$pid"
wait "$pid"
status=$?
check '[ $status -eq 0 ] && [ "$($Q cat game.dat src/signal.txt)" = "by signal" ]' \
    "SIGTERM did not save (exit $status): $(cat m.log)"

# --discard-edits drops them, saying so.
cp game.dat before.dat
mount_rw game.dat m && printf x >m/src/dropped.txt && kill -9 "$(cat "$(sidecar game.dat)/mount.pid")"
sleep 0.5
fusermount3 -u -z m 2>/dev/null
mount_rw game.dat m --discard-edits
has m.log "unsaved edits discarded"
check '[ ! -e m/src/dropped.txt ]' "--discard-edits kept an edit"
q umount m
check 'cmp -s game.dat before.dat' "--discard-edits changed the archive"

# A damaged or foreign sidecar is never applied.
mkdir "$(sidecar game.dat)" && printf 'not a journal\n' >"$(sidecar game.dat)/journal"
expect 3 "mount with a damaged sidecar" mount --write game.dat m
has err.txt "journal is damaged; nothing is mounted"
check '[ "$(cat "$(sidecar game.dat)/journal")" = "not a journal" ]' "the damaged sidecar changed"
rm -r "$(sidecar game.dat)"

# The archive replaced while mounted: reads fail, the save refuses, the edits stay.
mount_rw game.dat m
printf 'edit' >m/src/keep.txt
cp game.dat other.dat && touch -d 2003-03-03 other.dat && mv other.dat game.dat
cp game.dat replaced.dat
check '! cat m/src/img/002.png >/dev/null 2>&1' "an entry of a replaced archive was read"
expect 3 "umount of a replaced archive" umount m
has err.txt "changed on disk since it was mounted"
check 'cmp -s game.dat replaced.dat && [ -f "$(sidecar game.dat)/journal" ]' \
    "a refused save lost something"
expect 3 "the edits were made to another archive" mount --write game.dat m
has err.txt "another archive"
rm -r "$(sidecar game.dat)"

# Shift_JIS names stay Shift_JIS; a name with no form there is refused.
make_archive sjis.dat '\203\134\203\164\203\147\\\225\134\216\246.txt' hyouji
mount_rw sjis.dat m
printf 'new' >m/ソフト/新しい.txt
check '! touch m/ソフト/é.txt 2>err.txt' "a name with no Shift_JIS form was made"
has err.txt "Invalid or incomplete multibyte"
q umount m
printf '\203\134\203\164\203\147\\\225\134\216\246.txt\n\203\134\203\164\203\147\\\220\126\202\265\202\242.txt\n' >want.txt
check 'stored_names sjis.dat | cmp -s - want.txt' "the new name is not stored in Shift_JIS"

# A full disk at the save: the archive stays byte for byte, so do the edits.
mkdir disk && mount -t tmpfs -o size=1m tmpfs disk 2>/dev/null
if grep -q " $work/disk tmpfs" /proc/mounts; then
    head -c 600000 /dev/urandom >big.bin
    q pack -o disk/full.dat big.bin >/dev/null
    cp disk/full.dat full-before.dat
    mount_rw disk/full.dat m
    printf 'small edit' >m/small.txt
    expect 3 "umount with no room for the new archive" umount m
    has err.txt "No space left on device"
    has err.txt "the edits are kept"
    check 'cmp -s disk/full.dat full-before.dat' "a failed save changed the archive"
    check '[ -f "disk/$(sidecar full.dat)/journal" ] && ! ls disk | grep -q quorvel-tmp' \
        "a failed save lost the edits or left a temporary file"
    # A full disk while staging: the writer gets ENOSPC, earlier edits stay.
    mount_rw disk/full.dat m
    check '! head -c 2000000 /dev/zero 2>/dev/null >m/huge.bin' "a write past a full disk succeeded"
    check '[ "$(cat m/small.txt)" = "small edit" ]' "a full disk lost an earlier edit"
    q umount m 2>/dev/null
    rm -f big.bin && rm -f full-before.dat
else
    echo "note: no tmpfs could be mounted; the full-disk case is not tested here"
fi

# Folder entries show as folders; the save keeps those whose folder stays,
# in their places, and drops those whose folder went, also when another
# folder was made at its path.
make_archive folders.dat 'd\\' '' 'e\\' '' 'd\\x' 'x' 'f/' '' 'g\\' '' 'h\\' ''
mount_rw folders.dat m
check '[ -d m/d ] && [ -d m/e ] && [ -d m/f ] && [ "$(cat m/d/x)" = x ]' "folder entries are not folders"
rmdir m/e && printf 'y' >m/f/y && rmdir m/h && mkdir m/h
q umount m 2>err.txt
check '[ "$(stored_names folders.dat | tr "\n" " ")" = "d\\ d\\x f/ g\\ f\\y " ]' \
    "the save of folder entries: $(stored_names folders.dat | tr '\n' ' ')"
lacks m.log "g: an empty folder"
has err.txt "h: an empty folder"

# A folder read in pieces while another program changes it: no name
# twice, and none missing of those there throughout.
mount_rw folders.dat m
mkdir m/big && (cd m/big && seq -f "keep%04g" 2000 | xargs touch)
( i=0; while [ $i -lt 300 ]; do touch "m/big/a$i" && rm "m/big/a$(( i / 2 ))"; i=$((i + 1)); done ) &
churn=$!
while kill -0 $churn 2>/dev/null; do
    ls -f m/big >listed.txt
    check '[ -z "$(sort listed.txt | uniq -d)" ]' "a name listed twice: $(sort listed.txt | uniq -d | head -3)"
    check '[ "$(grep -c "^keep" listed.txt)" -eq 2000 ]' "names missing from a changing folder"
done
wait $churn
q umount m

# A folder where the sidecar cannot be made: nothing is mounted.
mkdir ro && cp game.dat ro/ && mount -o bind,ro ro ro 2>/dev/null
if grep -q " $work/ro " /proc/mounts; then
    expect 3 "mount --write beside a read-only folder" mount --write ro/game.dat m
    has err.txt "cannot keep edits beside the archive"
    check '! grep -q " $work/m fuse" /proc/mounts' "something was mounted"
    umount ro 2>/dev/null || umount -l ro # another program may be looking into it
fi
finish
