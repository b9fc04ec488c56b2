#!/bin/bash
# Round trips through the real update-pack binary: what goes in comes back
# bit for bit, the checksum covers exactly byte 4096 onwards, and every
# deliberate defect gives the package the updater must refuse.
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

help=$("$PACK" --help)
for word in create info verify extract --inner --text --pub --crc --no-crc --head --board --boards --image \
            --updater --custom --name --flash-offset --length --offset --count --short-table --data-start \
            --truncate "Exit status"; do
  grep -q -- "$word" <<<"$help" || fail "help lacks $word"
done
[[ $(rc "$PACK" frobnicate) == 2 ]] || fail "bad command exit"

head -c 300000 /dev/urandom >kernel.img      # crosses a 256 KiB read
head -c 7001 /dev/urandom >update.img
head -c 513 /dev/urandom >custom.zip
head -c 64 /dev/urandom >config.img
longname=$(printf 'N%.0s' {1..128})
"$PACK" create Program.bin --inner INN-2023.07.05 --text "free text" --pub R1234P01 \
  --board NVR-A --board NVR-LONG-BOARD-NAME-25CHR --image kernel=kernel.img --image 2=config.img \
  --updater update.img --custom custom.zip --name "kernel=$longname" --flash-offset 2=0x20000

# Byte layout: count at 2048, records at 2052 + 144 * pos, data from 4096.
[[ $(le32 Program.bin 2048) == 11 ]] || fail "count field"
[[ $(le32 Program.bin $((2052 + 144 * 3 + 128))) == 300000 ]] || fail "kernel length field"
off=$(le32 Program.bin $((2052 + 144 * 3 + 132)))
[[ $off -ge 4096 ]] || fail "kernel data before 4096"
[[ $(le32 Program.bin $((2052 + 144 * 2 + 136))) == $((0x20000)) ]] || fail "flash offset field"
cmp <(tail -c +$((off + 1)) Program.bin | head -c 300000) kernel.img || fail "kernel bytes in package"
[[ $(head -c 256 Program.bin | tr -d '\0') == INN-2023.07.05\$free\ text\$R1234P01\$* ]] || fail "head text"
[[ $(dd if=Program.bin bs=1 skip=256 count=1792 status=none | tr -d '\0') == 'NVR-A$NVR-LONG-BOARD-NAME-25CHR' ]] ||
  fail "board list"

info=$("$PACK" info Program.bin)
for re in "^inner version: INN-2023.07.05$" "^free text: free text$" "^public version: R1234P01$" \
          "^  board 1: NVR-LONG-BOARD-NAME-25CHR$" "^declared count: 11$" "^8 +7001 .* updater +update.img$" \
          "^10 +513 .* custom +custom.zip$" "^3 +300000 .* kernel +${longname}$"; do
  grep -Eq -- "$re" <<<"$info" || fail "info lacks $re"
done

grep -q "checksum ok" <<<"$("$PACK" verify Program.bin)" || fail "verify fresh package"
for pair in kernel:kernel.img 2:config.img updater:update.img 10:custom.zip; do
  "$PACK" extract Program.bin "${pair%%:*}" out.bin >/dev/null
  cmp out.bin "${pair#*:}" || fail "extract ${pair%%:*}"
done

# The checksum starts exactly at byte 4096.
cp Program.bin changed.bin; flip changed.bin 4095
"$PACK" verify changed.bin >/dev/null || fail "byte 4095 is not covered"
cp Program.bin changed.bin; flip changed.bin 4096
[[ $(rc "$PACK" verify changed.bin) == 1 && $(<out.txt) == "checksum mismatch: head "* ]] || fail "byte 4096 change"

# Defects.
"$PACK" create wrong.bin --pub R1 --image 3=kernel.img --crc wrong
[[ $(rc "$PACK" verify wrong.bin) == 1 ]] || fail "wrong crc verified"
"$PACK" create zero.bin --pub R1 --image 3=config.img --count 0
[[ $(rc "$PACK" extract zero.bin 3 out.bin) == 1 && $(<out.txt) == *"Read image file failed. BinFile:zero.bin"* ]] ||
  fail "zero count"
"$PACK" create short.bin --pub R1 --count 20 --short-table 2
[[ $(stat -c %s short.bin) == $((2052 + 2 * 144)) ]] || fail "short table size"
grep -q "holds only 2 of the records" <<<"$("$PACK" info short.bin)" || fail "short table info"
"$PACK" create beyond.bin --pub R1 --count 4 --image 8=update.img
[[ $(le32 beyond.bin $((2052 + 144 * 8 + 128))) == 7001 ]] || fail "record past the count not written"
[[ $(rc "$PACK" extract beyond.bin 8 out.bin) != 0 ]] || fail "record past the declared count was used"
"$PACK" create cut.bin --pub R1 --image 3=kernel.img --truncate 10000
[[ $(stat -c %s cut.bin) == 10000 && $(rc "$PACK" verify cut.bin) == 1 ]] || fail "truncated package"
"$PACK" extract cut.bin 3 out.bin >/dev/null
cmp out.bin <(head -c $((10000 - 4096)) kernel.img) || fail "extract of truncated data"
"$PACK" create raw.bin --head "$(printf 'H%.0s' {1..256})" --boards 'X$Y' --image 3=config.img --length 3=5 --offset 3=0x100
"$PACK" extract raw.bin 3 out.bin >/dev/null
[[ $(head -c 256 raw.bin | tr -d 'H' | wc -c) == 0 ]] && cmp out.bin <(tail -c +257 raw.bin | head -c 5) ||
  fail "256-byte raw head or record overrides"
[[ $(rc "$PACK" create toolong.bin --head "$(printf 'H%.0s' {1..257})") == 2 ]] || fail "over-long head accepted"
echo "pack tool round trip ok"
