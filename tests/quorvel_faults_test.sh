#!/bin/sh
# Faults at quorvel's level on Linux: a full file system, a read-only
# target, an archive truncated or replaced between its listing and its
# reads, an input that shrinks while pack reads it, links swapped during an
# extraction; and that new archives reach the disk before they replace the old.
# Each time: the exit status and message, no partly written file under its
# final name, and no existing archive or file damaged.
# usage: quorvel_faults_test.sh QUORVEL FAULT_PRELOAD_LIBRARY
set -u
here=$(dirname "$(realpath "$0")")
Q=$(realpath "$1")
preload=$(realpath "$2")
. "$here/testlib.sh"
mounted=""
trap 'for m in $mounted; do umount "$m"; done; rm -rf "$work"' EXIT

# Mounts a small tmpfs at $1 with options $2; false where mounting is not allowed.
small_mount() {
    mkdir -p "$1" && mount -t tmpfs -o "$2" tmpfs "$1" 2>/dev/null && mounted="$mounted $work/$1"
}
no_temporaries() { ! find "$@" -name '*quorvel-*' | grep -q .; }
# Every file under $1 equals the one of the same name under $2.
all_whole() {
    (cd "$1" && find . -type f) | while read -r f; do cmp -s "$1/$f" "$2/$f" || echo "$f"; done |
        grep -q . && return 1
    return 0
}

mkdir -p src/d
for i in 1 2 3 4 5 6; do head -c 100000 /dev/urandom >src/d/e$i.bin; done
q pack -o five.dat src >/dev/null

# A full file system: the entries that fit are whole, the others not there
# at all; the output could not be used (exit 3), and extraction stops there.
if small_mount full size=256k; then
    printf 'old' >full/keep
    expect 3 "extract onto a full file system" extract five.dat -C full
    has err.txt "No space left on device"
    check 'all_whole full/src src && no_temporaries full' "a partly written file was left"
    check '[ -n "$(ls full/src/d)" ]' "nothing at all was extracted"
    # An archive that fits, and an update that does not.
    rm -rf full/src
    q pack -o small.dat src/d/e1.bin >/dev/null
    cp small.dat full/five.dat
    head -c 200000 /dev/urandom >src/d/new.bin
    cp full/five.dat before.dat 2>/dev/null
    expect 3 "update an archive on a full disk" update full/five.dat src/d/new.bin
    has err.txt "No space left on device"
    check 'cmp -s full/five.dat before.dat && no_temporaries full' "a failed update damaged the archive"
    rm src/d/new.bin
else
    echo "skipped: a full file system (mounting a tmpfs is not allowed here)"
fi

# A read-only target.
if small_mount ro ro,size=64k || { mkdir -p ro && chmod 555 ro && [ "$(id -u)" -ne 0 ]; }; then
    expect 1 "extract into a read-only folder" extract five.dat -C ro
    check 'grep -q -e "Read-only file system" -e "Permission denied" err.txt' "read-only: $(head -n 1 err.txt)"
    check '[ -z "$(ls ro)" ]' "something was written into a read-only folder"
else
    echo "skipped: a read-only target (as root without mounting, permissions do not stop writes)"
fi

# The archive truncated after its listing: what was read is whole, the rest refused.
# quorvel opens it four times to check, list and account for it, then once
# to read the entries: its head, the entry lines, then each entry's bytes.
cp five.dat cut.dat
AXQ_FAULT_FILE=cut.dat AXQ_FAULT_AT=5 AXQ_FAULT_READ=4 AXQ_FAULT_TRUNCATE=250000 LD_PRELOAD=$preload \
    expect 1 "extract an archive truncated during the extraction" extract cut.dat -C cut
check '[ "$(grep -c "the archive changed since it was listed" err.txt)" -eq 5 ]' \
    "not every entry after the cut was refused as changed: $(cat err.txt)"
check '[ -f cut/src/d/e1.bin ] && [ ! -e cut/src/d/e6.bin ] && all_whole cut/src src' \
    "the extraction of a truncated archive"
check 'no_temporaries cut' "a temporary file was left"

