#!/bin/bash
# The user guide as a new user follows it, in one board boot: its `sh` blocks
# run in order in a folder of their own (a `sh FILE` block is saved as FILE
# first); every step of its board script ends with the status the guide
# expects, and every image it installed is on the flash.
set -uo pipefail
. "$UPDATE_SOURCE_DIR/tests/board/board_lib.sh" guide
ln -s "$src/board" "$work/board" && cd "$work" || exit 1
awk '/^```sh$/ {f = "guide.sh"; next} /^```sh / {f = $2; system("mkdir -p $(dirname " f ")"); next}
	/^```/ {f = ""} f {print > f}' "$src/docs/guide.md"
PATH=$bin/bin:$PATH bash -euo pipefail guide.sh > guide.out 2>&1
check "every command of the guide succeeds ($work/guide.out)" test $? = 0
o=mine-out/stdout steps=$(grep -c '^step ' mine/on-board.sh) sums=$(grep -c '^flash-sum ' mine/on-board.sh)
check "all $steps steps end with the status the guide gives" \
	test "$(grep -cE '^[a-z_]+: exit status ([0-9]+) \(expected \1\)$' $o)" = "$steps" -a "$steps" -gt 10
check "the flash holds all $sums images" test "$(grep -c ' same as /root/mine/' $o)" = "$sums" -a "$sums" = 3
finish
