#!/bin/bash
# Boots the simulated recorder board under qemu and runs one test script in it.
#
#   board/run.sh [OPTIONS] SCRIPT     run SCRIPT (a shell script) inside the board
#   board/run.sh [OPTIONS] shell      interactive shell on the board's serial console
#                                     (leave with "poweroff" or Ctrl-A X)
#
# The board: a 128 MiB NAND (nandsim, 128 KiB blocks, 2 KiB pages) split as
#   mtd0 spare 512K, mtd1 uboot 1M, mtd2 env 512K, mtd3 config 10M, mtd4 kernel 12M,
#   mtd5 program 92M, mtd6 ActiveX 8064K, mtd7 backenv 512K, mtd8 custom 1M,
#   mtd9 fenv 512K, mtd10 erasecnt 128K, mtd11 the rest (2M);
# the optional RAM flash and NOR flash follow as the next mtd numbers (their
# paths are in $BOARD_MTDRAM and $BOARD_NOR, and in /etc/board/devices); the
# NOR's partitions (--nor-parts) come right after the whole NOR, their paths in
# $BOARD_NOR_PARTS. With --nand-parts none and no RAM flash the NOR is /dev/mtd0.
# The script runs as root with cwd /scratch and the environment BOARD_OUT
# (the output folder, shared with the host), BOARD_SRV (/srv/tftp, served by
# tftpd on 127.0.0.1:69 and by ftpd on 127.0.0.1:21, user "board" password
# "board"), BOARD_MTDRAM, BOARD_NOR, BOARD_NOR_PARTS, UPDATE_BIN (/usr/bin/update).
#
# Options:
#   --nand-parts LIST      nandsim partition sizes in 128 KiB blocks (the last
#                          partition takes the rest), or "none" for no NAND
#   --badblocks N,..       bad blocks, as block numbers of the whole NAND chip
#   --mtdram SIZE_KIB:ERASE_KIB   add a RAM flash (MTD type 1)
#   --nor IMAGE            add a NOR flash (qemu pflash, MTD type 3) backed by the
#                          host file IMAGE, kept across runs; created erased when
#                          missing, --nor-size KIB (default 4096) then gives its size
#   --nor-parts LIST|sim   partitions on the NOR as NAME@OFFSET+SIZE,... (bytes, 0x..
#                          for hex, erase-block aligned), registered in this order
#                          after the whole NOR; "sim" is the simulation build's 4 MiB
#                          layout in board/sim-nor-parts.txt (uboot .. program_slave)
#   --ubi MTDNUM[:SIZE]    attach UBI to mtdMTDNUM and create one volume (/dev/ubi0_0)
#                          of SIZE (ubimkvol syntax, e.g. 4MiB; default: all space)
#   --cmdline WORDS        content of /proc/cmdline as the firmware reads it
#   --board-type T         /proc/board_type (default DVS-SIM-BOARD)
#   --uboot-rev R          /proc/uboot_rev (default V060)
#   --env FILE             /proc/env content
#   --version-file FILE    /program/.version
#   --put HOST:GUEST       copy a host file into the guest (repeatable; GUEST may be
#                          under /tmp, /var, /srv/tftp, ...)
#   --fail TOOL:N          the stand-in TOOL (nandwrite, nandwrite_mboot, mmcwrite,
#                          flash_tool, loadtools, mt, reboot) fails its next N calls
#   --dump DEV             after the run save DEV (/dev/mtdN, /dev/ubi0_0) as
#                          OUT/dumps/NAME.bin: NAND via nanddump --bb=padbad (bad
#                          blocks as 0xFF, offsets kept), anything else raw (repeatable)
#   --out DIR              output folder (default board/cache/last-run), emptied first
#   --power-cut-after-bytes N --power-cut-dev /dev/mtdN
#                          stop the machine dead once N more bytes have been written
#                          to that partition (the write that crosses N is cut at N)
#   --power-cut-after SECONDS   kill qemu SECONDS after the script started
#   --freeze-after-bytes N --freeze-dev /dev/mtdN
#   --freeze-after-erase N --freeze-dev /dev/mtdN
#                          freeze that flash once N more bytes have been written
#                          (erased) in that partition: the script's session is
#                          killed and every later write or erase of the flash fails
#                          with EIO; reads, the dumps included, still work. Scripts
#                          arm their own freezes with board-freeze (board/README.md)
#   --timeout SECONDS      give up after SECONDS (default 300)
#   --update PATH          the updater binary to put in (default $UPDATE_BIN, else
#                          build/release/bin/update); it lands at /usr/bin/update
#                          with its shared libraries, and /bin/busybox runs its
#                          flashcp and flash_eraseall applets
#   --mem MIB              guest memory (default 1024)
# Environment: BOARD_GCOV_DIR (a coverage build's folder) is shared with the
# guest at the same path, so the updater's coverage counters land there.
#
# Output folder: status (the script's exit status), end (exit, reboot, halt,
# poweroff, rmc-reset or setup-failed), stdout, stderr, console.log, journal/TOOL
# (one line per call: the arguments joined by blanks; journal/init records
# reboot requests; journal/TOOL.files/ keeps files given to flash_tool and
# loadtools), update.log (/var/log/update.log), update_record.log, tmp/*.log,
# rmc (what was written to /proc/rmc/test), nvram (the /dev/hal_nvram items as
# name=value lines), dumps/, freeze (off, armed or frozen at the end).
#
# Exit status: the script's exit status, or
#   240 the board did not come up (see console.log), 241 timeout,
#   242 power cut done, 243 the board was rebooted/halted/reset (journal/init).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

