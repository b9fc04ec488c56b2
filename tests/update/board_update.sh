#!/bin/bash
# The whole updater on the simulated board, real binary, real flash, two boots:
#  A. direct installations: full updates over TFTP and HTTP (partitions read
#     back, progress sampled; FTP is the flash scenario's, a local folder the
#     launched updaters' of boot B), packages whose writes cannot run (read
#     in place from a long or blank-containing folder, a kernel larger than
#     its partition) refused before anything is erased, -check with a good
#     package, version and board refusals with their exit statuses (a bad CRC
#     is the fault test's, but for a boot-loader package: neither -check of
#     one touches the environment), the update record's previous version,
#     the boot-loader question answered on standard input, a boot-loader
#     update that rewrites the environment, a second instance refused while
#     the first, on a fresh /tmp, waits for its answer, and at last a
#     successful run without -wait that reboots the board;
#  B. hand-over to the updater the package carries (this very binary): one
#     item whose writes outlast the watch of an updater built with an 8-second
#     limit, two items, a package on a non-RAM path, unknown words, and at
#     last a failed run with -wait that still reboots.
# Every written partition is read back whole after its run and erased again.
set -uo pipefail
. "${UPDATE_SOURCE_DIR:?}/tests/board/board_lib.sh" update
updater=${UPDATE_BIN:?} pack=$bin/bin/update-pack
mkdir -p "$work/srv/same" "$work/srv/other" "$work/srv/custom" "$work/srv/badcrc"

for img in k:500000 p:900000 a:200000 u:100000; do head -c "${img#*:}" /dev/urandom > "$work/img/${img%%:*}.img"; done
images=(--image kernel="$work/img/k.img" --image program="$work/img/p.img" --image activex="$work/img/a.img" --image uboot="$work/img/u.img")
mk() { "$pack" create "$1" --inner INN-NEW --board DVS-SIM-BOARD "${images[@]}" "${@:2}" >/dev/null; }
mk "$work/srv/Program.bin" --pub R1235
mk "$work/srv/same/Program.bin" --pub R1234
mk "$work/srv/badcrc/Program.bin" --pub R1235 --crc wrong
"$pack" create "$work/srv/other/Program.bin" --pub R1235 --board OTHER-BOARD "${images[@]}" >/dev/null
mk "$work/handover.bin" --pub R1235 --updater "$updater"
# A customisation archive that plants a link where tar writes next.
python3 -c 'import stat, sys, zipfile; z = zipfile.ZipFile(sys.argv[1], "w"); z.writestr("oem/res.zip", "resources")
link = zipfile.ZipInfo("res_compress.tar.gz"); link.create_system, link.external_attr = 3, (stat.S_IFLNK | 0o777) << 16
z.writestr(link, "/var/victim"); z.close()' "$work/custom.zip"
mk "$work/srv/custom/Program.bin" --pub R1235 --custom "$work/custom.zip"
# a kernel one byte larger than its partition
head -c $((0xc00001)) /dev/urandom > "$work/big.img" && mkdir "$work/img/big"
"$pack" create "$work/img/big/Program.bin" --inner INN-NEW --pub R1235 --board DVS-SIM-BOARD --image kernel="$work/big.img" >/dev/null
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"
# environment copies with a CRC for the large block, wrong for the small one the boot-loader update writes
python3 "$src/tests/flash/env_images.py" "$work/img" 0x80000 0x20000
kpa="mtd4=k.img mtd5=p.img mtd6=a.img"

