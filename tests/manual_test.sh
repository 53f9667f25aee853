#!/bin/sh
# The manual pages as man shows them at 80 and at 60 columns. The Japanese
# one: no space between two Japanese characters (a line end in the page's
# source reads as one), no gap left by justifying a line, no line wider than
# the page, no fragment left by a line break (fragments.pl), no heading that
# ends in a colon, and each option's text under its option; the same with
# groff's own Japanese settings, which would break between any two kana.
# Each line of the Japanese help reads in the page as it was written, spaces
# aside. Neither page runs the plug-in's rows from --version together.
# usage: manual_test.sh PAGE JAPANESE_PAGE QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
page=$(realpath "$1")
ja_page=$(realpath "$2")
Q=$(realpath "$3")
. "$here/testlib.sh"
if ! command -v man >/dev/null || ! locale -a | grep -qx 'ja_JP.utf8'; then
    echo "no man or no Japanese locale: skipped"
    exit 77
fi

for width in 80 60; do
    LANG=ja_JP.UTF-8 MANWIDTH=$width man -l "$ja_page" >ja.txt 2>man.err
    # As man-db 2.11 does, but with groff's Japanese macros (ja.tmac).
    LANG=ja_JP.UTF-8 groff -k -mja -man -Tutf8 -rLL=$((width - 2))n -P-cbou "$ja_page" \
        >ja-groff.txt 2>>man.err
    check '[ -s ja.txt ] && grep -q "^説明" ja.txt' "man shows no Japanese page: $(cat man.err)"
    check '! grep -q "break line" man.err' "groff could not break a line at $width columns: $(cat man.err)"
    for shown in ja.txt ja-groff.txt; do
        # The first and last lines (title and footer) are set apart by gaps of their own.
        sed '1d;$d' $shown >body.txt
        perl -CSD -ne 'print if /[\p{Han}\p{Hiragana}\p{Katakana}\x{3001}\x{3002}] +[\p{Han}\p{Hiragana}\p{Katakana}]/' \
            body.txt >spaced.txt
        check '[ ! -s spaced.txt ]' "spaces between Japanese characters ($shown, $width columns):
$(cat spaced.txt)"
        # A short tag (0, 1) and its text share a line across a gap of their own.
        perl -ne 's/^( {7}\S{1,6} +)(?=\S)/" " x 14/e if /^ {7}\S{1,6} +\S/ && length($&) == 15;
                  print if /\S {3,}\S/' body.txt >gaps.txt
        check '[ ! -s gaps.txt ]' "justification gaps ($shown, $width columns):
$(cat gaps.txt)"
        check '[ "$(LC_ALL=ja_JP.UTF-8 wc -L <$shown)" -le $width ]' "lines over $width columns ($shown)"
        perl "$here/fragments.pl" body.txt >fragments.txt
        check '[ ! -s fragments.txt ]' "fragments ($shown, $width columns):
$(cat fragments.txt)"
        perl -CSD -ne 'print if /^ {0,3}\S.*[\p{Han}\p{Hiragana}\p{Katakana}].*[:\x{FF1A}]$/' body.txt >colons.txt
        check '[ ! -s colons.txt ]' "headings that end in a colon ($shown, $width columns):
$(cat colons.txt)"
        # An option's row holds options only: its text goes on the next line.
        perl -ne 'print if /^ {7}-/ && $blank && grep { !/^-/ } split " "; $blank = !/\S/' body.txt >run-in.txt
        check '[ ! -s run-in.txt ]' "option text run in beside its option ($shown, $width columns):
$(cat run-in.txt)"
    done
    lacks ja.txt "discard-edits  *--write"
    has ja.txt "^       --discard-edits$"
    cp ja.txt ja$width.txt
done

# The help's text of each line (a row's after its tag), spaces taken out,
# against the page's text at 60 columns, spaces taken out: no character
# lost, added or moved in setting the page.
LANGUAGE=ja LANG=ja_JP.UTF-8 $Q --help >help.txt
perl -CSD -e 'local $/; open my $page, "<", $ARGV[1]; (my $shown = <$page>) =~ s/\s//g;
    open my $help, "<", $ARGV[0];
    for (split /\n/, <$help>) {
        next if /:$/ || /^  \S/ && !/\S  +\S/ || /^\S.*: quorvel /;
        s/^  \S.*?  +//;
        s/\s//g;
        print "$_\n" if index($shown, $_) < 0;
    }' help.txt ja60.txt >lost.txt
check '[ ! -s lost.txt ]' "help lines the page does not read as written:
$(cat lost.txt)"

LANG=C.UTF-8 MANWIDTH=80 man -l "$page" >en.txt 2>man.err
check '[ -s en.txt ] && grep -q "^DESCRIPTION" en.txt' "man shows no English page"
for shown in ja80.txt en.txt; do
    lacks $shown "\(plug-in row\|プラグイン情報\)  *[0-9]*:.*\(plug-in row\|プラグイン情報\)  *[0-9]*:"
done
finish