nand_parts=4,8,4,80,96,736,63,4,8,4,1
badblocks= mtdram= nor= nor_size=4096 nor_parts= ubi= cmdline= cmdline_set=0
board_type=DVS-SIM-BOARD uboot_rev=V060 envfile= versionfile= out=
cut_bytes= cut_dev= cut_after= freeze_kind= freeze_bytes= freeze_dev= timeout=300 update=${UPDATE_BIN:-$root/build/release/bin/update} mem=1024
puts=() dumps=() fails=()

die() { echo "board/run.sh: $*" >&2; exit 2; }
while (($#)); do
	case $1 in
	--nand-parts) nand_parts=$2; shift ;;
	--badblocks) badblocks=$2; shift ;;
	--mtdram) mtdram=$2; shift ;;
	--nor) nor=$2; shift ;;
	--nor-size) nor_size=$2; shift ;;
	--nor-parts) nor_parts=$2; shift ;;
	--ubi) ubi=$2; shift ;;
	--cmdline) cmdline=$2; cmdline_set=1; shift ;;
	--board-type) board_type=$2; shift ;;
	--uboot-rev) uboot_rev=$2; shift ;;
	--env) envfile=$2; shift ;;
	--version-file) versionfile=$2; shift ;;
	--put) puts+=("$2"); shift ;;
	--fail) fails+=("$2"); shift ;;
	--dump) dumps+=("$2"); shift ;;
	--out) out=$2; shift ;;
	--power-cut-after-bytes) cut_bytes=$2; shift ;;
	--power-cut-dev) cut_dev=$2; shift ;;
	--power-cut-after) cut_after=$2; shift ;;
	--freeze-after-bytes) freeze_kind=write freeze_bytes=$2; shift ;;
	--freeze-after-erase) freeze_kind=erase freeze_bytes=$2; shift ;;
	--freeze-dev) freeze_dev=$2; shift ;;
	--timeout) timeout=$2; shift ;;
	--update) update=$2; shift ;;
	--mem) mem=$2; shift ;;
	-h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
	--*) die "unknown option $1" ;;
	*) break ;;
	esac
	shift || die "option without value"
