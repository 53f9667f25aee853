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

# A user's own database and applications, and our programs on the PATH (the
# desktop offers no entry whose program is missing); xdg-open only lists the
# folder it is given.
export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" PATH="$work/bin:$PATH"
mkdir -p data/mime/packages data/applications run bin
cp "$desktop/quorvel.xml" data/mime/packages/ && cp "$desktop/quorvel.desktop" data/applications/
ln -s "$Q" bin/quorvel && ln -s "$desktop/quorvel-open" bin/quorvel-open
printf '#!/bin/sh\nls "$1" >"%s/shown.$$"\n' "$work" >bin/xdg-open && chmod +x bin/xdg-open
check 'update-mime-database data/mime && update-desktop-database data/applications &&
       desktop-file-validate "$desktop/quorvel.desktop"' "our MIME type or desktop entry is refused"
check 'gio mime application/x-quorvel-archive | grep -q "^Default application.*: quorvel.desktop$"' \
    "the desktop entry does not open the type"

# Known by content, under any name; a .dat of other bytes is not ours.
type_of() { gio info -a standard::content-type "$1" | sed -n 's/^ *standard::content-type: //p'; }
make_archive x.dat 'a.txt' 'alpha' && cp x.dat archive.bin
printf 'FILECMB-DATA-LIST\n' >near.dat && head -c 4096 /dev/urandom >noise.dat
check '[ "$(type_of x.dat)" = application/x-quorvel-archive ] &&
       [ "$(type_of archive.bin)" = application/x-quorvel-archive ]' "an archive is not known by its content"
for other in near.dat noise.dat; do
    check '[ -n "$(type_of $other)" ] && [ "$(type_of $other)" != application/x-quorvel-archive ]' \
        "$other, no archive, is called one"
done

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
make_archive a/game.dat 'one.txt' '1' && make_archive b/game.dat 'two.txt' '2'
gio open a/game.dat # as a file manager does
check '[ "$(shown)" = one.txt ] && ! touch run/quorvel/*/new 2>/dev/null' \
    "opening through the desktop entry does not show the archive read-only"
# Again, under another spelling of its path: the same folder, mounted once.
check 'quorvel-open ./a/../a/game.dat && [ "$(shown)" = one.txt ] && [ "$(ls run/quorvel | wc -l)" -eq 1 ] &&
       [ "$(grep -c " $work/run/quorvel/" /proc/mounts)" -eq 1 ]' "opening the same archive again"
check 'quorvel-open b/game.dat && [ "$(shown)" = two.txt ] && [ "$(ls run/quorvel | wc -l)" -eq 2 ]' \
    "another archive of the same name does not get a folder of its own"
check '! quorvel-open noise.dat 2>err.txt && grep -q "noise.dat" err.txt && [ "$(ls run/quorvel | wc -l)" -eq 2 ] &&
       [ -z "$(ls shown.* 2>/dev/null)" ]' "a file that is no archive is shown, or leaves a folder"
for m in run/quorvel/*; do q umount "$m"; done
finish
