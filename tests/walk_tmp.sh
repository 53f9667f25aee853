#!/bin/sh
# Another program looking at /tmp, as a file manager, an indexer or a shell
# left open would: lists /tmp and walks into each folder the tests make
# there, mounts included, until it is stopped. Run it beside make test: the
# mount tests must bear it.
# usage: tests/walk_tmp.sh
while :; do
    ls /tmp >/dev/null 2>&1
    for folder in /tmp/axq-*/ /tmp/axq-*/*/ /tmp/axq-*/*/*/; do
        (cd "$folder" 2>/dev/null && ls -l >/dev/null 2>&1)
    done
done
