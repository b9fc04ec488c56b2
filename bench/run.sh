#!/bin/bash
# Benchmarks of the updater: never tests, nothing here asserts or fails on a
# figure. Builds the release configuration in build/bench, measures each
# figure next to its reference in the same run and prints one table.
#
#   bash bench/run.sh               host and board figures (a few minutes)
#   BENCH_BOARD=0 bash bench/run.sh host figures only
#
# Figures and their references:
#   verify     update-pack verify (the updater's package CRC loop) against a
#              bare byte-wise table loop in C (-O2) over the same 96 MiB file:
#              best user+sys time (the machine is shared; wall time is shown too)
#   nand       `update -local DIR all -wait` of a 68 MiB package (kernel,
#              program, web plug-in) on the simulated board against the same
#              flash_eraseall and nandwrite command lines (taken from the
#              update's log) run by hand right after, both timed in the guest;
#              the round with the median ratio of three
#   flashcp    `update flashcp` of 32 MiB on the NAND against dd write + dd
#              read-back of the same range (8 KiB transfers; dd's erase is not
#              timed); the round with the median ratio of eleven
#   rss        peak VmHWM of the updater's processes during a whole update on
#              the board, read by a preloaded library at each process's exit and
#              before the updater replaces itself (execv)
#   -v         mean wall time of 200 `update -v` on the host, against a C
#              program making only the two popen("cat ...") the report must make
#   size       stripped binaries (x86-64, and aarch64 when build/aarch64 has one)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
work=$build/run
board=${BENCH_BOARD:-1}
cd "$root"

if [[ ! -f $build/build.ninja ]]; then
	cmake --preset release -B "$build" >/dev/null
fi
nice cmake --build "$build" -j2 --target update update-pack >/dev/null
rm -rf "$work" && mkdir -p "$work"
bin=$build/bin

# ---------------------------------------------------------------- helpers (C)
# The reference loop: the package CRC (MSB first, polynomial 0x04C11DB7) over
# everything from offset 4096, one table lookup per byte, 256 KiB reads.
cat > "$work/crc_loop.c" <<'EOF'
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>
int main(int argc, char **argv)
{
	static uint32_t table[256];
	static uint8_t buf[0x40000];
	for (uint32_t i = 0; i < 256; i++) {
		uint32_t c = i << 24;
		for (int b = 0; b < 8; b++)
			c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
		table[i] = c;
	}
	int fd = argc == 2 ? open(argv[1], O_RDONLY) : -1;
	if (fd < 0 || lseek(fd, 4096, SEEK_SET) < 0)
		return 1;
	uint32_t crc = 0xFFFFFFFFu;
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		for (ssize_t i = 0; i < n; i++)
			crc = (crc << 8) ^ table[(crc >> 24) ^ buf[i]];
	printf("%u\n", crc);
	return n < 0;
}
EOF
# runs a command N times: "best_wall_s mean_wall_s best_cpu_s" (cpu: user+sys
# of the command and its children, from wait4)
cat > "$work/runs.c" <<'EOF'
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
static double now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}
int main(int argc, char **argv)
{
	int n = argc > 2 ? atoi(argv[1]) : 0;
	double best = 1e9, sum = 0, cpu = 1e9;
	for (int i = 0; i < n; i++) {
		double t0 = now();
		pid_t pid = fork();
		if (pid == 0) {
			int fd = open("/dev/null", O_WRONLY);
			dup2(fd, 1);
			dup2(fd, 2);
			execvp(argv[2], argv + 2);
			_exit(127);
		}
		int st;
		struct rusage ru;
		if (pid < 0 || wait4(pid, &st, 0, &ru) != pid)
			return 1;
		double t = now() - t0;
		double c = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
		best = t < best ? t : best;
		cpu = c < cpu ? c : cpu;
		sum += t;
	}
	printf("%.6f %.6f %.6f\n", best, sum / n, cpu);
	return 0;
}
EOF
# what the version report cannot do without: read two kernel files through
# popen("cat ..."), as the report does
cat > "$work/popen2.c" <<'EOF'
#include <stdio.h>
int main(void)
{
	const char *cmd[] = {"cat /proc/board_type", "cat /proc/uboot_rev"};
	char line[128];
	for (int i = 0; i < 2; i++) {
		FILE *p = popen(cmd[i], "r");
		if (p != NULL) {
			if (fgets(line, sizeof(line), p) == NULL)
				line[0] = 0;
			pclose(p);
		}
	}
	return 0;
}
EOF
# preloaded into every process of the board's update runs: at exit, and
# before the updater replaces itself by execv, appends
# "START END VmHWM_KiB EXE CMDLINE" (times on the clock of /proc/uptime)
cat > "$work/vmhwm.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
static double start;
static double now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_BOOTTIME, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}
static ssize_t slurp(const char *path, char *buf, size_t len)
{
	int fd = open(path, O_RDONLY);
	ssize_t n = fd < 0 ? -1 : read(fd, buf, len - 1);
	if (fd >= 0)
		close(fd);
	buf[n > 0 ? n : 0] = 0;
	return n;
}
__attribute__((constructor)) static void begin(void) { start = now(); }
__attribute__((destructor)) static void report(void)
{
	const char *out = getenv("VMHWM_OUT");
	char exe[256] = "?", st[4096], cmd[200], line[600];
	if (out == NULL)
		return;
	ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
	exe[n > 0 ? n : 1] = 0;
	slurp("/proc/self/status", st, sizeof(st));
	n = slurp("/proc/self/cmdline", cmd, sizeof(cmd));
	for (ssize_t i = 0; i < n - 1; i++)
		cmd[i] = cmd[i] ? cmd[i] : ' ';
	char *p = strstr(st, "VmHWM:");
	int len = snprintf(line, sizeof(line), "%.3f %.3f %ld %s %s\n", start, now(), p ? strtol(p + 6, NULL, 10) : 0L,
			   exe, cmd);
	int fd = open(out, O_WRONLY | O_APPEND | O_CREAT, 0644);
	if (fd >= 0) {
		(void)!write(fd, line, (size_t)len);
		close(fd);
	}
}
int execv(const char *path, char *const argv[])
{
	static int (*next)(const char *, char *const[]);
	if (next == NULL)
		next = (int (*)(const char *, char *const[]))dlsym(RTLD_NEXT, "execv");
	report();
	return next(path, argv);
}
EOF
cc -O2 -o "$work/crc_loop" "$work/crc_loop.c"
cc -O2 -o "$work/runs" "$work/runs.c"
cc -O2 -o "$work/popen2" "$work/popen2.c"
cc -O2 -shared -fPIC -o "$work/vmhwm.so" "$work/vmhwm.c" -ldl
runs() { "$work/runs" "$@"; }

