#!/bin/sh
# The manual pages as man shows them at 80 columns. The Japanese one: no
# space between two Japanese characters (a line end in the page's source
# reads as one), no gap left by justifying a line, no line wider than the
# page, and each option's text under its option. Neither page runs the
# plug-in's rows from --version together.
# usage: manual_test.sh PAGE JAPANESE_PAGE
set -u
page=$(realpath "$1")
ja_page=$(realpath "$2")
Q=true
. "$(dirname "$(realpath "$0")")/testlib.sh"
if ! command -v man >/dev/null || ! locale -a | grep -qx 'ja_JP.utf8'; then
    echo "no man or no Japanese locale: skipped"
    exit 77
fi
show() { MANWIDTH=80 man -l "$1" 2>man.err; }
LANG=ja_JP.UTF-8 show "$ja_page" >ja.txt
check '[ -s ja.txt ] && grep -q "^説明" ja.txt' "man shows no Japanese page: $(cat man.err)"
check '! grep -q "break line" man.err' "groff could not break a line: $(cat man.err)"
LANG=C.UTF-8 show "$page" >en.txt
check '[ -s en.txt ] && grep -q "^DESCRIPTION" en.txt' "man shows no English page"

# The first and last lines (title and footer) are set apart by gaps of their own.
sed '1d;$d' ja.txt >body.txt
perl -CSD -ne 'print if /[\p{Han}\p{Hiragana}\p{Katakana}\x{3001}\x{3002}] +[\p{Han}\p{Hiragana}\p{Katakana}]/' \
    body.txt >spaced.txt
check '[ ! -s spaced.txt ]' "spaces between Japanese characters:
$(cat spaced.txt)"
# A short tag (-l, 0) and its text share a line across a gap of their own.
perl -ne 's/^( {7}\S{1,6} +)(?=\S)/" " x 14/e if /^ {7}\S{1,6} +\S/ && length($&) == 15;
          print if /\S {3,}\S/' body.txt >gaps.txt
check '[ ! -s gaps.txt ]' "justification gaps:
$(cat gaps.txt)"
check '[ "$(LC_ALL=ja_JP.UTF-8 wc -L <ja.txt)" -le 80 ]' "lines over 80 columns"
lacks ja.txt "discard-edits  *--write"
has ja.txt "^       --discard-edits$"

for shown in ja.txt en.txt; do
    lacks $shown "\(plug-in row\|プラグイン情報\)  *[0-9]*:.*\(plug-in row\|プラグイン情報\)  *[0-9]*:"
done
finish
