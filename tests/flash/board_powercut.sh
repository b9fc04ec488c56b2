#!/bin/bash
# Interrupted updates on the simulated board:
#  A. a boot-loader update that rewrites the boot environment on the persistent
#     NOR, stopped dead after a counted number of bytes reached the main
#     environment copy, its backup or the boot loader. One boot per cut: it
#     looks at what the previous cut left, runs the same update to its end,
#     puts the old content back and starts the next update, which the cut ends;
#  B. whole-package updates on NAND frozen at five seeded moments (the seed is
#     printed; POWERCUT_SEED=N picks others), each run again to its end after
#     /tmp was cleared as a reboot clears it;
#  C. in the same boot, a whole-package update whose writes fail three times and
#     then succeed, counted in the write tool's journal (writes that always fail
#     are the flash and update scenarios').
# Usage: board_powercut.sh UPDATE_SIMBOARD
set -uo pipefail
simboard=$1
. "${UPDATE_SOURCE_DIR:?}/tests/board/board_lib.sh" powercut
mkdir -p "$work/srv/a" "$work/srv/b"
pack() { "$bin/bin/update-pack" create "$1" --inner INN-NEW --pub R1235 --board DVS-SIM-BOARD "${@:2}" >/dev/null; }
rnd() { head -c "$2" /dev/urandom > "$work/img/$1"; }
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"

