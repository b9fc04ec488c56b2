#!/bin/bash
# Builds the libFuzzer targets in their own build folder and runs each long.
#
#   scripts/fuzz.sh [SECONDS|-runs=N] [TARGET...]
#
# SECONDS (default 600) or N runs per target; TARGET names (args, custom,
# package, progress, version) pick some, default all. FUZZ_BUILD_DIR sets the
# folder (default build/fuzz). Each run's output goes to FOLDER/fuzz/NAME.log,
# its corpus to FOLDER/fuzz/corpus/NAME, a finding to FOLDER/fuzz/NAME-crash-*.
set -uo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
limit=${1:-600}
[[ $# -gt 0 ]] && shift
case $limit in
  -runs=[0-9]*) ;;
  [0-9]*) limit=-max_total_time=$limit ;;
  *) echo "usage: scripts/fuzz.sh [SECONDS|-runs=N] [TARGET...]" >&2; exit 2 ;;
esac
build=${FUZZ_BUILD_DIR:-$top/build/fuzz}

# Two runs on one folder (one target each, say) take turns to build it.
mkdir -p "$build" && exec 9>"$build/.fuzz-build.lock" && flock 9 || exit 1
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON >/dev/null || exit 1
list=$build/fuzz/targets.txt
[[ -s $list ]] || { echo "fuzz.sh: needs clang with libFuzzer (scripts/setup.sh installs it)" >&2; exit 1; }
nice cmake --build "$build" --target fuzz_all -j2 || exit 1
flock -u 9

failed=0
while read -r bin args; do
  name=$(basename "$bin" _fuzz)
  [[ $# -eq 0 || " $* " == *" $name "* ]] || continue
  echo "== $name ($limit)"
  # shellcheck disable=SC2086  # the options are words of their own
  nice "$bin" "$limit" -print_final_stats=1 $args >"$build/fuzz/$name.log" 2>&1
  rc=$?
  grep -E '^Done [0-9]+ runs|^stat::number_of_executed_units|SUMMARY|^==[0-9]+==ERROR|artifact' "$build/fuzz/$name.log"
  if [[ $rc -ne 0 ]]; then
    echo "== $name: FINDING (exit $rc), see $build/fuzz/$name.log"
    failed=1
  fi
done <"$list"
exit $failed
