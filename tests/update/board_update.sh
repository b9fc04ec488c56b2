#!/bin/bash
# The whole updater on the simulated board, real binary, real flash, two boots:
#  A. direct installations: full updates over TFTP and HTTP (partitions read
#     back, progress sampled; FTP is the flash scenario's, a local folder the
#     launched updaters' of boot B), -check with a good package, version and
#     board refusals with their exit statuses (a bad CRC is the fault test's),
#     the boot-loader question answered on standard input, a boot-loader
#     update that rewrites the environment, a second instance, and at last a
#     successful run without -wait that reboots the board;
#  B. hand-over to the updater the package carries (this very binary): one
#     item, two items, a package on a non-RAM path, unknown words, and at last
#     a failed run with -wait that still reboots.
set -uo pipefail
src=${UPDATE_SOURCE_DIR:?} bin=${UPDATE_BINARY_DIR:?} updater=${UPDATE_BIN:?}
work=$bin/board-test/update
rm -rf "$work" && mkdir -p "$work/srv/same" "$work/srv/other" "$work/srv/custom"
pack=$bin/bin/update-pack
fails=0
check() { # check DESCRIPTION COMMAND...
	if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fails=$((fails + 1)); fi
}
has() { grep -qF -- "$2" "$1"; }
rc() { cat "$o/$1.rc" 2>/dev/null; }
same() { cmp -s -n "$(stat -c %s "$work/$2")" "$o/$1" "$work/$2"; }

for img in k:500000 p:900000 a:200000 u:100000; do head -c "${img#*:}" /dev/urandom > "$work/${img%%:*}.img"; done
images=(--image kernel="$work/k.img" --image program="$work/p.img" --image activex="$work/a.img" --image uboot="$work/u.img")
mk() { "$pack" create "$1" --inner INN-NEW --board DVS-SIM-BOARD "${images[@]}" "${@:2}" >/dev/null; }
mk "$work/srv/Program.bin" --pub R1235
mk "$work/srv/same/Program.bin" --pub R1234
"$pack" create "$work/srv/other/Program.bin" --pub R1235 --board OTHER-BOARD "${images[@]}" >/dev/null
mk "$work/handover.bin" --pub R1235 --updater "$updater"
# A customisation archive that plants a link where tar writes next.
python3 -c 'import stat, sys, zipfile; z = zipfile.ZipFile(sys.argv[1], "w"); z.writestr("oem/res.zip", "resources")
link = zipfile.ZipInfo("res_compress.tar.gz"); link.create_system, link.external_attr = 3, (stat.S_IFLNK | 0o777) << 16
z.writestr(link, "/var/victim"); z.close()' "$work/custom.zip"
mk "$work/srv/custom/Program.bin" --pub R1235 --custom "$work/custom.zip"
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"
python3 "$src/tests/flash/env_images.py" "$work"

