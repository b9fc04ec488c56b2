#!/bin/bash
# The real updater against faults, each case in a host sandbox of its own, all
# at once: a full /tmp while fetching and while unpacking, unreadable and cut
# packages, servers that die halfway, hostile tables and unterminated fields;
# a launched updater that outlasts the watch or fails, and a second instance.
# Each ends with its exit status, message and reboot decision, within the
# sandbox's time limit, and leaves nothing in /tmp that passes for a package,
# an updater or an unpacked image without being the whole one, and no link.
set -uo pipefail
src=${UPDATE_SOURCE_DIR:?} bin=${UPDATE_BINARY_DIR:?} U=${UPDATE_BIN:?}
work=$bin/faults-test S=$bin/bin/update-shortwatch # S: the watch gives up after 8 idle seconds
up() { until grep -q ":$2 " "/proc/net/$1"; do sleep 0.1; done; } # up tcp|udp HEXPORT: a server listens
whole() { [[ -e /tmp/$1 ]] || return 0; for f in "${@:2}"; do cmp -s "/tmp/$1" "$f" && return; done; false; }

if [[ ${1:-} == guest ]]; then # guest TMP_KIB PREPARE COMMAND, inside the sandbox
	[[ $2 == 0 ]] || busybox mount -t tmpfs -o size="$2"k tmpfs /tmp || exit 125
	export TMPDIR=$SANDBOX_DIR # a sanitizer runtime's scratch files stay out of the measured /tmp
	# A preparation that failed would test a different fault, or none.
	cp "$work/stub" /tmp/busybox && eval "$3" || { echo "preparation failed: $3"; exit 0; }
	eval "$4"; echo $? > "$SANDBOX_DIR/rc"
	whole Program.bin /program/pkg/Program.bin && whole busybox "$work"/{stub,upd.img,launched} && whole memupdate "$U" "$S" &&
		whole custom.zip "$work/big.img" && [[ -z $(find /tmp /program -name 'ln*') ]] || ls -l /tmp > "$SANDBOX_DIR/partial"
	exit 0
fi