# Replaced by another archive with the same names: no entry is taken from it.
mkdir -p other/src/d
for i in 1 2 3 4 5 6; do head -c 100000 /dev/zero >other/src/d/e$i.bin; done
(cd other && $Q pack -o ../other.dat src) >/dev/null
cp five.dat swapped.dat
AXQ_FAULT_FILE=swapped.dat AXQ_FAULT_AT=5 AXQ_FAULT_REPLACE=other.dat LD_PRELOAD=$preload \
    expect 1 "extract an archive replaced after its listing" extract swapped.dat -C swapped
check '[ "$(grep -c "the archive changed since it was listed" err.txt)" -eq 6 ]' \
    "not every entry of the replaced archive was refused"
check '[ -z "$(find swapped -type f)" ]' "bytes of the other archive were extracted"

# An input that shrinks while pack reads it: no archive, the old one untouched.
cp five.dat packed.dat
AXQ_FAULT_FILE=src/d/e3.bin AXQ_FAULT_AT=1 AXQ_FAULT_TRUNCATE=10 LD_PRELOAD=$preload \
    expect 3 "pack an input that shrinks" pack -o packed.dat src
has err.txt "src/d/e3.bin: changed size while it was being read; the archive was not written"
check 'cmp -s packed.dat five.dat && no_temporaries .' "a failed pack damaged the archive"
head -c 100000 /dev/urandom >src/d/e3.bin
q pack -o five.dat src >/dev/null

# An input that another program swaps for a FIFO once the folder was walked:
# refused at once, not waited on.
cp five.dat packed.dat && mkfifo fifo
AXQ_FAULT_FILE=src/d/e3.bin AXQ_FAULT_AT=1 AXQ_FAULT_REPLACE=fifo LD_PRELOAD=$preload \
    timeout 60 "$Q" pack -o packed.dat src 2>err.txt
status=$?
check '[ $status -eq 3 ]' "pack of an input swapped for a FIFO: exit $status, wanted 3"
has err.txt "src/d/e3.bin: no longer a regular file; the archive was not written"
check 'cmp -s packed.dat five.dat && no_temporaries .' "a failed pack damaged the archive"
rm src/d/e3.bin && head -c 100000 /dev/urandom >src/d/e3.bin
q pack -o five.dat src >/dev/null

# An archive reached through a symbolic link is written where the link leads,
# and the link stays a link.
mkdir -p real
make_archive real/linked.dat x old
ln -s real/linked.dat link.dat
printf added >y
expect 0 "update an archive through a link" update link.dat y
check '[ -L link.dat ] && [ "$(stored_names real/linked.dat | tr "\n" " ")" = "x y " ]' \
    "update through a link did not update the archive it names"
expect 0 "pack through a link" pack -o link.dat y
check '[ -L link.dat ] && [ "$(stored_names real/linked.dat)" = y ] && no_temporaries . real' \
    "pack through a link did not write the archive it names"

# Only regular files are archives: a FIFO is neither opened for reading,
# which would wait for a writer, nor replaced by a new archive; nor is a
# device a link leads to.
mkfifo fifo.dat
Q="timeout 20 $Q" expect 3 "list a FIFO" list fifo.dat
has err.txt "fifo.dat: not a regular file"
Q="timeout 20 $Q" expect 3 "pack over a FIFO" pack -o fifo.dat y
has err.txt "fifo.dat: not a regular file; an archive replaces only a regular file"
check '[ -p fifo.dat ] && no_temporaries .' "a new archive replaced a FIFO"
expect 3 "pack a FIFO" pack -o fifo-in.dat fifo.dat
has err.txt "fifo.dat: a FIFO (named pipe) is not a file or a folder, so it cannot be stored"
# A device of our own, never the system's: a failure here would replace it.
if mknod null-device c 1 3 2>/dev/null; then
    ln -s null-device null.dat
    expect 3 "pack through a link to a device" pack -o null.dat y
    check '[ -L null.dat ] && [ -c null-device ] && no_temporaries .' \
        "a new archive replaced a device"
else
    echo "skipped: a device as the target (mknod is not allowed)"
fi

# In a tree being packed, a link to a file is stored as the file; what the
# format cannot hold is left out, and each is named.
mkdir -p tree/sub
printf a >tree/a && printf s >tree/sub/s
ln -s a tree/file-link && ln -s sub tree/folder-link && ln -s nowhere tree/dangling
mkfifo tree/fifo
expect 0 "pack a tree with links and a FIFO" pack -o tree.dat tree
check '[ "$(stored_names tree.dat | tr "\n" " ")" = "tree\\a tree\\file-link tree\\sub\\s " ]' \
    "pack of a tree with links: $(stored_names tree.dat | tr '\n' ' ')"
