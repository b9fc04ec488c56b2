#!/bin/sh
# Runs inside the simulated board: flashcp and flash_eraseall on nandsim NAND,
# mtdram and the pflash NOR, checking exact output bytes and reading the flash
# back on its own. Prints "ok NAME" or "not ok NAME: why" per case; the exit
# status is the number of failed cases.
UPD=${UPDATE_BIN:-/usr/bin/update}
IOCTL_ERRNO=${IOCTL_ERRNO:-$(command -v ioctl_errno)}
MEMGETBADBLOCK=0x40084d0b
W=/scratch/applets
rm -rf "$W" && mkdir -p "$W" && cd "$W" || exit 1
fails=0

ok() { echo "ok $1"; }
bad() { echo "not ok $1: $2"; fails=$((fails + 1)); }

# run NAME CMD... : output in NAME.out, NAME.err, status in NAME.rc
run() {
	n=$1; shift
	"$@" >"$n.out" 2>"$n.err"
	echo $? >"$n.rc"
}
# expect NAME RC WANT-OUT-FILE ERR-TEXT (the error text goes through printf %b)
expect() {
	printf '%b' "$4" >"$1.err.want"
	if [ "$(cat "$1.rc")" != "$2" ]; then
		bad "$1" "status $(cat "$1.rc"), wanted $2; stderr: $(cat "$1.err")"
	elif ! cmp -s "$1.out" "$3"; then
		bad "$1" "stdout differs: $(od -c "$1.out" | head -5)"
	elif ! cmp -s "$1.err" "$1.err.want"; then
		bad "$1" "stderr differs: $(cat "$1.err")"
	else
		ok "$1"
	fi
}
# text FILE ESCAPED-TEXT: writes the text with its \r and \n escapes resolved
text() { printf '%b' "$2" >"$1"; }
# flashcp's erase progress for N blocks, ended by a newline unless "open"
erase_text() {
	awk -v n="$1" -v open="$2" 'BEGIN {
		for (i = 1; i <= n; i++) printf "\rErasing block: %d/%d (%d%%) ", i, n, int(i * 100 / n)
		if (open == "") printf "\n"
	}'
}
# flashcp's progress for one pass over LENGTH bytes; with LINES only the first
# LINES lines and no line end (the pass stopped there)
pass_text() {
	awk -v label="$1" -v len="$2" -v lines="${3:-0}" 'BEGIN {
		t = int(len / 1024); k = 0
		for (d = 0; d < len; d += 8192) {
			if (lines > 0 && k == lines) break
			c = int(d / 1024)
			printf "\r%s: %d/%d (%d%%) ", label, c, t, t ? int(c * 100 / t) : c * 100
			k++
		}
		if (lines == 0) printf "\n"
	}'
}
# the whole output of a successful flashcp run
copy_text() { erase_text "$1"; pass_text "Writing kb" "$2"; pass_text "Verifying kb" "$2"; }
# read_dev DEV OFFSET LENGTH: a plain read of the device, in 4 KiB blocks
read_dev() {
	base=$(($2 / 4096 * 4096))
	dd if="$1" bs=4096 skip=$((base / 4096)) count=$((($2 - base + $3 + 4095) / 4096)) 2>/dev/null |
		tail -c +$(($2 - base + 1)) | head -c "$3"
}
# same_bytes NAME FILE DEV OFFSET LENGTH
same_bytes() {
	read_dev "$3" "$4" "$5" >"$1.back"
	if cmp -s "$1.back" "$2"; then ok "$1"; else bad "$1" "device bytes at $4 differ from the source"; fi
}
# all_ff NAME DEV OFFSET LENGTH
all_ff() {
	left=$(read_dev "$2" "$3" "$4" | tr -d '\377' | wc -c)
	if [ "$left" -eq 0 ]; then ok "$1"; else bad "$1" "$left bytes not erased at $3"; fi
}
# all_byte NAME DEV OFFSET LENGTH OCTAL
all_byte() {
	left=$(read_dev "$2" "$3" "$4" | tr -d "\\$5" | wc -c)
	if [ "$left" -eq 0 ]; then ok "$1"; else bad "$1" "$left bytes changed at $3"; fi
}
# The progress text flash_eraseall prints for a device without bad blocks.
eraseall_text() { # SIZE ERASESIZE [SKIPPED-BLOCK-OFFSET]
	awk -v size="$1" -v es="$2" -v skip="${3:--1}" 'BEGIN {
		for (p = 0; p < size; p += es) {
			if (p == skip) { printf "update: \nSkipping bad block at 0x%08x\n", p; continue }
			printf "\rErasing %d Kibyte @ %x - %2d%% complete.", es / 1024, p, int(p * 100 / size)
		}
		printf "\rErasing %d Kibyte @ %x - %2d%% complete.\n", es / 1024, p, int(p * 100 / size)
	}'
}
sysattr() { cat "/sys/class/mtd/${1##*/}/$2"; }

