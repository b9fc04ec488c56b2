#!/bin/bash
# "update -v" and "update -i" in the sandbox: the version file's lines and
# limits, the kernel board files' first line without its last character, and
# none of the files at all.
set -euo pipefail
SANDBOX=${SANDBOX_SH:-$UPDATE_SOURCE_DIR/tests/sandbox/sandbox.sh}
work=$(mktemp -d "${UPDATE_BINARY_DIR:?}/scratch-verreport-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# board NAME VERSION BOARD-TYPE UBOOT-REV: a sandbox folder with these files
board() {
  mkdir -p "$work/$1/program" "$work/$1/proc"
  printf '%s' "$2" >"$work/$1/program/.version" && printf '%s' "$3" >"$work/$1/proc/board_type" && printf '%s' "$4" >"$work/$1/proc/uboot_rev"
}
# expect DIR ARG OUTPUT: update ARG in the sandbox on DIR prints exactly OUTPUT and succeeds.
expect() {
  out=$("$SANDBOX" "$work/$1" -- "$UPDATE_BIN" "$2" 2>/dev/null) || fail "update $2 on $1 exit $?"
  [[ $out == "$3" ]] || fail "update $2 on $1 printed:"$'\n'"$out"
}

board main $'PUB:R1234P01 extra\nNEW:R1300\nINN:INN-2023.07.05\nBUILD:2023-07-05-and-more 12:34:56789\n' \
  $'NVR-BOARD-X\n' $'U-2020.01-77\nsecond\n'
report='Current version: R1234P01
New Pub version: R1300.230705
Inerversion: INN-2023.07.05
Board type: NVR-BOARD-X
Uboot version: U-2020.01-77
Build date: 2023-07-05 12:34:56'
for arg in -v -version; do expect main $arg "$report"; done
expect main -i "Inerversion: INN-2023.07.05"

# No PUB line; NEW twice; lines longer than a read (the INN line's tail is no
# key line); the build suffix cut at the version's buffer; a board type
# without a line end; an over-long boot-loader line.
rep() { printf "$1%.0s" $(seq "$2"); }
board odd "NEW:R1"$'\nINN:'"$(rep i 200)"$'\nBUILD:2023-7 1\nNEW:'"$(rep v 200)" NVR-BOARD-X "$(rep u 300)"
expect odd -v "Current version: Unknown
New Pub version: $(rep v 123).230
Inerversion: $(rep i 123)
Board type: NVR-BOARD-
Uboot version: $(rep u 127)
Build date: 2023-7 1"

mkdir -p "$work/bare"
expect bare -v 'open version file error
Current version: Unknown
New Pub version: Unknown.000000
Inerversion: Unknown
Board type: Unknown
Uboot version: Unknown
Build date:  '
echo "version report ok"
