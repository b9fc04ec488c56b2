#!/bin/bash
# Benchmarks of the updater: never tests, nothing here asserts or fails on a
# figure. Builds the release configuration in build/bench, measures each
# figure next to its reference in the same run and prints one table.
#
#   bash bench/run.sh               host and board figures (about three minutes)
#   BENCH_BOARD=0 bash bench/run.sh host figures only
#
# Every figure is taken over several runs, each run of the figure next to a
# run of its reference (A B A B ...), so that a busy moment of the shared
# machine hits both. The table gives the ratio of the medians and the ratio
# of the best times, and for each target "met in N of M runs": the runs
# (pairs) in which the figure met it. A run whose command failed (or whose
# reference failed) is left out of every figure and listed under the table.
#
# Figures and their references:
#   verify     update-pack verify (the updater's package CRC loop) against a
#              bare byte-wise table loop in C (-O2) over the same 96 MiB file,
#              twelve pairs, user+sys time (and wall time)
#   signed     update-pack verify --key of the same file signed (checksum,
#              SHA-512 and Ed25519 in the one pass the device makes) against
#              the checksum-only verify, twelve pairs, user+sys time
#   -v         200 pairs of `update -v` in the host sandbox, which gives it a
#              /program/.version and a /proc/board_type (the report's normal
#              path), against a C program making only the two popen("cat ...")
#              the report must make; wall time
#   nand       `update -local DIR all -wait` of a 68 MiB package (kernel,
#              program, web plug-in) on the simulated board against the same
#              flash_eraseall and nandwrite command lines (taken from the
#              update's log) run by hand right after, three rounds; each round
#              split into the phases the run goes through (below)
#   cloud      `update -mycloud URL all -wait` of the same package from the
#              board's own HTTP server, two rounds: phases and peak memory
#   flashcp    `update flashcp` of 32 MiB on the NAND against dd write + dd
#              read-back of the same range (8 KiB transfers; dd's erase is not
#              timed), eleven rounds
#   rss        peak VmHWM of the updater's processes in each update run on the
#              board, read by a preloaded library at each process's exit and
#              before the updater replaces itself (execv)
#   size       stripped binaries (x86-64, and aarch64 when build/aarch64 has one)
#
# Phases of an update run, from the preloaded library's trace of the run
# (process starts and ends, the worker's sleeps, the package reads, the
# download file) on the board's clock:
#   fetch          the download file open to its close (cloud only)
#   daemon pause   the one-second sleep after stopping the device's daemons,
#                  which the design fixes
#   checksum       the read of the whole package for its CRC (the design's;
#                  its reference is the bare loop over the same file)
#   flash work     first flash tool start to last flash tool end
#   watch end      last flash tool end to the updater's exit: the slave step,
#                  the record, and the watch loop's once-a-second look
#   other          everything else before the flash work: relocation, the
#                  instance check, reading and checking the head, the daemon
#                  stop commands, the applet runner copy, the housekeeping.
#                  This is the implementation's own overhead; the table gives
#                  it against the flash work.
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
# ab N CMD_A... -- CMD_B...: runs A then B, N times; one line per run:
# "A|B ROUND STATUS WALL_S CPU_S" (cpu: user+sys of the command and its
# children, from wait4; status 128+N for signal N)
cat > "$work/ab.c" <<'EOF'
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
static void run(char tag, int round, char **cmd)
{
	double t0 = now();
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open("/dev/null", O_WRONLY);
		dup2(fd, 1);
		dup2(fd, 2);
		execvp(cmd[0], cmd);
		_exit(127);
	}
	int st = 0;
	struct rusage ru;
	if (pid < 0 || wait4(pid, &st, 0, &ru) != pid) {
		printf("%c %d 255 0 0\n", tag, round);
		return;
	}
	double t = now() - t0;
	double c = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
	printf("%c %d %d %.6f %.6f\n", tag, round, WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), t, c);
}
int main(int argc, char **argv)
{
	char **b = NULL;
	for (int i = 2; i < argc; i++)
		if (strcmp(argv[i], "--") == 0) {
			argv[i] = NULL;
			b = argv + i + 1;
			break;
		}
	int n = argc > 2 ? atoi(argv[1]) : 0;
	if (n <= 0 || b == NULL || b[0] == NULL || argv[2] == NULL)
		return 2;
	for (int i = 1; i <= n; i++) {
		run('A', i, argv + 2);
		run('B', i, b);
	}
	return 0;
}
EOF
# ab output -> "MEDIAN_A MEDIAN_B BEST_A BEST_B MET PAIRS DISCARDED" over the
# pairs where both ran well; col 4 wall, 5 cpu; a pair meets the target when
# A/B <= limit (mode ratio) or A <= limit (mode abs)
cat > "$work/ab.awk" <<'EOF'
function sort(x, n,   i, j, t) { for (i = 2; i <= n; i++) for (j = i; j > 1 && x[j - 1] > x[j]; j--) { t = x[j]; x[j] = x[j - 1]; x[j - 1] = t } }
function median(x, n) { return n % 2 ? x[(n + 1) / 2] : (x[n / 2] + x[n / 2 + 1]) / 2 }
$3 != 0 { bad[$2] = 1; gone = gone sprintf(" %s run %d (status %d)", $1 == "A" ? what : what " reference", $2, $3); next }
{ v[$1, $2] = $col; last = $2 > last ? $2 : last }
END {
	for (i = 1; i <= last; i++)
		if (!bad[i] && ((("A", i) in v)) && ((("B", i) in v))) {
			m++; a[m] = v["A", i]; b[m] = v["B", i]
			met += mode == "ratio" ? a[m] <= limit * b[m] : a[m] <= limit
		}
	sort(a, m); sort(b, m)
	printf "%.6f %.6f %.6f %.6f %d %d%s\n", median(a, m), median(b, m), a[1], b[1], met, m, gone == "" ? " none" : gone
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
# preloaded into every process of the board's update runs; appends to
# $BENCH_TRACE, with times on the clock of /proc/uptime:
#   proc START END VmHWM_KiB EXE CMDLINE   at exit, and before the updater
#                                          replaces itself by execv
#   sleep START END SECONDS main|worker    every sleep() and the thread
#   pkg START END BYTES PATH               a read-only open of a *Program.bin
#                                          to its close, bytes read
#   fetch START END                        a *Program.bin opened for writing
#                                          by stdio (the download) to fclose
cat > "$work/trace.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#define NEXT(name) static __typeof__(name) *next_##name; if (next_##name == NULL) next_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)
static double start, pkg_start, fetch_start;
static int pkg_fd = -1;
static long long pkg_bytes;
static char pkg_path[200];
static FILE *fetch_fp;
static double now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_BOOTTIME, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}
static void emit(const char *fmt, ...)
{
	const char *out = getenv("BENCH_TRACE");
	char line[600];
	va_list ap;
	if (out == NULL)
		return;
	va_start(ap, fmt);
	int len = vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	int fd = (int)syscall(SYS_openat, AT_FDCWD, out, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0) {
		(void)!write(fd, line, len < (int)sizeof(line) ? (size_t)len : sizeof(line) - 1);
		syscall(SYS_close, fd);
	}
}
static ssize_t slurp(const char *path, char *buf, size_t len)
{
	int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY);
	ssize_t n = fd < 0 ? -1 : (ssize_t)syscall(SYS_read, fd, buf, len - 1);
	if (fd >= 0)
		syscall(SYS_close, fd);
	buf[n > 0 ? n : 0] = 0;
	return n;
}
static int is_pkg(const char *path)
{
	size_t n = path ? strlen(path) : 0;
	return n >= 11 && strcmp(path + n - 11, "Program.bin") == 0;
}
__attribute__((constructor)) static void begin(void) { start = now(); }
__attribute__((destructor)) static void report(void)
{
	char exe[256] = "?", st[4096], cmd[200];
	ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
	exe[n > 0 ? n : 1] = 0;
	slurp("/proc/self/status", st, sizeof(st));
	n = slurp("/proc/self/cmdline", cmd, sizeof(cmd));
	for (ssize_t i = 0; i < n - 1; i++)
		cmd[i] = cmd[i] ? cmd[i] : ' ';
	char *p = strstr(st, "VmHWM:");
	emit("proc %.3f %.3f %ld %s %s\n", start, now(), p ? strtol(p + 6, NULL, 10) : 0L, exe, cmd);
}
int execv(const char *path, char *const argv[])
{
	NEXT(execv);
	report();
	return next_execv(path, argv);
}
static int track_open(int fd, const char *path, int flags)
{
	if (fd >= 0 && (flags & O_ACCMODE) == O_RDONLY && is_pkg(path)) {
		pkg_fd = fd;
		pkg_bytes = 0;
		pkg_start = now();
		snprintf(pkg_path, sizeof(pkg_path), "%s", path);
	}
	return fd;
}
int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = va_arg(ap, mode_t);
	va_end(ap);
	NEXT(open);
	return track_open(next_open(path, flags, mode), path, flags);
}
int open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = va_arg(ap, mode_t);
	va_end(ap);
	NEXT(open64);
	return track_open(next_open64(path, flags, mode), path, flags);
}
ssize_t read(int fd, void *buf, size_t len)
{
	NEXT(read);
	ssize_t n = next_read(fd, buf, len);
	if (fd == pkg_fd && n > 0)
		pkg_bytes += n;
	return n;
}
int close(int fd)
{
	if (fd >= 0 && fd == pkg_fd) {
		emit("pkg %.3f %.3f %lld %s\n", pkg_start, now(), pkg_bytes, pkg_path);
		pkg_fd = -1;
	}
	NEXT(close);
	return next_close(fd);
}
unsigned sleep(unsigned sec)
{
	double t = now();
	NEXT(sleep);
	unsigned left = next_sleep(sec);
	emit("sleep %.3f %.3f %u %s\n", t, now(), sec, syscall(SYS_gettid) == getpid() ? "main" : "worker");
	return left;
}
static FILE *track_fopen(FILE *fp, const char *path, const char *mode)
{
	if (fp != NULL && mode[0] != 'r' && is_pkg(path) && fetch_fp == NULL) {
		fetch_fp = fp;
		fetch_start = now();
	}
	return fp;
}
FILE *fopen(const char *path, const char *mode)
{
	NEXT(fopen);
	return track_fopen(next_fopen(path, mode), path, mode);
}
FILE *fopen64(const char *path, const char *mode)
{
	NEXT(fopen64);
	return track_fopen(next_fopen64(path, mode), path, mode);
}
int fclose(FILE *fp)
{
	if (fp != NULL && fp == fetch_fp) {
		emit("fetch %.3f %.3f\n", fetch_start, now());
		fetch_fp = NULL;
	}
	NEXT(fclose);
	return next_fclose(fp);
}
EOF
cc -O2 -o "$work/crc_loop" "$work/crc_loop.c"
cc -O2 -o "$work/ab" "$work/ab.c"
cc -O2 -o "$work/popen2" "$work/popen2.c"
cc -O2 -shared -fPIC -o "$work/trace.so" "$work/trace.c" -ldl
# ab_stats FILE COL MODE LIMIT WHAT: ab.awk over FILE
ab_stats() { awk -v col="$2" -v mode="$3" -v limit="$4" -v what="$5" -f "$work/ab.awk" "$1"; }