# Boot A ----------------------------------------------------------------------
cat > "$work/a.sh" <<'GUEST'
o=$BOARD_OUT
for p in 2:main 7:bak; do
	/usr/bin/update flash_eraseall /dev/mtd${p%%:*} >/dev/null; /usr/lib/board/mtd/nandwrite -q -p /dev/mtd${p%%:*} /root/env_${p#*:}.bin; done
readback() { for p in 4:k:0x80000 5:p:0x100000 6:a:0x40000; do n=${p#*:}; nanddump -q -l ${n#*:} -f $o/$1.${n%:*} /dev/mtd${p%%:*}; done
	/usr/bin/update flash_eraseall /dev/mtd4 >/dev/null; }
run() { tag=$1; shift; update "$@" > $o/$tag.out 2>&1; echo $? > $o/$tag.rc; }
(while [ ! -e /tmp/stop-sampling ]; do cat /tmp/update_rate.log 2>/dev/null && echo; usleep 20000; done > $o/rates) &
run tftp -tftp 127.0.0.1 all -wait; touch /tmp/stop-sampling; readback tftp
busybox.real httpd -p 127.0.0.1:8080 -h /srv/tftp
run http -mycloud http://127.0.0.1:8080/Program.bin all -wait; readback http
cp /var/runtime/log/update_record.log $o/record
echo precious > /var/victim
run custom -tftp 127.0.0.1 all -wait -P custom; readback custom
cp /var/victim $o/victim
run lastopt -tftp 127.0.0.1 all -p
run check_good -tftp 127.0.0.1 all -check; ls /tmp/Program.bin > $o/check_good.kept 2>&1
run check_same -tftp 127.0.0.1 all -check -P same
run check_same_forced -tftp 127.0.0.1 all -check -f -P same
run check_other_forced -tftp 127.0.0.1 all -check -f -P other; ls /tmp/Program.bin > $o/check_other_forced.kept 2>&1
nanddump -q -l 0x80000 -f $o/checks.k /dev/mtd4
printf 'no\r' | update -local /srv/tftp uboot -loop -check > $o/confirm_no.out 2>&1; echo $? > $o/confirm_no.rc; nanddump -q -l 0x20000 -f $o/confirm_no.u /dev/mtd1
# A second updater while the first waits for its answer.
mkfifo /tmp/answer; exec 3<>/tmp/answer
update -local /srv/tftp uboot -loop -wait < /tmp/answer > $o/confirm_yes.out 2>&1 &
first=$!; sleep 3
run second -tftp 127.0.0.1 all -check
printf 'yes\r' >&3; wait $first; echo $? > $o/confirm_yes.rc
nanddump -q -l 0x20000 -f $o/confirm_yes.u /dev/mtd1; /usr/bin/update flash_eraseall /dev/mtd1 >/dev/null
run uboot -tftp 127.0.0.1 uboot -wait
for p in 1:uboot.u:0x20000 2:env_main.bin:0x80000 7:env_bak.bin:0x80000; do n=${p#*:}; nanddump -q -l ${n#*:} -f $o/${n%:*} /dev/mtd${p%%:*}; done
update -tftp 127.0.0.1 all > $o/reboot.out 2>&1; echo "not rebooted" > $o/reboot.rc
sleep 30
GUEST
bash "$src/board/run.sh" --out "$work/a" --version-file "$work/version" --uboot-rev V050 --update "$updater" \
	--put "$work/srv:/srv/tftp" --put "$work/env_main.bin:/root/env_main.bin" --put "$work/env_bak.bin:/root/env_bak.bin" \
	--timeout 900 "$work/a.sh"
status=$?
o=$work/a
check "boot A ends with the reboot of the last successful run (243), got $status" test $status = 243
for t in tftp http; do
	check "$t: full update exits 0, kernel, program and web plug-in equal to their images" \
		eval 'test "$(rc $t)" = 0 && same $t.k k.img && same $t.p p.img && same $t.a a.img'
done
# samples of a file being rewritten: a torn read is no step and is skipped
check "tftp: progress rose in the fixed steps to 100" python3 -c 'import itertools, sys; steps = [60, 65, 70, 80, 85, 90, 95, 99, 100]
uniq = [k for k, _ in itertools.groupby(int(v) for v in open(sys.argv[1]).read().split() if v.isdigit() and int(v) in steps)]
it = iter(steps); sys.exit(0 if len(uniq) >= 3 and uniq[-1] == 100 and all(v in it for v in uniq) else 1)' "$o/rates"
check "customised update: exit 0, images written, the planted link not written through" \
	eval 'test "$(rc custom)" = 0 && same custom.k k.img && grep -qx precious "$o/victim"'
check "customised update: a real resource pack reached flash_tool" \
	eval 'grep -qx "w /tmp/res_compress.tar.gz" "$o/journal/flash_tool" && tar -tzf "$o"/journal/flash_tool.files/*res_compress.tar.gz | grep -qx res.zip'
check "update record: previous and new inner version, then the date" \
	eval 'head -2 "$o/record" | tr "\n" "|" | grep -qx "Previous Verion: GDVSV410R003B03|Upgraded Verion: INN-NEW|" && test "$(wc -l < "$o/record")" = 3'
check "a value option standing last: help, 255, nothing fetched" \
	eval 'test "$(rc lastopt)" = 255 && has "$o/lastopt.out" "Usage: update PROTOCOL" && ! has "$o/lastopt.out" "loading"'
check "-check good: exit 0, package kept" eval 'test "$(rc check_good)" = 0 && grep -qx /tmp/Program.bin "$o/check_good.kept"'
check "-check same version: 254, forced: accepted" eval 'test "$(rc check_same)" = 254 &&
	has "$o/check_same.out" "check update valid failed." && test "$(rc check_same_forced)" = 0'
check "-check -f other board: 253, message, package removed" eval 'test "$(rc check_other_forced)" = 253 &&
	has "$o/check_other_forced.out" "load or update failed!err:-3" && ! grep -qx /tmp/Program.bin "$o/check_other_forced.kept"'
check "-check runs wrote nothing (kernel partition still erased)" cmp -s "$o/checks.k" <(head -c 524288 /dev/zero | tr '\0' '\377')
check "boot loader refused on the question: 255, nothing written" \
	eval 'test "$(rc confirm_no)" = 255 && has "$o/confirm_no.out" "user quit updating u-boot.bin!" && cmp -s "$o/confirm_no.u" <(head -c 131072 /dev/zero | tr "\0" "\377")'
check "second instance refused while the first waits" eval 'test "$(rc second)" = 255 && grep -qx "Update is running, please wait." "$o/second.out"'
check "boot loader accepted on the question: written" eval 'test "$(rc confirm_yes)" = 0 && same confirm_yes.u u.img'
check "boot loader update: environment rewritten, boot loader written" \
	eval 'test "$(rc uboot)" = 0 && has "$o/uboot.out" "Local need to update env" && has "$o/uboot.out" "success to update envcrc bakenvcrc." && same uboot.u u.img'
check "last run rebooted after its success line" \
	eval 'has "$o/reboot.out" "Update success. System reboot now..." && grep -qx reboot "$o/journal/init" && test ! -e "$o/reboot.rc"'
python3 "$src/tests/flash/env_images.py" "$work" "$o" 0x20000 || fails=$((fails + 1))

# Boot B ----------------------------------------------------------------------
cat > "$work/b.sh" <<'GUEST'
o=$BOARD_OUT
readback() { nanddump -q -l 0x80000 -f $o/$1.k /dev/mtd4; nanddump -q -l 0x100000 -f $o/$1.p /dev/mtd5; /usr/bin/update flash_eraseall /dev/mtd4 >/dev/null; }
run() { tag=$1; shift; update "$@" > $o/$tag.out 2>&1; echo $? > $o/$tag.rc; }
run one -tftp 127.0.0.1 all -wait; readback one
printf 'yes\r' | update -tftp 127.0.0.1 all uboot -wait > $o/two.out 2>&1; echo $? > $o/two.rc; readback two; nanddump -q -l 0x20000 -f $o/two.u /dev/mtd1
mkdir -p $o/usb && cp /srv/tftp/Program.bin $o/usb/
run usb -local $o/usb all -wait; readback usb; ls $o/usb > $o/usb.ls
run words -tftp 127.0.0.1 all newoption -wait
# the web plug-in write fails every time: the run goes on, then fails, and reboots
echo 10 > /etc/board/fail/nandwrite
update -tftp 127.0.0.1 activex -wait -P plain > $o/failed.out 2>&1; echo "not rebooted" > $o/failed.rc
sleep 30
GUEST
bash "$src/board/run.sh" --out "$work/b" --version-file "$work/version" --update "$updater" \
	--put "$work/handover.bin:/srv/tftp/Program.bin" --put "$work/srv/Program.bin:/srv/tftp/plain/Program.bin" \
	--timeout 900 "$work/b.sh"
status=$?
o=$work/b
check "boot B ends with the reboot of the failed run (243), got $status" test $status = 243
check "hand-over: the launched updater ran on the package in /tmp with -loop, exit 0, partitions equal" eval 'test "$(rc one)" = 0 &&
	has "$o/one.out" "Launch update cmd (chmod +x /tmp/busybox; /tmp/busybox update -local /tmp/ all  -w -loop)" && same one.k k.img && same one.p p.img'
check "two items: two launches, all then uboot, boot loader written" \
	eval 'test "$(rc two)" = 0 && has "$o/two.out" "/tmp/ all  -w -loop)" && has "$o/two.out" "/tmp/ uboot  -w -loop)" && same two.u u.img && same two.k k.img'
check "package on a non-RAM path: copied to /tmp and installed, left under its own name" eval 'test "$(rc usb)" = 0 &&
	grep -q "update relocate .*/usb/Program.bin -> /tmp/Program.bin" "$o/usb.out" && same usb.k k.img && grep -qx Program.bin "$o/usb.ls"'
check "unknown words: handed over, the launched updater refuses them, 255" \
	eval 'test "$(rc words)" = 255 && has "$o/words.out" "-local /tmp/ all -w newoption  -loop)" && has "$o/words.out" "unknown words in a handed-over request"'
check "a failed web plug-in write fails the run after the remaining steps, which with -wait still reboots" eval 'has "$o/failed.out" "NAND flash write final failed." &&
	has "$o/failed.out" "installation failed: /dev/mtd6 was not written" && has "$o/failed.out" "Update failed. System reboot soon..." &&
	! has "$o/failed.out" "Update success" && grep -qx reboot "$o/journal/init" && test ! -e "$o/failed.rc"'

((fails == 0)) || { echo "$fails check(s) failed; board output in $work"; exit 1; }
