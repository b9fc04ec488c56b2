#!/bin/bash
# The updater's main job on the simulated board, as a signed update: builds
# the updater, makes a throwaway Ed25519 key pair, builds and signs a demo
# package, boots a board whose key folder (/etc/update/keys) trusts the public
# key, serves the package from the board's own TFTP server and runs
# "update -tftp 127.0.0.1 all -wait" there. Then shows the updater's signature
# line next to the key's ID, what changed on the flash (each partition's
# checksum before and after, against its image) and the last progress value.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
bin=build/release/bin
work=build/release/demo
rm -rf "$work" && mkdir -p "$work/img"

# a key pair for this run only; the device gets the public half
openssl genpkey -algorithm ed25519 -out "$work/demo.key"
openssl pkey -in "$work/demo.key" -pubout -out "$work/demo.pem"
head -c 600000 /dev/urandom > "$work/img/kernel.img"
head -c 1500000 /dev/urandom > "$work/img/program.img"
head -c 300000 /dev/urandom > "$work/img/activex.img"
"$bin/update-pack" create "$work/Program.bin" --inner DEMO-INNER-2 --pub R1235 --board DVS-SIM-BOARD \
  --image kernel="$work/img/kernel.img" --image program="$work/img/program.img" \
  --image activex="$work/img/activex.img" --sign "$work/demo.key" >/dev/null
printf 'PUB:R1234\nNEW:R1234\nINN:DEMO-INNER-1\nBUILD:2024-01-01 10:00:00\n' > "$work/version"

cat > "$work/demo.sh" <<'GUEST'
sums() { # partition checksums, each over the length of its image
	for p in kernel:4 program:5 activex:6; do
		n=${p%%:*} len=$(wc -c < /root/$n.img)
		nanddump -q -l $len -f /tmp/$n.dump /dev/mtd${p#*:} 2>/dev/null
		echo "$n /dev/mtd${p#*:} $(head -c $len /tmp/$n.dump | md5sum | cut -d' ' -f1)"
	done
}
sums > $BOARD_OUT/before
echo "### update -tftp 127.0.0.1 all -wait"
update -tftp 127.0.0.1 all -wait > /tmp/update.out 2>&1
rc=$?
cat /tmp/update.out
echo "### exit status $rc"
sums > $BOARD_OUT/after
GUEST
bash board/run.sh --version-file "$work/version" --put "$work/Program.bin:/srv/tftp/Program.bin" \
  --put "$work/img/kernel.img:/root/kernel.img" --put "$work/img/program.img:/root/program.img" \
  --put "$work/img/activex.img:/root/activex.img" --put "$work/demo.pem:/etc/update/keys/demo.pem" --out "$work/out" "$work/demo.sh" || true
out=$work/out
# the erase applet's per-block progress is left out
sed 's/Erasing [^.]*complete\.//g' "$out/stdout" | grep -v '^$' || true
# the key ID as the package format defines it: SHA-256 of the raw public key, first 8 bytes
key_id=$(openssl pkey -pubin -in "$work/demo.pem" -outform DER | tail -c 32 | openssl dgst -sha256 -binary |
  head -c 8 | od -An -tx1 | tr -d ' \n')
echo "### signature: the demo key's ID is $key_id; the updater logged"
grep -h 'signature ok, key ID' "$out/stdout" || echo "no signature line"
echo "### the update log, last lines"
tail -n 12 "$out/update.log" 2>/dev/null || true
echo "### flash: partition checksums before / after / image"
while read -r name dev after; do
  before=$(awk -v n="$name" '$1 == n {print $3}' "$out/before")
  image=$(md5sum < "$work/img/$name.img" | cut -d' ' -f1)
  verdict=different
  [[ $after == "$image" ]] && verdict="equal to its image"
  printf '%-8s %-10s before %s  after %s  %s\n' "$name" "$dev" "$before" "$after" "$verdict"
done < "$out/after"
echo "### last progress value: $(cat "$out/tmp/update_rate.log" 2>/dev/null || echo none)"
