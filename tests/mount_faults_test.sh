#!/bin/sh
# quorvel mount --write when things go wrong: crashes while staging and
# while saving, damaged sidecars, files deleted while open, sizes the format
# cannot hold, archives with names the mount cannot show, odd paths, shared
# files, and what quorvel umount says and waits for.
# Skipped (77) where FUSE cannot be used.
# usage: mount_faults_test.sh QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
Q=$(realpath "$1")
. "$here/testlib.sh"
need_fuse
trap 'for m in m m2 "odd,dir\\x/m"; do fusermount3 -u -z "$work/$m" 2>/dev/null; done
      for p in $(cat pids 2>/dev/null); do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

# Mounts archive $1 writable at $2 (more options after), in the background;
# its messages go to $2.log. False if it did not come up.
mount_rw() {
    archive=$1 dir=$2
    shift 2
    mkdir -p "$dir"
    $Q mount --write "$@" "$archive" "$dir" 2>"$dir.log" || return 1
    mountpoint -q "$dir"
}
# Kills the mount of archive $1 at $2 with SIGKILL, and clears the dead mount.
crash() {
    kill -9 "$(cat "$(sidecar "$1")/mount.pid")"
    sleep 0.3
    fusermount3 -u -z "$2" 2>/dev/null
}
# Waits until $1 is a mount point.
await_mount() {
    for _ in $(seq 100); do mountpoint -q "$1" && return 0; sleep 0.1; done
    return 1
}
sidecar() { echo "$(dirname "$1")/.$(basename "$1").quorvel-edits"; }
names() { q list "$1" | tr '\n' ' '; }

make_archive game.dat 'd/a' alpha 'd/b' beta 'keep' kept 'last' end
cp game.dat orig.dat
if ! mount_rw game.dat m; then
    echo "skipped: FUSE mounts are not allowed here: $(cat m.log)"
    exit 77
fi
q umount m

# A crash while an entry is being staged leaves files/N that no line names,
# and numbers the journal reserved: both are swept on resume, and no number
# is used twice.
mount_rw game.dat m && printf 'x' >>m/d/b && crash game.dat m
s=$(sidecar game.dat)
for n in 1 2 3 4 5 6 7 8; do [ -e "$s/files/$n" ] || printf 'half a copy' >"$s/files/$n"; done
printf 'reserve\t50\n' >>"$s/journal"
mount_rw game.dat m
check 'printf y >>m/d/a' "a change after a crash while staging failed: $(cat m.log)"
check '[ "$(ls "$s/files" | wc -l)" -eq 2 ]' "unnamed staged files were kept: $(ls "$s/files")"
check '[ "$(grep -c "	5[1-9]$" "$s/journal")" -ge 1 ]' "a journaled number was used again"
q umount m
check '[ "$($Q cat game.dat d/a d/b)" = "alphaybetax" ]' "the resumed edits: $($Q cat game.dat d/a d/b)"

# A damaged sidecar is refused at mount, saying what is wrong.
cp orig.dat game.dat
mount_rw game.dat m && printf 'changed' >m/d/a && printf 'new file' >m/new && crash game.dat m
cp -r "$s" saved-sidecar
rm "$s/files/$(grep '^new' "$s/journal" | cut -f3)"
expect 3 "mount with a staged file missing" mount --write game.dat m
has err.txt "new: its changed bytes, .* are missing"
rm -r "$s" && cp -r saved-sidecar "$s"
: >"$s/files/$(grep '^stage' "$s/journal" | cut -f3)"
expect 3 "mount with an emptied staged file" mount --write game.dat m
has err.txt "d/a: its changed bytes, .* hold 0 bytes of the 7 written"
check 'cmp -s game.dat orig.dat' "a refused sidecar changed the archive"
rm -r "$s"

# An archive in the folder a mount would cover: the mount would read it
# through itself. Refused, and nothing is mounted.
mkdir -p inside && cp game.dat inside/
expect 3 "mount over the archive's folder" mount inside/game.dat inside
has err.txt "the archive is in this folder"
check '! mountpoint -q inside' "a mount covers its own archive"

