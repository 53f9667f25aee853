#!/bin/sh
# Archives whose listing is not the whole file, or whose names clash: update
# refuses them and leaves them byte for byte, test calls them damaged with the
# reason, list and extract warn, and --drop-unowned-bytes drops only the
# bytes that no entry holds.
# usage: quorvel_account_test.sh QUORVEL                 (Linux)
#        quorvel_account_test.sh "wine quorvel.exe" windows
set -u
here=$(dirname "$(realpath "$0")")
case ${2:-} in
windows) Q=$1 text_mode=1 ;;
*) Q=$(realpath "$1") ;;
esac
. "$here/testlib.sh"

# refused ARCHIVE REASON: every command that reads says REASON, and update
# writes nothing.
refused() {
    cp "$1" before.dat
    expect 3 "update $1" update "$1" new.txt
    has err.txt "$2"
    check "cmp -s '$1' before.dat" "update changed $1"
    check '! ls -a | grep -q quorvel-tmp' "update of $1 left a temporary file"
    expect 1 "test $1" test "$1"
    has err.txt "$2"
    has out.txt "the directory damaged"
    expect 0 "list $1" list "$1"
    has err.txt "$2"
    rm -rf out && q extract "$1" -C out >/dev/null 2>err.txt
    has err.txt "$2"
}
printf 'new' >new.txt

# A first name of 214 bytes: the first line ends past the plug-in's 256-byte
# probe, and the listing is empty although the file holds two entries.
long=$(printf 'n%.0s' $(seq 214))
make_archive long.dat "$long" "$(printf 'b%.0s' $(seq 78))" short "the rest"
check '[ "$(wc -c <long.dat)" -eq 373 ] && [ -z "$(q list long.dat 2>/dev/null | tr -d "\r")" ]' \
    "the long first name no longer hides its entries"
refused long.dat "the first entry's line ends past byte 256, so the listing is not the whole archive"
# One byte shorter, the line fits the probe, but the name does not fit a record.
make_archive long213.dat "$(printf 'n%.0s' $(seq 213))" data
refused long213.dat "the entry line at byte 21 holds a name longer than 199 bytes, which the listing cuts"

# A line among the entry lines that is none: the listing skips it.
make_archive sound.dat a.txt alpha b.txt beta
{
    head -n 2 sound.dat
    printf 'no entry here\n'
    tail -n +3 sound.dat
} | sed 's/0000000078/0000000092/; s/0000000083/0000000097/; s/0000000087/0000000101/' >junk.dat
check '[ "$(q list junk.dat 2>/dev/null | tr -d "\r" | tr "\n" " ")" = "a.txt b.txt " ]' "junk.dat lists otherwise"
refused junk.dat "the directory line at byte 49 is not an entry line"

# No closing line: the last entry line closes the directory, and is lost.
make_archive closing.dat a.txt alpha b.txt beta
{
    head -n 3 closing.dat | sed 's/0000000078/0000000077/; s/0000000083/0000000082/; s/0000000087/0000000086/'
    printf 'alphabeta'
} >unclosed.dat
check '[ "$(q list unclosed.dat 2>/dev/null | tr -d "\r")" = a.txt ]' "unclosed.dat lists otherwise"
refused unclosed.dat "the directory's last line, at byte 49, is an entry line"
# The same without its LF, the data right after it, or as the only line; or a
# last line too long to tell (a name of 261 bytes).
may_be="may be an entry line that the listing leaves out"
head -c 76 unclosed.dat >nolf.dat && printf 'alphabeta' >>nolf.dat
refused nolf.dat "the directory's last line, at byte 49, $may_be"
printf 'FILECMB-DATA-LIST-IN\nname\t0000000047 0000000051DATA' >only.dat
refused only.dat "the directory's last line, at byte 21, $may_be"
long261=$(printf 'L%.0s' $(seq 261))
printf 'FILECMB-DATA-LIST-IN\na\t0000000329 0000000333\n%s\t0000000329 0000000333\nAAAA' "$long261" \
    >longlast.dat
refused longlast.dat "the directory's last line, at byte 45, $may_be"

# An entry whose bytes run past the end of the file.
head -c -2 sound.dat >cut.dat
refused cut.dat "places its bytes up to byte 87, past the end of the file (85 bytes)"

# The same name twice, and a name that is both a file and a folder, with
# either separator.
make_archive twice.dat 'd/a' one 'd\\a' two
refused twice.dat "the name d\\\\a is stored more than once, in the directory lines at bytes 21 and 47"
make_archive clash.dat x one 'x\\y' two
refused clash.dat "x is both a file and a folder (of x\\\\y)"
make_archive folder-first.dat 'x/./y' one x two
expect 1 "test a file named after an earlier entry's folder" test folder-first.dat
has err.txt "x is both a file and a folder (of x/./y)"
# Shift_JIS ソ ends in the byte of '\': ソ and ソ2 are two files, no folder.
make_archive sjis.dat '\203\134' one '\203\1342' two
expect 0 "test names whose second byte looks like a separator" test sjis.dat
lacks err.txt "."

