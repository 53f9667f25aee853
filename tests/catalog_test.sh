#!/bin/sh
# The Japanese catalog: po/quorvel.pot is what xgettext makes of the sources
# now, po/ja.po translates every message of it and nothing else, and msgfmt
# checks it clean, with no fuzzy or untranslated message.
# usage: catalog_test.sh SOURCE_DIR NEW_POT XGETTEXT_COMMAND...   (writes NEW_POT)
set -u
source=$1 pot=$2
shift 2
cd "$source" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

"$@" || fail "xgettext failed"
grep -v '^"POT-Creation-Date:' "$pot" >"$pot.now"
grep -v '^"POT-Creation-Date:' po/quorvel.pot >"$pot.kept"
cmp -s "$pot.now" "$pot.kept" ||
    fail "po/quorvel.pot is not what the sources make: build the target pot, then update po/ja.po"
msgcmp po/ja.po "$pot" || fail "po/ja.po lacks a translation of a message above"
msgcmp --use-untranslated "$pot" po/ja.po 2>/dev/null ||
    fail "po/ja.po translates messages the sources no longer have"
statistics=$(msgfmt --check --statistics -o /dev/null po/ja.po 2>&1) || fail "msgfmt --check: $statistics"
case $statistics in
*fuzzy* | *untranslated*) fail "po/ja.po is not complete: $statistics" ;;
esac
echo "$statistics"
rm -f "$pot.now" "$pot.kept"
exit $failed