# A file deleted while open stays readable through its open file, and
# nothing of it shows in the tree, not even after a crash.
mount_rw game.dat m
exec 3<m/d/a
rm m/d/a
check '[ "$(ls -A m/d)" = b ]' "a deleted open file shows: $(ls -A m/d | tr '\n' ' ')"
check '[ "$(cat <&3)" = alpha ]' "a deleted open file cannot be read"
check '[ "$(stat -L -c %h /proc/self/fd/3)" = 0 ]' "a deleted open file still has a name"
exec 4<m/d/b
rm m/d/b
check 'rmdir m/d' "rmdir of a folder whose files are open failed"
exec 3<&- 4<&-
# An editor's save over a file that another program holds open takes its place.
exec 3<m/keep
printf 'saved' >m/.keep.swp && mv m/.keep.swp m/keep
printf 'z' >m/z
exec 5>>m/z
rm m/z
printf 'written after the delete' >&5
crash game.dat m
exec 3<&- 5<&-
mount_rw game.dat m
check '[ "$(ls -A m | tr "\n" " ")" = "keep last " ]' "after a crash the tree is: $(ls -A m | tr '\n' ' ')"
q umount m
check '[ "$(names game.dat)" = "keep last " ] && [ "$($Q cat game.dat keep)" = saved ]' \
    "the saved archive: $(names game.dat)"

# Deleting every file saves an archive with no entries.
mount_rw game.dat m && rm m/keep m/last
expect 0 "umount after deleting every file" umount m
check '[ "$(q list game.dat | wc -l)" -eq 0 ] && q test game.dat >/dev/null' \
    "the empty archive: $(q list game.dat)"

# Sizes the format cannot hold are refused when they are made.
cp orig.dat game.dat
mount_rw game.dat m
check '! truncate -s 5G m/big 2>err.txt' "a 5 GiB file was made"
has err.txt "File too large"
check '! dd if=/dev/zero of=m/d/a bs=1 count=1 seek=4294967295 conv=notrunc 2>err.txt' \
    "a write past 4 GiB - 1 succeeded"
has err.txt "File too large"
rm -f m/big

# A touch, or an open for writing that writes nothing, changes nothing.
touch m/d/a && touch -d 2001-01-01 m/keep
exec 3<>m/d/b
exec 3>&-
: >>m/keep
check '[ -z "$(ls "$s/files")" ]' "an open without a write staged: $(ls "$s/files")"
cp -p game.dat before.dat
q umount m
check 'cmp -s game.dat before.dat && ! [ game.dat -nt before.dat ]' \
    "a touch rewrote the archive"

# fsync of a folder flushes the journal, as it does on a local disk.
if command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null; then
    mkdir -p m
    strace -f -e trace=fsync -o trace.txt $Q mount -f --write game.dat m 2>m.log &
    echo $! >>pids
    await_mount m
    printf 'x' >m/x && mv m/x m/y
    before=$(grep -c fsync trace.txt)
    /usr/bin/python3 -c 'import os; f = os.open("m", os.O_RDONLY); os.fsync(f)'
    check '[ "$(grep -c fsync trace.txt)" -gt "$before" ]' "fsync of a folder flushed nothing"
    q umount m
    wait
else
    echo "note: no strace here; fsync of a folder is not tested"
fi

# A save killed before its rename leaves no temporary file behind; one
# killed after it is finished by the next mount, not refused.
if command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null; then
    cp orig.dat game.dat
    for call in rename rename:when=2 unlinkat:when=2; do
        mkdir -p m
        strace -f -o /dev/null -e inject=$call:signal=SIGKILL $Q mount -f --write game.dat m \
            2>m.log &
        echo $! >>pids
        await_mount m
        printf "by $call" >m/d/a
        if [ $call = rename ]; then
            expect 3 "umount of a mount killed while saving" umount m
            has err.txt "the mount ended before its save was done; the edits are kept in"
            wait
            check 'cmp -s game.dat orig.dat' "a save killed before its rename changed the archive"
        else
            q umount m >/dev/null 2>&1 # the save is killed
            wait
            expect 0 "a read-only mount after a save killed after its rename" mount game.dat m
            lacks err.txt "unsaved edits"
            q umount m
        fi
        mount_rw game.dat m
        check '[ "$(cat m/d/a)" = "by $call" ]' "after a save killed at $call: $(cat m.log)"
        check '! ls | grep -q quorvel-tmp' "a killed save left its temporary file: $(ls)"
        q umount m
        check '[ "$($Q cat game.dat d/a)" = "by $call" ] && [ ! -e "$s" ] && [ ! -e "$s.removed" ]' \
            "the save after a save killed at $call"
    done
else
    echo "note: no strace here; a killed save is not tested"
fi

# A save killed just after it made its temporary file, before it noted the
# file's identity: the file is known by the name noted before it was made.
mount_rw game.dat m && printf 'early' >m/d/a && crash game.dat m
printf 'part of a save' >game.dat.quorvel-tmp99999
printf '%s\t0\t0\n' "$work/game.dat.quorvel-tmp99999" >"$s/saving"
mount_rw game.dat m
check '[ ! -e game.dat.quorvel-tmp99999 ] && [ "$(cat m/d/a)" = early ]' \
    "a temporary file noted by name was left, or the edits lost: $(cat m.log)"
