#!/bin/sh
# Runs a 32-bit Windows test unless this machine runs 32-bit programs under
# qemu's emulation (tools/install-deps registers it only where the kernel
# runs none itself). There each start of a 32-bit Wine program takes one to
# two minutes, and a test of dozens of commands would take most of an hour:
# it says so and exits 77 (skipped). The 64-bit build runs the same test in
# full, on the same code, and the 32-bit build's host contract, host test
# and quorvel.exe test still run.
# usage: unless_emulated.sh COMMAND [ARGUMENT...]
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    echo "skipped: 32-bit programs run under emulation on this machine (the 64-bit build runs this test in full)"
    exit 77
fi
exec "$@"
