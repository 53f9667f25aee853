#!/bin/sh
# quorvel.exe against another process: a folder swapped for a link while
# extract runs, an archive replaced by a look-alike, two updates at once,
# Ctrl-C, names chosen to clash with its temporary files, and the marks and
# links of the archive it replaces. Races run for rounds within a time budget.
# usage: quorvel_wine_safety_test.sh QUORVEL_EXE [lean]
set -u
here=$(dirname "$(realpath "$0")")
exe=$(realpath "$1")
Q="wine $exe" text_mode=1
budget=60 rounds=30
[ "${2:-}" = lean ] && budget=20 rounds=3
. "$here/testlib.sh"

# race TEST SETUP RACER WHAT: runs SETUP, then $command with RACER beside
# it, round after round; TEST judges each round.
race() {
    deadline=$(($(date +%s) + budget)) round=0
    while [ $round -lt $rounds ] && [ "$(date +%s)" -lt $deadline ]; do
        round=$((round + 1))
        eval "$2"
        (eval "$3") &
        racer=$!
        eval "$command" >out.txt 2>err.txt
        status=$?
        wait $racer
        eval "$1" || { fail "$4 (round $round, exit $status)" && cat err.txt && return; }
    done
    pass
}
# awaits CONDITION: true once it holds, false after 30 s.
awaits() {
    n=0
    until eval "$1"; do
        [ $n -lt 3000 ] || return 1
        sleep 0.01
        n=$((n + 1))
    done
}

# A folder of the target swapped for a link to a folder outside while its
# first entry is written, the next to go over an older copy: nothing is
# made outside, not even for a moment (its time stays), and of the
# temporary files only the one being written may stay, empty, in the folder
# moved away (a Linux process ignores the folder's sharing under Wine, and
# leaves Windows that file's old path only). Each entry's name holds the
# old bytes or the new.
mkdir -p src/d
head -c 30000000 /dev/zero >src/d/big.bin
printf 'x\n' >src/d/x.txt
q pack -o swap.dat src/d/big.bin src/d/x.txt >/dev/null
kept_out() {
    left=$(find out -name ".quorvel-*")
    [ -z "$(ls -A outside)" ] && [ "$(stat -c %Y outside)" = 1000000000 ] &&
        { [ -z "$left" ] || { [ "$(dirname "$left")" = out/src/d.old ] && [ ! -s "$left" ]; }; } ||
        return 1
    for file in out/src/d*/*; do
        cmp -s "$file" "src/d/${file##*/}" || [ "$(cat "$file")" = old ] || return 1
    done
}
command='q extract swap.dat -C out --overwrite'
race kept_out \
    'rm -rf out outside && mkdir -p outside out/src/d && touch -d @1000000000 outside &&
     printf old >out/src/d/x.txt' \
    'awaits "ls -A out/src/d 2>/dev/null | grep -q -e quorvel -e big.bin" &&
     mv out/src/d out/src/d.old && ln -s ../../outside out/src/d' \
    "a folder swapped for a link: a file made outside, a temporary file left or an entry cut"

# The archive replaced while extract runs by another of the same size and
# time: no entry is written with the other's bytes.
mkdir -p one two
head -c 30000000 /dev/zero >one/big.bin
cp one/big.bin two/big.bin
printf 'one\n' >one/last.txt
printf 'two\n' >two/last.txt
(cd one && q pack -o ../one.dat big.bin last.txt >/dev/null)
(cd two && q pack -o ../two.dat big.bin last.txt >/dev/null)
touch -r one.dat two.dat
command='q extract live.dat -C out'
race '! grep -qs two out/last.txt' 'rm -rf out live.dat && cp -p one.dat live.dat' \
    'awaits "[ -n \"\$(ls -A out 2>/dev/null)\" ]" && cp -p two.dat next.dat && mv next.dat live.dat' \
    "extract wrote the bytes of the archive put in place of the one listed"

# Two updates of one archive, the second started a little later, by a time
# that varies: each that says it succeeded is in it, and one that failed was
# refused by the lock (the other's rename over an archive it was reading
# failed, under Wine, with "Access denied").
succeeded_or_held() {
    q list both.dat >names.txt || return 1
    for update in one two; do
        if [ "$(cat $update.status)" = 0 ]; then
            grep -q $update.txt names.txt && continue
        else
            grep -q "another quorvel is writing this archive" $update.out && continue
        fi
        # What each said, for the failure's report.
        for u in one two; do echo "$u: exit $(cat $u.status): $(tr -d '\r' <$u.out)"; done
        return 1
    done
}
command='q update both.dat one.txt >one.out 2>&1; echo $? >one.status'
race succeeded_or_held \
    'rm -f both.dat && cp one.dat both.dat && echo 1 >one.txt && echo 2 >two.txt' \
    'sleep "$(awk "BEGIN { srand($round); print rand() * 0.2 }")" &&
     q update both.dat two.txt >two.out 2>&1; echo $? >two.status' \
    "of two concurrent updates, one that exited 0 was lost or one failed but not by the lock"

# Ctrl-C while pack or extract writes removes the temporary file.
head -c 100000000 /dev/zero >huge.bin
q pack -o huge.dat huge.bin >/dev/null
for command in "pack -o cut.dat huge.bin" "extract huge.dat -C cut"; do
    rm -rf cut && mkdir cut
    $Q $command >/dev/null 2>&1 &
    pid=$!
    awaits '[ -n "$(find . cut -maxdepth 1 -name "*quorvel-*")" ] || ! kill -0 $pid 2>/dev/null'
    kill -INT $pid 2>/dev/null
    wait $pid
    check '[ -z "$(find . cut -maxdepth 1 -name "*quorvel-*")" ]' "Ctrl-C left the temporary file of $command"
done
# A second update while one writes is refused at once by its lock.
$Q update huge.dat one.txt >/dev/null 2>&1 &
pid=$!
awaits '[ -n "$(find . -maxdepth 1 -name "huge.dat.quorvel-*")" ] || ! kill -0 $pid 2>/dev/null'
expect 3 "a second update while one runs" update huge.dat two.txt
has err.txt "another quorvel is writing this archive"
wait $pid
rm -f huge.bin huge.dat

# Entries named like extract's temporary files take none of its names.
mkdir c
seq 0 4 3996 | sed 's/.*/c\/.quorvel-&-1001/' | xargs touch
printf 'intact' >c/victim.txt
q pack -o clash.dat c/.quorvel-* c/victim.txt >/dev/null
expect 0 "entries named like temporary files" extract clash.dat -C clash
check '[ "$(cat clash/c/victim.txt)" = intact ]' "the entry after them was not extracted"

# update keeps the hidden mark, refuses a read-only archive, and writes
# where a link leads, keeping the link.
cp one.dat marks.dat && wine attrib +h marks.dat >/dev/null
expect 0 "update of a hidden archive" update marks.dat one/last.txt
check 'wine attrib marks.dat | grep -q "H.*marks.dat"' "the hidden mark was dropped"
cp one.dat locked.dat && wine attrib +r locked.dat >/dev/null
expect 3 "update of a read-only archive" update locked.dat one/last.txt
has err.txt "read-only"
check 'cmp -s one.dat locked.dat' "a read-only archive was changed"
cp one.dat real.dat && ln -s real.dat link.dat
expect 0 "update through a link" update link.dat one/last.txt
check '[ -L link.dat ] && q list real.dat | grep -q "one.last.txt"' "the link was replaced"
finish
