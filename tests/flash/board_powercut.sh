#!/bin/bash
# Interrupted updates on the simulated board:
#  A. a boot-loader update that rewrites the boot environment on the persistent
#     NOR, stopped dead after a counted number of bytes reached the main
#     environment copy, its backup or the boot loader. One boot per cut: it
#     looks at what the previous cut left, runs the same update to its end,
#     puts the old content back and starts the next update, which the cut ends;
#  B. whole-package updates on NAND frozen at random moments (the seed is
#     printed; POWERCUT_SEED=N repeats a run), each run again to its end after
#     /tmp was cleared as a reboot clears it;
#  C. in the same boot, a whole-package update whose writes fail three times and
#     then succeed, counted in the write tool's journal (writes that always fail
#     are the flash and update scenarios').
# Usage: board_powercut.sh UPDATE_SIMBOARD
set -uo pipefail
simboard=$1 src=${UPDATE_SOURCE_DIR:?} bin=${UPDATE_BINARY_DIR:?}
work=$bin/board-test/powercut
rm -rf "$work" && mkdir -p "$work/srv/a" "$work/srv/b"
pack() { "$bin/bin/update-pack" create "$1" --inner INN-NEW --pub R1235 --board DVS-SIM-BOARD "${@:2}" >/dev/null; }
rnd() { head -c "$2" /dev/urandom > "$work/$1"; }
printf 'PUB:R1234\nINN:GDVSV410R003B03\n' > "$work/version"

