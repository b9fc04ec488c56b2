#!/bin/bash
# Verify throughput of update-pack on one 100 MiB package, next to cksum and
# next to a plain byte-wise table loop over the same file (one warm-cache run
# each, best of three). Usage: bench/verify_throughput.sh [BUILD_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
pack=$build/bin/update-pack
[[ -x $pack ]] || { echo "build update-pack first (scripts/build.sh release)" >&2; exit 1; }
work=$(mktemp -d "$build/bench-verify-XXXXXX")
trap 'rm -rf "$work"' EXIT

cc -O2 -o "$work/crc_loop" "$src/bench/crc_loop.c"
head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/payload.img"
"$pack" create "$work/Program.bin" --pub R1234 --board BENCH --image kernel="$work/payload.img"
rm -f "$work/payload.img"
size=$(stat -c %s "$work/Program.bin")
cat "$work/Program.bin" >/dev/null   # warm the page cache

best() {  # best wall time of three runs, in seconds
  local best=""
  for _ in 1 2 3; do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    best=$(echo "$t1 $t0 ${best:-999999}" | awk '{d = $1 - $2; print (d < $3 ? d : $3)}')
  done
  echo "$best"
}
report() { awk -v n="$1" -v s="$2" -v b="$size" 'BEGIN {printf "%-28s %8.3f s %9.1f MiB/s\n", n, s, b / s / 1048576}'; }

# The loop must compute what the package head holds, or the comparison is void.
head_crc=$(head -c 256 "$work/Program.bin" | tr -d '\0' | awk -F'$' '{print $4}')
loop_crc=$("$work/crc_loop" "$work/Program.bin")
[[ $head_crc == "$loop_crc" ]] || { echo "crc_loop disagrees: $loop_crc vs head $head_crc" >&2; exit 1; }

echo "package: $size bytes"
report "update-pack verify" "$(best "$pack" verify "$work/Program.bin")"
report "plain byte-wise table loop" "$(best "$work/crc_loop" "$work/Program.bin")"
report "cksum" "$(best cksum "$work/Program.bin")"
