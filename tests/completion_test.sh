#!/bin/bash
# Bash completion for quorvel: commands, options, and archive entries.
# usage: completion_test.sh QUORVEL
set -u
source=$(realpath "$(dirname "$0")/..")
Q=$(realpath "$1")
. "$source/tests/testlib.sh"
if [ ! -f /usr/share/bash-completion/bash_completion ]; then
    echo "skipped: bash-completion is not installed"
    exit 77
fi
. /usr/share/bash-completion/bash_completion
. "$source/cli/quorvel.bash"
mkdir -p bin && ln -s "$Q" bin/quorvel && PATH=$work/bin:$PATH

# Completes the words given, the last one being completed; prints the replies.
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quorvel
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

mkdir -p t/sub && printf x >"t/sub/with space.txt" && printf y >t/sub/plain.txt
quorvel pack --separator / -o t.dat t >/dev/null
check '[ "$(complete_line quorvel ex)" = extract ]' "commands"
check 'complete_line quorvel extract --ov | grep -qx -- --overwrite' "options from --help"
check 'complete_line quorvel list -O "" | grep -qx CP932' "encodings"
check 'complete_line quorvel update --dr | grep -qx -- --drop-unowned-bytes' "update's options"
check '[ "$(complete_line quorvel extract t.dat t/sub/w)" = "t/sub/with\ space.txt" ]' \
    "an entry whose name holds a space: $(complete_line quorvel extract t.dat t/sub/w)"
check '[ "$(complete_line quorvel cat -i t.dat t/sub/p)" = t/sub/plain.txt ]' "entries after options"
finish