dd if=/dev/urandom of=src300k bs=1024 count=300 2>/dev/null
head -c 100000 src300k >src100k
head -c 20000 src300k >src20k

# 20000 bytes in 64 KiB blocks: chunks of 8192, 8192 and 3616 bytes
W20K='\rWriting kb: 0/19 (0%) \rWriting kb: 8/19 (42%) \rWriting kb: 16/19 (84%) \n'
V20K='\rVerifying kb: 0/19 (0%) \rVerifying kb: 8/19 (42%) \rVerifying kb: 16/19 (84%) \n'
text copy20k.want "\\rErasing block: 1/1 (100%) \\n$W20K$V20K"
copy_text 1 20000 >copy20k.gen
cmp -s copy20k.want copy20k.gen && ok progress-generator || bad progress-generator "generated text differs"


# ---------------------------------------------------------------- mtdram
rmmod mtdram 2>/dev/null
modprobe mtdram total_size=1024 erase_size=64
RAM=/dev/$(grep -l mtdram /sys/class/mtd/mtd*/name | tail -1 | cut -d/ -f5)
if [ "$(sysattr "$RAM" type)" != ram ] || [ "$(sysattr "$RAM" erasesize)" != 65536 ]; then
	bad mtdram-setup "no 64 KiB mtdram device ($RAM)"
else
	dd if=/dev/zero of="$RAM" bs=65536 count=16 2>/dev/null

	run ram-20000 "$UPD" flashcp -g 0 -l 20000 -o 0 src100k "$RAM"
	expect ram-20000 0 copy20k.want ""
	same_bytes ram-20000-content src20k "$RAM" 0 20000
	all_ff ram-20000-rest-erased "$RAM" 20000 45536
	all_byte ram-20000-next-block-kept "$RAM" 65536 65536 000

	# hexadecimal, octal, and a flash offset wider than 32 bits
	run ram-bases "$UPD" flashcp -g 0x1000 -l 010000 -o 0x100020000 src100k "$RAM"
	text ram-bases.want '\rErasing block: 1/1 (100%) \n\rWriting kb: 0/4 (0%) \n\rVerifying kb: 0/4 (0%) \n'
	expect ram-bases 0 ram-bases.want ""
	tail -c +4097 src100k | head -c 4096 >src-4k-at-4k
	same_bytes ram-bases-content src-4k-at-4k "$RAM" 131072 4096
	all_ff ram-bases-rest-erased "$RAM" 135168 61440
	all_byte ram-bases-before-kept "$RAM" 65536 65536 000

	run ram-small "$UPD" flashcp -l 1000 -o 0x30000 src100k "$RAM"
	text ram-small.want '\rErasing block: 1/1 (100%) \n\rWriting kb: 0/0 (0%) \n\rVerifying kb: 0/0 (0%) \n'
	expect ram-small 0 ram-small.want ""
	head -c 1000 src100k >src1000
	same_bytes ram-small-content src1000 "$RAM" 196608 1000

	run ram-whole-file "$UPD" flashcp -o 0x40000 src100k "$RAM"
	copy_text 2 100000 >ram-whole-file.want
	expect ram-whole-file 0 ram-whole-file.want ""
	same_bytes ram-whole-file-content src100k "$RAM" 262144 100000

	run ram-short-source "$UPD" flashcp -l 70000 -o 0x80000 src20k "$RAM"
	text ram-short-source.want '\rErasing block: 1/2 (50%) \rErasing block: 2/2 (100%) \n\rWriting kb: 0/68 (0%) \rWriting kb: 8/68 (11%) \rWriting kb: 16/68 (23%) '
	expect ram-short-source 1 ram-short-source.want 'update: short read\n'

	run ram-offset-past-end "$UPD" flashcp -g 100 -o 0x80000 src20k "$RAM"
	{ erase_text 1; pass_text "Writing kb" 20000 3; } >ram-offset-past-end.want
	expect ram-offset-past-end 1 ram-offset-past-end.want 'update: short read\n'

	# A source that never reads the same twice cannot verify.
	run ram-mismatch "$UPD" flashcp -l 8192 -o 0x90000 /dev/urandom "$RAM"
	text ram-mismatch.want '\rErasing block: 1/1 (100%) \n\rWriting kb: 0/8 (0%) \n\rVerifying kb: 0/8 (0%) '
	expect ram-mismatch 1 ram-mismatch.want 'update: verification mismatch at 0x0\n'

	# The name the applet runs under comes from the dispatch word.
	cp "$UPD" /tmp/busybox
	run busybox-usage /tmp/busybox flashcp -h
	expect busybox-usage 1 /dev/null 'Usage: flashcp [-v] -g file_offset -l file_length -o flash_offset\n'
	run busybox-copy /tmp/busybox flashcp -l 20000 -o 0xa0000 src100k "$RAM"
	expect busybox-copy 0 copy20k.want ""
	same_bytes busybox-copy-content src20k "$RAM" 655360 20000

	eraseall_text 1048576 65536 >ram-eraseall.want
	run ram-eraseall "$UPD" flash_eraseall "$RAM"
	expect ram-eraseall 0 ram-eraseall.want ""
	all_ff ram-eraseall-content "$RAM" 0 1048576

	if [ -x "$IOCTL_ERRNO" ]; then
		# Drivers that do not know the bad-block query: anything but NAND is
		# erased whole; the kernel's internal 524 counts as "not supported".
		for e in 95 524; do
			dd if=/dev/zero of="$RAM" bs=65536 count=16 2>/dev/null
			run ram-eraseall-nobb-$e "$IOCTL_ERRNO" $MEMGETBADBLOCK $e "$UPD" flash_eraseall "$RAM"
			if [ "$(cat ram-eraseall-nobb-$e.rc)" = 0 ] && cmp -s ram-eraseall-nobb-$e.out ram-eraseall.want &&
				[ ! -s ram-eraseall-nobb-$e.err ]; then
				ok ram-eraseall-nobb-$e
			else
				bad ram-eraseall-nobb-$e "status $(cat ram-eraseall-nobb-$e.rc): $(cat ram-eraseall-nobb-$e.err)"
			fi
			all_ff ram-eraseall-nobb-$e-content "$RAM" 0 1048576
		done
		run ram-eraseall-bberror "$IOCTL_ERRNO" $MEMGETBADBLOCK 5 "$UPD" flash_eraseall "$RAM"
		expect ram-eraseall-bberror 1 /dev/null 'update: MEMGETBADBLOCK error (error Input/output error)\n'
	else
		bad ioctl-errno "helper not found"
	fi
