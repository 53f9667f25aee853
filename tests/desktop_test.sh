#!/bin/sh
# The Linux desktop's view of an archive: the MIME type, found by content in
# a private MIME database, and an archive opened through the desktop entry
# (mounted read-only in a private folder, then shown; skipped without FUSE).
# usage: desktop_test.sh QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
desktop=$(realpath "$here/../desktop")
Q=$(realpath "$1")
. "$here/testlib.sh"
trap 'for m in run/quorvel/*; do fusermount3 -u -z "$m" 2>/dev/null; done; rm -rf "$work"' EXIT

# A private database and applications folder, as a user's own would be.
export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
mkdir -p data/mime/packages data/applications run bin
cp "$desktop/quorvel.xml" data/mime/packages/
cp "$desktop/quorvel.desktop" data/applications/
check 'update-mime-database data/mime && update-desktop-database data/applications' \
    "the MIME database or the desktop database does not take our files"
check 'desktop-file-validate "$desktop/quorvel.desktop"' "desktop-file-validate refuses the desktop entry"

type_of() { gio info -a standard::content-type "$1" | sed -n 's/^ *standard::content-type: //p'; }
make_archive x.dat 'a.txt' 'alpha'
cp x.dat archive.bin
printf 'FILECMB-DATA-LIST\n' >near.dat
head -c 4096 /dev/urandom >noise.dat
check '[ "$(type_of x.dat)" = application/x-quorvel-archive ]' "x.dat is not known as an archive"
check '[ "$(type_of archive.bin)" = application/x-quorvel-archive ]' "an archive not named .dat is not known"
for other in near.dat noise.dat; do
    check '[ -n "$(type_of $other)" ] && [ "$(type_of $other)" != application/x-quorvel-archive ]' \
        "$other, no archive, is called one"
done
# The desktop offers an entry only where its program is on the PATH; ours
# are installed there. xdg-open only says which folder it was given.
ln -s "$Q" bin/quorvel
ln -s "$desktop/quorvel-open" bin/quorvel-open
printf '#!/bin/sh\nls "$1" >"%s/shown.$$"\n' "$work" >bin/xdg-open
chmod +x bin/xdg-open
export PATH="$work/bin:$PATH"
check 'gio mime application/x-quorvel-archive | grep -q "^Default application.*: quorvel.desktop$"' \
    "the desktop entry does not open the type"

if [ ! -c /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
    echo "no /dev/fuse or no fusermount3 here: opening an archive is skipped"
    finish
    exit
fi
shown() { # the listing of the folder shown, once it is
    for _ in $(seq 50); do
        [ -e "$(ls shown.* 2>/dev/null)" ] && { cat shown.*; rm shown.*; return; } || sleep 0.1
    done
}
mkdir -p a b
make_archive a/game.dat 'one.txt' '1'
make_archive b/game.dat 'two.txt' '2'
# Opening through the desktop entry, as a file manager does.
gio open a/game.dat
check '[ "$(shown)" = one.txt ]' "opening through the desktop entry does not show the archive's entries"
first=$(ls -d run/quorvel/*)
check '! touch "$first/new" 2>/dev/null' "the archive is mounted writable"
# Again, under another spelling of its path: the same folder, mounted once.
check 'quorvel-open ./a/../a/game.dat && [ "$(shown)" = one.txt ] && [ "$(ls run/quorvel | wc -l)" -eq 1 ] &&
       [ "$(grep -c " $work/$first " /proc/mounts)" -eq 1 ]' "opening the same archive again"
check 'quorvel-open b/game.dat && [ "$(shown)" = two.txt ] && [ "$(ls run/quorvel | wc -l)" -eq 2 ]' \
    "another archive of the same name does not get a folder of its own"
check '! quorvel-open noise.dat 2>err.txt && grep -q "noise.dat" err.txt && [ "$(ls run/quorvel | wc -l)" -eq 2 ] &&
       [ -z "$(ls shown.* 2>/dev/null)" ]' "a file that is no archive is shown, or leaves a folder"
for m in run/quorvel/*; do q umount "$m"; done
finish