done
(($# == 1)) || die "usage: run.sh [OPTIONS] SCRIPT|shell (see --help)"
script=$1
mode=run
[[ $script == shell ]] && mode=shell
[[ $mode == shell || -f $script ]] || die "no script $script"
[[ -x $update ]] || die "no updater binary at $update (build first, or --update PATH)"
[[ -n $cut_bytes && -z $cut_dev || -z $cut_bytes && -n $cut_dev ]] && die "--power-cut-after-bytes needs --power-cut-dev"
[[ -n $freeze_bytes && -z $freeze_dev || -z $freeze_bytes && -n $freeze_dev ]] && die "--freeze-after-bytes|erase needs --freeze-dev"
[[ -n $cut_bytes && -n $freeze_bytes ]] && die "a power cut and a freeze cannot be armed together"
[[ $nor_parts == sim ]] && nor_parts=$(tr -d ' \n' < "$here/sim-nor-parts.txt")
[[ -z $nor_parts || -n $nor ]] || die "--nor-parts needs --nor"
part='[A-Za-z0-9_.-]+@[0-9a-fA-Fx]+\+[0-9a-fA-Fx]+'
[[ -z $nor_parts || $nor_parts =~ ^$part(,$part)*$ ]] || die "--nor-parts wants NAME@OFFSET+SIZE,...: $nor_parts"

command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing: run bash scripts/setup.sh"
mapfile -t img < <(bash "$here/build-image.sh") || exit 240
((${#img[@]} == 2)) || { echo "board/run.sh: image build failed" >&2; exit 240; }
kernel=${img[0]} base=${img[1]}

if [[ -z $out ]]; then
	out=${BOARD_CACHE:-$here/cache}/last-run
fi
mkdir -p "$out" && out=$(cd "$out" && pwd) || die "cannot create $out"
# the folder is emptied: only when it is empty or an earlier run's output
if [[ -n $(ls -A "$out") && ! -e $out/console.log && ! -e $out/.work ]]; then
	die "$out is not empty and holds no earlier board output; choose another --out"
fi
find "$out" -mindepth 1 -delete
work=$out/.work
mkdir -p "$work/stage/etc/board/fail" "$work/stage/usr/bin" "$work/stage/usr/lib/x86_64-linux-gnu" "$work/stage/usr/lib64" "$work/stage/board/put"
st=$work/stage

q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }   # single-quoted for the guest's sh
{
	echo "MODE=$mode"
	echo "OUT_TAG=out"
	echo "GCOV_DIR=$(q "${BOARD_GCOV_DIR:-}")"
	echo "NAND_PARTS=$(q "$nand_parts")"
	echo "BADBLOCKS=$(q "$badblocks")"
	echo "MTDRAM=$(q "$mtdram")"
	echo "UBI_MTD=$(q "${ubi%%:*}")"
	[[ $ubi == *:* ]] && echo "UBI_SIZE=$(q "${ubi#*:}")" || echo "UBI_SIZE="
	echo "BOARD_TYPE=$(q "$board_type")"
	echo "UBOOT_REV=$(q "$uboot_rev")"
	echo "DUMPS=$(q "${dumps[*]:-}")"
	if [[ -n $cut_bytes ]]; then
		[[ $cut_dev =~ ^/dev/mtd([0-9]+)$ ]] || die "--power-cut-dev must be /dev/mtdN"
		echo "CUT=${BASH_REMATCH[1]}:$cut_bytes"
	else
		echo "CUT="
	fi
	if [[ -n $freeze_bytes ]]; then
		[[ $freeze_dev =~ ^/dev/mtd([0-9]+)$ ]] || die "--freeze-dev must be /dev/mtdN"
		echo "FREEZE=$(q "${BASH_REMATCH[1]}:$freeze_kind:$freeze_bytes")"
	else
		echo "FREEZE="
	fi
	echo "NOR_PARTS=$(q "$nor_parts")"
	if [[ -n $nor ]]; then
		if [[ ! -f $nor ]]; then
			head -c $((nor_size * 1024)) /dev/zero | tr '\0' '\377' > "$nor" || die "cannot create $nor"
		fi
		size=$(stat -c %s "$nor")
		((size > 0 && size % 65536 == 0)) || die "NOR image size must be a multiple of 64 KiB"
		printf 'NOR_BASE=0x%x\nNOR_SIZE=0x%x\n' $((0x100000000 - 0x40000 - size)) "$size"
	else
		echo "NOR_SIZE="
	fi
} > "$st/etc/board/config"
((cmdline_set)) && printf '%s\n' "$cmdline" > "$st/etc/board/cmdline"
[[ -n $envfile ]] && { cp "$envfile" "$st/etc/board/env" || die "no env file $envfile"; }
[[ -n $versionfile ]] && { cp "$versionfile" "$st/etc/board/version" || die "no version file $versionfile"; }
[[ $mode == run ]] && cp "$script" "$st/etc/board/script"
for f in "${fails[@]}"; do echo "${f#*:}" > "$st/etc/board/fail/${f%%:*}"; done
for p in "${puts[@]}"; do
	src=${p%%:*} dst=${p#*:}
	[[ $dst == /* ]] || die "--put needs an absolute guest path: $p"
	mkdir -p "$st/board/put$(dirname "$dst")"
	cp -a "$src" "$st/board/put$dst" || die "cannot put $src"
done
cp "$update" "$st/usr/bin/update"
# libcurl is no link dependency (the updater loads it for cloud downloads): it
# and its own libraries come along as on the device.
curl_lib=$(ldconfig -p | awk '$1 == "libcurl.so.4" && /x86-64/ {print $NF; exit}')
{ ldd "$update" $curl_lib | awk '/=> \// {print $3} /^\t\/lib64\// {print $1}'; echo $curl_lib; } | sort -u | while read -r lib; do
	if [[ $lib == */ld-linux-x86-64.so.2 ]]; then cp -L "$lib" "$st/usr/lib64/"; else cp -L "$lib" "$st/usr/lib/x86_64-linux-gnu/"; fi
done
(cd "$st" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$work/run.cpio"
cat "$base" "$work/run.cpio" > "$work/initrd"

qemu=(qemu-system-x86_64 -accel tcg -M pc -m "$mem" -smp 1 -nodefaults -no-user-config -no-reboot
	-kernel "$kernel" -initrd "$work/initrd"
	-append "console=ttyS0 panic=-1 loglevel=4 tsc=reliable no_timer_check"
	-nic none -device isa-debug-exit,iobase=0xf4,iosize=0x04
	-virtfs "local,path=$out,mount_tag=out,security_model=none")
# A coverage build writes its counters into its own build tree, which the
# guest then sees at the same path.
if [[ -n ${BOARD_GCOV_DIR:-} ]]; then
	qemu+=(-virtfs "local,path=$BOARD_GCOV_DIR,mount_tag=gcov,security_model=none")
fi
if [[ -n $nor ]]; then
	qemu+=(-drive "if=pflash,unit=0,format=raw,readonly=on,file=/usr/share/seabios/bios-256k.bin"
		-drive "if=pflash,unit=1,format=raw,file=$(cd "$(dirname "$nor")" && pwd)/$(basename "$nor")")
fi

if [[ $mode == shell ]]; then
	echo "board: booting; leave with 'poweroff' or Ctrl-A X. Output folder: $out" >&2
	"${qemu[@]}" -display none -serial mon:stdio
	exit 0
fi

"${qemu[@]}" -display none -monitor none -serial "file:$out/console.log" 2>"$work/qemu.err" &
qpid=$!
start=$SECONDS started=
killed=
while kill -0 $qpid 2>/dev/null; do
	sleep 0.2
	if [[ -z $started ]] && grep -q '^board: script start' "$out/console.log" 2>/dev/null; then
		started=$SECONDS
	fi
	if [[ -n $cut_after && -n $started ]] && ((SECONDS - started >= cut_after)); then
		kill -KILL $qpid; killed=cut; break
	fi
	if ((SECONDS - start >= timeout)); then
		kill -KILL $qpid; killed=timeout; break
	fi
done
{ wait $qpid; } 2>/dev/null
qrc=$?
rm -rf "$work"
if [[ $killed == timeout ]]; then
	echo "board/run.sh: timeout after ${timeout}s (console: $out/console.log)" >&2
	exit 241
fi
# the board module stops the machine through isa-debug-exit: status (0x21 << 1) | 1
if [[ $killed == cut || $qrc == 67 ]]; then
	exit 242
fi
end=$(cat "$out/end" 2>/dev/null)
case $end in
exit) exit "$(cat "$out/status")" ;;
reboot|halt|poweroff|rmc-reset) exit 243 ;;
*)
	echo "board/run.sh: the board did not come up (qemu status $qrc, console: $out/console.log)" >&2
	grep -a '^board: setup failed' "$out/console.log" >&2
	exit 240 ;;
esac
