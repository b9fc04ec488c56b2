# Board-test library, host half: sourced by the board scenario scripts.
#
#   . "$UPDATE_SOURCE_DIR/tests/board/board_lib.sh" NAME
#        sets src, bin, work=$UPDATE_BINARY_DIR/board-test/NAME (emptied, with
#        $work/img: files put there are the guest's /root/img) and fails=0
#   table BOOT <<'EOF' ... EOF     the scenario table of boot BOOT (format below)
#   board_run BOOT [run.sh OPTIONS] SCRIPT
#        boots the board with the output in $work/BOOT, which becomes $o; the
#        exit status in $status. The guest gets the guest half at /root/lib.sh
#        (tests/board/guest_lib.sh: run, compare, erase, restore_env), the table at
#        /root/scenarios, $work/img at /root/img and mtd_probe at /usr/local/bin/mtd_probe
#   scenarios BOOT                 checks every row of BOOT's table
#   check DESCRIPTION COMMAND...   "ok: ..." or "FAILED: ..." (counted in fails)
#   has FILE TEXT                  FILE contains TEXT;  rc TAG: the status run TAG recorded in $o
#   finish                         exit 1 when a check failed
#
# A scenario table has one row per guest run "run TAG CMD...", fields split
# by "|" (blanks around them ignored; "#" starts a comment line):
#   TAG | STATUS | PARTITIONS | WHAT | MESSAGE | MESSAGE ...
# STATUS is the run's exit status ("-": not checked, e.g. the run reboots);
# every MESSAGE must appear in the run's output, one starting with "!" must
# not; PARTITIONS are "DEV=IMAGE[@OFFSET+LENGTH]" words (DEV under /dev, IMAGE
# under /root/img, /dev/null for an erased device): after the run the guest
# reads each DEV whole and it must hold that range of IMAGE from its start,
# bad blocks skipped, and erased flash (0xFF) to its end, so a write of the
# wrong length, place or content fails.
src=${UPDATE_SOURCE_DIR:?} bin=${UPDATE_BINARY_DIR:?}
work=$bin/board-test/$1
rm -rf "$work" && mkdir -p "$work/img"
fails=0 o= status=

check() { if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fails=$((fails + 1)); fi; }
has() { grep -qF -- "$2" "$1"; }
rc() { cat "$o/$1.rc" 2>/dev/null; }
finish() { ((fails == 0)) || { echo "$fails check(s) failed; board output in $work"; exit 1; }; }
# the table with the blanks around its fields dropped
table() { sed -E 's/[[:space:]]*\|[[:space:]]*/|/g; s/^[[:space:]]+|[[:space:]]+$//g' > "$work/$1.table"; }

board_run() {
	local boot=$1; shift
	touch "$work/$boot.table"
	bash "$src/board/run.sh" --out "$work/$boot" --put "$src/tests/board/guest_lib.sh:/root/lib.sh" \
		--put "$work/$boot.table:/root/scenarios" --put "$work/img:/root/img" \
		--put "$bin/bin/board_mtd_probe:/usr/local/bin/mtd_probe" "$@"
	status=$? o=$work/$boot
}

scenarios() {
	local o=$work/$1 tag st parts what msgs m why
	while IFS='|' read -r tag st parts what msgs; do
		[[ -z $tag || $tag == \#* ]] && continue
		why=$([[ $st == - || $(rc "$tag") == "$st" ]] || echo "; status $(rc "$tag"), wanted $st")
		for m in $parts; do
			grep -qxF "$m same" "$o/$tag.whole" 2>/dev/null ||
				why+="; $(grep -F "$m " "$o/$tag.whole" 2>/dev/null || echo "$m not compared")"
		done
		IFS='|' read -ra msgs <<< "$msgs"
		for m in "${msgs[@]}"; do
			[[ $m == !* ]] && has "$o/$tag.out" "${m#!}" && why+="; says \"${m#!}\""
			[[ $m != !* ]] && ! has "$o/$tag.out" "$m" && why+="; does not say \"$m\""
		done
		check "$tag: $what${why:+ -$why}" test -z "$why"
	done < "$work/$1.table"
}
