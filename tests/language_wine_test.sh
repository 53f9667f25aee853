#!/bin/sh
# quorvel.exe under Wine speaks Japanese when the user's language is Japanese
# and English otherwise, from the catalog built into it; LANGUAGE or LANG,
# where set, decide before the display language.
# usage: language_wine_test.sh QUORVEL_EXE
set -u
here=$(dirname "$(realpath "$0")")
exe=$(realpath "$1")
Q="wine $exe"
text_mode=1
. "$here/testlib.sh"
if ! locale -a | grep -qx 'ja_JP.utf8'; then
    echo "no Japanese locale (ja_JP.UTF-8): skipped"
    exit 77
fi
unset LANGUAGE LC_MESSAGES
printf 'not an archive\n' >plain.txt
make_archive names.dat 'readme.txt' 'hello' 'data\\\223\372\226\173\214\352.txt' 'abc'

# A Japanese system: Wine's display language and LANG are Japanese.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
expect 3 "not an archive, Japanese" list plain.txt
has err.txt "^quorvel: plain.txt: Quorvel アーカイブではありません$"
expect 0 "--help, Japanese" --help
has out.txt "^使用法: quorvel \[--plugin PATH\] COMMAND"
has out.txt "^  -l  *サイズ、最終更新日時、位置、合計も表示する \[list\]$"
expect 0 "list -l, Japanese" list -l names.dat
has out.txt "data\\\\日本語.txt$"
has out.txt "2 エントリ$"
# The display language alone, with no LANG in the program's environment.
wine cmd /c "set LANG=&& set LC_ALL=&& $(wine winepath.exe -w "$exe" 2>/dev/null | tr -d "\r") list plain.txt" >out.txt 2>err.txt
check '[ $? -eq 3 ]' "the display language alone: exit status"
has err.txt "Quorvel アーカイブではありません"
# LANGUAGE over the Japanese locale.
LANGUAGE=en expect 3 "LANGUAGE=en on a Japanese system" list plain.txt
has err.txt "^quorvel: plain.txt: not a Quorvel archive$"

# An English system.
export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8
expect 3 "not an archive, English" list plain.txt
has err.txt "^quorvel: plain.txt: not a Quorvel archive$"
expect 0 "--help, English" --help
has out.txt "^Usage: quorvel"
wine cmd /c "set LANG=&& set LC_ALL=&& $(wine winepath.exe -w "$exe" 2>/dev/null | tr -d "\r") list plain.txt" >out.txt 2>err.txt
has err.txt "not a Quorvel archive"
LANGUAGE=ja expect 3 "LANGUAGE=ja on an English system" list plain.txt
has err.txt "Quorvel アーカイブではありません"
finish