rm -rf "$work" && mkdir -p "$work/srv"
pack() { "$bin/bin/update-pack" create "$work/$1" --inner INN --pub R1235 --board NVR-X "${@:2}" >/dev/null; }
for f in k:300000 p:500000 a:100000 upd:100000 big:400000; do head -c "${f#*:}" /dev/urandom > "$work/${f%%:*}.img"; done
printf '#!/bin/sh\nexec /.sandbox/stub-record busybox "$@"\n' > "$work/stub" && chmod +x "$work/stub"
printf '#!/bin/sh\n/.sandbox/stub-record launched "$@"; sleep 12; exit $(cat /program/rc 2>/dev/null || echo 0)\n' > "$work/launched"
images=(--image kernel="$work/k.img" --image program="$work/p.img" --image activex="$work/a.img")
pack srv/Program.bin "${images[@]}"
pack cut.bin "${images[@]}" --truncate 500000 # inside the program image
pack hand.bin "${images[@]}" --updater "$work/upd.img"
pack launched.bin "${images[@]}" --updater "$work/launched"
pack handcut.bin "${images[@]}" --updater "$work/upd.img" --truncate 600000
pack custom.bin "${images[@]}" --custom "$work/big.img"
pack offset.bin "${images[@]}" --offset kernel=0x7fffffff
pack length.bin "${images[@]}" --length program=0xffffffff
pack count.bin --crc -1 --count 0xffffffff --short-table 3
crc=$("$bin/bin/update-pack" info "$work/srv/Program.bin" | sed -n 's/^checksum in head: \([0-9]*\) .*/\1/p')
head=$(printf "INN\$t\$R1235\$$crc\$%0256d" 0) name=$(printf 'N%.0s' {1..128})
pack unterminated.bin "${images[@]}" --head "${head:0:256}" --boards "NVR-X\$$(printf 'Q%.0s' {1..1786})" --name kernel="$name"
M=$((($(stat -c %s "$U") + 4095) / 4096 * 4)) # KiB the running copy takes in /tmp
# A TFTP server that answers the package request with 8 of its blocks and dies.
echo 'import os, socket, struct, sys
data, s = open(sys.argv[1], "rb").read(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 69)); s.connect(s.recvfrom(1024)[1]); s.send(b"\0\6blksize\0008192\0")
for n in range(8): s.recv(16); s.send(struct.pack("!HH", 3, n + 1) + data[n * 8192:(n + 1) * 8192])
os._exit(0)' > "$work/dying.py"
tftpd="/usr/sbin/in.tftpd --listen --address :69 --user root --secure $work/srv; up udp 0045"
http="/usr/bin/python3 $src/tests/fetch/stall_server.py 80 $work/srv /dev/null 2>/dev/null & up tcp 0050;"
half="{ until [ \"\$(stat -c %s /tmp/Program.bin 2>/dev/null)\" -ge $(($(stat -c %s "$work/srv/Program.bin") / 2)) ] 2>/dev/null; do sleep 0.1; done; kill -9 \$!; } &"
L="\$U -local /program/pkg"
# name | /tmp KiB (0: the sandbox's) | package in /program/pkg | prepare | command | status | reboots | text
cases=(
	"full_tftp|$((M + 200))||$tftpd|\$U -tftp 127.0.0.1 all -wait|255|1|load bin file failed! please try again!"
	"full_http|$((M + 200))||$http|\$U -mycloud http://127.0.0.1/Program.bin all|4|1|Fail to call curl_easy_perform, err:23"
	"full_running_copy|500|srv/Program.bin||$L all -wait|255|1|No space left on device"
	"full_applet_runner|$((M + 200))|srv/Program.bin|rm /tmp/busybox|$L all -wait|1|1|exec cmd cp  -f"
	"full_updater|$((M + 50))|hand.bin||$L all -wait|255|1|write new file fail"
	"full_package_copy|$((M + 300))|hand.bin||$L all -wait|1|1|update relocate /program/pkg/Program.bin -> /tmp/Program.bin"
	"full_custom|$((M + 200))|custom.bin||$L all -wait|255|1|write new file fail"
	"unreadable|0|srv/Program.bin|chmod 0 /program/pkg/Program.bin|setpriv --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search $L all -check|255|0|Get version failed (error Permission denied)"
	"directory|0||mkdir /program/pkg/Program.bin|$L all -check|255|0|Read version file failed!"
	"cut|0|cut.bin||$L all -check|252|0|update check crc failed."
	"cut_forced|0|cut.bin||$L all -f -wait|255|1|image p.img (offset 304096, length 500000) lies outside the package"
	"cut_updater|0|handcut.bin||$L all newoption|255|0|RelocateUpdate failed."
	"no_updater|0|srv/Program.bin||$L all -wiat -forse|255|0|update: not understood here: '-wiat' '-forse'; the package carries no updater to hand them to"
	"dying_tftp|0||/usr/bin/python3 $work/dying.py $work/srv/Program.bin & up udp 0045|\$U -tftp 127.0.0.1 all|255|1|load bin file failed! please try again!"
	"dying_http|0||$http $half|\$U -mycloud http://127.0.0.1/stall-half/Program.bin all|4|1|Download failed err is[4]"
	"offset|0|offset.bin||$L all -wait|255|1|image k.img (offset 2147483647, length 300000) lies outside"
	"length|0|length.bin||$L all -wait|255|1|image p.img (offset 304096, length 4294967295) lies outside"
	"count|0|count.bin||$L all -wait|255|1|no complete image for /dev/mtd4 in the package, nothing written"
	"unterminated|0|unterminated.bin||$L all -wait|0|0|read FileName:$name, FileLength:300000, FileOffset: 4096,"
	"launched_outlasts_watch|0|launched.bin||\$S -local /program/pkg all -wait|0|0|all  -w -loop)"
	"launched_fails|0|launched.bin|echo 3 > /program/rc; echo old > /tmp/lnAll.bin|$L all|3|1|Update failed. System reboot soon..."
	"handed_over_check|0|launched.bin|mkdir /program/Program.bin.d; mv /program/pkg/* /program/Program.bin.d|\$U -local /program/Program.bin.d all -check newoption|0|0|-local /program/Program.bin.d/ all -check newoption  -loop)"
	"second_instance|0|srv/Program.bin|printf '#!/bin/sh\\necho 1 2\\n' > \$SANDBOX_DIR/bin/pidof; chmod +x \$SANDBOX_DIR/bin/pidof; cp \$U /tmp/memupdate; ln /tmp/memupdate /tmp/running|$L all; r=\$?; [ /tmp/memupdate -ef /tmp/running ] && (exit \$r)|255|0|Update is running, please wait."
)
busybox=$(readlink -f "$(command -v busybox)")
for c in "${cases[@]}"; do
	IFS='|' read -r name kib package prepare command _ <<< "$c"
	d=$work/$name
	mkdir -p "$d/program/pkg" "$d/proc" "$d/bin" && ln -s "$busybox" "$d/bin/tftp"
	echo NVR-X > "$d/proc/board_type" && printf 'PUB:R1234\nINN:OLD\n' > "$d/program/.version"
	[[ -z $package ]] || cp "$work/$package" "$d/program/pkg/Program.bin"
	timeout -s KILL 120 "$src/tests/sandbox/sandbox.sh" --net "$d" -- /bin/bash "$(readlink -f "$0")" guest \
		"$kib" "$prepare" "$command" > "$d.out" 2>&1 &
done
wait
fails=0
for c in "${cases[@]}"; do
	IFS='|' read -r name _ _ _ _ status reboots text <<< "$c"
	d=$work/$name
	rebooted=$([[ -s $d/journal/init ]] && echo 1 || echo 0)
	# A failed run has erased and written nothing: every fault here shows before the first image.
	written=$([[ $status == 0 ]] || ls "$d/journal/busybox" "$d/journal/nandwrite" 2>/dev/null)
	if [[ $(cat "$d/rc" 2>/dev/null) == "$status" && $rebooted == "$reboots" && ! -e $d/partial && -z $written ]] &&
		grep -qF -- "$text" "$d.out"; then echo "ok: $name"; continue; fi
	echo "FAILED: $name (status $(cat "$d/rc" 2>/dev/null), reboot $rebooted, tools ran: $written; want $status $reboots \"$text\"):"
	cat "$d.out" "$d/partial" 2>/dev/null; fails=$((fails + 1))
done
exit $((fails > 0))
