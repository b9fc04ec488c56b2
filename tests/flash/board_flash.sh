#!/bin/bash
# The flash writer on the simulated board, two boots:
#  1. the product build on NAND (a bad block inside the kernel partition): raw
#     images over TFTP and FTP, a kernel too long for the good blocks, a raw
#     image with -check (no partition changes) and an empty one (refused), the
#     configuration partition for each root file system, the UBI boot-loader
#     and TV-configuration paths, the environment rewrite at the large block
#     size (the small one is the update scenario's), failing when either copy
#     refuses its write, and cut by freezing the flash at moments inside and
#     between its erases and writes, then a write that keeps failing (which
#     reboots the board; retries that end in success are the power-cut
#     scenario's);
#  2. the simulated NOR build: a raw kernel through flashcp on the whole
#     device, the slave-board images, the unlock; packages whose kernel lies
#     outside its slot and a slave kernel the package lacks, refused.
set -uo pipefail
driver=$1 driver_sim=$2 simboard=$3
. "${UPDATE_SOURCE_DIR:?}/tests/board/board_lib.sh" flash

for f in uImage:300000 program.img:1000000 pkg.bin:400000; do head -c ${f#*:} /dev/urandom > "$work/img/${f%:*}"; done
# environment copies with a CRC for the small block, wrong for the large one written here
python3 "$src/tests/flash/env_images.py" "$work/img" 0x20000 0x80000

table nand <<'EOF'
tftp  | 0 | mtd4=uImage                | raw kernel over TFTP: nandwrite -p, past the bad block | /usr/sbin/nandwrite -p /dev/mtd4 -g 0 -l 300000 -m /tmp/uImage
badfit | 0 | mtd4=uImage              | kernel that fits the partition but not its good blocks: refused, nothing erased | outside its 1 bad blocks | result=-1
ftp   | 0 | mtd5=program.img           | raw program over FTP: nandwrite -o
rawcheck | 0 |                         | raw kernel with -check: fetched and checked, nothing written | check only: /dev/mtd4 not written
rawempty | 255 | mtd4=uImage           | empty raw kernel: refused, nothing erased | holds no image | load or update failed!
cfgA  | - | mtd3=pkg.bin               | config on a UBI root: runtime cleared, partition kept | rm -rf /var/runtime/*.
cfgB  | - | mtd3=/dev/null             | config on yaffs2: partition erased | Write flash over.
cfgC  | - | mtd3=pkg.bin               | config with the runtime on ubi1_0: partition kept
mboot | - | mtd1=pkg.bin@4096+200000   | UBI boot loader: nandwrite_mboot wrote the range | MTD_BOOTLOAD
tv    | - | ubi0_0=pkg.bin@4096+100000 | TV configuration: ubiupdatevol replaced the volume | MTD_BOOTLOAD
env80 | 0 | mtd2=env_main.new mtd7=env_bak.new | environment rewritten at the large block size | result=0
envw2 | 0 | mtd7=env_bak.old | main copy refusing its write: the rewrite fails, the backup untouched | result=-1 | !Failed to wirte bakenv
envw7 | 0 | mtd2=env_main.new | backup refusing its write: the rewrite fails, the main copy rewritten | Failed to wirte bakenv | result=-1
fail  | - |                            | always failing write: the final line | failed[9]. | NAND flash write final failed. | load or update failed!
EOF
cat > "$work/nand.sh" <<'GUEST'
. /root/lib.sh
cp /usr/bin/update /tmp/busybox
sums() { for n in $(seq 0 11); do nanddump -q /dev/mtd$n; done | md5sum; md5sum < /dev/ubi0_0; }
sums > $o/sums.before; run rawcheck update -tftp 127.0.0.1 uImage -debug -check; sums > $o/sums.after
run tftp update -tftp 127.0.0.1 uImage -debug -wait
# 64 KiB short of the partition, 64 KiB more than its good blocks hold
head -c 12517376 /dev/urandom > /tmp/fat && run badfit flash_driver write /dev/mtd4 /tmp/fat 0xc00000 0 12517376 0; rm -f /tmp/fat
run ftp update -ftp 127.0.0.1 program -u board -p board -debug -wait
mkdir /srv/tftp/empty && : > /srv/tftp/empty/uImage && run rawempty noboot update -tftp 127.0.0.1 uImage -P empty -debug -wait

# The configuration partition holds data; each root file system case decides
# whether it is erased or only the runtime folder is cleared.
for c in A:root=ubi0:rootfs:none B:rootfstype=yaffs2:none C:rootfstype=yaffs2:ubi; do
	case=${c%%:*} rest=${c#*:} mnt=${c##*:}
	erase mtd3; /usr/lib/board/mtd/nandwrite -q -p /dev/mtd3 /root/img/pkg.bin
	echo "${rest%:*}" > /etc/board/cmdline
	[ $mnt = ubi ] && mount -t tmpfs ubi1_0 /var/runtime
	touch /var/runtime/settings
	run cfg$case flash_driver write /dev/mtd3 /root/img/pkg.bin 0xa00000 0 0 0
	ls /var/runtime > $o/cfg$case.ls
	[ $mnt = ubi ] && umount /var/runtime
done

echo "root=ubi0:rootfs rootfstype=ubifs" > /etc/board/cmdline
run mboot flash_driver write /dev/mtd1 /root/img/pkg.bin 0x100000 4096 200000 0
run tv flash_driver -L 6 -S 6 write /dev/mtd9 /root/img/pkg.bin 0x80000 4096 100000 0

restore_env; run env80 flash_driver env V4.22.14
for d in 2 7; do
	restore_env; run envw$d env LD_PRELOAD=/root/preload.so FAIL_WRITE=/dev/mtd$d ASAN_OPTIONS=verify_asan_link_order=0 flash_driver env V4.22.14
done
while read -r cut _; do
	restore_env; board-freeze $cut flash_driver env V4.22.14 > /dev/null 2>&1
	echo $? $(holds mtd2 env_main.old env_main.new) $(holds mtd7 env_bak.old env_bak.new) > $o/envcut$cut
done < /root/img/envcuts

# Last: a write that always fails ends in the reboot line.
echo 10 > /etc/board/fail/nandwrite
run fail update -tftp 127.0.0.1 uImage -debug -wait
GUEST

# Freezes inside and between the erases and writes of the rewrite, and the
# copies each leaves: the backup is touched only once the main copy is whole.
cat > "$work/img/envcuts" <<'EOF'
2:erase:0      env_main.old env_bak.old
2:erase:262144 -            env_bak.old
2:write:0      -            env_bak.old
2:write:262144 -            env_bak.old
2:write:522240 -            env_bak.old
7:erase:0      env_main.new env_bak.old
7:erase:131072 env_main.new -
7:write:0      env_main.new -
7:write:300000 env_main.new -
EOF
board_run nand --badblocks 98 --ubi 6 --cmdline "rootfstype=squashfs" --put "$driver:/usr/bin/flash_driver" --put "$bin/bin/board_preload.so:/root/preload.so" \
	--put "$work/img/uImage:/srv/tftp/uImage" --put "$work/img/program.img:/srv/tftp/program.img" --timeout 600 "$work/nand.sh"
check "boot 1 ends with the reboot of the failed raw image (243), got $status" test $status = 243
check "raw kernel with -check: every partition byte for byte unchanged" cmp -s "$o/sums.before" "$o/sums.after"
scenarios nand
check "raw program over FTP: logged with the password masked, the password nowhere" eval 'has "$o/update.log" "/usr/sbin/nandwrite -o /dev/mtd5 -g 0 -l 1000000 -m /tmp/program.img" &&
	has "$o/update.log" "loading cmd: ftpget -u board -p ****** 127.0.0.1 /tmp/program.img program.img" && ! grep -q -e "-p board" -e "password:board" "$o/update.log"'
check "config: the runtime folder cleared on a UBI root (A, C), kept on yaffs2 (B)" test ! -s "$o/cfgA.ls" -a ! -s "$o/cfgC.ls" -a -s "$o/cfgB.ls"
check "TV configuration: sync_mmap=1 in nvram" grep -qx sync_mmap=1 "$o/nvram"
# The run is the boot's last: its end is the reboot (the boot's status above),
# which can land after the run's own status was written.
check "always failing write: ten numbered failures, reboot requested" \
	eval 'test "$(grep -cF "NAND flash write failed[" "$o/fail.out")" = 10 && grep -qx reboot "$o/journal/init"'
while read -r cut want; do
	check "environment rewrite frozen at $cut: the copies hold $want" test "$(cat "$o/envcut$cut" 2>/dev/null)" = "0 $(echo $want)"
done < "$work/img/envcuts"

# Boot 2: the simulated NOR board.
for f in su:50000 sk:100000 sp:150000; do head -c ${f#*:} /dev/urandom > "$work/img/${f%:*}"; done
"$bin/bin/update-pack" create "$work/slave.bin" --image 11="$work/img/su" --flash-offset 11=0x2e0000 \
	--image 12="$work/img/sk" --flash-offset 12=0x300000 --image 13="$work/img/sp" --flash-offset 13=0x380000 >/dev/null
# a kernel package at the tool's default flash offset 0, and one running past the kernel slot's end (0x160000)
for p in nor0:0 norspill:0x120000; do mkdir "$work/img/${p%:*}"; "$bin/bin/update-pack" create "$work/img/${p%:*}/Program.bin" \
	--inner INN-NEW --pub R1235 --board DVS-SIM-BOARD --image kernel="$work/img/uImage" --flash-offset kernel=${p#*:} >/dev/null; done
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"
table nor <<'EOF'
version | 0 |                           | update -v says it is a simulation build | SIMULATION BUILD
nor     | 0 | mtd4=uImage               | NOR raw kernel: flashcp on the whole device at the partition offset, then the whole NOR unlocked | /bin/busybox flashcp -g 0 -l 300000 -o 655360 /tmp/uImage /dev/mtd0 | unlock flash success!
slave   | - | mtd9=su mtd10=sk mtd11=sp | slave board: boot loader, kernel and program written | result=0
nor0    | 255 | mtd1=/dev/null mtd4=uImage | kernel package at flash offset 0: refused, the boot loader untouched | lies outside /dev/mtd4
norspill | 255 | mtd4=uImage mtd5=/dev/null | kernel package running past its slot: refused, nothing written | lies outside /dev/mtd4
noslave | 255 | mtd10=sk                 | slave kernel asked for by name, the package has none: the item fails | slave kernel requested
EOF
cat > "$work/nor.sh" <<'GUEST'
. /root/lib.sh
run version update -v
run nor update -tftp 127.0.0.1 uImage -debug -wait
cp /usr/bin/update /tmp/busybox
run slave flash_driver slave 0x7 /root/slave.bin
run nor0 noboot update -local /root/img/nor0 uImage -wait
run norspill noboot update -local /root/img/norspill uImage -wait
run noslave noboot update -local /root/img/nor0 slavekernel -wait
GUEST
rm -f "$work/nor.img"
board_run nor --nand-parts none --nor "$work/nor.img" --nor-parts sim --update "$simboard" --put "$driver_sim:/usr/bin/flash_driver" --version-file "$work/version" \
	--put "$work/slave.bin:/root/slave.bin" --put "$work/img/uImage:/srv/tftp/uImage" --timeout 600 "$work/nor.sh"
check "boot 2 ends with the script's status 0, got $status" test $status = 0
scenarios nor
finish
