#!/bin/sh
# The quorvel command on real files: round trips, refusals and errors.
# usage: quorvel_test.sh QUORVEL
set -u
Q=$(realpath "$1")
. "$(dirname "$0")/testlib.sh"

# Renames an entry in an archive's directory to another name of the same length.
rename_entry() { LC_ALL=C sed -i "s#^$2	#$3	#" "$1"; }

# Round trip of a generated tree: nested folders, empty files, a large file.
mkdir -p tree/a/b/c tree/empty-dir
i=0
while [ $i -lt 300 ]; do
    printf 'file %d\n' $i >"tree/a/f$i.txt"
    i=$((i + 1))
done
: >tree/a/b/empty
head -c 3000000 /dev/urandom >tree/a/b/c/large.bin
printf 'with space' >"tree/a/name with space"
expect 0 "pack a tree" pack --separator / -o tree.dat tree
expect 0 "extract it" extract tree.dat -C out
diff -r tree/a out/tree/a >/dev/null && pass || fail "round trip differs"
expect 0 "list it" list tree.dat
[ "$(wc -l <out.txt)" -eq 303 ] && pass || fail "list has $(wc -l <out.txt) lines"
[ "$(head -n 1 out.txt)" = "tree/a/b/c/large.bin" ] && pass || fail "list is not sorted"
expect 0 "list -l" list tree.dat -l
has out.txt "303 entries"
expect 0 "cat" cat tree.dat tree/a/b/c/large.bin
cmp -s out.txt tree/a/b/c/large.bin && pass || fail "cat is not byte-exact"
expect 0 "cat ignoring case" cat tree.dat TREE/A/F7.TXT -i
expect 0 "cat an empty entry" cat tree.dat tree/a/b/empty
check '[ ! -s out.txt ]' "cat of an empty entry wrote bytes"
expect 0 "extract one named entry" extract tree.dat tree/a/f1.txt -C one
[ "$(ls -R one | grep -c txt)" -eq 1 ] && pass || fail "extract by name wrote other files"

# Existing files are kept unless --overwrite.
echo changed >out/tree/a/f1.txt
expect 1 "extract over existing files" extract tree.dat tree/a/f1.txt -C out
has err.txt "tree/a/f1.txt: exists"
grep -q changed out/tree/a/f1.txt && pass || fail "an existing file was replaced"
expect 0 "extract --overwrite" extract tree.dat tree/a/f1.txt -C out --overwrite
cmp -s out/tree/a/f1.txt tree/a/f1.txt && pass || fail "--overwrite did not replace"

# Names that lead outside the target folder are refused; the rest extract.
mkdir -p evil/zz evil/yy evil/xx evil/ok
for d in zz yy xx ok; do echo "$d" >"evil/$d/evil"; done
expect 0 "pack the evil tree" pack --separator / -o evil.dat evil
rename_entry evil.dat evil/xx/evil ../../x/evil
rename_entry evil.dat evil/yy/evil /tmp/yy/evil
rename_entry evil.dat evil/zz/evil C:/zz/x/evil
mkdir -p target
ln -s "$work/outside" target/evil
mkdir outside
expect 1 "extract the evil archive" extract evil.dat -C target
has err.txt "\.\./\.\./x/evil: refused"
has err.txt "/tmp/yy/evil: refused"
has err.txt "C:/zz/x/evil: refused"
has err.txt "evil/ok/evil: a folder on its path is a symbolic link"
[ -z "$(ls outside)" ] && [ ! -e /tmp/yy/evil ] && [ ! -e "$work/../x/evil" ] && pass ||
    fail "something was written outside the target"
rm target/evil
expect 1 "extract again without the link" extract evil.dat -C target
grep -qx ok target/evil/ok/evil && pass || fail "the safe entry was not extracted"

# A truncated archive: the entries that can be read are extracted.
head -c -1 tree.dat >cut.dat
expect 1 "extract a truncated archive" extract cut.dat -C cut
has err.txt "tree/a/name with space: the archive could not be read"
[ -f cut/tree/a/f299.txt ] && [ ! -e "cut/tree/a/name with space" ] && pass ||
    fail "truncated extraction"
ls -a cut/tree/a | grep -q quorvel-tmp && fail "a temporary file was left" || pass

# pack refuses what the format cannot hold, before writing anything.
cp tree.dat kept.dat
mkdir -p tabs && printf x >"tabs/a	b"
expect 3 "pack a name with a TAB" pack -o kept.dat tabs
has err.txt "TAB, CR or LF"
long=$(printf '%0200d' 0)
mkdir -p long && printf x >"long/$long"
expect 3 "pack a name over 199 bytes" pack -o kept.dat long
has err.txt "longer than 199 bytes"
mkdir -p nothing
expect 3 "pack no files" pack -o kept.dat nothing
has err.txt "no input files"
expect 3 "pack a missing input" pack -o kept.dat missing
cmp -s kept.dat tree.dat && pass || fail "a failed pack changed the existing archive"
ls | grep -q quorvel-tmp && fail "a failed pack left a temporary file" || pass

# A file is read where its stored name says: lnk/../a is a, whatever lnk
# leads to. One list: a second -T is refused, not read in place of the first.
mkdir -p dots/real/sub && echo here >dots/a && echo there >dots/real/a && ln -s real/sub dots/lnk
(cd dots && "$Q" pack -o ../dots.dat lnk/../a) && q cat dots.dat a >out.txt
check '[ "$(cat out.txt)" = here ]' "lnk/../a stored the bytes of another file: $(cat out.txt)"
expect 2 "pack with -T twice" pack -o twice.dat -T list1 -T list2
has err.txt "may be given once"

# Errors name the file and say what is wrong.
expect 3 "list a missing archive" list missing.dat
has err.txt "quorvel: missing.dat: No such file or directory"
expect 3 "list a file that is not an archive" list tree/a/f1.txt
has err.txt "quorvel: tree/a/f1.txt: not a Quorvel archive"
expect 1 "check a mix" check tree.dat tree/a/f1.txt
has out.txt "tree.dat: Quorvel archive"
has out.txt "tree/a/f1.txt: not a Quorvel archive"
expect 1 "cat a missing entry" cat tree.dat nope
has err.txt "quorvel: tree.dat: nope: no entry of that name"
expect 2 "an unknown command" frobnicate
expect 2 "an unknown option" list -x tree.dat
expect 0 "--version" --version
expect 0 "extract --help" extract --help

finish
