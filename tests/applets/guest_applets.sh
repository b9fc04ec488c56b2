#!/bin/sh
# Runs inside the simulated board: flashcp and flash_eraseall on the RAM flash
# and the NAND chip (one partition, block 2 bad), comparing
# status, standard output and error byte for byte and reading the flash back
# on its own. Prints "ok NAME" or "not ok NAME: why" per case; the exit status
# is the number of failed cases.
UPD=/usr/bin/update RAM=$BOARD_MTDRAM NAND=/dev/mtd0
NOBB="ioctl_errno 0x40084d0b" # MEMGETBADBLOCK answering an errno
fails=0
ok() { echo "ok $1"; }
bad() { echo "not ok $1: $2"; fails=$((fails + 1)); }
# t NAME STATUS OUT ERR CMD...: runs CMD and compares its status and its exact
# standard output and error with OUT and ERR (texts with printf %b escapes)
t() {
	n=$1 rc=$2; printf '%b' "$3" >"$n.out.want"; printf '%b' "$4" >"$n.err.want"; shift 4
	"$@" >"$n.out" 2>"$n.err"; got=$?
	if [ "$got" != "$rc" ]; then bad "$n" "status $got, wanted $rc; stderr: $(cat "$n.err")"
	elif ! cmp -s "$n.out" "$n.out.want"; then bad "$n" "stdout differs: $(od -c "$n.out" | head -5)"
	elif ! cmp -s "$n.err" "$n.err.want"; then bad "$n" "stderr differs: $(cat "$n.err")"
	else ok "$n"; fi
}
# flashcp's erase progress for N blocks; no line end when a second word is given
erase_text() {
	awk -v n="$1" -v open="$2" 'BEGIN {
		for (i = 1; i <= n; i++) printf "\\rErasing block: %d/%d (%d%%) ", i, n, int(i * 100 / n)
		if (open == "") printf "\\n" }'
}
# flashcp's progress for one pass over LENGTH bytes; with LINES only the first
# LINES lines and no line end (the pass stopped there)
pass_text() {
	awk -v label="$1" -v len="$2" -v lines="${3:-0}" 'BEGIN {
		t = int(len / 1024)
		for (d = 0; d < len && (lines == 0 || d / 8192 < lines); d += 8192)
			printf "\\r%s: %d/%d (%d%%) ", label, d / 1024, t, t ? int(d / 1024 * 100 / t) : 0
		if (lines == 0) printf "\\n" }'
}
copy_text() { printf '%s%s%s' "$(erase_text "$1")" "$(pass_text "Writing kb" "$2")" "$(pass_text "Verifying kb" "$2")"; }
# flash_eraseall's progress for SIZE bytes in ERASESIZE blocks, one block skipped as bad
eraseall_text() {
	awk -v size="$1" -v es="$2" -v skip="${3:--1}" 'BEGIN {
		for (p = 0; p < size; p += es) {
			if (p == skip) { printf "update: \\nSkipping bad block at 0x%08x\\n", p; continue }
			printf "\\rErasing %d Kibyte @ %x - %2d%% complete.", es / 1024, p, int(p * 100 / size)
		}
		printf "\\rErasing %d Kibyte @ %x - %2d%% complete.\\n", es / 1024, p, int(p * 100 / size) }'
}
# read_dev DEV OFFSET LENGTH: a plain read of the device (OFFSET a multiple of 4096)
read_dev() { dd if="$1" bs=4096 skip=$(($2 / 4096)) count=$((($3 + 4095) / 4096)) 2>/dev/null | head -c "$3"; }
# all_byte NAME DEV OFFSET LENGTH [OCTAL]: every byte there is OCTAL (default erased, 377)
all_byte() {
	left=$(read_dev "$2" "$3" "$4" | tr -d "\\${5:-377}" | wc -c)
	if [ "$left" -eq 0 ]; then ok "$1"; else bad "$1" "$left bytes not \\${5:-377} at $3"; fi
}

dd if=/dev/urandom of=src100k bs=1000 count=100 2>/dev/null
head -c 20000 src100k >src20k
tail -c +4097 src100k | head -c 4096 >src4k

# ---------------------------------------------------------------- RAM, 64 KiB blocks
dd if=/dev/zero of="$RAM" bs=65536 count=16 2>/dev/null
# any order, the last of a repeated option, hexadecimal, octal, and a flash
# offset wider than 32 bits that keeps its low 32 bits
t ram-options 0 "$(copy_text 1 4096)" "" "$UPD" flashcp -g 5 -o 0x100020000 -l 010000 -g 0x1000 src100k "$RAM"
read_dev "$RAM" 131072 4096 | cmp -s - src4k && ok ram-options-content || bad ram-options-content "device bytes differ"
all_byte ram-options-rest-erased "$RAM" 135168 61440
all_byte ram-options-next-block-kept "$RAM" 196608 65536 000
t ram-small 0 "$(copy_text 1 1000)" "" "$UPD" flashcp -l 1000 -o 0x30000 src100k "$RAM"
# length 0 is the whole file; an option's value word is taken whatever it looks like
t ram-whole-file 0 "$(copy_text 2 100000)" "" "$UPD" flashcp -l -g -o 0x40000 src100k "$RAM"
# the length is the whole file even from a file offset: the third chunk is short
t ram-offset-past-end 1 "$(erase_text 1)$(pass_text "Writing kb" 20000 3)" 'update: short read\n' \
	"$UPD" flashcp -g 100 -o 0x80000 src20k "$RAM"
# a source that never reads the same twice cannot verify
t ram-mismatch 1 '\rErasing block: 1/1 (100%) \n\rWriting kb: 0/8 (0%) \n\rVerifying kb: 0/8 (0%) ' \
	'update: verification mismatch at 0x0\n' "$UPD" flashcp -l 8192 -o 0x90000 /dev/urandom "$RAM"
# drivers without the bad-block query: anything but NAND is erased whole;
# the kernel's internal 524 counts as "not supported"
for e in 95 524; do
	t ram-eraseall-nobb-$e 0 "$(eraseall_text 1048576 65536)" "" $NOBB $e "$UPD" flash_eraseall "$RAM"
	t nand-nobb-$e 1 "" 'update: bad block check not available\n' $NOBB $e "$UPD" flash_eraseall "$NAND"
done
t ram-eraseall-bberror 1 "" 'update: MEMGETBADBLOCK error (error Input/output error)\n' \
	$NOBB 5 "$UPD" flash_eraseall "$RAM"

# ---------------------------------------------------------------- NAND, 128 KiB blocks, 2 KiB pages
dd if=src100k of="$NAND" bs=2048 count=16 seek=$((0x7fe0000 / 2048)) 2>/dev/null
t nand-eraseall 0 "$(eraseall_text 134217728 131072 262144)" "" "$UPD" flash_eraseall "$NAND"
all_byte nand-last-erased "$NAND" $((0x7fe0000)) 32768
t nand-bad-flashcp 1 "$(erase_text 2 open)" "update: erase error at 0x40000 on $NAND (error Input/output error)\\n" \
	"$UPD" flashcp -l 0x40000 -o 0x20000 src100k "$NAND"
# NAND takes whole pages only: the last 3616-byte chunk is refused
t nand-partial-page 1 "$(erase_text 1)$(pass_text "Writing kb" 20000 3)" \
	"update: write error at 0x4000 on $NAND, write returned -1 (error Invalid argument)\\n" \
	"$UPD" flashcp -l 20000 -o 0x100000 src100k "$NAND"

echo "failed: $fails"
exit "$fails"
