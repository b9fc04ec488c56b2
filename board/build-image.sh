#!/bin/bash
# Builds (or finds in the cache) the simulated board's kernel and base initramfs
# from Debian packages: apt-get download + dpkg -x, nothing is installed.
# Prints two lines: the kernel image path and the base initramfs path.
# Cache folder: $BOARD_CACHE, default board/cache. BOARD_REFRESH=1 looks up the
# newest kernel again instead of keeping the one the cache was built with.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${BOARD_CACHE:-$here/cache}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
exec 9>"$cache/.lock"
flock 9

log() { echo "board-image: $*" >&2; }

if [[ ! -s $cache/kver || ${BOARD_REFRESH:-0} == 1 ]]; then
	if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
		apt-get update -qq >/dev/null
	fi
	kpkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
	[[ -n $kpkg ]] || { log "cannot resolve linux-image-amd64"; exit 1; }
	echo "${kpkg#linux-image-}" > "$cache/kver"
fi
kver=$(cat "$cache/kver")                 # e.g. 6.1.0-57-amd64
kabi=${kver%-amd64}                       # 6.1.0-57
kmaj=$(echo "$kver" | cut -d. -f1-2)      # 6.1

inputs=$( (cat "$0" "$here/module/board.c"; find "$here/guest" -type f | sort | xargs cat; echo "$kver") | sha256sum | cut -c1-16)
if [[ -f $cache/base.key && $(cat "$cache/base.key") == "$inputs" && -f $cache/base.cpio && -f $cache/vmlinux ]]; then
	echo "$cache/vmlinux"
	echo "$cache/base.cpio"
	exit 0
fi
log "building the board image (kernel $kver)"

debs=$cache/debs
mkdir -p "$debs"
chmod 777 "$debs"   # apt-get download drops privileges to _apt when it can
want=(linux-image-$kver linux-headers-$kver linux-headers-$kabi-common linux-kbuild-$kmaj
	busybox-static dash mtd-utils tftpd-hpa pure-ftpd)
missing=()
for p in "${want[@]}"; do
	compgen -G "$debs/${p}_*.deb" >/dev/null || missing+=("$p")