# A ---------------------------------------------------------------------------
rnd old_uboot 200000 && rnd new_uboot 200000
pack "$work/Program.bin" --image uboot="$work/img/new_uboot"
# both copies alike, as the boot loader keeps them; one block fills the
# partition and its CRC is the one the rewrite computes
python3 -c 'import os, struct, sys, zlib; d = os.urandom(0x20000 - 4)
open(sys.argv[1], "wb").write(struct.pack("<I", zlib.crc32(d)) + d)' "$work/img/env"
cat > "$work/a.sh" <<'GUEST'
. /root/lib.sh
. /root/plan
up() { printf 'yes\r' | run $1 update -tftp 127.0.0.1 uboot -wait; }
state() { echo $(holds mtd1 old_uboot new_uboot) $(holds mtd2 env) $(holds mtd7 env) > $o/$1.state; }
[ -z "$prev" ] || { state cut; up rerun; state rerun; }
for p in 1:old_uboot 2:env 7:env; do erase mtd${p%%:*}; cat /root/img/${p#*:} >/dev/mtd${p%%:*}; done
[ -z "$next" ] || { echo $next > /sys/module/board/parameters/cut; up cut; exit 1; }
GUEST
# first bytes, sector edges, points inside and the last byte of each device: twenty cuts
cuts=(2:0 2:1 2:4096 2:70000 2:100000 2:131071 7:0 7:1 7:4097 7:65536 7:100000 7:131071 1:0 1:1 1:8191 1:8192 1:60000 1:120000 1:180000 1:199999)
prev=
for ((i = 0; i <= ${#cuts[@]}; i++)); do
	next=${cuts[i]:-}
	printf 'prev=%s\nnext=%s\n' "$prev" "$next" > "$work/plan"
	board_run a$i --nand-parts none --nor "$work/nor.img" --nor-parts sim --update "$simboard" --version-file "$work/version" \
		--uboot-rev V050 --timeout 180 --put "$work/Program.bin:/srv/tftp/Program.bin" --put "$work/plan:/root/plan" "$work/a.sh"
	echo "$i ${prev:--} ${next:--} $status" >> "$work/a.boots"
	prev=$next
done
# The update rewrites the main environment copy, then the backup, then writes
# the boot loader: what a cut had not reached is unchanged, what it had
# finished is whole again, so a whole environment copy is always left.
declare -A left=([2]="old_uboot * env" [7]="old_uboot env *" [1]="* env env")
while read -r i prev next st; do
	o=$work/a$i
	check "boot $i ends with status 0 at the end, 242 after a cut (next cut $next), got $st" test "$st" = "$([[ $next == - ]] && echo 0 || echo 242)"
	[[ $prev == - ]] && continue
	check "cut $prev left \"$(cat "$o/cut.state" 2>/dev/null)\", wanted \"${left[${prev%%:*}]}\"" eval '[[ "$(cat "$o/cut.state" 2>/dev/null)" == ${left[${prev%%:*}]} ]]'
	check "cut $prev: the rerun exits 0, the new boot loader and both copies whole" eval 'test "$(rc rerun)" = 0 && test "$(cat "$o/rerun.state")" = "new_uboot env env"'
done < "$work/a.boots"

# B and C ---------------------------------------------------------------------
for p in a b; do
	for n in kernel:500000 program:900000 activex:200000; do rnd "${p}_${n%%:*}" "${n#*:}"; done
	pack "$work/srv/$p/Program.bin" --image kernel="$work/img/${p}_kernel" --image program="$work/img/${p}_program" \
		--image activex="$work/img/${p}_activex"
done
python3 "$src/tests/flash/env_images.py" "$work/img" 0x80000 0x80000
seed=${POWERCUT_SEED:-6}
# per device a budget below the image size (write) or the partition size (erase)
cuts=($(python3 -c 'import random, sys; r = random.Random(int(sys.argv[1]))
size = {4: (500000, 12 << 20), 5: (900000, 92 << 20), 6: (200000, 8064 << 10)}
for d, k in [(r.choice([4, 5, 6]), r.randrange(2)) for _ in range(5)]: print(d, ("write", "erase")[k], r.randrange(size[d][k]), sep=":")' "$seed"))
echo "freezing cuts of seed $seed (POWERCUT_SEED=N picks others):" "${cuts[@]}"
check "five cuts planned" test ${#cuts[@]} = 5
echo "cuts='${cuts[*]}'" > "$work/plan"
# The packages alternate: the first run installs a, cut and rerun i install
# pkgs[i + 1] over pkgs[i].
pkgs=(a b a b a b) all=
for i in 0 1 2 3 4; do p=${pkgs[i + 1]}; all+="rerun$i | 0 | mtd4=${p}_kernel mtd5=${p}_program mtd6=${p}_activex | rerun after cut $i: package $p installed
"; done
table b <<EOF
init  | 0 | mtd4=a_kernel mtd5=a_program mtd6=a_activex | package a installed
$all
retry | 0 | mtd4=a_kernel mtd5=a_program mtd6=a_activex mtd2=env_main.old mtd7=env_bak.old | the first three writes failing: package a installed, the environment untouched
EOF
cat > "$work/b.sh" <<'GUEST'
. /root/lib.sh
. /root/plan
restore_env
run init update -tftp 127.0.0.1 all -wait -P a
i=0 pkg=b
for cut in $cuts; do
	board-freeze $cut update -tftp 127.0.0.1 all -wait -P $pkg > $o/cut$i.out 2>&1; echo $? > $o/cut$i.frozen
	echo $(holds mtd4 a_kernel b_kernel) $(holds mtd5 a_program b_program) $(holds mtd6 a_activex b_activex) > $o/cut$i.state
	# what a reboot clears; the board's own reboot stand-in stays
	for f in /tmp/* /tmp/.[!.]*; do [ "$f" = /tmp/reboot ] || rm -rf "$f"; done
	run rerun$i update -tftp 127.0.0.1 all -wait -P $pkg
	[ $pkg = a ] && pkg=b || pkg=a; i=$((i + 1))
done
: > /board/journal/nandwrite; echo 3 > /etc/board/fail/nandwrite
run retry update -tftp 127.0.0.1 all -wait -P $pkg
GUEST
board_run b --version-file "$work/version" --timeout 900 --put "$work/srv:/srv/tftp" --put "$work/plan:/root/plan" "$work/b.sh"
check "boot B ends with the script's status 0, got $status" test $status = 0
# The packages' partitions are written one after the other, kernel (mtd4),
# program, web plug-in (mtd6): those before the cut device are finished and
# hold the new package, those after it were not begun and hold the old one.
# The cut device holds neither, unless the erase budget ended before its
# first block, which leaves the old package whole.
for i in 0 1 2 3 4; do
	IFS=: read -r dev kind n <<< "${cuts[i]:-}"
	new=${pkgs[i + 1]} want=
	for d in 4:kernel 5:program 6:activex; do
		if ((${d%:*} < dev)); then want+=" ${new}_${d#*:}"
		elif ((${d%:*} > dev)) || { [[ $kind == erase ]] && ((n < 0x20000)); }; then want+=" ${pkgs[i]}_${d#*:}"
		else want+=" -"; fi
	done
	check "freeze ${cuts[i]:-(none)} installing package $new: fired, the partitions hold \"${want# }\"" \
		eval 'test "$(cat "$o/cut$i.frozen" 2>/dev/null)" = 0 && test "$(cat "$o/cut$i.state" 2>/dev/null)" = "${want# }"'
done
scenarios b
check "retry: failures numbered 0 to 2, the kernel written four times, then program and web plug-in" \
	eval 'test "$(grep -o "NAND flash write failed\[[0-9]\]" "$o/retry.out" | tr -d "\n")" = "NAND flash write failed[0]NAND flash write failed[1]NAND flash write failed[2]" &&
	test "$(cut -d" " -f2 "$o/journal/nandwrite" | tr "\n" " ")" = "/dev/mtd4 /dev/mtd4 /dev/mtd4 /dev/mtd4 /dev/mtd5 /dev/mtd6 " &&
	test "$(head -4 "$o/journal/nandwrite" | uniq | wc -l)" = 1'
finish
