#!/bin/sh
# Entry names in double-byte code pages through quorvel: listing, extraction,
# lookup by a typed name, pack round trips and undecodable names. The names
# hold trail bytes that look like '\' or a letter: Shift_JIS ソ is 83 5C,
# 表 95 5C, ア 83 41, ヂ 83 61; GBK 錦 E5 5C; Big5 許 B3 5C; UHC 갂 81 41.
# usage: quorvel_names_test.sh QUORVEL                 (Linux)
#        quorvel_names_test.sh "wine quorvel.exe" windows [lean]
# Under Wine the checks of the names on disk are made on the Linux side,
# where Wine shows the wide names it created as UTF-8.
set -u
here=$(dirname "$(realpath "$0")")
case ${2:-} in
windows) Q=$1 text_mode=1 ;;
*) Q=$(realpath "$1") ;;
esac
lean=${3:-}
. "$here/testlib.sh"

# An archive as a Japanese Windows tool makes it: Shift_JIS names.
make_archive sjis.dat '\203\134\203\164\203\147/\225\134\216\246.txt' hyouji \
    'data/readme.txt' readme '\203\101.png' A '\203\141.png' DI
expect 0 "list a Shift_JIS archive" list sjis.dat
printf 'ソフト/表示.txt\ndata/readme.txt\nア.png\nヂ.png\n' >want.txt
check 'cmp -s out.txt want.txt' "list does not show the decoded names"
expect 0 "extract it" extract sjis.dat -C out
check '[ "$(cat out/ソフト/表示.txt)" = hyouji ] && [ "$(cat out/ヂ.png)" = DI ]' \
    "the entries are not under their decoded names"
check '[ "$(ls out | sort | tr "\n" " ")" = "data ア.png ソフト ヂ.png " ]' \
    "extraction made other files or folders: $(ls out | tr '\n' ' ')"
expect 0 "cat by a typed name" cat sjis.dat 'ソフト/表示.txt'
check '[ "$(cat out.txt)" = hyouji ]' "cat gave another entry"
# ア comes first; a lookup that folds trail bytes as letters would find it.
expect 0 "cat ignoring case" cat -i sjis.dat 'ヂ.PNG'
check '[ "$(cat out.txt)" = DI ]' "cat -i matched a trail byte as a letter"
expect 0 "list by a pattern" list sjis.dat '[ア-ン]*'
check '[ "$(tr "\n" " " <out.txt)" = "ア.png ヂ.png ソフト/表示.txt " ] ||
       [ "$(tr "\n" " " <out.txt)" = "ソフト/表示.txt ア.png ヂ.png " ]' "a pattern on decoded names"

if [ -z "$lean" ]; then
    make_archive gbk.dat '\345\134\320\134/\374\134.bin' gbk
    expect 0 "extract a GBK archive" extract -O GBK gbk.dat -C gbk
    check '[ "$(cat gbk/錦衆/黒.bin)" = gbk ]' "GBK names"
    make_archive big5.dat '\263\134\245\134\273\134.txt' big5
    expect 0 "extract a Big5 archive" extract --encoding=BIG5 big5.dat -C big5
    check '[ "$(cat big5/許功蓋.txt)" = big5 ]' "Big5 names"
    make_archive uhc.dat '\201\101\214\143.dat' uhc
    expect 0 "cat from a UHC archive" cat -O UHC uhc.dat '갂똠.dat'
    check '[ "$(cat out.txt)" = uhc ]' "UHC names"
    make_archive utf8.dat 'caf\303\251/\346\227\245\346\234\254.txt' u
    expect 0 "list a UTF-8 archive (auto)" list utf8.dat
    check '[ "$(cat out.txt)" = "café/日本.txt" ]' "auto reads all-UTF-8 names as UTF-8"
    # U+009B opens a terminal's control sequence as ESC [ does: shown escaped.
    make_archive c1.dat 'c1\302\233x' c1
    expect 0 "list a name with a C1 control character" list c1.dat
    check '[ "$(cat out.txt)" = "c1\\xc2\\x9bx" ]' "a C1 control was shown raw: $(cat out.txt)"
    # ... and refused as any control character is, by extract and by pack.
    expect 1 "extract a name with a C1 control character" extract c1.dat -C c1
    has err.txt 'refused: a name with a control character'
    check '[ -z "$(ls c1)" ]' "a C1 name was extracted"
    mkdir c1src && printf x >"c1src/$(printf 'nel\302\205')"
    expect 3 "pack a file whose name holds a C1 control" pack -o c1p.dat c1src
    has err.txt 'a name with a control character is not stored'
    # -i folds as Unicode does: final sigma, sigma and capital sigma alike.
    make_archive greek.dat '\316\243\316\221\316\243' g
    expect 0 "list -i finds a Greek name by another case" list -O UTF-8 -i greek.dat 'σας'
    check '[ "$(cat out.txt)" = ΣΑΣ ]' "list -i did not fold final sigma: $(cat out.txt)"

    # Names that are no text in the code page are refused one by one.
    make_archive bad.dat ok.txt ok 'lone\203' x 'trail\201 y' y './' z
    expect 1 "extract undecodable names" extract -O CP932 bad.dat -C bad
    has err.txt 'lone\\x83: the name is not valid CP932'
    has err.txt 'trail\\x81 y: the name is not valid CP932'
    has err.txt './: refused: the name is empty'
    check '[ "$(cat bad/ok.txt)" = ok ] && [ "$(ls bad)" = ok.txt ]' "the good entry is not alone"
    expect 0 "list shows undecodable names escaped" list -O CP932 bad.dat
    has out.txt 'lone\\x83'
    expect 2 "an unknown encoding" list -O EBCDIC-FR sjis.dat
    has err.txt "unknown encoding 'EBCDIC-FR'; accepted: auto, UTF-8"
