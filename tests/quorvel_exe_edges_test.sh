#!/bin/sh
# quorvel.exe under Wine where Windows is not Linux: exact names in every
# code page whatever the system's, a closed pipe and a full disk, names that
# Windows changes or keeps for devices, folders past 260 characters, system
# messages in the tool's language, and an archive given as its own input.
# usage: quorvel_exe_edges_test.sh "wine quorvel.exe" [lean]   (under an English locale)
set -u
here=$(dirname "$(realpath "$0")")
Q=$1
text_mode=1
lean=${2:-}
. "$here/testlib.sh"
# Lean (32-bit Wine may run under emulation): one case of each fault.
full() { [ -z "$lean" ]; }
export LANGUAGE=en

# Exact names follow --encoding, also where the system's code page (1252)
# cannot decode them: GBK 中文簡.txt, BIG5 中文.txt, UHC 한국어.txt.
make_archive gbk.dat 'a.txt' a '\326\320\316\304\272\206.txt' gbk
make_archive big5.dat '\244\244\244\345.txt' big5
make_archive uhc.dat '\307\321\261\271\276\356.txt' uhc
expect 0 "cat a GBK name" cat -O GBK gbk.dat 中文簡.txt
check '[ "$(cat out.txt)" = gbk ]' "cat of a GBK name gave '$(cat out.txt)'"
if full; then
    expect 0 "cat a BIG5 name" cat -O BIG5 big5.dat 中文.txt
    check '[ "$(cat out.txt)" = big5 ]' "cat of a BIG5 name gave '$(cat out.txt)'"
    expect 0 "cat a UHC name" cat -O UHC uhc.dat 한국어.txt
    check '[ "$(cat out.txt)" = uhc ]' "cat of a UHC name gave '$(cat out.txt)'"
    expect 0 "list a GBK name" list -O GBK gbk.dat 中文簡.txt
    check '[ "$(cat out.txt)" = 中文簡.txt ]' "list of a GBK name: $(cat out.txt)"
    expect 0 "extract a GBK name" extract -O GBK gbk.dat 中文簡.txt -C gbk
    check '[ "$(cat gbk/中文簡.txt)" = gbk ] && [ ! -e gbk/a.txt ]' "extract of a GBK name"
    # A first name of exactly 199 bytes is whole, so update keeps it.
    long='d\\'
    i=0
    while [ $i -lt 96 ]; do long="$long\\326\\320" && i=$((i + 1)); done
    make_archive long.dat "$long\\272\\206.tx" kept
    printf new >new.txt
    expect 0 "update a GBK archive with a 199-byte first name" update -O GBK long.dat new.txt
    check '[ "$(stored_names long.dat | sed -n 2p)" = new.txt ]' "update did not add new.txt"
fi

# On a Chinese system (code page 936) what pack stores by default, list,
# extract and update read back under its own names, and update replaces it.
if full; then
    mkdir zh && printf one >zh/中文.txt
    (cd zh && LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 $Q pack -o ../zh.dat 中文.txt) >/dev/null 2>&1
    check '[ "$(stored_names zh.dat)" = "$(printf "\326\320\316\304.txt")" ]' \
        "pack on a Chinese system did not store GBK: $(stored_names zh.dat | od -c | head -n 2)"
    LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 expect 0 "list on a Chinese system" list zh.dat
    check '[ "$(cat out.txt)" = 中文.txt ]' "list on a Chinese system: $(cat out.txt)"
    LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 expect 0 "extract on a Chinese system" extract zh.dat -C zh-out
    check '[ "$(cat zh-out/中文.txt)" = one ]' "extract on a Chinese system: $(ls zh-out)"
    printf two >zh/中文.txt
    (cd zh && LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 $Q update ../zh.dat 中文.txt) >/dev/null 2>&1
    check '[ "$(stored_names zh.dat | wc -l)" -eq 1 ]' "update on a Chinese system added an entry"
    # A file given in another case is the entry of its name, as Windows
    # finds files: replaced, not added.
    mkdir -p cased/src/sub && printf old >cased/src/sub/b.txt
    (cd cased && $Q pack -o ../cased.dat src) >/dev/null 2>&1
    printf new >cased/src/sub/b.txt
    (cd cased && $Q update ../cased.dat SRC/SUB/B.TXT) >/dev/null 2>&1
    check '[ "$(stored_names cased.dat)" = "src\\sub\\b.txt" ]' \
        "update in another case: $(stored_names cased.dat | tr '\n' ' ')"
    # A Western system reads its own names in CP1252, and an archive from
    # Japan, whose names all read as CP932, in CP932.
    make_archive west.dat 'caf\351.txt' a '\334.txt' b
    expect 0 "list CP1252 names on a Western system" list west.dat
    check '[ "$(cat out.txt)" = "$(printf "café.txt\nÜ.txt")" ]' "CP1252 names: $(cat out.txt)"
    make_archive japan.dat '\203\\\201[\203X.txt' a
    expect 0 "list CP932 names on a Western system" list japan.dat
    check '[ "$(cat out.txt)" = ソース.txt ]' "CP932 names on a Western system: $(cat out.txt)"