# ---------------------------------------------------------------- package verify
head -c $((96 * 1024 * 1024)) /dev/urandom > "$work/payload.img"
"$bin/update-pack" create "$work/verify.bin" --pub R1234 --board BENCH --image kernel="$work/payload.img" >/dev/null
rm -f "$work/payload.img"
head_crc=$(head -c 256 "$work/verify.bin" | tr -d '\0' | awk -F'$' '{print $4}')
loop_crc=$("$work/crc_loop" "$work/verify.bin")
[[ $head_crc == "$loop_crc" ]] || echo "warning: the bare loop computes $loop_crc, the head holds $head_crc" >&2
cat "$work/verify.bin" > /dev/null
"$work/ab" 12 "$bin/update-pack" verify "$work/verify.bin" -- "$work/crc_loop" "$work/verify.bin" > "$work/verify.ab"
verify_mib=$(awk -v s="$(stat -c %s "$work/verify.bin")" 'BEGIN {printf "%.0f", (s - 4096) / 1048576}')
# The signed package's one pass (checksum and SHA-512, then Ed25519) against
# the checksum-only pass over the same file.
openssl genpkey -algorithm ed25519 -out "$work/bench.key" && openssl pkey -in "$work/bench.key" -pubout -out "$work/bench.pem"
cp "$work/verify.bin" "$work/signed.bin" && "$bin/update-pack" sign "$work/signed.bin" --key "$work/bench.key" >/dev/null
"$work/ab" 12 "$bin/update-pack" verify "$work/signed.bin" --key "$work/bench.pem" -- \
	"$bin/update-pack" verify "$work/verify.bin" > "$work/signed.ab"
