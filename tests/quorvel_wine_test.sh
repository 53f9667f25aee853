#!/bin/sh
# quorvel.exe under Wine prints what the native quorvel prints for the same
# archive, extracts it byte for byte, and names a missing plug-in.
# usage: quorvel_wine_test.sh QUORVEL_EXE NATIVE_QUORVEL
set -u
exe=$1
native=$2
work=$(mktemp -d /tmp/axq-wine-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
passed=0
failed=0
check() { if eval "$1"; then passed=$((passed + 1)); else echo "FAIL: $2"; failed=$((failed + 1)); fi; }

mkdir -p tree/sub/deeper
printf 'hello\n' >tree/a.txt
: >tree/sub/empty
head -c 200000 /dev/urandom >tree/sub/deeper/random.bin
"$native" pack -o tree.dat tree
"$native" list -l tree.dat >native.txt
wine "$exe" list -l tree.dat >wine.txt 2>wine-err.txt
check 'tr -d "\r" <wine.txt | cmp -s - native.txt' "list -l differs from the native build"
wine "$exe" extract tree.dat -C out >/dev/null 2>wine-err.txt
check 'diff -r tree out/tree >/dev/null' "extraction differs from the originals"
wine "$exe" --plugin missing.spi list tree.dat >/dev/null 2>wine-err.txt
status=$?
check '[ $status -eq 4 ] && grep -q "missing.spi: cannot load the plug-in" wine-err.txt' \
    "a missing plug-in is not named (status $status)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
