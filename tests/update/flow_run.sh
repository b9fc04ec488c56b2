#!/bin/bash
# flow_run.sh DIR: one row of the flow tests (flow_test.cpp). DIR/setup holds
# the row's setup words, DIR/args the updater's words (shell words). Makes
# DIR the board's folders, runs the updater under strace in a host sandbox
# with its own loopback and leaves in DIR what it did: summary
# (flow_trace.pl) and out (standard output and error). Setup words:
#   pkg=NAME[@FOLDER]   the package NAME (see pack) as FOLDER/Program.bin
#                       (default program/pkg); pkg=none
#   img=PATH:SIZE       a raw image of SIZE bytes
#   fs=Y|J|S|U          root file system: yaffs2, jffs2, squashfs, UBI (default Y)
#   ver=PUB,INN|none    the version file (default R1234, OLD); board=NAME (default NVR-X)
#   fail=TOOL:N[:SKIP]  the next N calls of TOOL fail, after SKIP that succeed
#   plant=PATH:WHAT     an old file (old), a link to DIR/victim (link) or to
#                       nowhere (dangling), a folder (dir), the applet
#                       stand-in (runner), or the package WHAT
#   mtd                 two MTD partitions
#   newver              the program write installs the new version file
#   mounted             /var/runtime is a mounted file system
#   bin=sim|driver|NAME the simulated NOR board's updater, the writer driver, or bin/NAME
#   put=PATH:TEXT       a file holding TEXT (with printf's escapes) and a line end
#   tftp ftp http       servers on loopback serving DIR/srv (ftp: user
#                       "us er", password "p'w;d")
#   tmp=+KIB            /tmp a tmpfs holding KIB KiB beyond the running copy
D=$1 T=$UPDATE_SOURCE_DIR/tests B=$UPDATE_BINARY_DIR/bin H=/.sandbox/host-bin
NEWVER="printf 'PUB:R1235\\nINN:INN2\\n' > /program/.version" # what installing the package changes
if [[ ${2:-} != inside ]]; then
	pack() { # pack NAME OUT: the standard package (images of 1000, 1000, 3000, 5000, 1000 bytes) or a variant
		local i="--image uboot=u --image config=c --image kernel=k --image program=p --image activex=a" v=R1235 b=NVR-X a= c
		case $1 in
		hand) a="--updater launched" ;; handcut) a="--updater launched --truncate 15100" ;; crc) a="--crc wrong" ;;
		same) v=R1234 ;; other) b=NVR-Y ;; env) v=R1221 ;; older) v=R1200 a="--crc wrong" ;; custom) a="--custom custom.zip" ;;
		nokernel) i=${i/--image kernel=k/} ;; past) a="--length activex=1001" ;; zero) a="--length kernel=0" ;;
		nor) a="--flash-offset kernel=0xa0000 --flash-offset program=0x160000 --flash-offset activex=0x260000
			--image 11=u --flash-offset 11=0x2e0000 --image 12=k --flash-offset 12=0x300000" ;;
		norend) a="--flash-offset kernel=1438792" ;; norpast) a="--flash-offset kernel=1438793" ;; # the slot ends at 0x160000
		b19) b=NVR-0123456789ABCDE ;; b18x) b=NVR-0123456789ABCDX ;;
		V4.*) v=$1 b="DVS-SIM --board DVS-K410-M16@32-B --board DVS-K410-M16@32-BX" ;; # for the boot environment decision
		fill) c=0 ;& # a kernel image exactly as long as its slot, and one a byte longer
		over) head -c $((0xc00000 + ${c:-1})) /dev/zero > "$D/pkg/kb" && i=${i/kernel=k/kernel=kb} ;;
		big) i=${i/program=p/program=big} ;; bighand) a="--updater big" ;; custombig) a="--custom big" ;;
		handbig) i=${i/program=p/program=big} a="--updater launched" ;;
		full) # every head field as long as it can be: no NUL in the head, the board list or the kernel's name
			c=$(cd "$D/pkg" && "$B/update-pack" create f0 $i >/dev/null && "$B/update-pack" info f0 | sed -n 's/^checksum in head: \([0-9]*\) .*/\1/p')
			c=$(printf 'INN2$t$R1235$%s$%0256d' "$c" 0)
			a="--head ${c:0:256} --boards NVR-X\$$(printf 'Q%.0s' {1..1786}) --name kernel=$(printf 'N%.0s' {1..128})" ;;
		esac
		(cd "$D/pkg" && "$B/update-pack" create "$2" --inner INN2 --pub $v --board $b $i $a >/dev/null)
	}
	eval "setup=($(<"$D/setup")) args=($(<"$D/args"))"
	mkdir -p "$D"/{proc/rmc,program,var/runtime/log,srv,bin,fail,pkg/oem} && cd "$D/pkg" || exit 1
	for f in u:1000 c:1000 k:3000 p:5000 a:1000 big:500000; do head -c "${f#*:}" /dev/zero | tr '\0' "${f::1}" > "${f%:*}"; done
	# The package's own updater notes its words and, unless checking, installs; it takes
	# the seconds in /program/sleep, and ends with the status in /program/rc.
	printf '#!/bin/sh\n/.sandbox/stub-record launched "$@"\ncase " $* " in *" -check "*) ;; *) %s;; esac\n%s\n' "$NEWVER" \
		'sleep $(cat /program/sleep 2>/dev/null || echo 0); exit $(cat /program/rc 2>/dev/null || echo 0)' > launched
	echo CFG > oem/cfginfo.txt && zip -qr custom.zip oem && cd / || exit 1
	echo NVR-X > "$D/proc/board_type" && : > "$D/proc/rmc/test" && printf victim > "$D/victim" && printf x > "$D/var/runtime/settings"
	printf 'PUB:R1234\nINN:OLD\n' > "$D/program/.version"
	fs=Y pkg=std where=program/pkg binary=$B/update runner=()
	for w in "${setup[@]}"; do
		v=${w#*=} && p=$D/${v%:*} && mkdir -p "${p%/*}"
		case $w in
		pkg=*@*) pkg=${v%%@*} where=${v#*@} ;; pkg=*) pkg=$v ;; fs=*) fs=$v ;; board=*) echo "$v" > "$D/proc/board_type" ;;
		img=*) head -c "${v##*:}" /dev/zero | tr '\0' i > "$p" ;;
		ver=none) rm "$D/program/.version" ;; ver=*) printf 'PUB:%s\nINN:%s\n' "${v%,*}" "${v#*,}" > "$D/program/.version" ;;
		fail=*) echo "${v#*:}" | tr : ' ' > "$D/fail/${v%%:*}" ;;
		plant=*:link) ln -s "$D/victim" "$p" ;; plant=*:dangling) ln -s "$D/nowhere" "$p" ;;
		plant=*:dir) mkdir "$p" && echo old > "$p/old" ;; plant=*:old) echo old > "$p" ;;
		plant=*:runner) cp "$T/sandbox/stubs/flash-applets" "$p" ;; plant=*) pack "${v##*:}" "$p" ;;
		mtd) printf 'dev:    size   erasesize  name\nmtd0: 00100000 00020000 "a"\nmtd1: 00080000 00020000 "b"\n' > "$D/proc/mtd" ;;
		newver) printf '#!/bin/sh\n/.sandbox/stub-record nandwrite "$@" || exit\n[ "$2" != /dev/mtd5 ] || %s\n' "$NEWVER" \
			> "$D/bin/nandwrite" ;;
		rev=*) echo "$v" > "$D/proc/uboot_rev" ;;
		mounted) printf '#!/bin/sh\necho "/dev/mmcblk0p6 1024 1 1023 1%% /var/runtime"\n' > "$D/bin/df" ;;
		bin=sim) binary=$B/update-simboard ;; bin=driver) binary=$B/flash_driver ;; bin=*) binary=$B/$v ;;
		put=*) printf '%b\n' "${v#*:}" > "$p" ;;
		tmp=+*) runner+=("tmp=$((($(stat -c %s "$binary") + 4095) / 4096 * 4 + ${v#+}))") ;;
		*) runner+=("$w") ;;
		esac
	done
	[[ $pkg == none ]] || { mkdir -p "$D/$where" && pack "$pkg" "$D/$where/Program.bin"; }
	case $fs in Y) fs=rootfstype=yaffs2 ;; J) fs=rootfstype=jffs2 ;; S) fs=rootfstype=squashfs ;; U) fs=ubi.mtd=5 ;; esac
	echo "$fs" > "$D/proc/cmdline" && chmod -R +x "$D/bin"
	for t in cp rm tftp ftpget unzip; do ln -s "$T/sandbox/passthrough" "$D/bin/$t"; done
	ln -s "$T/sandbox/stubs/flash-applets" "$D/bin/busybox" # the single-image writer's applets
	ln -s "$H/true" "$D/bin/sleep"                          # the pauses of the shell's reboot line
	timeout -s KILL 120 "$T/sandbox/sandbox.sh" --net "$D" -- /bin/bash "$0" "$D" inside "${runner[@]}" -- "$binary" \
		"${args[@]}" > "$D/out" 2>&1
	exit 0
