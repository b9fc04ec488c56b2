#!/bin/bash
# The real update-pack binary: what it refuses and the defects it builds on
# request. Its packages round trip through the updater on the simulated board.
set -euo pipefail
PACK=$1
work=$(mktemp -d "${UPDATE_BINARY_DIR:?}/scratch-packtool-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
# Little-endian 32-bit number at a byte offset, read independently of our readers.
le32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
flip() { printf "$(printf '\\x%02x' $(( $(od -An -tu1 -j "$2" -N1 "$1") ^ 0x01 )))" |
           dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
rc() { set +e; "$@" >out.txt 2>&1; echo $?; set -e; }

[[ $(rc "$PACK" frobnicate) == 2 ]] || fail "bad command exit"
"$PACK" create raw.bin --head "$(printf 'H%.0s' {1..256})"
[[ $(rc "$PACK" create toolong.bin --head "$(printf 'H%.0s' {1..257})") == 2 ]] || fail "over-long head accepted"

head -c 10000 /dev/urandom >kernel.img
"$PACK" create Program.bin --pub R1 --image 3=kernel.img
# The checksum starts exactly at byte 4096.
flip Program.bin 4095
"$PACK" verify Program.bin >/dev/null || fail "byte 4095 is covered"
flip Program.bin 4096
[[ $(rc "$PACK" verify Program.bin) == 1 && $(<out.txt) == "checksum mismatch: head "* ]] || fail "byte 4096 change"

"$PACK" create wrong.bin --pub R1 --image 3=kernel.img --crc wrong
[[ $(rc "$PACK" verify wrong.bin) == 1 ]] || fail "wrong crc verified"
"$PACK" create cut.bin --pub R1 --image 3=kernel.img --truncate 8000
[[ $(stat -c %s cut.bin) == 8000 && $(rc "$PACK" verify cut.bin) == 1 ]] || fail "truncated package"
"$PACK" create zero.bin --pub R1 --image 3=kernel.img --count 0
[[ $(rc "$PACK" extract zero.bin 3 out.bin) == 1 && $(<out.txt) == *"Read image file failed. BinFile:zero.bin"* ]] ||
  fail "zero count"
"$PACK" create beyond.bin --pub R1 --count 4 --image 8=kernel.img
[[ $(le32 beyond.bin $((2052 + 144 * 8 + 128))) == 10000 ]] || fail "record past the count not written"
[[ $(rc "$PACK" extract beyond.bin 8 out.bin) != 0 ]] || fail "record past the declared count was used"
echo "pack tool ok"
