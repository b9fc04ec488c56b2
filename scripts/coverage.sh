#!/bin/bash
# Line coverage of the code by the host tests (the board tests run the
# updater inside the guest, where no coverage data is written), per folder.
#   bash scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -LE board "$@" >/dev/null || true
for dir in update package flash fetch custom applets include tools; do
  gcovr --root . --object-directory build/coverage --filter "$dir/" --exclude-throw-branches 2>/dev/null |
    awk -v d="$dir" '/^TOTAL/ {printf "%-9s %6s lines %s\n", d, $2, $4}'
done
gcovr --root . --object-directory build/coverage --filter 'update/|package/|flash/|fetch/|custom/|applets/|include/' 2>/dev/null |
  awk '/^TOTAL/ {printf "%-9s %6s lines %s\n", "all", $2, $4}'