fi

# ---------------------------------------------------------------- NAND
# A chip of our own: 128 MiB, 2 KiB pages, 128 KiB blocks, as one device.
nand_load() {
	rmmod nandsim 2>/dev/null
	modprobe nandsim first_id_byte=0xec second_id_byte=0xf1 third_id_byte=0x00 fourth_id_byte=0x15 "$@" || return 1
	NAND=
	for t in /sys/class/mtd/mtd*; do
		case $t in *ro) continue ;; esac
		if [ "$(cat $t/type)" = nand ] && [ "$(cat $t/size)" = 134217728 ]; then NAND=/dev/${t##*/}; fi
	done
	[ -n "$NAND" ]
}
if ! nand_load; then
	bad nand-setup "cannot load nandsim as one 128 MiB device"
else
	dd if=src100k of="$NAND" bs=2048 seek=$((0x500000 / 2048)) count=48 2>/dev/null
	dd if=src100k of="$NAND" bs=2048 seek=$((0x7fe0000 / 2048)) count=48 2>/dev/null

	eraseall_text 134217728 131072 >nand-eraseall.want
	run nand-eraseall "$UPD" flash_eraseall "$NAND"
	if [ "$(cat nand-eraseall.rc)" = 0 ] && cmp -s nand-eraseall.out nand-eraseall.want && [ ! -s nand-eraseall.err ]; then
		ok nand-eraseall
	else
		bad nand-eraseall "status $(cat nand-eraseall.rc), $(tr '\r' '\n' <nand-eraseall.out | grep -c Erasing) lines: $(cat nand-eraseall.err)"
	fi
	lines=$(tr '\r' '\n' <nand-eraseall.out | grep -c Erasing)
	[ "$lines" = 1025 ] && ok nand-eraseall-1024-erases || bad nand-eraseall-1024-erases "$lines progress lines"
	all_ff nand-eraseall-erased-a "$NAND" $((0x500000)) 98304
	all_ff nand-eraseall-erased-b "$NAND" $((0x7fe0000)) 98304

	# NAND takes whole pages only: the last 3616-byte chunk is refused.
	run nand-20000 "$UPD" flashcp -l 20000 -o 0x100000 src100k "$NAND"
	{ erase_text 1; pass_text "Writing kb" 20000 3; } >nand-20000.want
	expect nand-20000 1 nand-20000.want "update: write error at 0x4000 on $NAND, write returned -1 (error Invalid argument)\\n"
	# whole pages over three blocks, read back with the device's own dump tool
	run nand-300k "$UPD" flashcp -o 0x140000 src300k "$NAND"
	copy_text 3 307200 >nand-300k.want
	expect nand-300k 0 nand-300k.want ""
	if command -v nanddump >/dev/null; then
		nanddump -q -s 0x140000 -l 307200 -f nand-300k.dump "$NAND" 2>nanddump.err
		cmp -s nand-300k.dump src300k && ok nand-300k-nanddump || bad nand-300k-nanddump "dump differs: $(cat nanddump.err)"
	else
		bad nand-300k-nanddump "no nanddump on the board"
	fi
	same_bytes nand-300k-content src300k "$NAND" $((0x140000)) 307200
	all_ff nand-300k-rest-erased "$NAND" $((0x140000 + 307200)) $((3 * 131072 - 307200))

	run nand-unaligned "$UPD" flashcp -l 20000 -o 0x800 src100k "$NAND"
	erase_text 1 open >nand-unaligned.want
	expect nand-unaligned 1 nand-unaligned.want "update: erase error at 0x800 on $NAND (error Invalid argument)\\n"

	if [ -x "$IOCTL_ERRNO" ]; then
		for e in 95 524; do
			run nand-nobb-$e "$IOCTL_ERRNO" $MEMGETBADBLOCK $e "$UPD" flash_eraseall "$NAND"
			expect nand-nobb-$e 1 /dev/null 'update: bad block check not available\n'
		done
	fi
