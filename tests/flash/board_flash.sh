#!/bin/bash
# The flash writer on the simulated board, two boots:
#  1. the product build on NAND (a bad block inside the kernel partition): raw
#     images over TFTP and FTP, the configuration partition for each root file
#     system, the UBI boot-loader and TV-configuration paths, the environment
#     rewrite at the large block size (the small one is the update scenario's)
#     and cut by freezing the flash at moments inside and between its erases
#     and writes, then a write that keeps failing (which reboots the board;
#     retries that end in success are the power-cut scenario's);
#  2. the simulated NOR build: a raw kernel through flashcp on the whole
#     device, the slave-board images, the unlock.
# Usage: board_flash.sh FLASH_DRIVER FLASH_DRIVER_SIM UPDATE_SIMBOARD
set -uo pipefail
driver=$1 driver_sim=$2 simboard=$3
src=${UPDATE_SOURCE_DIR:?} work=${UPDATE_BINARY_DIR:?}/board-test/flash
rm -rf "$work" && mkdir -p "$work/srv"
fails=0
check() { # check DESCRIPTION COMMAND...
	if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fails=$((fails + 1)); fi
}
has() { grep -qF -- "$2" "$1"; }

for f in srv/uImage:300000 srv/program.img:1000000 pkg.bin:400000; do head -c ${f#*:} /dev/urandom > "$work/${f%:*}"; done
python3 "$src/tests/flash/env_images.py" "$work"

cat > "$work/nand.sh" <<'GUEST'
o=$BOARD_OUT
cp /usr/bin/update /tmp/busybox
restore_env() { for p in 2:main 7:bak; do
	/bin/busybox flash_eraseall /dev/mtd${p%%:*} >/dev/null; /usr/lib/board/mtd/nandwrite -q -p /dev/mtd${p%%:*} /root/env_${p#*:}.bin; done; }
dump_env() { mkdir -p $o/$1; for p in 2:main 7:bak; do nanddump -q -l 0x80000 -f $o/$1/env_${p#*:}.bin /dev/mtd${p%%:*}; done; }

update -tftp 127.0.0.1 uImage -debug -wait > $o/tftp.txt; echo $? > $o/tftp.rc
nanddump -q --bb=skipbad -f $o/kernel.bin /dev/mtd4
update -ftp 127.0.0.1 program -u board -p board -debug -wait > $o/ftp.txt; echo $? > $o/ftp.rc
nanddump -q -l 0x100000 -f $o/program.bin /dev/mtd5

# The configuration partition holds data; each root file system case decides
# whether it is erased or only the runtime folder is cleared.
for c in A:root=ubi0:rootfs:none B:rootfstype=yaffs2:none C:rootfstype=yaffs2:ubi; do
	case=${c%%:*} rest=${c#*:} mnt=${c##*:}
	/bin/busybox flash_eraseall /dev/mtd3 >/dev/null
	/usr/lib/board/mtd/nandwrite -q -p /dev/mtd3 /root/pkg.bin
	echo "${rest%:*}" > /etc/board/cmdline
	[ $mnt = ubi ] && mount -t tmpfs ubi1_0 /var/runtime
	touch /var/runtime/settings
	flash_driver write /dev/mtd3 /root/pkg.bin 0xa00000 0 0 0 > $o/cfg$case.txt
	ls /var/runtime > $o/cfg$case.ls
	nanddump -q -l 0x20000 -f $o/cfg$case.bin /dev/mtd3
	[ $mnt = ubi ] && umount /var/runtime
done

echo "root=ubi0:rootfs rootfstype=ubifs" > /etc/board/cmdline
flash_driver write /dev/mtd1 /root/pkg.bin 0x100000 4096 200000 0 > $o/mboot.txt
nanddump -q -l 0x40000 -f $o/mboot.bin /dev/mtd1
flash_driver -L 6 -S 6 write /dev/mtd9 /root/pkg.bin 0x80000 4096 100000 0 > $o/tv.txt
head -c 100000 /dev/ubi0_0 > $o/tv.bin

restore_env; flash_driver env V4.22.14 > $o/env80.txt; dump_env env80

i=0
for cut in 2:erase:0 2:erase:262144 2:write:0 2:write:262144 2:write:522240 \
	7:erase:0 7:erase:131072 7:write:0 7:write:300000; do
	restore_env; board-freeze $cut flash_driver env V4.22.14 > /dev/null 2>&1
	echo "$i $cut $?" >> $o/cuts.txt; dump_env cut$i; i=$((i + 1))
done

# Last: a write that always fails ends in the reboot line.
echo 10 > /etc/board/fail/nandwrite
update -tftp 127.0.0.1 uImage -debug -wait > $o/fail.txt 2>&1
echo "no reboot" > $o/fail.rc
GUEST

bash "$src/board/run.sh" --out "$work/nand" --badblocks 98 --ubi 6 --cmdline "rootfstype=squashfs" \
	--put "$driver:/usr/bin/flash_driver" --put "$work/pkg.bin:/root/pkg.bin" \
	--put "$work/env_main.bin:/root/env_main.bin" --put "$work/env_bak.bin:/root/env_bak.bin" \
	--put "$work/srv/uImage:/srv/tftp/uImage" --put "$work/srv/program.img:/srv/tftp/program.img" \
	--timeout 600 "$work/nand.sh"
rc=$?
o=$work/nand
check "boot 1 ends with the reboot of the failed raw image (243), got $rc" test $rc = 243
check "raw kernel over TFTP: exit 0, nandwrite -p, equal past the bad block" eval 'test "$(cat "$o/tftp.rc")" = 0 &&
	has "$o/tftp.txt" "/usr/sbin/nandwrite -p /dev/mtd4 -g 0 -l 300000 -m /tmp/uImage" && cmp -s -n 300000 "$o/kernel.bin" "$work/srv/uImage"'
check "raw program over FTP: exit 0, nandwrite -o, equal, the fetch logged with the password masked, the password nowhere" eval 'test "$(cat "$o/ftp.rc")" = 0 &&
	has "$o/update.log" "/usr/sbin/nandwrite -o /dev/mtd5 -g 0 -l 1000000 -m /tmp/program.img" && cmp -s -n 1000000 "$o/program.bin" "$work/srv/program.img" &&
	has "$o/update.log" "loading cmd: ftpget -u board -p ****** 127.0.0.1 /tmp/program.img program.img" && ! grep -q -e "-p board" -e "password:board" "$o/update.log"'
check "config on UBI root (A) or with runtime on ubi1_0 (C): runtime cleared, partition kept" eval 'has "$o/cfgA.txt" "rm -rf /var/runtime/*." &&
	test ! -s "$o/cfgA.ls" -a ! -s "$o/cfgC.ls" && cmp -s -n 131072 "$o/cfgA.bin" "$work/pkg.bin" && cmp -s -n 131072 "$o/cfgC.bin" "$work/pkg.bin"'
check "config on yaffs2: partition erased, runtime kept" \
	eval 'has "$o/cfgB.txt" "Write flash over." && test -s "$o/cfgB.ls" && cmp -s "$o/cfgB.bin" <(head -c 131072 /dev/zero | tr "\0" "\377")'
check "UBI boot loader: nandwrite_mboot wrote the range" eval 'has "$o/mboot.txt" MTD_BOOTLOAD && cmp -s -n 200000 -i 4096:0 "$work/pkg.bin" "$o/mboot.bin"'
check "TV configuration: ubiupdatevol replaced the volume, sync_mmap=1 in nvram" eval 'has "$o/tv.txt" MTD_BOOTLOAD &&
	cmp -s -n 100000 -i 4096:0 "$work/pkg.bin" "$o/tv.bin" && grep -qx sync_mmap=1 "$o/nvram"'
check "always failing write: ten numbered failures, the final line, reboot requested, script did not go on" \
	eval 'test "$(grep -cF "NAND flash write failed[" "$o/fail.txt")" = 10 && has "$o/fail.txt" "failed[9]." && has "$o/fail.txt" "NAND flash write final failed." &&
	has "$o/fail.txt" "load or update failed!" && grep -qx reboot "$o/journal/init" && test ! -e "$o/fail.rc"'
check "every freeze fired" test "$(awk '$3 == 0' "$o/cuts.txt" | wc -l)" = 9

# Environment copies checked with zlib, independently of the updater.
python3 - "$work" "$o" <<'PY' || fails=$((fails + 1))
import sys, zlib, struct
work, o = sys.argv[1], sys.argv[2]
orig = {n: open(f"{work}/env_{n}.bin", "rb").read() for n in ("main", "bak")}
def valid(data, size, name):
    return struct.unpack("<I", data[:4])[0] == zlib.crc32(data[4:size]) and data[4:size] == orig[name][4:size]
bad = 0
for line in open(f"{o}/cuts.txt"):
    i, cut, _ = line.split()
    m, b = (open(f"{o}/cut{i}/env_{n}.bin", "rb").read() for n in ("main", "bak"))
    # the backup is touched only once the main copy is whole again
    ok = (valid(m, 0x80000, "main") or valid(b, 0x80000, "bak")) and (
        valid(m, 0x80000, "main") if cut.startswith("7:") else b == orig["bak"])
    print(("ok: " if ok else "FAILED: ") + f"cut {cut}: a valid copy remains; the backup untouched until the main copy is whole")
    bad += not ok
sys.exit(1 if bad else 0)
PY
python3 "$src/tests/flash/env_images.py" "$work" "$o/env80" 0x80000 || fails=$((fails + 1))

# Boot 2: the simulated NOR board.
for f in su:50000 sk:100000 sp:150000; do head -c ${f#*:} /dev/urandom > "$work/${f%:*}"; done
"${UPDATE_BINARY_DIR}/bin/update-pack" create "$work/slave.bin" --image 11="$work/su" --flash-offset 11=0x2e0000 \
	--image 12="$work/sk" --flash-offset 12=0x300000 --image 13="$work/sp" --flash-offset 13=0x380000 >/dev/null
cat > "$work/nor.sh" <<'GUEST'
o=$BOARD_OUT
update -v > $o/version.txt
update -tftp 127.0.0.1 uImage -debug -wait > $o/nor.txt; echo $? > $o/nor.rc
cat /dev/mtd4 > $o/nor_kernel.bin
cp /usr/bin/update /tmp/busybox
flash_driver slave 0x7 /root/slave.bin > $o/slave.txt
for n in 9 10 11; do cat /dev/mtd$n > $o/slave$n.bin; done
GUEST
rm -f "$work/nor.img"
bash "$src/board/run.sh" --out "$work/nor" --nand-parts none --nor "$work/nor.img" --nor-parts sim \
	--update "$simboard" --put "$driver_sim:/usr/bin/flash_driver" --put "$work/slave.bin:/root/slave.bin" \
	--put "$work/srv/uImage:/srv/tftp/uImage" --timeout 600 "$work/nor.sh"
rc=$?
o=$work/nor
check "boot 2 ends with the script's status 0 (got $rc); update -v says it is a simulation build" \
	eval 'test $rc = 0 && has "$o/version.txt" "SIMULATION BUILD"'
check "NOR raw kernel: flashcp on the whole device at the partition offset, equal, exit 0, then the whole NOR unlocked" \
	eval 'has "$o/nor.txt" "/bin/busybox flashcp -g 0 -l 300000 -o 655360 /tmp/uImage /dev/mtd0" && test "$(cat "$o/nor.rc")" = 0 &&
	cmp -s -n 300000 "$o/nor_kernel.bin" "$work/srv/uImage" && has "$o/nor.txt" "unlock flash success!"'
check "slave board: boot loader, kernel and program written, each equal" eval 'has "$o/slave.txt" result=0 &&
	cmp -s -n 50000 "$o/slave9.bin" "$work/su" && cmp -s -n 100000 "$o/slave10.bin" "$work/sk" && cmp -s -n 150000 "$o/slave11.bin" "$work/sp"'

((fails == 0)) || { echo "$fails check(s) failed; board output in $work"; exit 1; }
