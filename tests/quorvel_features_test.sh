#!/bin/sh
# quorvel's everyday features: its command line, patterns, the JSON
# listing, the archive's time, test, update and pack -T, and standard output
# that fails.
# usage: quorvel_features_test.sh QUORVEL                 (Linux)
#        quorvel_features_test.sh "wine quorvel.exe" windows
set -u
here=$(dirname "$(realpath "$0")")
case ${2:-} in
windows) Q=$1 text_mode=1 ;;
*) Q=$(realpath "$1") ;;
esac
. "$here/testlib.sh"

mkdir -p tree/a tree/b
i=0
while [ $i -lt 30 ]; do
    printf 'file %d\n' $i >"tree/a/f$i.txt"
    i=$((i + 1))
done
printf 'B' >tree/b/Big.TXT
q pack --separator / -o tree.dat tree >/dev/null

# getopt_long: options after operands, combined short options, "--", help per command.
expect 0 "options after the operands" list tree.dat -l
has out.txt "31 entries"
expect 0 "combined short options" list -li tree.dat 'TREE/B/*'
has out.txt "tree/b/Big.TXT"
cp tree.dat ./-dash.dat
expect 0 "an operand after --" list -- -dash.dat
expect 2 "an unknown option" list --frobnicate tree.dat
has err.txt "Usage: quorvel list"
expect 0 "help for one command" extract --help
has out.txt "Usage: quorvel extract"
has out.txt "--overwrite"

# Patterns and excludes on the names; a pattern that matches nothing is an error.
expect 0 "list by pattern" list tree.dat 'tree/a/f2?.txt'
check '[ "$(wc -l <out.txt)" -eq 10 ]' "f2?.txt matched $(wc -l <out.txt) entries"
expect 0 "extract by pattern with excludes" extract tree.dat 'tree/a/f1*' --exclude '*/f15.txt' \
    --exclude '*/f1?.txt' -C pat
check '[ "$(ls pat/tree/a | tr "\n" " ")" = "f1.txt " ]' "excludes: $(ls pat/tree/a | tr '\n' ' ')"
expect 1 "a pattern that matches nothing" extract tree.dat 'tree/a/f1.txt' '*.none' -C none
has err.txt "tree.dat: \*.none: no entry matches"
check '[ -f none/tree/a/f1.txt ]' "the names that matched were not extracted"
expect 0 "cat ignoring case by pattern" cat -i tree.dat '*/big.txt'
check '[ "$(cat out.txt)" = B ]' "cat -i with a pattern"
# cat writes in the order named, an entry named twice twice, as cat does files.
make_archive abc.dat a A b B c C
expect 0 "cat in the order named" cat abc.dat c a c
check '[ "$(cat out.txt)" = CAC ]' "cat wrote $(cat out.txt), not CAC"
expect 0 "cat a name, then a pattern, less an exclude" cat abc.dat b '*' --exclude a
check '[ "$(cat out.txt)" = BBC ]' "cat wrote $(cat out.txt), not BBC"

# The JSON listing parses back to the same entries.
expect 0 "list --json" list --json tree.dat
check '[ "$(jq -s length out.txt)" -eq 31 ]' "the JSON lines are not 31 objects"
q list tree.dat | tr -d '\r' >names.txt
check 'jq -r .name out.txt | cmp -s - names.txt' "JSON names differ from the listing"
check '[ "$(jq -s "map(.size) | add" out.txt)" -eq "$(cat tree/a/* tree/b/* | wc -c)" ]' "JSON sizes"
check 'jq -s -e "map(select(.position == 21 and (.stamp | type) == \"number\")) | length == 1" \
    out.txt >/dev/null' "JSON position and stamp"

# The archive's true last-write time, in the user's zone (winter and summer).
# Windows' runtime reads TZ in its own form, which EST5EDT also is.
newyork=America/New_York
[ "${2:-}" = windows ] && newyork=EST5EDT
cp tree.dat winter.dat && touch -d '2026-01-15 03:00:00 UTC' winter.dat
cp tree.dat summer.dat && touch -d '2026-07-15 03:00:00 UTC' summer.dat
TZ=UTC expect 0 "list -l in UTC" list -l winter.dat
has out.txt "2026-01-15 03:00:00  *21  tree/a/f0.txt"
TZ=$newyork expect 0 "list -l in New York" list -l winter.dat
has out.txt "2026-01-14 22:00:00  *21  tree/a/f0.txt"
TZ=$newyork expect 0 "list --json in New York, summer" list --json summer.dat
check '[ "$(jq -r .time out.txt | sort -u)" = "2026-07-14T23:00:00-04:00" ]' \
    "summer time in New York: $(jq -r .time out.txt | sort -u)"
