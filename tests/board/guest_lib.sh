# Board-test library, guest half (see board_lib.sh): board_run puts it at
# /root/lib.sh, the boot's scenario table at /root/scenarios and the images
# at /root/img; a guest script starts with ". /root/lib.sh".
#   run TAG CMD...   runs CMD (standard input kept), its output in $o/TAG.out,
#                    its status in $o/TAG.rc, then compare TAG
#   compare TAG      reads whole each partition the table's row TAG names and
#                    writes "DEV=IMAGE same", or where it differs, to $o/TAG.whole
#   holds DEV IMAGE...   prints the IMAGE that /dev/DEV holds whole, or "-"
#   noboot CMD...    runs CMD in a pid namespace whose pid 1 ignores the reboot
#                    signal, with a plain file over /proc/rmc/test: a failed
#                    run's reboot ends neither the boot nor the run, whose
#                    status is kept
#   erase NAME...    erases /dev/NAME... (so that a later run must write them)
#   restore_env      both environment copies (mtd2, mtd7) erased and written
#                    again from /root/img/env_main.old and env_bak.old (tests/flash/env_images.py)
o=$BOARD_OUT

run() { local tag=$1; shift; "$@" > $o/$tag.out 2>&1; echo $? > $o/$tag.rc; compare $tag; }
noboot() { unshare -m -p -f sh -c 'trap : TERM; : > /tmp/rmc.noboot; mount --bind /tmp/rmc.noboot /proc/rmc/test; "$@"' sh "$@"; }

compare() {
	local p r
	for p in $(grep "^$1|" /root/scenarios | cut -d'|' -f3); do
		r=$(cd /root/img && timeout 300 /usr/local/bin/mtd_probe whole /dev/${p%%=*} "${p#*=}") && r=same
		echo "$p $r" >> $o/$1.whole
	done
}

erase() { local d; for d; do /usr/bin/update flash_eraseall /dev/$d > /dev/null; done; }

holds() {
	local d=$1 r; shift
	r=$(cd /root/img && timeout 300 /usr/local/bin/mtd_probe whole /dev/$d "$@") || r=-
	echo $r
}

restore_env() {
	erase mtd2 mtd7
	/usr/lib/board/mtd/nandwrite -q -p /dev/mtd2 /root/img/env_main.old
	/usr/lib/board/mtd/nandwrite -q -p /dev/mtd7 /root/img/env_bak.old
}
