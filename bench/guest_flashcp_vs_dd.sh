#!/bin/sh
# Inside the simulated board: flashcp of a 16 MiB range next to a plain dd
# write and read-back of the same range on the same NAND partition.
UPD=${UPDATE_BIN:-/usr/bin/update}
DEV=${BENCH_DEV:-/dev/mtd5}
LEN=16777216
cd /scratch || exit 1
now() { cut -d' ' -f1 /proc/uptime; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

dd if=/dev/urandom of=src16m bs=1048576 count=16 2>/dev/null

t0=$(now)
"$UPD" flashcp -l $LEN -o 0 src16m "$DEV" >/dev/null || { echo "flashcp failed"; exit 1; }
t1=$(now)

# dd needs erased flash first; that erase is not timed.
"$UPD" flash_eraseall "$DEV" >/dev/null || { echo "erase failed"; exit 1; }
t2=$(now)
dd if=src16m of="$DEV" bs=8192 2>/dev/null || { echo "dd write failed"; exit 1; }
t3=$(now)
dd if="$DEV" of=back16m bs=8192 count=$((LEN / 8192)) 2>/dev/null
t4=$(now)
cmp -s back16m src16m || { echo "dd read-back differs"; exit 1; }
t5=$(now)

echo "device $DEV ($(cat /sys/class/mtd/${DEV##*/}/name)), 16 MiB, 8 KiB transfers"
echo "flashcp erase+write+verify: $(secs "$t0" "$t1") s"
echo "dd write:                   $(secs "$t2" "$t3") s"
echo "dd read-back:               $(secs "$t3" "$t4") s"
echo "dd write + read-back:       $(secs "$t2" "$t4") s"
echo "(cmp of the read-back file: $(secs "$t4" "$t5") s, not counted)"