rm -f "$work/verify.bin" "$work/signed.bin"

# ---------------------------------------------------------------- update -v
# In the host sandbox: the version file and the board files the report reads.
vdir=$work/version-sandbox
mkdir -p "$vdir/program" "$vdir/proc"
printf 'PUB:R1234\nNEW:R1234\nINN:BENCH-1\nBUILD:2024-01-01 10:00:00\n' > "$vdir/program/.version"
echo BENCH-BOARD > "$vdir/proc/board_type" && echo V060 > "$vdir/proc/uboot_rev"
v_ok=0
if [[ $(id -u) == 0 ]] && tests/sandbox/sandbox.sh "$vdir" -- "$bin/update" -v > "$work/v.out" 2>&1 &&
	grep -q '^Board type: BENCH-BOARD' "$work/v.out"; then
	tests/sandbox/sandbox.sh "$vdir" -- "$work/ab" 200 "$bin/update" -v -- "$work/popen2" > "$work/v.ab" && v_ok=1
fi
((v_ok)) || echo "update -v: no sandbox run (needs root), or its report lacks the board type: $(head -3 "$work/v.out" 2>/dev/null)" >&2

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
# Inside the board. Prints "KEY ROUND STATUS VALUES..." lines (seconds, KiB).
UPD=/usr/bin/update DEV=/dev/mtd5 LEN=$((32 * 1024 * 1024))
cd /scratch || exit 1
now() { read -r t _ < /proc/uptime; echo "$t"; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.2f", b - a}'; }
# flashcp against dd write + read-back of the same range, back to back
dd if=/dev/urandom of=src bs=1048576 count=$((LEN / 1048576)) 2>/dev/null
for r in 1 2 3 4 5 6 7 8 9 10 11; do
	t=$(now); "$UPD" flashcp -l $LEN -o 0 src $DEV >/dev/null; rc=$?; fc=$(since "$t")
	"$UPD" flash_eraseall $DEV >/dev/null
	t=$(now); dd if=src of=$DEV bs=8192 2>/dev/null || rc=dd; w=$(since "$t")
	t=$(now); dd if=$DEV of=back bs=8192 count=$((LEN / 8192)) 2>/dev/null; rd=$(since "$t")
	cmp -s src back || rc=read-back
	rm -f back
	echo "flashcp $r $rc $fc $(awk -v a="$w" -v b="$rd" 'BEGIN {print a + b}') $((LEN / 1048576))"
done
rm -f src
# the bare CRC loop over the package, the checksum phase's reference
t=$(now); /root/crc_loop /root/Program.bin > /dev/null; echo "crc 1 $? $(since "$t")"
# phases T0 T1 < trace: "fetch pause checksum other flash watch-end" (see bench/run.sh)
phases() {
	awk -v t0="$1" -v t1="$2" '
	$1 == "proc" && $0 ~ /flash_eraseall|flashcp|nandwrite|ubiupdatevol|mmcwrite/ {
		if (fs == "" || $2 < fs) fs = $2; if ($3 > fe) fe = $3 }
	$1 == "sleep" && $5 == "worker" { s[++ns] = $2; d[ns] = $3 - $2 }
	$1 == "pkg" && $4 > bytes { bytes = $4; crc = $3 - $2 }
	$1 == "fetch" { if (f0 == "" || $2 < f0) f0 = $2; if ($3 > f1) f1 = $3 }
	END {
		if (fs == "") { print "- - - - - -"; exit }
		for (i = 1; i <= ns; i++) if (s[i] < fs && pause == "") pause = d[i]
		fetch = f0 == "" ? 0 : f1 - f0
		printf "%.2f %.2f %.2f %.2f %.2f %.2f", fetch, pause, crc, fs - t0 - fetch - pause - crc, fe - fs, t1 - fe
	}' trace
}
# peak KIND ROUND < trace: the highest VmHWM of the updater's processes
peak() {
	awk -v k="$1" -v r="$2" '$1 == "proc" && $5 ~ /\/update$|memupdate$|\/tmp\/busybox$/ && $4 > p {p = $4; e = $5}
		END {if (p) print "rss", r, 0, k, p, e}' trace
}
# whole update against its own flash commands by hand, back to back
mkdir -p /root/pkg /root/www && mv /root/Program.bin /root/pkg/Program.bin && ln /root/pkg/Program.bin /root/www/Program.bin
cp /root/pkg/Program.bin /root/pkg.keep
export BENCH_TRACE=/scratch/trace
for r in 1 2 3; do
	[ -f /root/pkg/Program.bin ] || cp /root/pkg.keep /root/pkg/Program.bin
	: > /var/log/update.log; : > trace
	t=$(now); LD_PRELOAD=/root/trace.so "$UPD" -local /root/pkg all -wait > update.out 2>&1; rc=$?; e=$(now)
	[ $rc = 0 ] || tail -3 update.out
	[ -f /root/pkg/Program.bin ] || cp /root/pkg.keep /root/pkg/Program.bin
	split=$(phases "$t" "$e"); peak local $r; cp trace "$BOARD_OUT/trace.local.$r"
	grep -o '/[a-z/]*busybox flash_eraseall .*\|/usr/sbin/nandwrite .*' /var/log/update.log > cmds
	m=0 hrc=0
	while read -r c; do
		h=$(now); $c > /dev/null 2>&1 || hrc=$?; m=$(awk -v a="$m" -v b="$(since "$h")" 'BEGIN {print a + b}')
	done < cmds
	[ -s cmds ] || hrc=no-commands
	[ $rc = 0 ] && rc=$hrc
	echo "update $r $rc $(awk -v a="$t" -v b="$e" 'BEGIN {printf "%.2f", b - a}') $m $split"
done
echo "calls 0 0 $(tr '\n' ';' < cmds)"
# the same update from the board's HTTP server: the case that loads libcurl
busybox.real httpd -p 127.0.0.1:8080 -h /root/www
for r in 1 2; do
	: > trace
	t=$(now); LD_PRELOAD=/root/trace.so "$UPD" -mycloud http://127.0.0.1:8080/Program.bin all -wait > cloud.out 2>&1
	rc=$?; e=$(now)
	[ $rc = 0 ] || tail -3 cloud.out
	echo "cloud $r $rc $(awk -v a="$t" -v b="$e" 'BEGIN {printf "%.2f", b - a}') - $(phases "$t" "$e")"; peak cloud $r
	cp trace "$BOARD_OUT/trace.cloud.$r"
done
GUEST
	nice bash board/run.sh --update "$bin/update" --out "$build/board" --timeout 1500 --version-file "$work/version" \
		--put "$work/Program.bin:/root/Program.bin" --put "$work/trace.so:/root/trace.so" \
		--put "$work/crc_loop:/root/crc_loop" "$work/guest.sh" ||
		echo "board run ended with status $? (see $build/board/console.log)" >&2
	rm -f "$work/Program.bin"
	cp "$build/board/stdout" "$work/guest.out" 2>/dev/null || : > "$work/guest.out"
	grep -Ev '^(flashcp|crc|update|cloud|calls|rss) ' "$work/guest.out" >&2 || true
fi

# ---------------------------------------------------------------- table
# rounds KEY: the board's rounds of KEY whose status is 0, "ROUND VALUES..."
rounds() { awk -v k="$1" '$1 == k && $3 == "0" {$1 = ""; $3 = ""; print}' "$work/guest.out" 2>/dev/null; }
# discarded KEY: the rounds of KEY that failed, as " KEY round N (status S)"
discarded() { awk -v k="$1" '$1 == k && $3 != "0" {printf " %s round %s (status %s)", k, $2, $3}' "$work/guest.out" 2>/dev/null; }
# col_stats COL [DIVCOL]: over stdin, "MEDIAN BEST COUNT" of column COL (or of COL/DIVCOL)
col_stats() {
	awk -v c="$1" -v dc="${2:-0}" '$c != "-" {x[++n] = dc ? ($dc > 0 ? $c / $dc : 0) : $c}
		END {for (i = 2; i <= n; i++) for (j = i; j > 1 && x[j - 1] > x[j]; j--) {t = x[j]; x[j] = x[j - 1]; x[j - 1] = t}
			if (n) printf "%.3f %.3f %d\n", n % 2 ? x[(n + 1) / 2] : (x[n / 2] + x[n / 2 + 1]) / 2, x[1], n; else print "- - 0"}'
}
# met COL OP LIMIT [DIVCOL]: over stdin, "N of M" rounds with COL (or COL/DIVCOL) OP LIMIT
met() {
	awk -v c="$1" -v op="$2" -v l="$3" -v dc="${4:-0}" '{v = dc ? $c / $dc : $c; m++; n += op == "<=" ? v <= l : v >= l}
		END {printf "%d of %d", n, m}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a == "" || b == "" || a == "-" || b == "-" || b == 0) print "n/a"; else printf "%.2f", a / b}'; }
