#!/bin/bash
# Runs the flash applets' board script in one boot of the simulated board: its
# own nandsim chip (loaded by the script), a RAM flash and a fresh NOR flash.
set -u
src=${UPDATE_SOURCE_DIR:?} bin=${UPDATE_BINARY_DIR:?}
if [[ ! -x $src/board/run.sh ]]; then
	echo "no simulated board in this tree" >&2
	exit 77
fi
scratch=$bin/test-scratch/board-applets
rm -rf "$scratch" && mkdir -p "$scratch"
"$src/board/run.sh" --nand-parts none --nor "$scratch/nor.img" --nor-size 4096 \
	--put "$bin/bin/ioctl_errno:/usr/bin/ioctl_errno" --update "${UPDATE_BIN:?}" \
	--out "$scratch/out" --timeout 900 "$src/tests/applets/guest_applets.sh"
rc=$?
cat "$scratch/out/stdout" 2>/dev/null
grep -v '^$' "$scratch/out/stderr" 2>/dev/null >&2
if ((rc != 0)); then
	echo "board run ended with $rc (end: $(cat "$scratch/out/end" 2>/dev/null))" >&2
	tail -20 "$scratch/out/console.log" >&2 2>/dev/null
fi
exit $rc