q umount m

# umount waits for the save, not for a process: a mount that nobody reaps
# (its parent never waits) does not hold it up.
mkdir -p m
sh -c "$Q mount -f --write game.dat m 2>m.log & exec sleep 30" &
echo $! >>pids
await_mount m
printf 'unreaped' >m/d/a
check 'timeout 10 $Q umount m' "umount hung on a mount that nobody reaps"
check '[ "$($Q cat game.dat d/a)" = unreaped ]' "the unreaped mount did not save"

# A failed save says why and what happens next: here the archive changed.
mount_rw game.dat m && printf 'lost?' >m/d/a
touch -d 2002-02-02 game.dat
expect 3 "umount of a changed archive" umount m
has err.txt "the archive changed on disk since it was mounted"
has err.txt "the next mount --write refuses them; the changed and new files are in files/"
expect 3 "the stranded edits" mount --write game.dat m
check '[ "$(cat "$s/files/"*)" = "lost?" ]' "the stranded edit is not in files/"
rm -r "$s"

# Entries the mount cannot show are neither dropped nor brought back.
make_archive dup.dat "d/a" first "d/a" second "x" file "x\\\\y" old
cp dup.dat dup-before.dat
mount_rw dup.dat m
printf 'edited' >m/d/a
q umount m
check '[ "$(stored_names dup.dat | tr "\n" " ")" = "d/a d/a x x\\y " ] &&
       [ "$($Q cat dup.dat d/a)" = edited ]' "an edit of a shown duplicate: $(stored_names dup.dat)"
cp dup.dat dup-before.dat
mount_rw dup.dat m && rm m/d/a
expect 3 "umount that would bring back a hidden duplicate" umount m
has err.txt "d/a: the archive holds an entry of this name that the mount could not show"
has err.txt "refuses them again until that change is undone"
check 'cmp -s dup.dat dup-before.dat' "the refused save changed the archive"
mount_rw dup.dat m --discard-edits && rm m/x && mkdir m/x && printf 'new' >m/x/y
expect 3 "umount that would put a hidden x\\y first" umount m
check 'cmp -s dup.dat dup-before.dat' "the refused save changed the archive"
rm -r "$(sidecar dup.dat)"

# An archive whose listing is not the whole file (its first line ends past
# byte 256, so it lists as empty) is not mounted for writing.
make_archive long.dat "$(head -c 220 /dev/zero | tr '\0' n)" first 'b' second
cp long.dat long-before.dat
expect 3 "mount --write of an archive the listing leaves out" mount --write long.dat m
has err.txt "the listing is not the whole archive; it is not mounted for writing"
check 'cmp -s long.dat long-before.dat && [ ! -e "$(sidecar long.dat)" ]' \
    "a refused mount changed the archive or made a sidecar"

# Any character in the archive's path: a comma, a backslash.
mkdir -p 'odd,dir\x' && cp orig.dat 'odd,dir\x/g,1.dat'
mount_rw 'odd,dir\x/g,1.dat' 'odd,dir\x/m'
check 'printf odd >"odd,dir\\x/m/d/a"' "a write in a mount at an odd path: $(cat 'odd,dir\x/m.log')"
expect 0 "umount at an odd path" umount 'odd,dir\x/m'
check '[ "$($Q cat "odd,dir\\x/g,1.dat" d/a)" = odd ]' "the save at an odd path"

# The owner and the mode are kept when root saves a user's archive.
if [ "$(id -u)" -eq 0 ]; then
    cp orig.dat owned.dat && chown 1234:2345 owned.dat && chmod 600 owned.dat
    mount_rw owned.dat m && printf 'root' >m/d/a && q umount m
    check '[ "$(stat -c "%u:%g %a" owned.dat)" = "1234:2345 600" ]' \
        "the saved archive is $(stat -c '%u:%g %a' owned.dat)"
fi

# Two names of one file (hard links) are one archive: one writable mount.
ln orig.dat link.dat
mkdir -p m2
mount_rw orig.dat m
expect 3 "a second writable mount through a hard link" mount --write link.dat m2
has err.txt "mounted for writing already"
# update while it is mounted for writing would make the mount's save refuse
# its edits: update is refused instead, under any name of the file.
printf 'new' >new.txt
cp orig.dat orig-before.dat
expect 3 "update of an archive mounted for writing" update link.dat new.txt
has err.txt "the archive is mounted for writing or being updated"
expect 3 "pack over an archive mounted for writing" pack -o orig.dat new.txt
check 'cmp -s orig.dat orig-before.dat' "update or pack changed an archive mounted for writing"
q umount m
finish