ms() { awk -v s="$1" 'BEGIN {printf "%.1f", s * 1e3}'; }
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
printf 'machine: %s, %s cores, kernel %s, %s, load average %s\n' "$cpu" "$(nproc)" "$(uname -r)" \
	"$(date -u '+%Y-%m-%d %H:%M UTC')" "$(cut -d' ' -f1-3 /proc/loadavg)"
row() { printf '| %-36s | %-10s | %-6s | %-5s | %-44s | %-40s |\n' "$@"; }
row figure "target met" "median" "best" "value (median; best)" "reference (median; best)"
row "$(printf -- '-%.0s' {1..36})" "----------" "------" "-----" "$(printf -- '-%.0s' {1..44})" "$(printf -- '-%.0s' {1..40})"
gone=""
read -r vam vbm vab vbb vmet vn vgone < <(ab_stats "$work/verify.ab" 5 ratio 1.05 verify)
[[ $vgone == none ]] || gone+=" $vgone"
row "package verify, cpu (<= 1.05x)" "$vmet of $vn" "$(ratio "$vam" "$vbm")" "$(ratio "$vab" "$vbb")" \
	"$(awk -v a="$vam" -v b="$vab" -v m="$verify_mib" 'BEGIN {printf "%.3f; %.3f s user+sys, %d MiB", a, b, m}')" \
	"$(printf 'bare loop %.3f; %.3f s' "$vbm" "$vbb")"
