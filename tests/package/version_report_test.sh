#!/bin/bash
# "update -v" and "update -i" in the sandbox, with a version file and kernel
# board files, and with none of them.
set -euo pipefail
SANDBOX=${SANDBOX_SH:-$UPDATE_SOURCE_DIR/tests/sandbox/sandbox.sh}
work=$(mktemp -d "${UPDATE_BINARY_DIR:?}/scratch-verreport-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# expect DIR ARG OUTPUT: update ARG in the sandbox on DIR prints exactly OUTPUT and succeeds.
expect() {
  local out
  out=$("$SANDBOX" "$1" -- "$UPDATE_BIN" "$2" 2>/dev/null) || fail "update $2 on $1 exit $?"
  [[ $out == "$3" ]] || fail "update $2 on $1 printed:
$out"
}

board=$work/board
mkdir -p "$board/program" "$board/proc"
printf 'PUB:R1234P01 extra\nNEW:R1300\nINN:INN-2023.07.05\nBUILD:2023-07-05 12:34:56\n' >"$board/program/.version"
printf 'NVR-BOARD-X\n' >"$board/proc/board_type"
printf 'U-2020.01-77\n' >"$board/proc/uboot_rev"
report='Current version: R1234P01
New Pub version: R1300.230705
Inerversion: INN-2023.07.05
Board type: NVR-BOARD-X
Uboot version: U-2020.01-77
Build date: 2023-07-05 12:34:56'
expect "$board" -v "$report"
expect "$board" -version "$report"
expect "$board" -i "Inerversion: INN-2023.07.05"

bare=$work/bare
mkdir -p "$bare"
expect "$bare" -v 'open version file error
Current version: Unknown
New Pub version: Unknown.000000
Inerversion: Unknown
Board type: Unknown
Uboot version: Unknown
Build date:  '
expect "$bare" -i $'open version file error\nInerversion: Unknown'
echo "version report ok"