# ---------------------------------------------------------------- package verify
head -c $((96 * 1024 * 1024)) /dev/urandom > "$work/payload.img"
"$bin/update-pack" create "$work/verify.bin" --pub R1234 --board BENCH --image kernel="$work/payload.img" >/dev/null
rm -f "$work/payload.img"
head_crc=$(head -c 256 "$work/verify.bin" | tr -d '\0' | awk -F'$' '{print $4}')
loop_crc=$("$work/crc_loop" "$work/verify.bin")
[[ $head_crc == "$loop_crc" ]] || echo "warning: the bare loop computes $loop_crc, the head holds $head_crc" >&2
cat "$work/verify.bin" > /dev/null
pw=9 pc=9 lw=9 lc=9
for _ in 1 2 3 4 5 6; do # interleaved, so that a busy moment hits both sides
	read -r w _ c < <(runs 2 "$bin/update-pack" verify "$work/verify.bin")
	pw=$(awk -v a="$pw" -v b="$w" 'BEGIN {print (b < a ? b : a)}'); pc=$(awk -v a="$pc" -v b="$c" 'BEGIN {print (b < a ? b : a)}')
	read -r w _ c < <(runs 2 "$work/crc_loop" "$work/verify.bin")
	lw=$(awk -v a="$lw" -v b="$w" 'BEGIN {print (b < a ? b : a)}'); lc=$(awk -v a="$lc" -v b="$c" 'BEGIN {print (b < a ? b : a)}')
done
verify_mib=$(awk -v s="$(stat -c %s "$work/verify.bin")" 'BEGIN {printf "%.0f", (s - 4096) / 1048576}')
rm -f "$work/verify.bin"

# ---------------------------------------------------------------- update -v
read -r vbest vmean vcpu < <(runs 200 "$bin/update" -v)
read -r pbest pmean pcpu < <(runs 200 "$work/popen2")

# ---------------------------------------------------------------- sizes
strip -o "$work/update.x86_64" "$bin/update"
size_x86=$(stat -c %s "$work/update.x86_64")
size_arm=n/a
if [[ -f build/aarch64/bin/update ]] && command -v aarch64-linux-gnu-strip >/dev/null; then
	aarch64-linux-gnu-strip -o "$work/update.aarch64" build/aarch64/bin/update
	size_arm=$(stat -c %s "$work/update.aarch64")
fi