# A ---------------------------------------------------------------------------
rnd old_uboot 200000 && rnd new_uboot 200000
pack "$work/Program.bin" --image uboot="$work/new_uboot"
# both copies alike, as the boot loader keeps them; one block fills the partition
python3 -c 'import os, struct, sys, zlib; d = os.urandom(0x20000 - 4)
open(sys.argv[1], "wb").write(struct.pack("<I", zlib.crc32(d)) + d)' "$work/env"
cat > "$work/a.sh" <<'GUEST'
o=$BOARD_OUT
. /root/plan
up() { printf 'yes\r' | update -tftp 127.0.0.1 uboot -wait > $o/$1.out 2>&1; echo $? > $o/$1.rc; }
dump() { mkdir -p $o/$1; for p in 1:uboot 2:env_main 7:env_bak; do cat /dev/mtd${p%%:*} > $o/$1/${p#*:}; done; }
[ -z "$prev" ] || { dump cut; up rerun; dump rerun; }
for p in 1:old_uboot 2:env 7:env; do /bin/busybox flash_eraseall /dev/mtd${p%%:*} >/dev/null; cat /root/${p#*:} >/dev/mtd${p%%:*}; done
[ -z "$next" ] || { echo $next > /sys/module/board/parameters/cut; up cut; exit 1; }
GUEST
# first bytes, sector edges, points inside and the last byte of each device: twenty cuts
cuts=(2:0 2:1 2:4096 2:70000 2:100000 2:131071 7:0 7:1 7:4097 7:65536 7:100000 7:131071 1:0 1:1 1:8191 1:8192 1:60000 1:120000 1:180000 1:199999)
prev=
for ((i = 0; i <= ${#cuts[@]}; i++)); do
	next=${cuts[i]:-}
	printf 'prev=%s\nnext=%s\n' "$prev" "$next" > "$work/plan"
	bash "$src/board/run.sh" --out "$work/a$i" --nand-parts none --nor "$work/nor.img" --nor-parts sim --update "$simboard" \
		--version-file "$work/version" --uboot-rev V050 --timeout 180 --put "$work/Program.bin:/srv/tftp/Program.bin" \
		--put "$work/plan:/root/plan" --put "$work/old_uboot:/root/old_uboot" --put "$work/env:/root/env" "$work/a.sh"
	echo "$i ${prev:--} ${next:--} $?" >> "$work/a.boots"
	prev=$next
done

# B and C ---------------------------------------------------------------------
for p in a b; do
	for n in kernel:500000 program:900000 activex:200000; do rnd "${p}_${n%%:*}" "${n#*:}"; done
	pack "$work/srv/$p/Program.bin" --image kernel="$work/${p}_kernel" --image program="$work/${p}_program" \
		--image activex="$work/${p}_activex"
done
python3 "$src/tests/flash/env_images.py" "$work"
seed=${POWERCUT_SEED:-$((RANDOM << 15 | RANDOM))}
# per device a budget below the image size (write) or the partition size (erase)
cuts=$(python3 -c 'import random, sys; r = random.Random(int(sys.argv[1]))
size = {4: (500000, 12 << 20), 5: (900000, 92 << 20), 6: (200000, 8064 << 10)}
for d, k in [(r.choice([4, 5, 6]), r.randrange(2)) for _ in range(5)]: print(d, ("write", "erase")[k], r.randrange(size[d][k]), sep=":")' "$seed")
echo "freezing cuts of seed $seed (POWERCUT_SEED=$seed repeats them):" $cuts
echo "cuts='$(echo $cuts)'" > "$work/plan"
cat > "$work/b.sh" <<'GUEST'
o=$BOARD_OUT
. /root/plan
for p in 2:main 7:bak; do
	/bin/busybox flash_eraseall /dev/mtd${p%%:*} >/dev/null; /usr/lib/board/mtd/nandwrite -q -p /dev/mtd${p%%:*} /root/env_${p#*:}.bin; done
dump() { mkdir -p $o/$1; for p in 4:kernel:0x80000 5:program:0x100000 6:activex:0x40000 2:env_main:0x80000 7:env_bak:0x80000; do
	n=${p#*:}; nanddump -q -l ${n#*:} -f $o/$1/${n%:*} /dev/mtd${p%%:*}; done; }
run() { tag=$1; shift; update -tftp 127.0.0.1 all -wait "$@" > $o/$tag.out 2>&1; echo $? > $o/$tag.rc; }
run init -P a
i=0 pkg=b
for cut in $cuts; do
	echo "$cut $pkg" > $o/cut$i.plan
	board-freeze $cut update -tftp 127.0.0.1 all -wait -P $pkg > $o/cut$i.out 2>&1; echo $? > $o/cut$i.frozen
	dump cut$i
	# what a reboot clears; the board's own reboot stand-in stays
	for f in /tmp/* /tmp/.[!.]*; do [ "$f" = /tmp/reboot ] || rm -rf "$f"; done
	run rerun$i -P $pkg; dump rerun$i
	[ $pkg = a ] && pkg=b || pkg=a; i=$((i + 1))
done
: > /board/journal/nandwrite; echo 3 > /etc/board/fail/nandwrite
run retry -P $pkg; dump retry
GUEST
bash "$src/board/run.sh" --out "$work/b" --version-file "$work/version" --timeout 900 --put "$work/srv:/srv/tftp" \
	--put "$work/plan:/root/plan" --put "$work/env_main.bin:/root/env_main.bin" --put "$work/env_bak.bin:/root/env_bak.bin" "$work/b.sh"
echo $? > "$work/b.status"

python3 - "$work" <<'PY' || { echo "board output in $work"; exit 1; }
import os, re, struct, sys, zlib
w = sys.argv[1]
rd = lambda name: open(f"{w}/{name}", "rb").read() if os.path.isfile(f"{w}/{name}") else b""
text = lambda name: rd(name).decode(errors="replace")
# checked here, not by the updater: the CRC over the block and every data byte kept
valid = lambda got, orig, size: got[:4] == struct.pack("<I", zlib.crc32(got[4:size])) and got[4:] == orig[4:]
bad = 0
def check(what, conds):
    global bad
    failed = [k for k, v in conds.items() if not v]
    bad += bool(failed)
    print(f"FAILED: {what}: {'; '.join(failed)}" if failed else f"ok: {what}: {'; '.join(conds)}")

env, old, new = rd("env"), rd("old_uboot"), rd("new_uboot")
venv = lambda got: valid(got, env, 0x20000)
for line in text("a.boots").splitlines():
    i, prev, nxt, rc = line.split()
    m, b, u = rd(f"a{i}/cut/env_main"), rd(f"a{i}/cut/env_bak"), rd(f"a{i}/cut/uboot")[:len(old)]
    # the update writes the main copy, the backup, then the boot loader
    unreached = {"2": b == env and u == old, "7": venv(m) and u == old, "1": venv(m) and venv(b), "-": True}
    check(f"boot {i}, cut {prev} looked at, next cut {nxt}", {
        "status 242 after a cut, 0 at the end": rc == ("0" if nxt == "-" else "242"),
        "a valid environment copy": prev == "-" or venv(m) or venv(b),
        "what the update had not reached unchanged": unreached[prev.split(":")[0]],
        "rerun exits 0, boot loader equal to its image, both copies valid": prev == "-" or (
            rd(f"a{i}/rerun.rc") == b"0\n" and rd(f"a{i}/rerun/uboot")[:len(new)] == new
            and venv(rd(f"a{i}/rerun/env_main")) and venv(rd(f"a{i}/rerun/env_bak")))})

parts = ("kernel", "program", "activex")
same = lambda d, pkg, names=parts: all(rd(f"b/{d}/{n}")[:len(rd(f"{pkg}_{n}"))] == rd(f"{pkg}_{n}") for n in names)
benv = lambda d: all(valid(rd(f"b/{d}/env_{n}"), rd(f"env_{n}.bin"), 0x80000) for n in ("main", "bak"))
i = 0
while rd(f"b/cut{i}.plan"):
    cut, pkg = text(f"b/cut{i}.plan").split()
    out = text(f"b/cut{i}.out")
    begun = [parts[int(d) - 4] for d in re.findall(r"Begin write flash, mtd:/dev/mtd(\d+)", out)]
    check(f"freeze {cut} installing package {pkg}, begun {begun}", {
        "it fired": rd(f"b/cut{i}.frozen") == b"0\n",
        "partitions not begun keep the old content": same(f"cut{i}", "ab"[pkg == "a"], [n for n in parts if n not in begun]),
        "partitions finished hold the new": same(f"cut{i}", pkg, begun[:out.count("Write flash over.")]),
        "rerun exits 0, every partition equal to its image": rd(f"b/rerun{i}.rc") == b"0\n" and same(f"rerun{i}", pkg),
        "environment valid after the cut and the rerun": benv(f"cut{i}") and benv(f"rerun{i}")})
    i += 1

journal = text("b/journal/nandwrite").splitlines()
check("whole package, the first three writes failing", {
    "the boot ends with the script's status 0": rd("b.status") == b"0\n",
    "exit 0, every partition equal to its image": rd("b/retry.rc") == b"0\n" and same("retry", "ba"[i % 2]),
    "failures numbered 0 to 2": re.findall(r"NAND flash write failed\[(\d)\]", text("b/retry.out")) == list("012"),
    "journal: the kernel write four times, then program and web plug-in": len(journal) == 6
        and journal[:4] == [journal[0]] * 4 and "/dev/mtd4" in journal[0]})
sys.exit(1 if bad else 0)
PY
