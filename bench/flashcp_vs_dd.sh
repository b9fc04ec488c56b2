#!/bin/bash
# Benchmark, not a test: flashcp against dd for a 16 MiB range on the simulated
# board's NAND. Usage: bench/flashcp_vs_dd.sh [UPDATE_BINARY]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-${UPDATE_BIN:-$root/build/release/bin/update}}
out=$root/build/bench-flashcp
"$root/board/run.sh" --update "$bin" --out "$out" --timeout 1200 "$root/bench/guest_flashcp_vs_dd.sh"
rc=$?
cat "$out/stdout"
exit $rc