# Boot A ----------------------------------------------------------------------
table a <<EOF
tftp               | 0   | $kpa           | full update over TFTP
long               | 255 | mtd4=k.img     | package read in place from a long folder: refused, nothing erased | cannot be run with the file
blank              | 255 | mtd4=k.img     | package read in place from a folder with a blank: refused, nothing erased | cannot be run with the file
big                | 255 | mtd4=k.img     | kernel one byte larger than its partition: refused, nothing erased | does not fit /dev/mtd4
http               | 0   | $kpa           | full update over HTTP
custom             | 0   | $kpa           | customised update, images written
lastopt            | 255 |                | a value option standing last: help, nothing fetched | Usage: update PROTOCOL | !loading
check_good         | 0   |                | -check good
check_same         | 254 |                | -check same version refused | check update valid failed.
check_same_forced  | 0   |                | -check same version forced: accepted
check_other_forced | 253 |                | -check -f other board refused | load or update failed!err:-3
check_uboot        | 0   |                | -check of a boot loader needing the environment rewrite | !envcrc
check_uboot_crc    | 252 |                | -check of a boot loader package with a bad checksum refused | update check crc failed. | !envcrc
checks             | -   | mtd0=/dev/null mtd1=/dev/null mtd2=env_main.old mtd3=/dev/null mtd4=/dev/null mtd5=/dev/null mtd6=/dev/null mtd7=env_bak.old mtd8=/dev/null mtd9=/dev/null mtd10=/dev/null mtd11=/dev/null | the -check runs wrote no partition, the environment copies as they were
confirm_no         | 255 | mtd1=/dev/null | boot loader refused on the question, nothing written | user quit updating u-boot.bin!
second             | 255 |                | second instance refused while the first waits | Update is running, please wait.
confirm_yes        | 0   | mtd1=u.img     | boot loader accepted on the question: the first, on a fresh /tmp, completes
uboot              | 0   | mtd1=u.img mtd2=env_main.new mtd7=env_bak.new | boot loader update: environment rewritten right before the boot loader is written | Local need to update env | success to update envcrc bakenvcrc. loading u-boot.bin....
reboot             | -   |                | last run says it reboots | Update success. System reboot now...
EOF
cat > "$work/a.sh" <<'GUEST'
. /root/lib.sh
restore_env
# every progress value the TFTP run publishes, recorded as it is renamed into place
run tftp env LD_PRELOAD=/root/preload.so RATE_LOG=$o/rates ASAN_OPTIONS=verify_asan_link_order=0 update -tftp 127.0.0.1 all -wait
long=/root/$(printf %060d 0); mkdir $long "/root/a b"; cp /srv/tftp/Program.bin $long; cp /srv/tftp/Program.bin "/root/a b"
run long noboot update -local $long all -wait
run blank noboot update -local "/root/a b" all -wait
run big noboot update -local /root/img/big all -wait
erase mtd4 mtd5 mtd6
busybox.real httpd -p 127.0.0.1:8080 -h /srv/tftp
# the program partition's file system shows the new version once its image is written
mv /usr/sbin/nandwrite /usr/sbin/nandwrite.dev && printf '#!/bin/sh\n/usr/sbin/nandwrite.dev "$@" && case "$*" in *mtd5*) echo INN:INN-NEW > /program/.version; esac\n' > /usr/sbin/nandwrite && chmod +x /usr/sbin/nandwrite
run http update -mycloud http://127.0.0.1:8080/Program.bin all -wait; erase mtd4 mtd5 mtd6
cp /var/runtime/log/update_record.log $o/record; mv /usr/sbin/nandwrite.dev /usr/sbin/nandwrite; cp /etc/board/version /program/.version
echo precious > /var/victim
run custom update -tftp 127.0.0.1 all -wait -P custom; erase mtd4 mtd5 mtd6
cp /var/victim $o/victim
run lastopt update -tftp 127.0.0.1 all -p
run check_good update -tftp 127.0.0.1 all -check; ls /tmp/Program.bin > $o/check_good.kept 2>&1
run check_same update -tftp 127.0.0.1 all -check -P same
run check_same_forced update -tftp 127.0.0.1 all -check -f -P same
run check_other_forced update -tftp 127.0.0.1 all -check -f -P other; ls /tmp/Program.bin > $o/check_other_forced.kept 2>&1
run check_uboot update -tftp 127.0.0.1 uboot -check
run check_uboot_crc update -tftp 127.0.0.1 uboot -check -P badcrc
compare checks
printf 'no\r' | run confirm_no update -local /srv/tftp uboot -loop -check
# A second updater while the first waits for its answer; the first must still
# make its applet runner from the file it runs from.
rm -f /tmp/busybox /tmp/memupdate; mkfifo /tmp/answer; exec 3<>/tmp/answer
run confirm_yes update -local /srv/tftp uboot -loop -wait < /tmp/answer &
sleep 3
run second update -tftp 127.0.0.1 all -check
printf 'yes\r' >&3; wait $!; erase mtd1
run uboot update -tftp 127.0.0.1 uboot -wait
run reboot update -tftp 127.0.0.1 all
sleep 30
GUEST
board_run a --version-file "$work/version" --uboot-rev V050 --update "$updater" --put "$work/srv:/srv/tftp" \
	--put "$bin/bin/board_preload.so:/root/preload.so" --timeout 900 "$work/a.sh"