has err.txt "tree/folder-link: a symbolic link to a folder is not followed, so it is left out"
has err.txt "tree/dangling: a symbolic link that leads nowhere is left out"
has err.txt "tree/fifo: not a regular file or a folder, so it is left out"

# An archive replaced while update writes its successor: the other archive stays.
# Every entry is replaced by a file, so no entry's read notices the change.
make_archive race.dat x old
printf new >x
make_archive theirs.dat x mine y more
cp theirs.dat theirs.keep
AXQ_FAULT_FILE=x AXQ_FAULT_AT=1 AXQ_FAULT_ON=race.dat AXQ_FAULT_REPLACE=theirs.dat \
    LD_PRELOAD=$preload expect 3 "update an archive replaced while it is rewritten" update race.dat x
has err.txt "race.dat: the archive changed on disk while it was being rewritten"
check 'cmp -s race.dat theirs.keep && no_temporaries .' "update replaced another program's archive"

# Stopped by Ctrl-C or a kill while it writes: the old archive and no
# temporary file; after kill -9 too, which no handler sees: the new file has
# no name until it is whole.
cp five.dat packed.dat
for signal in 2 15 9; do
    AXQ_FAULT_FILE=src/d/e3.bin AXQ_FAULT_AT=1 AXQ_FAULT_SIGNAL=$signal LD_PRELOAD=$preload \
        expect $((128 + signal)) "pack stopped by signal $signal" pack -o packed.dat src
    check 'cmp -s packed.dat five.dat && no_temporaries .' \
        "pack stopped by signal $signal left a temporary file or changed the archive"
done
AXQ_FAULT_FILE=src/d/e3.bin AXQ_FAULT_AT=1 AXQ_FAULT_SIGNAL=2 LD_PRELOAD=$preload \
    expect 130 "update stopped by Ctrl-C" update packed.dat src/d/e3.bin
check 'cmp -s packed.dat five.dat && no_temporaries .' "update stopped by Ctrl-C left a temporary file"
AXQ_FAULT_FILE=src/d/e3.bin AXQ_FAULT_AT=1 AXQ_FAULT_SIGNAL=9 LD_PRELOAD=$preload \
    expect 137 "update killed" update packed.dat src/d/e3.bin
check 'cmp -s packed.dat five.dat && no_temporaries .' "update killed left a temporary file"

# The unsaved edits of a writable mount that was killed would no longer apply
# to an updated archive: update, and pack over it, are refused until they
# are saved or dropped.
cp five.dat edited.dat
mkdir .edited.dat.quorvel-edits
expect 3 "update an archive with unsaved edits" update edited.dat src/d/e1.bin
has err.txt "unsaved edits are in $work/.edited.dat.quorvel-edits"
expect 3 "pack over an archive with unsaved edits" pack -o edited.dat src/d/e1.bin
has err.txt "unsaved edits are in $work/.edited.dat.quorvel-edits"
check 'cmp -s edited.dat five.dat' "a writer changed an archive with unsaved edits"
rmdir .edited.dat.quorvel-edits

# extract stopped by Ctrl-C while it writes an entry leaves no temporary file:
# a new file is unnamed until it is whole (made in "."), and one that
# replaces another has a temporary name (exec keeps the shell's id, which
# that name holds).
AXQ_FAULT_FILE=. AXQ_FAULT_AT=3 AXQ_FAULT_SIGNAL=2 LD_PRELOAD=$preload \
    "$Q" extract five.dat -C stopped 2>err.txt
status=$?
check '[ $status -eq 130 ] && [ -f stopped/src/d/e2.bin ] && [ ! -e stopped/src/d/e3.bin ]' \
    "extract stopped by Ctrl-C: status $status, $(find stopped -type f | tr '\n' ' ')"
check 'no_temporaries stopped' "extract stopped by Ctrl-C left a temporary file"
AXQ_FAULT_AT=1 AXQ_FAULT_SIGNAL=2 LD_PRELOAD=$preload \
    sh -c 'AXQ_FAULT_FILE=.quorvel-$$-3 exec "$0" extract --overwrite five.dat -C stopped' "$Q" 2>err.txt
