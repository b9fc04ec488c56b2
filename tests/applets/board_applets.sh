#!/bin/bash
# Runs the flash applets' board script in one boot of the simulated board: a
# NAND chip as one partition with block 2 bad and a RAM flash.
set -u
bin=${UPDATE_BINARY_DIR:?} scratch=${UPDATE_BINARY_DIR}/test-scratch/board-applets
rm -rf "$scratch" && mkdir -p "$scratch"
"${UPDATE_SOURCE_DIR:?}/board/run.sh" --nand-parts 1024 --badblocks 2 --mtdram 1024:64 \
	--put "$bin/bin/ioctl_errno:/usr/bin/ioctl_errno" --update "${UPDATE_BIN:?}" \
	--out "$scratch/out" --timeout 900 "$UPDATE_SOURCE_DIR/tests/applets/guest_applets.sh"
rc=$?
cat "$scratch/out/stdout" 2>/dev/null
grep -v '^$' "$scratch/out/stderr" 2>/dev/null >&2
((rc == 0)) || { echo "board run ended with $rc" >&2; tail -20 "$scratch/out/console.log" >&2; }
exit $rc
