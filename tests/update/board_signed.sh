#!/bin/bash
# A device that trusts package keys (the default key folder /etc/update/keys
# holds key k), real binary on the simulated board, one boot. First the
# packages it must refuse, each in a run that may not reboot the board:
# unsigned, signed with another key, a byte changed in each region of a
# signed one or one appended, an unsigned one by -check and by -force, a
# link, a raw image, an unsigned package carrying its own updater; then every
# partition must still be erased. Then the ones it installs: signed by k over
# TFTP, by either key once the folder holds both, signed afterwards and
# handed over to the updater it carries; at last, the keys removed, an
# unsigned package as ever, without a word about signatures.
set -uo pipefail
. "${UPDATE_SOURCE_DIR:?}/tests/board/board_lib.sh" signed
updater=${UPDATE_BIN:?} pack=$bin/bin/update-pack srv=$work/srv
cd "$work" || exit 1
for k in k o; do openssl genpkey -algorithm ed25519 -out $k.key && openssl pkey -in $k.key -pubout -out $k.pem || exit 1; done
# the key id as the format defines it: the first 8 bytes of SHA-256 of the raw 32-byte public key
id() { openssl pkey -pubin -in "$1" -outform DER | tail -c 32 | openssl dgst -sha256 -binary | head -c 8 | od -An -tx1 | tr -d ' \n'; }

for img in k:500000 p:900000 a:200000; do head -c "${img#*:}" /dev/urandom > "img/${img%%:*}.img"; done
mk() { mkdir -p "$srv/$1" && "$pack" create "$srv/$1/Program.bin" --inner INN-NEW --pub R1235 --board DVS-SIM-BOARD \
	--image kernel=img/k.img --image program=img/p.img --image activex=img/a.img "${@:2}" >/dev/null || exit 1; }
mk k --sign k.key; mk o --sign o.key; mk u; mk hu --updater "$updater"; mk hk --updater "$updater"
"$pack" sign "$srv/hk/Program.bin" --key k.key >/dev/null || exit 1
mkdir -p "$srv/raw" && cp img/k.img "$srv/raw/uImage"
size=$(stat -c %s "$srv/k/Program.bin")
# one byte of the signed package changed (the size: one byte appended)
for f in head:3 board:1000 table:$((2052 + 144 * 2 + 140)) sig:$((size - 90)) keyid:$((size - 30)) \
	data:$((4096 + 500000 + 7)) last:$((size - 1)) append:$size; do
	mkdir -p "$srv/${f%%:*}" && python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); n = int(sys.argv[3])
b += b"\0" * (n == len(b)); b[n] ^= 0x20; open(sys.argv[2], "wb").write(b)' "$srv/k/Program.bin" "$srv/${f%%:*}/Program.bin" "${f#*:}"
done
kpa="mtd4=k.img mtd5=p.img mtd6=a.img" rest="mtd0=/dev/null mtd1=/dev/null mtd2=/dev/null mtd3=/dev/null mtd7=/dev/null mtd8=/dev/null mtd9=/dev/null mtd10=/dev/null mtd11=/dev/null" not="package is not signed" bad="signature does not match" kept="!package kept in /tmp"

table s <<EOF
unsigned  | 250 |      | unsigned package refused      | $not | $kept
other     | 250 |      | signed with another key       | signed with unknown key ID | $kept
head      | 250 |      | head text changed             | $bad | $kept
board     | 250 |      | board list changed            | $bad | $kept
table     | 250 |      | table changed                 | $bad | $kept
sig       | 250 |      | signature changed             | $bad | $kept
keyid     | 250 |      | key id changed                | signed with unknown key ID | $kept
data      | 250 |      | image data changed            | $bad | $kept
last      | 250 |      | last byte changed             | $not | $kept
append    | 250 |      | a byte appended               | $not | $kept
check     | 250 |      | -check of an unsigned package | $not | $kept
force     | 250 |      | -force of an unsigned package | $not | $kept
link      | 250 |      | package that is a link        | package is a link, refused: /root/link/Program.bin
raw       | 250 |      | raw image (-debug) refused    | raw image refused: this device installs signed packages only | !loading
hu        | 250 |      | unsigned package with its own updater: never launched | $not | !Launch update cmd
help      | 0   |      | help names the exit status    | EXIT STATUS: 250 signature missing, unknown or wrong; 252 checksum, 253 board, 254 version
refused   | -   | $rest mtd4=/dev/null mtd5=/dev/null mtd6=/dev/null | the refused runs wrote no partition
signed    | 0   | $rest $kpa | signed by k: installed, nothing else written | signature ok, key ID $(id k.pem) | done!
ko        | 0   | $kpa | both keys trusted: signed by o installed | signature ok, key ID $(id o.pem)
kk        | 0   | $kpa | both keys trusted: signed by k installed | signature ok, key ID $(id k.pem)
hk        | 0   | $kpa | signed afterwards, handed over to its updater, which checks it again | signature ok, key ID $(id k.pem) | Launch update cmd (chmod +x /tmp/busybox; /tmp/busybox update -local /tmp/ all
nokeys    | 0   | $kpa | no keys: unsigned installed as ever | done! | !signature
EOF
cat > "$work/s.sh" <<'GUEST'
. /root/lib.sh
refuse() { t=$1; shift; run $t noboot "$@"; test -e /tmp/Program.bin && echo "package kept in /tmp" >> $o/$t.out; rm -f /tmp/Program.bin; }
for t in unsigned:u other:o head board table sig keyid data last append; do refuse ${t%%:*} update -tftp 127.0.0.1 all -wait -P ${t#*:}; done
refuse check update -tftp 127.0.0.1 all -check -P u
refuse force update -tftp 127.0.0.1 all -force -wait -P u
mkdir /root/link && ln -s /srv/tftp/k/Program.bin /root/link/Program.bin
refuse link update -local /root/link all -wait
refuse raw update -tftp 127.0.0.1 uImage -debug -P raw
refuse hu update -tftp 127.0.0.1 all -wait -P hu
run help update -h
compare refused
run signed update -tftp 127.0.0.1 all -wait -P k; erase mtd4 mtd5 mtd6
cp /root/o.pem /etc/update/keys/
run ko update -tftp 127.0.0.1 all -wait -P o; erase mtd4 mtd5 mtd6
run kk update -tftp 127.0.0.1 all -wait -P k; erase mtd4 mtd5 mtd6
run hk update -tftp 127.0.0.1 all -wait -P hk; erase mtd4 mtd5 mtd6
rm -r /etc/update/keys
run nokeys update -tftp 127.0.0.1 all -wait -P u
GUEST
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"
board_run s --version-file "$work/version" --update "$updater" --put "$srv:/srv/tftp" \
	--put "$work/k.pem:/etc/update/keys/k.pem" --put "$work/o.pem:/root/o.pem" --timeout 900 "$work/s.sh"
check "the boot ends with its script, no reboot (0), got $status" test "$status" = 0
scenarios s
finish