# Bytes after the directory that no entry holds, between entries or at the
# end: refused, and dropped, alone, only when asked.
cp sound.dat trailing.dat && printf 'left over' >>trailing.dat
refused trailing.dat "9 bytes after the directory belong to no entry, the first of them at byte 87"
expect 3 "update with trailing bytes" update trailing.dat new.txt
has err.txt "drop-unowned-bytes"
cp sound.dat want.dat && q update want.dat new.txt 2>/dev/null
expect 0 "list an archive with trailing bytes" list trailing.dat
check '[ "$(tr "\n" " " <out.txt)" = "a.txt b.txt " ]' "list's output changed: $(cat out.txt)"
expect 0 "update --drop-unowned-bytes" update --drop-unowned-bytes trailing.dat new.txt
has err.txt "9 bytes that belonged to no entry were left out"
check 'cmp -s trailing.dat want.dat' "--drop-unowned-bytes dropped more or less than the loose bytes"
# A line that is no entry, anywhere in the directory (the first line too,
# where the listing then shows nothing): the flag drops that line and the
# bytes no entry holds, and keeps every entry line the listing could not show.
cp junk.dat junk-trailing.dat && printf 'left over' >>junk-trailing.dat
sed '2s/a\.txt/a\rtxt/' sound.dat >first-cr.dat  # the same length
for archive in junk-trailing.dat first-cr.dat; do
    expect 3 "update $archive" update $archive new.txt
    has err.txt "--drop-unowned-bytes writes the archive without the lines that are no entry lines"
    expect 0 "update --drop-unowned-bytes $archive" update --drop-unowned-bytes $archive new.txt
    has err.txt "1 directory line that was no entry line was left out"
done
check 'cmp -s junk-trailing.dat want.dat' "the damaged line, or an entry with it, was not dropped alone"
check '[ "$(q list first-cr.dat | tr -d "\r" | tr "\n" " ")" = "b.txt new.txt " ]' \
    "the entries after a damaged first line were not kept"
{
    head -n 3 sound.dat | sed 's/0000000083 0000000087/0000000085 0000000089/'
    printf '\nalpha..beta'
} >gap.dat
expect 3 "update with a gap between entries" update gap.dat new.txt
has err.txt "2 bytes after the directory belong to no entry, the first of them at byte 83"
expect 0 "update --drop-unowned-bytes of the gap" update --drop-unowned-bytes gap.dat new.txt
check 'cmp -s gap.dat want.dat' "the gap was not dropped alone"

# An offset past 4 GiB: the plug-in reads it modulo 2^32, here as the first
# entry's bytes. Neither cat nor extract hands those out as the entry's.
make_archive wrap.dat a AAA b BBB
sed 's/^b\t0000000073 0000000076/b\t4294967366 4294967369/' wrap.dat >wrapped.dat
check '! cmp -s wrap.dat wrapped.dat' "the offsets were not moved"
expect 3 "cat an entry whose offsets pass 4 GiB" cat wrapped.dat b
has err.txt "b: its directory line gives an offset past 4 GiB"
check '[ ! -s out.txt ]' "cat handed out another entry's bytes: $(cat out.txt)"
expect 1 "extract it" extract wrapped.dat -C wrapped
check '[ "$(ls wrapped)" = a ]' "extract wrote the entry: $(ls wrapped)"
# Listed, it is an entry whose bytes are not in the file: no repair drops it.
cp wrapped.dat before.dat
expect 3 "update --drop-unowned-bytes with an offset past 4 GiB" update --drop-unowned-bytes wrapped.dat new.txt
has err.txt "the directory line at byte 45 gives an offset past 4 GiB"
check 'cmp -s wrapped.dat before.dat' "update changed an archive with an offset past 4 GiB"

# What adds up passes: a sound archive, one with a closing text, an empty one.
expect 0 "test a sound archive" test sound.dat
lacks err.txt "."
{
    head -n 3 sound.dat | sed 's/0000000078/0000000085/; s/0000000083/0000000090/; s/0000000087/0000000094/'
    printf 'THE END\nalphabeta'
} >closed.dat
printf 'FILECMB-DATA-LIST-IN\n\n' >empty.dat
for archive in closed.dat empty.dat; do
    expect 0 "test $archive" test $archive
    lacks err.txt "."
done
finish
