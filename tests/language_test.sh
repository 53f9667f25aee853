#!/bin/sh
# quorvel in the user's language: Japanese messages and help under a
# Japanese locale, English under C, the language chosen from LANGUAGE,
# LC_ALL, LC_MESSAGES and LANG as gettext does; and what scripts read (list,
# list -l, --json, check, test's summary, exit statuses) the same in both.
# The program as built finds the catalog the build made beside it; as
# installed, the one under PREFIX/share/locale, for any PREFIX and DESTDIR.
# usage: language_test.sh QUORVEL   (the build's quorvel)
set -u
here=$(dirname "$(realpath "$0")")
Q=$(realpath "$1")
. "$here/testlib.sh"
if ! locale -a | grep -qx 'ja_JP.utf8'; then
    echo "no Japanese locale (ja_JP.UTF-8): skipped"
    exit 77
fi
unset LANGUAGE LC_ALL LC_MESSAGES LANG QUORVEL_LOCALEDIR
ja() { LANG=ja_JP.UTF-8 "$@"; }
en() { LANG=C "$@"; }

# An archive with an ASCII name, a Japanese one (CP932: 日本語.txt) and a
# folder; and a file that is not one.
make_archive names.dat 'readme.txt' 'hello' 'data\\\223\372\226\173\214\352.txt' 'abc' 'big.bin' '0123456789'
printf 'not an archive\n' >plain.txt

# Errors: the message Japanese, the subject and the exit status as in English.
ja expect 3 "not an archive, Japanese" list plain.txt
has err.txt "^quorvel: plain.txt: Quorvel アーカイブではありません$"
en expect 3 "not an archive, English" list plain.txt
has err.txt "^quorvel: plain.txt: not a Quorvel archive$"
ja expect 1 "a NAME that matches nothing, Japanese" list names.dat 'nothing*'
has err.txt "quorvel: names.dat: nothing\*: 一致するエントリがありません"
ja expect 3 "a missing file, Japanese (the system's own text)" list missing.dat
has err.txt "quorvel: missing.dat: そのようなファイル"
lacks err.txt "ディレクトリ" # quorvel's word is フォルダー
ja expect 2 "an unknown option, Japanese" list --bogus names.dat
has err.txt "^quorvel: --bogus: 不明なオプションです$"
ja expect 3 "umount of a folder with nothing mounted, Japanese" umount plain.txt
has err.txt "ここには quorvel のマウントがありません"
ja expect 3 "mount onto a file, Japanese" mount names.dat plain.txt
has err.txt "^quorvel: plain.txt: フォルダーではありません$"
ja expect 2 "an unknown encoding, Japanese" list -O EBCDIC names.dat
has err.txt "不明な文字コード 'EBCDIC' です"

# Help: the usage line and the sections as help2man reads them.
ja expect 0 "--help, Japanese" --help
has out.txt "^使用法: quorvel \[--plugin PATH\] COMMAND"
has out.txt "^コマンド:$"
has out.txt "^  -l  *サイズ、最終更新日時、位置、合計も表示する \[list\]$"
has out.txt "^終了ステータス:$"
ja expect 0 "extract --help, Japanese" extract --help
has out.txt "^使用法: quorvel extract \[OPTION\]\.\.\. ARCHIVE \[NAME\.\.\.\]$"
has out.txt "^オプション:$"
has out.txt "--overwrite  *既存のファイルを置き換える$"
ja expect 2 "a wrong command line, Japanese" list
has err.txt "詳しくは 'quorvel --help' を実行してください。"
en expect 0 "--help, English" --help
has out.txt "^Usage: quorvel"
lacks out.txt "使用法"
# No line of any help is wider than 79 columns, wide characters counting two:
# a console that wraps at its 80th column adds an empty line after a full one.
# Nor does a line break leave a fragment (fragments.pl): a compound torn, a
# bracket apart from its word, a line that starts with a closing mark or a
# particle, a verb alone on a paragraph's last line.
for command in "" check list test extract cat pack update mount umount; do
    for language in ja en; do
        $language q $command --help >help.txt
        check '[ "$(LC_ALL=ja_JP.UTF-8 wc -L <help.txt)" -le 79 ]' \
            "quorvel $command --help ($language) has lines over 79 columns"
        perl "$here/fragments.pl" help.txt >torn.txt
        check '[ ! -s torn.txt ]' "quorvel $command --help ($language) leaves fragments:
$(cat torn.txt)"
    done
done

# Installed with any PREFIX, under a DESTDIR, it finds its catalog there.
build=$(dirname "$Q")
DESTDIR="$work/stage" cmake --install "$build" --component linux --prefix /opt/q >/dev/null
installed="$work/stage/opt/q/bin/quorvel"
check 'LANG=ja_JP.UTF-8 "$installed" list plain.txt 2>&1 | grep -q "アーカイブではありません"' \
    "the installed quorvel does not speak Japanese"

# Which language: LANGUAGE, then LC_ALL, LC_MESSAGES, LANG; C means English.
language_of() { # ENV... : prints ja or en for the error about plain.txt
    env "$@" "$Q" list plain.txt 2>&1 | grep -q 'アーカイブではありません' && echo ja || echo en
}
check '[ "$(language_of LC_ALL=C LANG=ja_JP.UTF-8)" = en ]' "LC_ALL=C over a Japanese LANG"
check '[ "$(language_of LC_MESSAGES=ja_JP.UTF-8 LANG=C)" = ja ]' "LC_MESSAGES over LANG"
check '[ "$(language_of LANGUAGE=ja LANG=en_US.UTF-8)" = ja ]' "LANGUAGE over LANG"
check '[ "$(language_of LANGUAGE=fr:ja LANG=en_US.UTF-8)" = ja ]' "Japanese further down LANGUAGE"
check '[ "$(language_of LANGUAGE=ja LANG=C)" = en ]' "LANGUAGE under the C locale"
check '[ "$(language_of LANG=fr_FR.UTF-8)" = en ]' "a language without a catalog"
check '[ "$(language_of)" = en ]' "no locale at all"

# What scripts read does not change with the language.
same() { # DESCRIPTION ARGUMENTS...: stdout and exit status equal in both
    what=$1
    shift
    ja "$Q" "$@" >ja.txt 2>/dev/null
    ja_status=$?
    en "$Q" "$@" >en.txt 2>/dev/null
    check '[ $ja_status -eq $? ] && cmp -s ja.txt en.txt' "$what differs between Japanese and English"
}
same "list" list names.dat
same "list --json" list --json names.dat
same "list of a pattern" list names.dat '*.txt'
same "check" check names.dat plain.txt
same "test" test names.dat
same "cat" cat names.dat readme.txt
has en.txt "hello"
# list -l: the same rows; the heading and the total's label are labels.
ja q list -l names.dat >ja.txt
en q list -l names.dat >en.txt
check 'sed "1d;\$d" ja.txt >ja.rows && sed "1d;\$d" en.txt >en.rows && cmp -s ja.rows en.rows' \
    "list -l rows differ between Japanese and English"
check '[ "$(tail -1 ja.txt | awk "{print \$1, \$2}")" = "$(tail -1 en.txt | awk "{print \$1, \$2}")" ]' \
    "list -l totals differ"
has ja.txt "^      サイズ  日付       時刻            位置  名前$"
has en.txt "^        Size  Date       Time        Position  Name$"
has ja.txt "3 エントリ$"
has ja.rows "data\\\\日本語.txt$"
# A damaged entry: test names it the same way; its summary line is the same.
head -c -3 names.dat >cut.dat
ja expect 1 "test of a damaged archive, Japanese" test cut.dat
has out.txt "^cut.dat: 3 entries, 1 damaged"
same "test of a damaged archive" test cut.dat
has err.txt "^quorvel: cut.dat: big.bin: データがファイルの終わりを越えています"
finish
