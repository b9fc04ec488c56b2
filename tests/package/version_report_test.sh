#!/bin/bash
# "update -v" and "update -i" in the sandbox, with a version file and kernel
# board files, and with none of them.
set -euo pipefail
SANDBOX=${SANDBOX_SH:-$UPDATE_SOURCE_DIR/tests/sandbox/sandbox.sh}
work=$(mktemp -d "${UPDATE_BINARY_DIR:?}/scratch-verreport-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { local d=$1; shift; "$SANDBOX" "$d" -- "$UPDATE_BIN" "$@" 2>/dev/null; }

board=$work/board
mkdir -p "$board/program" "$board/proc"
printf 'PUB:R1234P01 extra\nNEW:R1300\nINN:INN-2023.07.05\nBUILD:2023-07-05 12:34:56\n' >"$board/program/.version"
printf 'NVR-BOARD-X\n' >"$board/proc/board_type"
printf 'U-2020.01-77\n' >"$board/proc/uboot_rev"

expected='Current version: R1234P01
New Pub version: R1300.230705
Inerversion: INN-2023.07.05
Board type: NVR-BOARD-X
Uboot version: U-2020.01-77
Build date: 2023-07-05 12:34:56'
out=$(run "$board" -v) || fail "update -v exit $?"
[[ $out == "$expected" ]] || fail "update -v printed:
$out"
out=$(run "$board" -version) || fail "update -version exit $?"
[[ $out == "$expected" ]] || fail "update -version differs"
out=$(run "$board" -i) || fail "update -i exit $?"
[[ $out == "Inerversion: INN-2023.07.05" ]] || fail "update -i printed: $out"

# The probe drops the last character whatever it is.
printf 'NVR-BOARD-X' >"$board/proc/board_type"
out=$(run "$board" -v)
grep -qx "Board type: NVR-BOARD-" <<<"$out" || fail "board type without newline: $out"

bare=$work/bare
mkdir -p "$bare"
expected='open version file error
Current version: Unknown
New Pub version: Unknown.000000
Inerversion: Unknown
Board type: Unknown
Uboot version: Unknown
Build date:  '
out=$(run "$bare" -v) || fail "bare update -v exit $?"
[[ $out == "$expected" ]] || fail "bare update -v printed:
$out"
out=$(run "$bare" -i) || fail "bare update -i exit $?"
[[ $out == $'open version file error\nInerversion: Unknown' ]] || fail "bare update -i printed: $out"
echo "version report ok"