TZ=UTC expect 0 "list --json in UTC" list --json summer.dat
check '[ "$(jq -r .time out.txt | sort -u)" = "2026-07-15T03:00:00+00:00" ]' "UTC in JSON"

# test: all well, then damaged archives, each entry named with what is wrong.
expect 0 "test a sound archive" test tree.dat
has out.txt "tree.dat: 31 entries, all OK"
head -c -1 tree.dat >cut.dat
expect 1 "test a truncated archive" test cut.dat
has err.txt "tree/b/Big.TXT: its bytes run past the end of the file"
has out.txt "cut.dat: 31 entries, 1 damaged"
{
    printf 'FILECMB-DATA-LIST-IN\n'
    printf 'one\t0000000129 0000000134\n'   # the directory is 129 bytes
    printf 'two\t0000000132 0000000135\n'
    printf 'three\t0000000010 0000000012\n'
    printf 'four\t0000000137 0000000136\n'
    printf '\n0123456789'
} >bad.dat
expect 1 "test an archive with overlapping and misplaced entries" test bad.dat
has err.txt "two: its bytes overlap those of one"
has err.txt "three: its bytes start inside the directory"
has err.txt "four: its end lies before its start"
expect 3 "test a file that is not an archive" test tree/a/f1.txt

# update replaces in place and appends; pack -T keeps a given order.
mkdir -p mod/x
printf c0 >mod/x/c && printf a0 >mod/x/a && printf b0 >mod/x/b
printf 'mod/x/c\nmod/x/a\nmod\\x\\b\n' | q pack -T - -o mod.dat >/dev/null
expect 0 "list an archive packed in list order" list mod.dat
check '[ "$(tr "\n" " " <out.txt)" = "mod\\x\\c mod\\x\\a mod\\x\\b " ]' "pack -T order: $(tr '\n' ' ' <out.txt)"
printf 'b1, longer' >mod/x/b && printf d1 >mod/x/d
cp mod.dat mod-before.dat
expect 0 "update" update mod.dat mod/x/b mod/x/d
expect 0 "list it" list mod.dat
check '[ "$(tr "\n" " " <out.txt)" = "mod\\x\\c mod\\x\\a mod\\x\\b mod\\x\\d " ]' "update order: $(tr '\n' ' ' <out.txt)"
q pack --separator / -o slash.dat mod/x/a >/dev/null
expect 0 "list an archive packed with --separator /" list slash.dat
check '[ "$(cat out.txt)" = mod/x/a ]' "pack --separator /: $(cat out.txt)"
expect 2 "pack --separator of another character" pack --separator : -o bad.dat mod/x/a
expect 0 "extract it" extract mod.dat -C upd
check '[ "$(cat upd/mod/x/c upd/mod/x/a upd/mod/x/b upd/mod/x/d)" = "c0a0b1, longerd1" ]' \
    "update's bytes"
expect 0 "test it" test mod.dat
# A failed update leaves the archive byte for byte, and no temporary file.
cp mod.dat kept.dat
expect 3 "update with a missing input" update mod.dat mod/x/missing
check 'cmp -s mod.dat kept.dat' "a failed update changed the archive"
expect 3 "update a file that is not an archive" update mod/x/a mod/x/b
check '[ "$(cat mod/x/a)" = a0 ]' "update changed a file that is not an archive"
check '! ls -a . mod/x | grep -q quorvel-tmp' "a temporary file was left"
# update never stores a name twice, or a name as both a file and a folder:
# such an archive is one that update itself refuses to rewrite.
printf e0 >mod/x/e
expect 3 "update with a new file given twice" update mod.dat mod/x/e mod/x/e
has err.txt "mod/x/e would be stored more than once; the archive is left as it is"
expect 3 "update with a replaced file given twice" update mod.dat mod/x/a ./mod/x/a
printf f0 >mod/x/f
q pack -o clash.dat mod/x/f >/dev/null && cp clash.dat clash-kept.dat
rm mod/x/f && mkdir mod/x/f && printf g0 >mod/x/f/g
expect 3 "update with a folder where the archive holds a file" update clash.dat mod/x/f
has err.txt "would be both a file and a folder"
check 'cmp -s mod.dat kept.dat && cmp -s clash.dat clash-kept.dat' "a refused update changed the archive"
# Names with '\' separators, as Windows tools write them, are matched and kept.
make_archive win.dat 'data\\a.txt' old 'data\\b.txt' keep
mkdir -p data && printf new >data/a.txt && printf added >data/c.txt
expect 0 "update an archive with backslash names" update win.dat data/a.txt data/c.txt
printf 'data\\a.txt\ndata\\b.txt\ndata\\c.txt\n' >want.txt
check 'stored_names win.dat | cmp -s - want.txt' "update changed the names' separators"
expect 0 "cat the replaced entry" cat win.dat 'data\a.txt'
check '[ "$(cat out.txt)" = new ]' "the entry was not replaced"