fi

# block 2 (0x40000) bad from the start
if ! nand_load badblocks=2; then
	bad nand-bad-setup "cannot load nandsim with a bad block"
else
	dd if=src100k of="$NAND" bs=2048 seek=$((0x40000 / 2048)) count=16 2>/dev/null
	head -c 32768 src100k >src32k
	dd if=src100k of="$NAND" bs=2048 seek=$((0x60000 / 2048)) count=16 2>/dev/null
	eraseall_text 134217728 131072 262144 >nand-bad-eraseall.want
	run nand-bad-eraseall "$UPD" flash_eraseall "$NAND"
	if [ "$(cat nand-bad-eraseall.rc)" = 0 ] && cmp -s nand-bad-eraseall.out nand-bad-eraseall.want && [ ! -s nand-bad-eraseall.err ]; then
		ok nand-bad-eraseall
	else
		bad nand-bad-eraseall "status $(cat nand-bad-eraseall.rc): $(cat nand-bad-eraseall.err) $(head -c 300 nand-bad-eraseall.out | od -c | head -8)"
	fi
	same_bytes nand-bad-block-kept src32k "$NAND" $((0x40000)) 32768
	all_ff nand-bad-next-erased "$NAND" $((0x60000)) 32768

	run nand-bad-flashcp "$UPD" flashcp -l 0x40000 -o 0x20000 src100k "$NAND"
	erase_text 2 open >nand-bad-flashcp.want
	expect nand-bad-flashcp 1 nand-bad-flashcp.want "update: erase error at 0x40000 on $NAND (error Input/output error)\\n"
fi
rmmod nandsim 2>/dev/null

# ---------------------------------------------------------------- NOR
if [ -n "$BOARD_NOR" ] && [ -c "$BOARD_NOR" ]; then
	NOR=$BOARD_NOR
	norsize=$(sysattr "$NOR" size)
	nores=$(sysattr "$NOR" erasesize)
	[ "$(sysattr "$NOR" type)" = nor ] && ok nor-type || bad nor-type "type $(sysattr "$NOR" type)"
	run nor-20000 "$UPD" flashcp -g 0 -l 20000 -o 0x10000 src100k "$NOR"
	copy_text $(((20000 + nores - 1) / nores)) 20000 >nor-20000.want
	expect nor-20000 0 nor-20000.want ""
	same_bytes nor-20000-content src20k "$NOR" 65536 20000

	eraseall_text "$norsize" "$nores" >nor-eraseall.want
	run nor-eraseall "$UPD" flash_eraseall "$NOR"
	if [ "$(cat nor-eraseall.rc)" = 0 ] && cmp -s nor-eraseall.out nor-eraseall.want && [ ! -s nor-eraseall.err ]; then
		ok nor-eraseall
	else
		bad nor-eraseall "status $(cat nor-eraseall.rc): $(cat nor-eraseall.err)"
	fi
	all_ff nor-eraseall-content "$NOR" 0 "$norsize"
else
	bad nor-setup "no NOR flash on this board (BOARD_NOR=$BOARD_NOR)"
fi

echo "failed: $fails"
[ "$fails" -lt 100 ] || fails=99
exit "$fails"
