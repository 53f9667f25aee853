#!/bin/sh
# An entry over 2 GiB, in a sparse archive (a directory, a hole, a few bytes
# at each end of the entry), so that it costs little disk: every command that
# takes the entry reads it whole on Linux (test, cat, extract, update, the
# mount --write save); under Wine quorvel64.exe cats it, and the 32-bit
# quorvel.exe cats it or says honestly that memory ran short. Each command
# reads 2 GiB, so this takes a minute or more; the files the commands write
# go to /dev/shm where it has room.
# usage: large_entry_test.sh QUORVEL [sanitized]
#        large_entry_test.sh "wine quorvel64.exe" windows
#        large_entry_test.sh "wine quorvel.exe" windows32
set -u
here=$(dirname "$(realpath "$0")")
mode=${2:-}
case $mode in
windows*) Q=$1 text_mode=1 ;;
sanitized)
    echo "skipped: under AddressSanitizer each 2 GiB block would be a heap block of its own"
    exit 77
    ;;
*) Q=$(realpath "$1") ;;
esac
. "$here/testlib.sh"
# Room for the archive's rewritten copy and an extracted entry: 5 GiB.
if [ "$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')" -gt 5242880 ] 2>/dev/null; then
    big=$(mktemp -d /dev/shm/axq-large-XXXXXX)
else
    big=$work
fi
trap 'fusermount3 -u -z "$big/m" 2>/dev/null; rm -rf "$work" "$big"' EXIT
cd "$big" || exit 1

size=$((2147483648 + 4096)) # past the 2 GiB that one read delivers on some systems
start=$((21 + 3 * 23 + 8 + 7 + 8 + 1))
{
    printf 'FILECMB-DATA-LIST-IN\n'
    printf 'head.txt\t%010d %010d\n' $start $((start + 4))
    printf 'big.bin\t%010d %010d\n' $((start + 4)) $((start + 4 + size))
    printf 'tail.txt\t%010d %010d\n' $((start + 4 + size)) $((start + 8 + size))
    printf '\nHEAD'
} >a.dat
truncate -s $((start + 4 + size)) a.dat
printf 'TAIL' >>a.dat
printf 'BIGSTART' | dd of=a.dat bs=1 seek=$((start + 4)) conv=notrunc 2>/dev/null
printf 'BIG-END!' | dd of=a.dat bs=1 seek=$((start + 4 + size - 8)) conv=notrunc 2>/dev/null

# The entry's first and last 8 bytes where directory line $2 of archive $1 puts them.
ends() {
    archive=$1
    set -- $(sed -n "${2}p" "$1" | tr '\t' ' ')
    dd if="$archive" iflag=skip_bytes,count_bytes skip="$2" count=8 2>/dev/null
    dd if="$archive" iflag=skip_bytes,count_bytes skip=$(($3 - 8)) count=8 2>/dev/null
}
check '[ "$(ends a.dat 3)" = BIGSTARTBIG-END! ]' "the test's archive is not as meant"

case $mode in
windows)
    check '[ "$(q cat a.dat big.bin | tail -c 8)" = BIG-END! ]' "cat of the entry"
    finish
    exit
    ;;
windows32) # a 32-bit process may have no room for the block
    q cat a.dat big.bin 2>err.txt | tail -c 8 >out.txt
    check 'grep -q "BIG-END!" out.txt || grep -q "not enough memory" err.txt' \
        "the entry was neither read nor refused for want of memory: $(cat err.txt)"
    finish
    exit
    ;;
esac

expect 0 "test of an archive holding an entry over 2 GiB" test a.dat
check '[ "$(q cat a.dat big.bin | tail -c 8)" = BIG-END! ]' "cat of the entry"
# cat streams the entry: a piece at a time, never the whole 2 GiB in memory.
if command -v /usr/bin/time >/dev/null; then
    /usr/bin/time -f %M -o peak.txt "$Q" cat a.dat big.bin >/dev/null
    check '[ "$(tail -n 1 peak.txt)" -lt 65536 ]' "cat of 2 GiB peaked at $(tail -n 1 peak.txt) KiB"
fi
expect 0 "extract of the entry" extract a.dat big.bin -C out
check '[ "$(stat -c %s out/big.bin)" -eq $size ] && [ "$(head -c 8 out/big.bin)" = BIGSTART ] &&
       [ "$(tail -c 8 out/big.bin)" = BIG-END! ]' "the extracted entry"
rm -rf out

printf 'new' >new.txt
expect 0 "update of the archive" update a.dat new.txt
check '[ "$(q list a.dat | tr -d "\r" | tr "\n" " ")" = "head.txt big.bin tail.txt new.txt " ]' \
    "the updated archive's entries"
check '[ "$(ends a.dat 3)" = BIGSTARTBIG-END! ] && [ "$(q cat a.dat new.txt)" = new ]' \
    "the updated archive's bytes"

if [ -c /dev/fuse ] && command -v fusermount3 >/dev/null && mkdir m &&
    $Q mount --write a.dat m 2>m.log; then
    printf 'saved' >m/saved.txt
    expect 0 "the mount's save" umount m
    check '[ "$(ends a.dat 3)" = BIGSTARTBIG-END! ] && [ "$(q cat a.dat saved.txt)" = saved ]' \
        "the saved archive's bytes"
else
    echo "skipped: the mount --write save (no FUSE here: $(cat m.log 2>/dev/null))"
fi
finish