check "boot A ends with the reboot the last successful run asked for (243), got $status" \
	eval 'test $status = 243 && grep -qx reboot "$o/journal/init"'
scenarios a
# kernel 60, program 65, TV configuration 70, web plug-in 80, boot loader 85,
# slave board 90 and 95, then 99 and 100
check "tftp: progress published 60 65 70 80 85 90 95 99 100 and nothing else" test "$(cat "$o/rates")" = "60 65 70 80 85 90 95 99 100 "
check "customised update: the planted link not written through, a real resource pack reached flash_tool" eval 'grep -qx precious "$o/victim" &&
	grep -qx "w /tmp/res_compress.tar.gz" "$o/journal/flash_tool" && tar -tzf "$o"/journal/flash_tool.files/*res_compress.tar.gz | grep -qx res.zip'
check "update record: the inner version before the program was written, the new one, then the date" \
	eval 'head -2 "$o/record" | tr "\n" "|" | grep -qx "Previous Verion: GDVSV410R003B03|Upgraded Verion: INN-NEW|" && test "$(wc -l < "$o/record")" = 3'
check "-check keeps a good package, removes one of another board" \
	eval 'grep -qx /tmp/Program.bin "$o/check_good.kept" && ! grep -qx /tmp/Program.bin "$o/check_other_forced.kept"'

# Boot B ----------------------------------------------------------------------
table b <<EOF
one    | 0   | $kpa            | hand-over: the launched updater, slower than the watch, is waited for | /srv/tftp/ all  -w -loop) | !Update failed
two    | 0   | $kpa mtd1=u.img | two items: two launches on the package in /tmp with -loop, all then uboot | Launch update cmd (chmod +x /tmp/busybox; /tmp/busybox update -local /tmp/ all  -w -loop) | /tmp/ uboot  -w -loop)
usb    | 0   | $kpa            | package on a non-RAM path: copied to /tmp and installed | /usb/Program.bin -> /tmp/Program.bin
words  | 255 |                 | unknown words: handed over, the launched updater refuses them | -local /tmp/ all -w newoption  -loop) | unknown words in a handed-over request
failed | -   |                 | a failed web plug-in write fails the run after the remaining steps | NAND flash write final failed. | installation failed: /dev/mtd6 was not written | Update failed. System reboot soon... | !Update success
EOF
cat > "$work/b.sh" <<'GUEST'
. /root/lib.sh
# each NAND write of the launched updater takes 4 s, 12 s for the three: longer than the 8-second watch
mv /usr/sbin/nandwrite /root/; printf '#!/bin/sh\nsleep 4; exec /root/nandwrite "$@"\n' > /usr/sbin/nandwrite; chmod +x /usr/sbin/nandwrite
run one /root/update-shortwatch -local /srv/tftp all -wait; erase mtd4 mtd5 mtd6; mv /root/nandwrite /usr/sbin/
printf 'yes\r' | run two update -tftp 127.0.0.1 all uboot -wait; erase mtd1 mtd4 mtd5 mtd6
mkdir -p $o/usb && cp /srv/tftp/Program.bin $o/usb/
run usb update -local $o/usb all -wait; ls $o/usb > $o/usb.ls
run words update -tftp 127.0.0.1 all newoption -wait
# the web plug-in write fails every time: the run goes on, then fails, and reboots
echo 10 > /etc/board/fail/nandwrite
run failed update -tftp 127.0.0.1 activex -wait -P plain
sleep 30
GUEST
board_run b --version-file "$work/version" --update "$updater" --put "$work/handover.bin:/srv/tftp/Program.bin" \
	--put "$bin/bin/update-shortwatch:/root/update-shortwatch" \
	--put "$work/srv/Program.bin:/srv/tftp/plain/Program.bin" --timeout 900 "$work/b.sh"
check "boot B ends with the reboot the failed run with -wait still asked for (243), got $status" \
	eval 'test $status = 243 && grep -qx reboot "$o/journal/init"'
scenarios b
check "the package on a non-RAM path left under its own name" grep -qx Program.bin "$o/usb.ls"
finish