done
download() {
	(cd "$debs" && apt-get download -q "$@" 2>&1 | grep -vE '^(W: Download is performed unsandboxed|Get:|Fetched)' >&2 || true)
	for p in "$@"; do compgen -G "$debs/${p}_*.deb" >/dev/null || return 1; done
}
if ((${#missing[@]})); then
	log "downloading ${missing[*]}"
	if ! download "${missing[@]}"; then
		apt-get update -qq >/dev/null
		if ! download "${missing[@]}"; then
			if [[ ${BOARD_REFRESH:-0} != 1 ]]; then
				# the kernel this cache was built with may have left the archive
				log "retrying with the current kernel package"
				exec 9>&-
				BOARD_REFRESH=1 exec bash "$0"
			fi
			log "download of ${missing[*]} failed"
			exit 1
		fi
	fi
fi
deb() { compgen -G "$debs/${1}_*.deb" | head -1; }

# kernel and its modules, once per kernel version
kdir=$cache/kernel-$kver
# (the unpacked package is large: it is removed again once the image is built)
if [[ ! -f $kdir/lib/modules/$kver/modules.dep ]]; then
	rm -rf "$kdir/boot" "$kdir/lib" "$kdir/usr"; mkdir -p "$kdir"
	dpkg -x "$(deb linux-image-$kver)" "$kdir"
	depmod -b "$kdir" "$kver"
fi
# qemu boots the uncompressed ELF kernel directly (PVH): decompressing the
# bzImage under the emulator costs more than the whole rest of the boot
if [[ ! -f $kdir/vmlinux ]]; then
	/usr/bin/python3 - "$kdir/boot/vmlinuz-$kver" "$kdir/vmlinux" <<'PY'
import lzma, sys
data = open(sys.argv[1], 'rb').read()
start = data.find(b'\xfd7zXZ\x00')
if start < 0:
    sys.exit('no xz payload in ' + sys.argv[1])
elf = lzma.LZMADecompressor().decompress(data[start:])
if elf[:4] != b'\x7fELF':
    sys.exit('payload is not an ELF kernel')
open(sys.argv[2], 'wb').write(elf)
PY
fi
cp "$kdir/vmlinux" "$cache/vmlinux"

# headers and our module
hdr=$cache/headers-$kver
if [[ ! -f $hdr/.done ]]; then
	rm -rf "$hdr"; mkdir -p "$hdr"
	for p in linux-headers-$kver linux-headers-$kabi-common linux-kbuild-$kmaj; do dpkg -x "$(deb "$p")" "$hdr"; done
	sed -i "s|/usr/src/|$hdr/usr/src/|" "$hdr/usr/src/linux-headers-$kver/Makefile"
	touch "$hdr/.done"
fi
mod=$cache/module
rm -rf "$mod"; mkdir -p "$mod"
cp "$here/module/board.c" "$mod/"
echo 'obj-m := board.o' > "$mod/Kbuild"
make -s -C "$hdr/usr/src/linux-headers-$kver" M="$mod" modules 2>&1 | grep -v 'Skipping BTF' >&2 || true
[[ -f $mod/board.ko ]] || { log "module build failed"; exit 1; }

# userland
st=$cache/stage
rm -rf "$st" "$cache/pkgs"; mkdir -p "$st" "$cache/pkgs"
for p in busybox-static dash mtd-utils tftpd-hpa pure-ftpd; do dpkg -x "$(deb "$p")" "$cache/pkgs"; done
mkdir -p "$st"/{usr/bin,usr/sbin,usr/lib/x86_64-linux-gnu,usr/lib64,usr/lib/board/mtd,etc/board/fail,proc,sys,dev,tmp,var,root,mnt,srv}
for l in bin sbin lib lib64; do ln -s usr/$l "$st/$l"; done
cp "$cache/pkgs/bin/busybox" "$st/usr/bin/busybox.real"
for a in $("$st/usr/bin/busybox.real" --list-full); do
	case ${a##*/} in flashcp|flash_eraseall|flash_lock|flash_unlock|busybox) continue ;; esac
	t=$st/usr/$(echo "$a" | sed -E 's#^(usr/)?##')
	[[ -e $t || -L $t ]] || ln -s /usr/bin/busybox.real "$t"
done
# /bin/sh is dash: busybox's shell runs its own applets before anything on
# PATH, which would hide stand-ins such as mt from system() and scripts
cp "$cache/pkgs/bin/dash" "$st/usr/bin/dash"
ln -sf dash "$st/usr/bin/sh"
# mtd-utils: only the tools the device has besides the updater's own applets
for t in nanddump ubiattach ubidetach ubimkvol ubirmvol ubiupdatevol ubiformat ubinfo mtdinfo; do
	cp "$cache/pkgs/usr/sbin/$t" "$st/usr/sbin/$t"
done
cp "$cache/pkgs/usr/sbin/nandwrite" "$st/usr/lib/board/mtd/nandwrite"
cp "$cache/pkgs/usr/sbin/in.tftpd" "$cache/pkgs/usr/sbin/pure-ftpd" "$st/usr/sbin/"
# the device-tool stand-ins
for t in nandwrite nandwrite_mboot; do install -m755 "$here/guest/tools/$t" "$st/usr/sbin/$t"; done
for t in flash_tool loadtools mmcwrite mt; do install -m755 "$here/guest/tools/$t" "$st/usr/bin/$t"; done
install -m755 "$here/guest/tools/flash-sum" "$st/usr/bin/flash-sum"
install -m755 "$here/guest/tools/busybox" "$st/usr/bin/busybox"
install -m755 "$here/guest/tools/board-freeze" "$st/usr/bin/board-freeze"
for t in stub-record keep-file reboot write-range; do install -m755 "$here/guest/tools/$t" "$st/usr/lib/board/$t"; done
install -m755 "$here/guest/init" "$st/init"

copy_libs() { # copy_libs STAGE ELF...: the shared libraries the programs need
	local stage=$1; shift
	ldd "$@" 2>/dev/null | awk '/=> \// {print $3} /^\t\/lib64\// {print $1}' | sort -u | while read -r lib; do
		if [[ $lib == */ld-linux-x86-64.so.2 ]]; then
			cp -L "$lib" "$stage/usr/lib64/ld-linux-x86-64.so.2"
		else
			cp -L "$lib" "$stage/usr/lib/x86_64-linux-gnu/${lib##*/}"
		fi
	done
	if ldd "$@" 2>/dev/null | grep -q 'not found'; then
		log "missing libraries: $(ldd "$@" | grep 'not found' | sort -u | tr '\n' ' ')"
		return 1
	fi
}
copy_libs "$st" "$st/usr/bin/dash" "$st"/usr/sbin/{nanddump,ubiattach,ubimkvol,ubiupdatevol,ubiformat,mtdinfo,in.tftpd,pure-ftpd} "$st/usr/lib/board/mtd/nandwrite"

# kernel modules the board loads, with what they need
mdir=$st/lib/modules/$kver
mkdir -p "$mdir/kernel" "$mdir/extra"
for m in drivers/mtd/nand/raw/nandsim drivers/mtd/devices/mtdram drivers/mtd/maps/physmap \
	drivers/mtd/chips/cfi_probe drivers/mtd/chips/cfi_cmdset_0001 drivers/mtd/ubi/ubi fs/ubifs/ubifs \
	fs/9p/9p net/9p/9pnet_virtio drivers/virtio/virtio_pci; do
	grep "^kernel/$m.ko:" "$kdir/lib/modules/$kver/modules.dep" | tr -d ':' | tr ' ' '\n'
done | sort -u | while read -r k; do
	mkdir -p "$mdir/$(dirname "$k")"
	cp "$kdir/lib/modules/$kver/$k" "$mdir/$k"
done
cp "$mod/board.ko" "$mdir/extra/"
cp "$kdir/lib/modules/$kver"/modules.{order,builtin,builtin.modinfo} "$mdir/" 2>/dev/null || true
depmod -b "$st" "$kver"

# accounts and name service for the servers
pw=$(openssl passwd -6 board)
cat > "$st/etc/passwd" <<PW
root:x:0:0:root:/root:/bin/sh
board:x:1000:1000:ftp user:/srv/tftp:/bin/sh
PW
printf 'root::19000:0:99999:7:::\nboard:%s:19000:0:99999:7:::\n' "$pw" > "$st/etc/shadow"
chmod 600 "$st/etc/shadow"
printf 'root:x:0:\nboard:x:1000:\n' > "$st/etc/group"
printf '/bin/sh\n' > "$st/etc/shells"
printf 'passwd: files\ngroup: files\nshadow: files\nhosts: files\n' > "$st/etc/nsswitch.conf"
printf '127.0.0.1 localhost board\n' > "$st/etc/hosts"
echo board > "$st/etc/hostname"

(cd "$st" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$cache/base.cpio.new"
mv "$cache/base.cpio.new" "$cache/base.cpio"
rm -rf "$kdir/boot" "$kdir/lib" "$kdir/usr" "$st" "$cache/pkgs"
echo "$inputs" > "$cache/base.key"
log "board image ready ($(du -h "$cache/base.cpio" | cut -f1))"
echo "$cache/vmlinux"
echo "$cache/base.cpio"
