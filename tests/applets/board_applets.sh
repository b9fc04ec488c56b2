#!/bin/bash
# Runs the flash applets' board script in one boot of the simulated board: a
# NAND chip as one partition with block 2 bad and a RAM flash.
set -u
. "${UPDATE_SOURCE_DIR:?}/tests/board/board_lib.sh" applets
board_run out --nand-parts 1024 --badblocks 2 --mtdram 1024:64 --put "$bin/bin/ioctl_errno:/usr/bin/ioctl_errno" \
	--update "${UPDATE_BIN:?}" --timeout 900 "$src/tests/applets/guest_applets.sh"
cat "$o/stdout" 2>/dev/null
grep -v '^$' "$o/stderr" 2>/dev/null >&2
((status == 0)) || { echo "board run ended with $status" >&2; tail -20 "$o/console.log" >&2; }
exit $status
