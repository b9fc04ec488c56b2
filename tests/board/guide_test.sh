#!/bin/bash
# The user guide as a new user follows it, in one board boot: its `sh` blocks
# run in order in a folder of their own (a `sh FILE` block is saved as FILE
# first); every step of its board script ends with the status the guide
# expects, and every image it installed is on the flash.
set -uo pipefail
src=${UPDATE_SOURCE_DIR:?} bin=${UPDATE_BINARY_DIR:?}
work=$bin/guide-test
rm -rf "$work" && mkdir -p "$work" && ln -s "$src/board" "$work/board" && cd "$work" || exit 1
awk '/^```sh$/ {f = "guide.sh"; next} /^```sh / {f = $2; system("mkdir -p $(dirname " f ")"); next}
	/^```/ {f = ""} f {print > f}' "$src/docs/guide.md"
PATH=$bin/bin:$PATH bash -euo pipefail guide.sh > guide.out 2>&1
status=$? out=mine-out/stdout
steps=$(grep -c '^step ' mine/on-board.sh) sums=$(grep -c '^flash-sum ' mine/on-board.sh)
[[ $status == 0 && $(grep -cE '^[a-z_]+: exit status ([0-9]+) \(expected \1\)$' "$out") == "$steps" &&
	$(grep -c ' same as /root/mine/' "$out") == "$sums" ]] && ((steps > 10 && sums == 3)) && exit 0
echo "FAILED: status $status, $steps steps, $sums images; output in $work"; cat guide.out "$out"; exit 1