read -r wam wbm wab wbb _ < <(ab_stats "$work/verify.ab" 4 ratio 1.05 verify)
row "package verify, wall" "-" "$(ratio "$wam" "$wbm")" "$(ratio "$wab" "$wbb")" "$(printf '%.3f; %.3f s' "$wam" "$wab")" \
	"$(printf 'bare loop %.3f; %.3f s' "$wbm" "$wbb")"
read -r sam sbm sab sbb smet sn sgone < <(ab_stats "$work/signed.ab" 5 ratio 2.00 signed)
[[ $sgone == none ]] || gone+=" $sgone"
row "signed verify, cpu (<= 2.00x)" "$smet of $sn" "$(ratio "$sam" "$sbm")" "$(ratio "$sab" "$sbb")" \
	"$(printf '%.3f; %.3f s user+sys' "$sam" "$sab")" "$(printf 'checksum only %.3f; %.3f s' "$sbm" "$sbb")"
if [[ $board == 1 ]]; then
	# update rounds: ROUND TOTAL HAND FETCH PAUSE CRC OTHER FLASH END
	read -r um ub un < <(rounds update | col_stats 2)
	read -r hm hb _ < <(rounds update | col_stats 3)
	row "NAND update (<= 1.10x by hand)" "$(rounds update | met 2 '<=' 1.10 3)" "$(ratio "$um" "$hm")" "$(ratio "$ub" "$hb")" \
		"$um; $ub s update -local all -wait" "$hm; $hb s its erase+nandwrite by hand"
	read -r crcm _ < <(rounds crc | col_stats 2)
	for kind in update cloud; do
		[[ $kind == update ]] && label="local" || label="cloud (HTTP)"
		read -r om ob _ < <(rounds $kind | col_stats 7 8)
		read -r tm tb tn < <(rounds $kind | col_stats 2)
		row "$label update, phases" "-" "-" "-" "total $tm; $tb s ($tn runs)" ""
		names=(fetch "daemon pause (design: 1 s)" "package checksum" "other (own overhead)" "flash work" "watch end (design: <= 1 s)")
		for i in 0 1 2 3 4 5; do
			read -r pm pb _ < <(rounds $kind | col_stats $((i + 4)))
			ref="" r1=- r2=-
			case $i in
			0) [[ $kind == update ]] && ref="none: a local package" ;;
			2) ref="bare CRC loop on the board $crcm s" r1=$(ratio "$pm" "$crcm") ;;
			3) ref="ratio: own overhead / flash work, highest $(rounds $kind |
				awk '$8 > 0 && $7 / $8 > x {x = $7 / $8} END {printf "%.2f", x}')" r1=$(ratio "$om" 1) r2=$(ratio "$ob" 1) ;;
			4) [[ $kind == update ]] && ref="by hand $hm; $hb s" r1=$(ratio "$pm" "$hm") ;;
			esac
			row "  ${names[$i]}" "-" "$r1" "$r2" "$pm; $pb s" "$ref"
		done
	done
	read -r fcm fcb _ < <(rounds flashcp | col_stats 2)
	read -r ddm ddb _ < <(rounds flashcp | col_stats 3)
	mib=$(rounds flashcp | awk '{print $4; exit}')
	row "flashcp throughput (>= 0.80x dd)" "$(rounds flashcp | met 3 '>=' 0.80 2)" "$(ratio "$ddm" "$fcm")" "$(ratio "$ddb" "$fcb")" \
		"$(awk -v s="$fcm" -v b="$fcb" -v m="$mib" 'BEGIN {printf "%.2f; %.2f s, %.1f MiB/s (%d MiB)", s, b, m / s, m}')" \
		"$(awk -v s="$ddm" -v b="$ddb" -v m="$mib" 'BEGIN {printf "dd w+r %.2f; %.2f s, %.1f MiB/s", s, b, m / s}')"
	for kind in local cloud; do
		runs=$(awk -v k=$kind '$1 == "rss" && $4 == k' "$work/guest.out")
		peak=$(awk '$5 > p {p = $5; e = $6} END {if (p) print p, e}' <<< "$runs")
		row "peak RSS, $kind update (<= 4096 KiB)" "$(awk '{n += $5 <= 4096; m++} END {printf "%d of %d", n, m}' <<< "$runs")" \
			"$(ratio "${peak%% *}" 4096)" "-" "highest ${peak%% *} KiB VmHWM (${peak#* })" "limit 4096 KiB"
	done
	gone+="$(discarded flashcp)$(discarded update)$(discarded cloud)$(discarded crc)"
fi
if ((v_ok)); then
	read -r am bm ab bb vmet vn vgone < <(ab_stats "$work/v.ab" 4 abs 0.015 "update -v")
	[[ $vgone == none ]] || gone+=" $vgone"
	row "update -v (<= 15 ms)" "$vmet of $vn" "$(ratio "$am" "$bm")" "$(ratio "$ab" "$bb")" "$(ms "$am"); $(ms "$ab") ms" \
		"$(ms "$bm"); $(ms "$bb") ms: its two popen cats"
fi
row "stripped size x86-64" "-" "-" "-" "$size_x86 bytes" ""
row "stripped size aarch64" "-" "-" "-" "$size_arm$([[ $size_arm == n/a ]] || echo ' bytes')" \
	"$([[ $size_arm == n/a ]] && echo 'build/aarch64/bin/update missing')"
echo "discarded runs:${gone:- none}"