fi

# Inside the sandbox: servers, the tmpfs, the traced run, what it did.
up() { until grep -q ":$2 " "/proc/net/$1"; do "$H/sleep" 0.05; done; }
snap() { cd "$D" && { find tmp var program -type f -exec md5sum {} + | sed 's/  / /'; find tmp var program -type l -printf 'link:%l %p\n'; } > "$1"; }
snap before && shift 2
for w; do
	shift
	case $w in
	--) break ;;
	tmp=*) tmpfs=1 && "$H/busybox" mount -t tmpfs -o size="${w#tmp=}k" tmpfs /tmp && "$H/cp" -a "$D/tmp/." /tmp/ || exit 125 ;;
	tftp) /usr/sbin/in.tftpd --listen --address :69 --user root --secure "$D/srv" && up udp 0045 ;;
	ftp) /usr/bin/python3 "$T/fetch/ftp_server.py" 21 "$D/srv" "us er" "p'w;d" "$D/ftp.record" 0 2>/dev/null & up tcp 0015 ;;
	http) /usr/bin/python3 "$T/fetch/stall_server.py" 80 "$D/srv" "$D/http.record" 2>/dev/null & up tcp 0050 ;;
	esac
done
# LeakSanitizer cannot run under a tracer; the other tests look for leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" TMPDIR=$D
cd / && strace -f -qq -Y -y -s 4096 --seccomp-bpf -o "$D/trace" -e trace=execve,openat,write,pwrite64,rename,renameat,renameat2 "$@"
rc=$?
[[ -z ${tmpfs:-} ]] || { find "$D/tmp" -mindepth 1 -delete && "$H/cp" -a /tmp/. "$D/tmp/"; }
snap after && /usr/bin/perl "$T/update/flow_trace.pl" "$D" "$1" "$rc"
