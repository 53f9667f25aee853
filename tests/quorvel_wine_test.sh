#!/bin/sh
# quorvel.exe under Wine prints what the native quorvel prints for the same
# archive, extracts it byte for byte, and names a missing plug-in.
# usage: quorvel_wine_test.sh QUORVEL_EXE NATIVE_QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
Q="wine $(realpath "$1")"
text_mode=1
native=$(realpath "$2")
. "$here/testlib.sh"

mkdir -p tree/sub/deeper
printf 'hello\n' >tree/a.txt
: >tree/sub/empty
head -c 200000 /dev/urandom >tree/sub/deeper/random.bin
"$native" pack -o tree.dat tree
for listing in "-l" "--json"; do
    "$native" list $listing tree.dat >native.txt
    expect 0 "list $listing" list $listing tree.dat
    check 'cmp -s out.txt native.txt' "list $listing differs from the native build"
done
expect 0 "extract" extract tree.dat -C out
check 'diff -r tree out/tree >/dev/null' "extraction differs from the originals"
expect 0 "pack" pack -o again.dat tree
check 'cmp -s again.dat tree.dat' "quorvel.exe packs other bytes than the native build"
expect 4 "a missing plug-in" --plugin missing.spi list tree.dat
has err.txt "missing.spi: cannot load the plug-in"
finish
