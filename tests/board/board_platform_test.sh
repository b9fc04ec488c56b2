#!/bin/bash
# Boots the simulated board twice and proves what the updater's board tests
# rely on without showing it themselves: freezing cuts armed by a script (the
# flash tests only see that theirs fired), the simulation build's NOR
# partitions, and a power cut that leaves exactly the bytes written before it.
# Bad blocks are the flash and applet scenarios', the NOR keeping its content
# across boots the power-cut scenario's (a boot per cut).
set -uo pipefail
. "${UPDATE_SOURCE_DIR:?}/tests/board/board_lib.sh" platform
ffs() { head -c "$1" /dev/zero | tr '\0' '\377'; }

# no 0xFF byte in it, so that no byte of it looks erased
head -c 6144 /dev/urandom | tr '\377' '\376' > "$work/data.bin"

cat > "$work/nand.sh" <<'GUEST'
set -e
probe=/usr/local/bin/mtd_probe
# freezing cuts on mtd2 (env, 4 blocks): one write of 3 pages against 1.5 pages
fz=/sys/module/board/parameters/freeze
# (the pipe ends when the last process of the session does: at once when the freeze kills them all)
board-freeze -k 2:write:3072 sh -c '(sleep 30; echo "sleeper survived") & exec dd if=/root/data.bin of=/dev/mtd2 bs=6144' 2> freeze | cat > sleeper
cat sleeper >> freeze
cat $fz >> freeze
# frozen: the whole chip refuses writes and erases; page 5 of block 0 must stay blank
$probe erase /dev/mtd7 0 0x20000 >> freeze || true
dd if=/root/data.bin of=/dev/mtd2 bs=2048 count=1 seek=5 conv=notrunc 2>/dev/null || echo "write refused" >> freeze
echo off > $fz
cat $fz >> freeze
for blk in 1 2 3; do dd if=/root/data.bin of=/dev/mtd2 bs=2048 count=1 seek=$((blk * 64)) conv=notrunc 2>/dev/null; done
# the updater's eraser against no erase budget, then one erase of blocks 1-3 against 1.5 blocks
board-freeze 2:erase:0 /bin/busybox flash_eraseall /dev/mtd2 2>> freeze || true
board-freeze 2:erase:0x30000 $probe erase /dev/mtd2 0x20000 0x60000 2>> freeze || true
board-freeze 2:write:4096 true 2>> freeze || true
grep -v Killed freeze > "$BOARD_OUT/freeze.log"
# the device's nandwrite writes exactly the range; the whole-partition compare sees one byte more or less
nandwrite -p /dev/mtd3 -g 100 -l 3000 -m /root/data.bin
cd /root && { $probe whole /dev/mtd3 data.bin@100+2999 data.bin@100+3000; $probe whole /dev/mtd3 data.bin@100+3001 /dev/null; } > "$BOARD_OUT/whole.log" || true
GUEST
board_run out1 --put "$work/data.bin:/root/data.bin" --dump /dev/mtd2 --dump /dev/mtd3 "$work/nand.sh"
check "boot 1 ends with the script's status 0, got $status" test $status = 0
check "freezes fired, killed their sessions and blocked the chip until off" diff - "$o/freeze.log" <<'EOF'
board-freeze: frozen (command status 137)
frozen
error=5
write refused
off
board-freeze: frozen (command status 137)
board-freeze: frozen (command status 137)
board-freeze: not frozen (command status 0)
EOF
page() { head -c 2048 "$work/data.bin"; ffs $((131072 - 2048)); }
check "mtd2: one page of the frozen write, block 1 alone erased" \
	cmp -s "$o/dumps/mtd2.bin" <(page; ffs 131072; page; page)
check "nandwrite wrote bytes 100 to 3099 of its file, the last page padded with 0xFF" \
	cmp -s "$o/dumps/mtd3.bin" <(tail -c +101 "$work/data.bin" | head -c 3000; ffs $((10 * 1048576 - 3000)))
check "mtd_probe whole tells the exact range from a range a byte shorter or longer and from erased flash" diff - "$o/whole.log" <<'EOF'
data.bin@100+3000
none: data.bin@100+3001 differs at 0xbb8; /dev/null differs at 0;
EOF

# The simulation build's NOR layout (no NAND): the whole NOR is mtd0, its
# partitions mtd1..11; a write to program (mtd5) cut by a power failure.
nor=$work/nor.img
head -c 70000 /dev/urandom > "$work/pattern.bin"
cat > "$work/cut.sh" <<'GUEST'
for n in 0 1 2 3 4 5 6 7 8 9 10 11; do echo $(cat /sys/class/mtd/mtd$n/size /sys/class/mtd/mtd$n/offset 2>/dev/null); done > "$BOARD_OUT/layout"
/usr/local/bin/mtd_probe info /dev/mtd0 > "$BOARD_OUT/info"
dd if=/root/pattern.bin of=/dev/mtd5 bs=4096 2>/dev/null
echo "not cut" > "$BOARD_OUT/survived"
GUEST
board_run out2 --nand-parts none --nor "$nor" --nor-parts sim --put "$work/pattern.bin:/root/pattern.bin" \
	--power-cut-after-bytes 20000 --power-cut-dev /dev/mtd5 "$work/cut.sh"
check "boot 2 ends with the power cut (242), got $status" test $status = 242
check "mtd0 is the whole NOR, type 3 (MTD_NORFLASH), 4 MiB" grep -q '^type=3 .*size=4194304' "$o/info"
check "mtd1..11 are the simulation layout in order" diff <(echo 4194304
	tr ',' '\n' < "$src/board/sim-nor-parts.txt" | while IFS='@+' read -r _ off size; do echo $((size)) $((off)); done) "$o/layout"
check "the script did not go on after the cut" test ! -e "$o/survived"
check "the NOR image holds exactly the bytes written before the cut, at program's offset" \
	cmp -s "$nor" <(ffs $((0x160000)); head -c 20000 "$work/pattern.bin"; ffs $((0x400000 - 0x160000 - 20000)))

finish