fi

# What Windows has not: no mount in the help; a folder given as an archive
# is one, not a file access denied.
expect 0 "--help" --help
lacks out.txt mount
mkdir -p a-folder
expect 3 "list a folder" list a-folder
check '! grep -q -i "denied" err.txt' "list of a folder: $(cat err.txt)"

# A reader that closes the pipe ends quorvel quietly; a full disk says so.
head -c 2000000 /dev/urandom >big.bin
q pack -o big.dat big.bin >/dev/null
$Q cat big.dat big.bin 2>err.txt | head -c 10 >/dev/null
check '[ ! -s err.txt ]' "cat into a closed pipe made noise: $(cat err.txt)"
if full; then
    mkdir many
    i=0
    while [ $i -lt 800 ]; do : >"many/a-name-long-enough-that-eight-hundred-lines-fill-a-pipe-of-64-KiB-and-more-$i" && i=$((i + 1)); done
    q pack -o many.dat many >/dev/null
    $Q list many.dat 2>err.txt | head -n 1 >/dev/null
    check '[ ! -s err.txt ]' "list into a closed pipe made noise: $(cat err.txt)"
fi
if full && [ -w /dev/full ]; then
    $Q cat big.dat big.bin >/dev/full 2>err.txt
    check '[ $? -eq 3 ]' "cat to a full disk: exit status"
    has err.txt "standard output: No space left on device"
fi

# pack refuses, before writing anything, a name that Windows would open
# under another name (a trailing dot or space) or as a device.
mkdir -p x
printf s >s.txt && printf y >x/y.txt
set -- "s.txt."
full && set -- "s.txt." "x./y.txt" "s.txt "
for name in "$@"; do
    expect 3 "pack '$name'" pack -o td.dat "$name"
    has err.txt "trailing dot or space"
done
check '[ ! -e td.dat ]' "a refused pack wrote td.dat"
targets=aux.dat
full && targets="aux.dat COM1.dat CON"
for target in $targets; do
    expect 3 "pack -o $target" pack -o $target s.txt
    has err.txt "$target: the name of a device"
done

# Folders past 260 characters in all, from a folder deep enough that the
# names stored stay within 199 bytes.
long=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa
mkdir -p "far/$long/deep/b$long/c$long" && cd "far/$long"
printf far >"deep/b$long/c$long/far.txt"
expect 0 "pack a folder past 260 characters" pack -o deep.dat deep
expect 0 "list it" list deep.dat
check '[ "$(cat out.txt)" = "deep\\b$long\\c$long\\far.txt" ]' "pack of a deep folder: $(cat out.txt)"
if full; then
    printf farther >"deep/b$long/c$long/far.txt"
    expect 0 "update from a folder past 260 characters" update deep.dat "deep/b$long"
    expect 0 "cat it" cat deep.dat "deep/b$long/c$long/far.txt"
    check '[ "$(cat out.txt)" = farther ]' "update of a deep folder: $(cat out.txt)"
    expect 3 "pack a long absolute path" pack -o abs.dat "$PWD/deep"
    has err.txt "give it as a path below the current folder"
    # Extraction takes long paths too: into a folder whose path nears 260
    # characters with the file's name, and into one past it, folders made.
    expect 0 "extract where the file's path nears 260" extract deep.dat -C "x$long$long"
    check '[ "$(cat "x$long$long/deep/b$long/c$long/far.txt")" = farther ]' "extract near 260: $(cat err.txt)"
    expect 0 "extract below a folder past 260" extract deep.dat -C "y$long/y$long/y$long"
    check '[ -f "y$long/y$long/y$long/deep/b$long/c$long/far.txt" ]' "extract past 260: $(cat err.txt)"
fi
cd "$work"

# An archive is never one of its own inputs.
mkdir -p self && printf one >self/one.txt
q pack -o self/out.dat self >/dev/null && cp self/out.dat kept.dat
expect 3 "pack an archive into itself" pack -o self/out.dat self
has err.txt "self/out.dat: is the archive being written"
full && expect 3 "update an archive with itself" update self/out.dat self/out.dat
check 'cmp -s self/out.dat kept.dat' "the archive changed"

# System messages in the tool's language, with no sentence end of their own.
if locale -a | grep -qx 'ja_JP.utf8'; then
    LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 LANGUAGE=ja expect 3 "a missing archive, Japanese" list missing.dat
    lacks err.txt "No such file or directory"
    lacks err.txt "。$"
    if full; then
        LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 LANGUAGE=ja expect 3 "extract below a file, Japanese" \
            extract big.dat -C s.txt/sub
        lacks err.txt "。$"
    fi
else
    echo "no Japanese locale (ja_JP.UTF-8): its checks skipped"
fi
finish