fi

if [ -z "$lean" ] && [ "${2:-}" != windows ]; then
    # A UTF-8 name over 199 bytes that the listing cuts inside a character
    # (あ is 3 bytes) keeps auto on UTF-8 for the other names, and extracts
    # cut before that character: partly done, as that one is not extracted
    # under its stored name.
    long=xx$(printf '\\343\\201\\202%.0s' $(seq 70))
    make_archive cut.dat first 1 '\346\227\245.txt' 2 "$long" 3
    expect 1 "extract a UTF-8 archive with a name the listing cuts" extract cut.dat -C cut
    check '[ "$(cat cut/日.txt)" = 2 ] && [ "$(cat cut/xxああ*)" = 3 ]' \
        "names beside a cut one: $(ls cut | tr '\n' ' ')"
    expect 1 "test it" test cut.dat
    has out.txt "cut.dat: 3 entries, the directory damaged"
    # A first line past the first 256 bytes: the listing shows nothing, and
    # extract says so and fails, as test does.
    make_archive first.dat "$(printf 'z%.0s' $(seq 260))" 1 ok 2
    expect 1 "extract an archive whose first line the listing cannot show" extract first.dat -C first
    has err.txt "the first entry's line ends past byte 256"
    expect 1 "test it" test first.dat
fi

# pack converts names into the code page, and extract gives them back.
mkdir -p src/ソフト
printf hyouji >src/ソフト/表示.txt
printf DI >'src/アヂ.png'
expect 0 "pack into Shift_JIS" pack --encoding CP932 -o rt.dat src
printf 'src\\\203\101\203\141.png\nsrc\\\203\134\203\164\203\147\\\225\134\216\246.txt\n' >want.txt
check 'stored_names rt.dat | cmp -s - want.txt' "pack did not store Shift_JIS names with \\"
expect 0 "extract what was packed" extract rt.dat -C rt
check 'diff -r src rt/src >/dev/null' "the round trip through Shift_JIS differs"
if [ "${2:-}" != windows ]; then
    # A list file: UTF-8 with a byte-order mark, whose mark is no part of the
    # first name; and one in CP932, decoded before its separators are read
    # (ソ and 表 end in the byte of '\').
    printf '\357\273\277src/アヂ.png\n' >bom.txt
    expect 0 "pack -T of a UTF-8 list with a byte-order mark" pack -T bom.txt -o bom.dat
    expect 0 "list it" list bom.dat
    check '[ "$(cat out.txt)" = "src\\アヂ.png" ]' "the mark stayed in the name: $(cat out.txt)"
    printf 'src\\\203\134\203\164\203\147\\\225\134\216\246.txt\n' >sjis-list.txt
    expect 0 "pack -T of a CP932 list" pack -O CP932 -T sjis-list.txt -o sjl.dat
    expect 0 "list it" list sjl.dat
    check '[ "$(cat out.txt)" = "src\\ソフト\\表示.txt" ]' "a CP932 list line: $(cat out.txt)"
fi

# Made elsewhere, listed, extracted, packed again with the list: the same
# names byte for byte, in the same order, with the same bytes. Names with /
# take --separator /; names with \ (as Windows tools write them) the default.
# A folder entry comes back as the folder (empty or not) that its line names.
q list sjis.dat | tr -d '\r' >order.txt
(cd out && $Q pack -O CP932 --separator / -T ../order.txt -o ../again.dat) >/dev/null
check 'cmp -s sjis.dat again.dat' "a repacked / archive differs from the original"
make_archive backslash.dat '\203\134\203\164\203\147\\\225\134\216\246.txt' hyouji \
    'data\\' '' 'data\\readme.txt' readme 'empty\\' '' '\203\101.png' A
