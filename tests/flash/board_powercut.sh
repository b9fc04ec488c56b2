#!/bin/bash
# Interrupted updates on the simulated board:
#  A. boot-loader updates that rewrite the boot environment on the persistent
#     NOR from one block size to the other (512 KiB to 128 KiB and back),
#     stopped dead after a counted number of bytes reached the main environment
#     copy, its backup or the boot loader, and the reruns of some stopped again
#     while they repair what the first cut left. One boot per cut: it looks at
#     what the previous cut left, runs the same update again (to its end, or
#     to the next cut of the chain), puts the old content back and starts the
#     next chain's update, which its first cut ends;
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
mkdir -p "$work/srv/a" "$work/srv/b" "$work/srv/128" "$work/srv/512"
pack() { "$bin/bin/update-pack" create "$1" --inner INN-NEW --pub R1235 --board DVS-SIM-BOARD "${@:2}" >/dev/null; }
rnd() { head -c "$2" /dev/urandom > "$work/img/$1"; }
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"

# A ---------------------------------------------------------------------------
rnd old_uboot 200000 && rnd new_uboot 200000
# named by the block they rewrite the environment to, the other one (640 - N):
# 128 KiB for packages from 22.15 on, 512 KiB before
for p in 128:R1235 512:R1220T; do pack "$work/srv/${p%:*}/Program.bin" --image uboot="$work/img/new_uboot" --pub ${p#*:}; done
# both copies alike, as the boot loader keeps them: one data block with its CRC over either block
python3 -c 'import os, struct, sys, zlib; d = os.urandom(0x80000 - 4)
for n in 512, 128: open(f"{sys.argv[1]}/env{n}", "wb").write(struct.pack("<I", zlib.crc32(d[:(n << 10) - 4])) + d)' "$work/img"
cat > "$work/a.sh" <<'GUEST'
. /root/lib.sh
. /root/plan
up() { printf 'yes\r' | run $1 update -tftp 127.0.0.1 uboot -wait -P $2; }
state() { echo $(holds mtd1 old_uboot new_uboot) $(holds mtd2 env512 env128) $(holds mtd7 env512 env128) > $o/$1.state; }
[ -z "$pkg" ] || { state cut; case $next in +*) echo ${next#+} > /sys/module/board/parameters/cut; up rerun $pkg; exit 1 ;; esac; up rerun $pkg; state rerun; }
[ -n "$next" ] || exit 0
for d in 1:old_uboot 2:env${next%%:*} 7:env${next%%:*}; do erase mtd${d%%:*}; cat /root/img/${d#*:} >/dev/mtd${d%%:*}; done
echo ${next#*:} > /sys/module/board/parameters/cut; up cut $((640 - ${next%%:*})); exit 1
GUEST
# Cuts of an update from an environment of 512 or 128 KiB blocks (BLOCK:DEV:BYTES)
# and of the reruns that follow it (+DEV:BYTES): first bytes, sector edges,
# points inside and the last byte of each device.
cuts=(512:2:0 512:2:4096 +7:1 512:2:131071 +2:70000 512:7:0 +2:100 512:7:65536 +7:131071 512:1:0 128:2:300000 +7:4097 128:7:524287 +2:200000 128:1:199999)
# mtd1 boot loader, mtd2 and mtd7 the environment copies of 512 KiB
parts=uboot@0+0x40000,env@0x40000+0x80000,c@0xC0000+0x1000,k@0xC1000+0x1000,p@0xC2000+0x1000,a@0xC3000+0x1000,backenv@0xC4000+0x80000
pkg= prev=
for ((i = 0; i <= ${#cuts[@]}; i++)); do
	next=${cuts[i]:-}
	printf 'pkg=%s\nnext=%s\n' "$pkg" "$next" > "$work/plan"
	board_run a$i --nand-parts none --nor "$work/nor.img" --nor-parts $parts --update "$simboard" --version-file "$work/version" \
		--uboot-rev V050 --timeout 180 --put "$work/srv:/srv/tftp" --put "$work/plan:/root/plan" "$work/a.sh"
	check "boot $i ends with status 0 at the end, 242 after a cut (next cut ${next:--}), got $status" test $status = $([[ -z $next ]] && echo 0 || echo 242)
	# The update, a rerun too, rewrites the main environment copy, then the
	# backup, then writes the boot loader; a rerun that finds the main copy
	# whole and the backup damaged repairs the backup first. So a cut leaves
	# whole the copy it was not writing.
	if [[ -n $pkg ]]; then
		declare -A left=([2]="old_uboot - env*" [7]="old_uboot env$pkg -" [1]="- env$pkg env$pkg")
		check "cut $prev left \"$(cat "$o/cut.state")\", wanted \"${left[${prev%%:*}]}\"" eval '[[ "$(cat "$o/cut.state")" == ${left[${prev%%:*}]} ]]'
		[[ $next == +* ]] || check "cut $prev: the rerun exits 0, the new boot loader and both copies rewritten to $pkg KiB blocks" \
			test "$(rc rerun) $(cat "$o/rerun.state")" = "0 new_uboot env$pkg env$pkg"
	fi
	case $next in +*) prev=${next#+} ;; ?*) pkg=$((640 - ${next%%:*})) prev=${next#*:} ;; esac
done

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