status=$?
check '[ $status -eq 130 ] && no_temporaries stopped' \
    "extract --overwrite stopped by Ctrl-C: status $status, $(find stopped -type f | tr '\n' ' ')"

# Past the file size limit the kernel stops the writer: its temporary file goes too.
(ulimit -f 200 && exec "$Q" pack -o limited.dat src/d) 2>err.txt
status=$?
check '[ $status -ne 0 ] && [ ! -e limited.dat ] && no_temporaries .' \
    "pack past the file size limit: status $status, $(ls)"

# A temporary file left by a killed process that had quorvel's id is not in
# the way, and stays: quorvel takes another name (exec keeps the shell's id).
cp five.dat stale.dat
sh -c 'printf stale >"stale.dat.quorvel-tmp$$" && exec "$0" update stale.dat src/d/e1.bin' "$Q" \
    >out.txt 2>err.txt
status=$?
check '[ $status -eq 0 ] && [ "$(cat stale.dat.quorvel-tmp*)" = stale ]' \
    "a stale temporary file of the same id: $(cat err.txt)"
rm -f stale.dat.quorvel-tmp*

# Links swapped into the target while it is extracted never lead a write out of it.
mkdir -p many/d/sub outside
i=0
while [ $i -lt 2000 ]; do
    printf x >many/d/sub/f$i
    i=$((i + 1))
done
q pack -o many.dat many >/dev/null
mkdir -p race
(
    end=$(($(date +%s) + 20))
    while [ "$(date +%s)" -lt "$end" ] && [ ! -e race.done ]; do
        rm -rf race/many/d 2>/dev/null
        ln -sfn "$work/outside" race/many/d 2>/dev/null
        rm -f race/many/d 2>/dev/null
    done
) &
swapper=$!
$Q extract many.dat -C race >/dev/null 2>&1
touch race.done
wait $swapper
check '[ -z "$(ls -A outside)" ]' "a write followed a link out of the target"

# Names that Windows refuses are ordinary files on Linux; control characters are refused.
make_archive win.dat CON a 'x/a:b' b 'dot.' c 'space ' d 'ctl\001x' e
expect 1 "extract names Windows refuses" extract win.dat -C win
check '[ -f win/CON ] && [ -f "win/x/a:b" ] && [ -f win/dot. ] && [ -f "win/space " ]' \
    "Windows' refusals applied on Linux"
has err.txt 'ctl\\x01x: refused: a name with a control character'
# pack and update store no name that extract would refuse so.
printf c >"$(printf 'ctl\001x')"
expect 3 "pack a name with a control character" pack -o ctl.dat "$(printf 'ctl\001x')"
has err.txt 'ctl\\x01x: a name with a control character is not stored, as extract refuses it'
check '[ ! -e ctl.dat ]' "pack stored a name with a control character"

# A new archive is on the disk before it replaces the old one, and so is the rename.
if command -v strace >/dev/null; then
    strace -f -o trace.txt -e trace=fsync,rename,openat $Q pack -o five.dat src >/dev/null
    fsync_file=$(grep -n 'fsync(' trace.txt | head -n 1 | cut -d: -f1)
    rename=$(grep -n 'rename(".*quorvel-tmp.*", "five.dat")' trace.txt | cut -d: -f1)
    fsync_folder=$(grep -n 'fsync(' trace.txt | sed -n 2p | cut -d: -f1)
    check '[ -n "$fsync_file" ] && [ -n "$rename" ] && [ -n "$fsync_folder" ] &&
           [ "$fsync_file" -lt "$rename" ] && [ "$rename" -lt "$fsync_folder" ]' \
        "pack does not flush the archive, rename it, then flush the folder"
else
    echo "skipped: the order of flushes (strace is not installed)"
fi

# test reads an archive of many entries in a few opens, not one per entry
# (each GetFile opens the archive anew).
if command -v strace >/dev/null; then
    mkdir -p many && for i in $(seq 300); do printf "$i" >many/e$i; done
    q pack -o many.dat many >/dev/null
    strace -f -o trace.txt -e trace=openat $Q test many.dat >/dev/null
    opens=$(grep -c 'many\.dat"' trace.txt)
    check '[ "$opens" -lt 20 ]' "test opened the archive $opens times for 300 entries"
else
    echo "skipped: the opens of test (strace is not installed)"
fi
finish