q list backslash.dat | tr -d '\r' >order.txt
check 'grep -qxF "data\\readme.txt" order.txt' "list does not show the stored separator"
expect 0 "extract a \\ archive" extract backslash.dat -C backslash
(cd backslash && $Q pack -O CP932 -T ../order.txt -o ../again.dat) >/dev/null
check 'cmp -s backslash.dat again.dat' "a repacked \\ archive differs from the original"

# Entries that climb, as other tools may store them: quorvel lists them by
# their stored names (the plug-in's records leave the climbing parts out),
# update writes every one back as it was, and extract refuses them.
make_archive climb.dat '..\\up.txt' U '\\abs' A 'C:\\y' Y 'a\\..\\..\\b' B 'ok.txt' O
printf new >new.txt
expect 0 "list an archive with climbing entries" list climb.dat
check '[ "$(tr -d "\r" <out.txt | tr "\n" " ")" = "..\\up.txt \\abs C:\\y a\\..\\..\\b ok.txt " ]' \
    "list did not show the stored names: $(cat out.txt)"
expect 0 "update an archive with climbing entries" update climb.dat new.txt
stored_names climb.dat | tr '\n' ' ' >names.txt
check '[ "$(cat names.txt)" = "..\\up.txt \\abs C:\\y a\\..\\..\\b ok.txt new.txt " ]' \
    "update changed stored names: $(cat names.txt)"
expect 1 "extract climbing entries" extract climb.dat -C climb
check '[ "$(find climb -type f | sort | tr "\n" " ")" = "climb/new.txt climb/ok.txt " ] && [ ! -e up.txt ]' \
    "a climbing entry was written: $(find climb up.txt 2>&1)"

# A name of 282 bytes: its line is longer than GetFile reads and the
# listing shows it cut, but the entries around it are listed and read.
make_archive long282.dat ok O "$(printf 'L%.0s' $(seq 282))" L after A
expect 0 "list an archive with a 282-byte name" list long282.dat
check '[ "$(head -n 1 out.txt)" = ok ] && [ "$(tail -n 1 out.txt)" = after ]' \
    "the entries around a 282-byte name were not listed: $(cut -c 1-20 out.txt)"
expect 0 "cat the entry after a 282-byte name" cat long282.dat after
check '[ "$(cat out.txt)" = A ]' "cat gave $(cat out.txt)"

if [ -z "$lean" ]; then
    # Before writing anything: a name with no form in the code page, a name
    # over 199 bytes as stored.
    mkdir -p latin && printf x >latin/café.txt
    expect 3 "pack a name with no Shift_JIS form" pack -O CP932 -o latin.dat latin
    has err.txt 'latin/café.txt: the name has no representation in CP932'
    check '[ ! -e latin.dat ]' "a refused pack wrote an archive"
    long=$(printf '表%.0s' $(seq 67)) # 201 bytes in UTF-8, 134 in Shift_JIS
    mkdir -p long && printf x >"long/$long"
    expect 3 "pack a name over 199 bytes as UTF-8" pack -O UTF-8 -o long.dat long
    has err.txt "longer than 199 bytes"
    expect 0 "the same name fits in Shift_JIS" pack -O CP932 -o long.dat long
fi

if [ "${2:-}" = windows ] && [ -z "$lean" ]; then
    # Names that would reach something other than a plain file under the
    # target are refused one by one: devices, streams, trailing dots and
    # spaces, control characters; and a folder that is a link is not entered.
    make_archive win.dat ok.txt ok CON a 'x/aux.txt' b 'Com1.log' c 'x/a:b' d 'dot.' e         'space /x' f 'ctl\001x' g 'q<x>' h 'link/x' i
    mkdir -p win outside && ln -s "$work/outside" win/link
    expect 1 "extract names Windows refuses" extract win.dat -C win
    for refused in "CON: refused: a device name" "x/aux.txt: refused: a device name" \
        "Com1.log: refused: a device name" "x/a:b: refused: a ':' names a stream" \
        "dot.: refused: Windows drops" "space /x: refused: Windows drops" \
        'ctl\\x01x: refused: a name with a control character' "q<x>: refused: Windows does not allow" \
        "link/x: a folder on its path is a link"; do
        has err.txt "$refused"
    done
    check '[ "$(find win outside -type f)" = win/ok.txt ]' "refused names were written: $(find win outside -type f)"
fi

if [ "${2:-}" = windows ]; then
    # An archive path outside the ANSI code page reaches the plug-in by its short name.
    cp sjis.dat 'アーカイブ한.dat'
    expect 0 "list an archive whose path is outside the code page" list 'アーカイブ한.dat'
    check '[ "$(head -n 1 out.txt)" = "ソフト/表示.txt" ]' "the short path was not used"
fi
finish
