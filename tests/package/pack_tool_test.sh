#!/bin/bash
# The real update-pack binary: one package round trip through info and extract,
# what it refuses, what it says, and the defects it builds on request.
set -euo pipefail
PACK=$1 P=$1
work=$(mktemp -d "${UPDATE_BINARY_DIR:?}/scratch-packtool-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
flip() { printf "$(printf '\\x%02x' $(( $(od -An -tu1 -j "$2" -N1 "$1") ^ 0x01 )))" |
           dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

"$PACK" --help | grep -q "^Exit status: 0 success" || fail "help"
head -c 10000 /dev/urandom >kernel.img
head -c 300000 /dev/urandom >big.img
long=$(printf 'N%.0s' {1..128})
"$PACK" -v create rt.bin --inner INN-1 --text "free text" --pub R1 --board A --board B --image kernel=big.img \
  --image 2=kernel.img --name "2=$long" --flash-offset 2=0x20000 --updater kernel.img --custom big.img 2>/dev/null
info=$("$PACK" info rt.bin)
for re in "^free text: free text$" "^  board 1: B$" "^2 +10000 +0x0[0-9a-f]+ 0x00020000 +config +$long$" "^declared count: 11$"; do
  grep -Eq -- "$re" <<<"$info" || fail "info lacks $re"
done
for p in kernel:big.img 2:kernel.img updater:kernel.img custom:big.img; do
  "$PACK" extract rt.bin "${p%%:*}" out.bin >/dev/null && cmp out.bin "${p#*:}" || fail "extract $p"
done
"$PACK" create raw.bin --head "$(printf 'H%.0s' {1..256})" --boards 'X$Y' --image 3=kernel.img --length 3=5 --offset 3=0x100
"$PACK" extract raw.bin 3 out.bin >/dev/null && cmp out.bin <(tail -c +257 raw.bin | head -c 5) || fail "record overrides"
"$PACK" create beyond.bin --pub R1 --count 4 --image 8=kernel.img
# The record's length field, read as little-endian independently of our readers.
[[ $(od -An -tu4 --endian=little -j $((2052 + 144 * 8 + 128)) -N4 beyond.bin) == *" 10000" ]] || fail "record past the count"

# exit status | whole standard output | whole standard error (patterns) | command ($P: the tool); the
# checksum starts exactly at byte 4096
while IFS='|' read -r want out err cmd; do
  set +e; eval "$cmd" >o.txt 2>e.txt; got=$?; set -e
  [[ $got == "$want" && $(<o.txt) == $out && $(<e.txt) == $err ]] || fail "$cmd: $got $(cat o.txt e.txt)"
done <<'EOF'
2||update-pack: unknown command 'creat' (see --help)|$P creat x.bin
2||update-pack: unknown option '--bord' (see --help)|$P create z.bin --bord A
2||update-pack: option '--board' needs a value|$P create z.bin --board
0|n.bin: 14096 bytes, 1 image, checksum [0-9]*|*n.bin lists no board*|$P create n.bin --pub R1 --image uImage=kernel.img
0|b.bin: 24096 bytes, 2 images, checksum [0-9]*||$P create b.bin --board A --image u-boot=kernel.img --image activex.img=kernel.img --crc wrong
0||*|$P extract n.bin kernel k.out && $P extract b.bin uboot u.out && $P extract b.bin activex a.out
0|||cmp k.out kernel.img && cmp u.out kernel.img && cmp a.out kernel.img
0|2||$P info n.bin | grep -c -e '^checksum in head: [0-9]' -e '^checksum computed: [0-9]*$'
0|checksum computed: [0-9]* (mismatch)||$P info b.bin | grep '^checksum computed'
0|7||$P --help | sed -n '/^create options for deliberately broken/,/^$/p' | grep -c -e '--crc wrong' -e '--truncate' -e '--short-table' -e '--count' -e '--length' -e '--offset' -e '--data-start'
0|*holds only 2 of the records*|*|$P create short.bin --count 20 --short-table 2 >&2 && $P info short.bin
2||*|$P create huge.bin --image 0xffffffffffffffff=kernel.img || { test ! -e huge.bin && (exit 2); }
2||*|$P create toolong.bin --head "$(printf 'H%.0s' {1..257})"
0|checksum ok: *||flip rt.bin 4095 && $P verify rt.bin
1|checksum mismatch: head *||flip rt.bin 4096 && $P verify rt.bin
1|checksum mismatch: head *|*|$P create cut.bin --pub R1 --image 3=kernel.img --truncate 8000 >&2 && test $(stat -c %s cut.bin) = 8000 && $P verify cut.bin
1||*Read image file failed. BinFile:zero.bin*|$P create zero.bin --pub R1 --image 3=kernel.img --count 0 >&2 && $P extract zero.bin 3 out.bin
1||*|$P extract beyond.bin 8 out.bin
0||*|openssl genpkey -algorithm ed25519 -out a.key && openssl pkey -in a.key -pubout -out a.pem && mkdir keys && cp a.pem keys/ && cp rt.bin s.bin && $P sign s.bin --key a.key >/dev/null && $P sign s.bin --key a.key >/dev/null
0|||n=$(stat -c %s rt.bin); test $(stat -c %s s.bin) = $((n + 96)) && cmp -n $((n - 256)) <(tail -c +257 s.bin) <(tail -c +257 rt.bin)
0|checksum ok: *signature ok*||$P verify s.bin --keys keys
0|*signature: format 1, Ed25519 over SHA-512, key ID *|*|$P info s.bin
1|*package is not signed||$P verify rt.bin --key a.pem
EOF
echo "pack tool ok"