# An archive is never one of its own inputs, whatever path reaches it.
mkdir -p self && printf one >self/one.txt
q pack -o self/out.dat self >/dev/null && cp self/out.dat self-kept.dat
expect 3 "pack an archive into itself" pack -o self/out.dat self
has err.txt "self/out.dat: is the archive being written, so it cannot be one of its inputs"
expect 3 "update an archive with itself" update self/out.dat self/out.dat
ln self/out.dat self-link.dat
expect 3 "update an archive with a hard link to it" update self/out.dat self-link.dat
check 'cmp -s self/out.dat self-kept.dat' "a refused write changed the archive"

# Standard output that fails: one line and a nonzero status; a closed pipe is quiet.
if [ -w /dev/full ]; then
    $Q list tree.dat >/dev/full 2>err.txt
    check '[ $? -ne 0 ] && [ "$(grep -c . err.txt)" -eq 1 ]' "list to a full disk"
    has err.txt "standard output: No space left on device"
    $Q cat tree.dat tree/b/Big.TXT >/dev/full 2>err.txt
    check '[ $? -ne 0 ]' "cat to a full disk succeeded"
fi
$Q list tree.dat 2>err.txt | head -n 1 >/dev/null
check '[ ! -s err.txt ]' "a closed pipe made noise: $(cat err.txt)"

# -C: pack and update read the files relative to DIR and name them from it, as tar does.
expect 0 "pack -C" pack -C tree -o relative.dat a/f1.txt b
expect 0 "list of pack -C" list relative.dat
check '[ "$(tr -d "\r" <out.txt | tr "\n" " ")" = "a\\f1.txt b\\Big.TXT " ]' "pack -C named: $(cat out.txt)"
expect 0 "update -C" update -C tree/a relative.dat f2.txt
q cat relative.dat 'a\f1.txt' f2.txt >both.txt
check '[ "$(tr -d "\r" <both.txt)" = "$(printf "file 1\nfile 2")" ]' "update -C read other files"
# One -C for every file (tar's second would apply to the files after it);
# a folder outside the current one is refused before it is walked; a folder
# line names its folder however it is written, so one folder twice is refused.
expect 2 "pack with -C twice" pack -C tree -o twice.dat a -C tree/a f1.txt
has err.txt "may be given once"
expect 3 "pack of a folder by its absolute path" pack -o outside.dat "$(pwd)/tree"
has err.txt "give it as a path below the current folder"
printf 'tree/a/./\ntree/b/../a/\n' >lines.txt
expect 3 "pack -T of one folder written twice" pack -T lines.txt -o lines.dat
has err.txt "tree/a/: is given more than once"

# The command line says what is wrong with it, in quorvel's words and
# language, before the usage; and quorvel help [COMMAND] gives the help.
expect 2 "an unknown long option" list --bogus x.dat
has err.txt "quorvel: --bogus: unknown option"
expect 2 "a missing argument" list --exclude
has err.txt "quorvel: --exclude: needs an argument"
expect 2 "pack without -o" pack t.dat
has err.txt "quorvel: pack: -o ARCHIVE is needed"
expect 2 "list -l --json" list -l --json t.dat
has err.txt "quorvel: list: -l and --json cannot be given together"
expect 0 "help for one command" help extract
has out.txt "Usage: quorvel extract"
expect 2 "help for no command" help nothing
has err.txt "quorvel: nothing: unknown command"
finish