# ---------------------------------------------------------------- board
if [[ $board == 1 ]]; then
	mkdir -p "$work/img"
	head -c $((6 * 1024 * 1024)) /dev/urandom > "$work/img/kernel.img"
	head -c $((56 * 1024 * 1024)) /dev/urandom > "$work/img/program.img"
	head -c $((6 * 1024 * 1024)) /dev/urandom > "$work/img/activex.img"
	"$bin/update-pack" create "$work/Program.bin" --inner BENCH-2 --pub R1235 --board DVS-SIM-BOARD \
		--image kernel="$work/img/kernel.img" --image program="$work/img/program.img" \
		--image activex="$work/img/activex.img" >/dev/null
	rm -rf "$work/img"
	printf 'PUB:R1234\nNEW:R1234\nINN:BENCH-1\nBUILD:2024-01-01 10:00:00\n' > "$work/version"
	cat > "$work/guest.sh" <<'GUEST'
#!/bin/sh
# Inside the board. Prints "KEY VALUE" lines (seconds, KiB).
UPD=/usr/bin/update DEV=/dev/mtd5 LEN=$((32 * 1024 * 1024))
cd /scratch || exit 1
now() { read -r t _ < /proc/uptime; echo "$t"; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.2f", b - a}'; }
# flashcp against dd write + read-back of the same range, back to back, eleven rounds
dd if=/dev/urandom of=src bs=1048576 count=$((LEN / 1048576)) 2>/dev/null
for r in 1 2 3 4 5 6 7 8 9 10 11; do
	t=$(now); "$UPD" flashcp -l $LEN -o 0 src $DEV >/dev/null || echo "flashcp failed"; fc=$(since "$t")
	"$UPD" flash_eraseall $DEV >/dev/null
	t=$(now); dd if=src of=$DEV bs=8192 2>/dev/null; w=$(since "$t")
	t=$(now); dd if=$DEV of=back bs=8192 count=$((LEN / 8192)) 2>/dev/null; rd=$(since "$t")
	cmp -s src back || echo "dd read-back differs"
	rm -f back
	echo "flashcp $fc $(awk -v a="$w" -v b="$rd" 'BEGIN {print a + b}') $((LEN / 1048576))"
done
rm -f src
# the bare CRC loop over the package, for the update's breakdown
t=$(now); /root/crc_loop /root/Program.bin > /dev/null; echo "crc $(since "$t")"
# whole update against its own flash commands by hand, back to back, three
# rounds; every process reports its times and peak memory through the preload
mkdir -p /root/pkg && mv /root/Program.bin /root/pkg/Program.bin && cp /root/pkg/Program.bin /root/pkg.keep
export VMHWM_OUT=/scratch/procs
for r in 1 2 3; do
	[ -f /root/pkg/Program.bin ] || cp /root/pkg.keep /root/pkg/Program.bin
	: > /var/log/update.log; : > procs
	t=$(now); LD_PRELOAD=/root/vmhwm.so "$UPD" -local /root/pkg all -wait > update.out 2>&1; rc=$?; e=$(now)
	[ $rc = 0 ] || { echo "update failed: $rc"; tail -5 update.out; }
	[ -f /root/pkg/Program.bin ] || cp /root/pkg.keep /root/pkg/Program.bin
	# before the first erase, the erases and writes, after the last write
	split=$(awk -v t0="$t" -v t1="$e" '
		/ flash_eraseall / && (fs == "" || $1 < fs) {fs = $1}
		/nandwrite/ && $2 > fe {fe = $2}
		END {printf "%.2f %.2f %.2f", fs - t0, fe - fs, t1 - fe}' procs)
	cat procs >> procs.all
	grep -o '/[a-z/]*busybox flash_eraseall .*\|/usr/sbin/nandwrite .*' /var/log/update.log > cmds
	m=0
	while read -r c; do
		h=$(now); LD_PRELOAD=/root/vmhwm.so $c > /dev/null 2>&1 || echo "by hand failed: $c"; m=$(awk -v a="$m" -v b="$(since "$h")" 'BEGIN {print a + b}')
	done < cmds
	echo "update $(awk -v a="$t" -v b="$e" 'BEGIN {printf "%.2f", b - a}') $m $split"
	# every process: round, update or hand, start (from the update's start), duration, command line
	awk -v r=$r -v t="$t" -v e="$e" '{
		printf "proc %d %s %.2f %.2f", r, $1 < e ? "update" : "hand", $1 - t, $2 - $1
		for (i = 5; i <= NF; i++) printf " %s", $i; print ""}' procs
done
echo "calls $(tr '\n' ';' < cmds)"
awk '$4 ~ /\/update$|memupdate$|\/tmp\/busybox$/ && $3 > p[$4] {p[$4] = $3} END {for (e in p) print "rss " e " " p[e]}' procs.all
GUEST
	nice bash board/run.sh --update "$bin/update" --out "$build/board" --timeout 1200 --version-file "$work/version" \
		--put "$work/Program.bin:/root/Program.bin" --put "$work/vmhwm.so:/root/vmhwm.so" \
		--put "$work/crc_loop:/root/crc_loop" "$work/guest.sh" ||
		echo "board run ended with status $? (see $build/board/console.log)" >&2
	rm -f "$work/Program.bin"
	cp "$build/board/stdout" "$work/guest.out" 2>/dev/null || : > "$work/guest.out"
	grep -Ev '^(flashcp|crc|update|calls|rss|proc) ' "$work/guest.out" >&2 || true
fi
g() { awk -v k="$1" '$1 == k {$1 = ""; print substr($0, 2); exit}' "$work/guest.out" 2>/dev/null; }
# the round (line KEY FIGURE REFERENCE ...) whose FIGURE/REFERENCE is the median
median_round() {
	awk -v k="$1" '$1 == k && $3 > 0 {$1 = ""; print $2 / $3, substr($0, 2)}' "$work/guest.out" 2>/dev/null |
		sort -g | awk '{l[NR] = $0} END {if (NR) print l[int((NR + 1) / 2)]}' | cut -d' ' -f2-
}

# ---------------------------------------------------------------- table
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
printf 'machine: %s, %s cores, kernel %s, %s\n' "$cpu" "$(nproc)" "$(uname -r)" "$(date -u '+%Y-%m-%d %H:%M UTC')"
row() { printf '| %-38s | %-5s | %-46s | %-44s |\n' "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a == "" || b == "" || b == 0) print "n/a"; else printf "%.2f", a / b}'; }
row figure ratio "value" "reference"
row "$(printf -- '-%.0s' {1..38})" "-----" "$(printf -- '-%.0s' {1..46})" "$(printf -- '-%.0s' {1..44})"
row "package verify, cpu (target <= 1.05)" "$(ratio "$pc" "$lc")" \
	"$(awk -v s="$pc" -v m="$verify_mib" 'BEGIN {printf "%.3f s user+sys, %.0f MiB/s (%d MiB)", s, m / s, m}')" \
	"$(awk -v s="$lc" -v m="$verify_mib" 'BEGIN {printf "bare loop %.3f s, %.0f MiB/s", s, m / s}')"
row "package verify, wall" "$(ratio "$pw" "$lw")" "$(printf '%.3f s' "$pw")" "$(printf 'bare loop %.3f s' "$lw")"
if [[ $board == 1 ]]; then
	read -r u h pre phase post _ <<< "$(median_round update) - - - - -"
	read -r fc dd mib _ <<< "$(median_round flashcp) - - -"
	row "NAND update (target <= 1.10)" "$(ratio "$u" "$h")" "$u s update -local all -wait" \
		"$h s its erase+nandwrite by hand"
	row "  its erase+write phase" "$(ratio "$phase" "$h")" \
		"$phase s; before it $pre s, after it $post s" "bare CRC of the package on the board $(g crc) s"
	row "flashcp throughput (target >= 0.80)" "$(ratio "$dd" "$fc")" \
		"$(awk -v s="$fc" -v m="$mib" 'BEGIN {printf "%.2f s, %.1f MiB/s (%d MiB)", s, m / s, m}')" \
		"$(awk -v s="$dd" -v m="$mib" 'BEGIN {printf "dd w+r %.2f s, %.1f MiB/s", s, m / s}')"
	peak=$(awk '$1 == "rss" && $3 > p {p = $3; n = $2} END {if (p) print p, n}' "$work/guest.out")
	row "peak RSS of an update (<= 4096 KiB)" "$(ratio "${peak%% *}" 4096)" "${peak%% *} KiB VmHWM (${peak#* })" "limit 4096 KiB"
fi
row "update -v, mean of 200 (<= 15 ms)" "$(ratio "$vmean" "$pmean")" \
	"$(awk -v s="$vmean" -v b="$vbest" -v c="$vcpu" 'BEGIN {printf "%.1f ms (best %.1f, cpu %.1f)", s * 1e3, b * 1e3, c * 1e3}')" \
	"$(awk -v s="$pmean" -v b="$pbest" -v c="$pcpu" 'BEGIN {printf "%.1f ms (%.1f, %.1f): its two popen cats", s * 1e3, b * 1e3, c * 1e3}')"
row "stripped size x86-64" "-" "$size_x86 bytes" ""
row "stripped size aarch64" "-" "$size_arm$([[ $size_arm == n/a ]] || echo ' bytes')" \
	"$([[ $size_arm == n/a ]] && echo 'build/aarch64/bin/update missing')"
