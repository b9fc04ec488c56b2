#!/bin/bash
# Line coverage of the code by the whole suite, per folder. The board tests
# run the updater inside the guest, which writes its counters straight into
# this build tree (shared at the same path), one board at a time.
#   bash scripts/coverage.sh [--host-only]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -LE board >/dev/null || true
if [[ ${1:-} != --host-only ]]; then
  BOARD_GCOV_DIR=$PWD/build/coverage ctest --preset coverage -L board -j1 >/dev/null || true
fi
for dir in update package flash fetch custom applets include tools; do
  gcovr --root . --object-directory build/coverage --filter "$dir/" --exclude-throw-branches 2>/dev/null |
    awk -v d="$dir" '/^TOTAL/ {printf "%-9s %6s lines %s\n", d, $2, $4}'
done
gcovr --root . --object-directory build/coverage --filter 'update/|package/|flash/|fetch/|custom/|applets/|include/' 2>/dev/null |
  awk '/^TOTAL/ {printf "%-9s %6s lines %s\n", "all", $2, $4}'
