#!/bin/sh
# quorvel umount when a mount does not simply end: one busy for a moment is
# waited for, one held longer is left mounted with every holder named, one
# whose process is stopped is reported within the wait, and a save refused
# because the archive was renamed says what brings the edits back.
# Skipped (77) where FUSE cannot be used.
# usage: mount_umount_test.sh QUORVEL
set -u
here=$(dirname "$(realpath "$0")")
Q=$(realpath "$1")
. "$here/testlib.sh"
need_fuse
sleeper= server=
trap '[ -n "$server" ] && kill -CONT "$server"; [ -n "$sleeper" ] && kill "$sleeper"
      fusermount3 -u -z "$work/m" 2>/dev/null; rm -rf "$work"' EXIT

mount_rw() { mkdir -p m && $Q mount --write "$1" m 2>m.log && mountpoint -q m; }
# Waits until process $1 works in folder $2.
await_cwd() {
    for _ in $(seq 100); do [ "$(readlink "/proc/$1/cwd")" = "$2" ] && return 0; sleep 0.05; done
    return 1
}
s=.game.dat.quorvel-edits

make_archive game.dat 'd/a' alpha 'b' beta
if ! mount_rw game.dat; then
    echo "skipped: FUSE mounts are not allowed here: $(cat m.log)"
    exit 77
fi

# A program in the mount for a moment: umount waits for it, then saves.
printf 'busy' >m/d/a
(cd m/d && exec sleep 1) &
await_cwd $! "$work/m/d"
expect 0 "umount of a mount busy for a second" umount m
check '[ "$($Q cat game.dat d/a)" = busy ]' "the save after the wait: $($Q cat game.dat d/a)"

# Held past the wait: still mounted, and each holder named by its process,
# command and what it holds.
mount_rw game.dat
(cd m/d && exec sleep 30) &
sleeper=$!
await_cwd $sleeper "$work/m/d"
exec 3<m/b
expect 3 "umount of a mount held past its wait" umount --wait 1 m
has err.txt "still in use after 1 second, so it was not ended"
has err.txt "process $sleeper (sleep): working folder $work/m/d\$"
has err.txt "process $$ ([a-z]*): open file $work/m/b\$"
check 'mountpoint -q m' "a busy mount was ended"
exec 3<&-
kill $sleeper
wait $sleeper 2>/dev/null
sleeper=
expect 0 "umount once the mount is let go of" umount m

# A mount whose process is stopped: umount says so within its wait, reading
# nothing through the mount, and the edits wait until the process goes on
# and saves them.
cp game.dat before.dat
mount_rw game.dat && printf 'stopped' >m/d/a && mkdir m/empty
server=$(cat $s/mount.pid)
kill -STOP "$server"
timeout 60 $Q umount m >out.txt 2>err.txt
got=$?
check '[ $got -eq 3 ]' "umount of a stopped mount: exit $got, wanted 3"
has err.txt "process $server is stopped"
check 'cmp -s game.dat before.dat && [ -f $s/journal ]' "a stopped mount's edits were not kept"
kill -CONT "$server"
server=
# Another program waiting on the stopped mount kept it busy: end it now.
if mountpoint -q m; then q umount m; fi
for _ in $(seq 200); do [ -e $s ] || break; sleep 0.05; done
check '[ "$($Q cat game.dat d/a)" = stopped ]' "no save once the process went on"

# A save refused because the archive was renamed while mounted: renaming it
# back brings the edits back, as the message says.
mount_rw game.dat && printf 'moved' >m/d/a
mv game.dat moved.dat
expect 3 "umount of an archive renamed while mounted" umount m
lacks err.txt "refuses them;"
has err.txt "once it is back under its name, unchanged, the next mount --write resumes them"
mv moved.dat game.dat
mount_rw game.dat
check '[ "$(cat m/d/a)" = moved ]' "the edits after the rename back: $(cat m.log)"
expect 0 "the save after the rename back" umount m
check '[ "$($Q cat game.dat d/a)" = moved ]' "the saved edit: $($Q cat game.dat d/a)"
# A folder with nothing mounted: said in quorvel's words (and language),
# not fusermount3's.
mkdir -p plain
expect 3 "umount of a folder with nothing mounted" umount plain
has err.txt "plain: nothing of quorvel's is mounted here"
finish
