# Shared by the command-line tests: a scratch folder, pass/fail counting,
# and an archive builder that writes any name bytes.
# Set Q to the quorvel command (a word list, e.g. "wine quorvel.exe") first,
# and text_mode=1 when its text output ends lines with CR LF.
work=$(mktemp -d /tmp/axq-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { # check CONDITION DESCRIPTION
    if eval "$1"; then pass; else fail "$2"; fi
}
# An unmount waits long: other programs on the machine (a file manager, an
# indexer) may look into a test's mount for a while.
q() { if [ "$1" = umount ]; then shift && $Q umount --wait 60 "$@"; else $Q "$@"; fi; }
expect() { # expect STATUS DESCRIPTION ARGUMENTS... (runs quorvel; out.txt, err.txt)
    want=$1 what=$2
    shift 2
    q "$@" >out.txt 2>err.txt
    got=$?
    if [ -n "${text_mode:-}" ]; then # Windows ends its text lines with CR LF
        tr -d '\r' <out.txt >out.tmp && mv out.tmp out.txt
        tr -d '\r' <err.txt >err.tmp && mv err.tmp err.txt
    fi
    if [ "$got" -eq "$want" ]; then pass; else fail "$what: exit $got, wanted $want"; cat err.txt; fi
}
has() { grep -q -- "$2" "$1" && pass || { fail "$1 lacks '$2'"; cat "$1"; }; }
lacks() { grep -q -- "$2" "$1" && { fail "$1 has '$2'"; cat "$1"; } || pass; }
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# make_archive OUT NAME DATA [NAME DATA]...: names are printf formats, so any
# byte can be written in octal (\203\134 is Shift_JIS ソ); an empty closing line.
make_archive() {
    out=$1
    shift
    start=22
    odd=1
    for x in "$@"; do
        [ $odd -eq 1 ] && start=$((start + $(printf "$x" | wc -c) + 23))
        odd=$((1 - odd))
    done
    printf 'FILECMB-DATA-LIST-IN\n' >"$out"
    odd=1
    for x in "$@"; do
        if [ $odd -eq 1 ]; then
            name=$x
        else
            size=$(printf '%s' "$x" | wc -c)
            printf "$name" >>"$out"
            printf '\t%010d %010d\n' "$start" $((start + size)) >>"$out"
            start=$((start + size))
        fi
        odd=$((1 - odd))
    done
    printf '\n' >>"$out"
    odd=1
    for x in "$@"; do
        [ $odd -eq 0 ] && printf '%s' "$x" >>"$out"
        odd=$((1 - odd))
    done
}

# The stored names of an archive, as raw bytes, one per line.
stored_names() { LC_ALL=C sed -n '2,/^$/p' "$1" | LC_ALL=C sed '/^$/d; s/\t.*//'; }
need_fuse() { # skips the test (77) where FUSE cannot be used
    if [ ! -c /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
        echo "skipped: no /dev/fuse or no fusermount3 here"
        exit 77
    fi
}
