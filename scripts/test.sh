#!/bin/bash
# The whole test suite, from nothing: installs what it needs, builds the
# release and the AddressSanitizer builds, runs every test in both, and runs
# every test that needs no board under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
rc=0
for preset in release asan; do
  echo "== $preset"
  bash scripts/build.sh "$preset"
  ctest --preset "$preset" "$@" || rc=1
done
# Everything but the board under ThreadSanitizer: the unit tests start the
# worker and the watch in-process, the system tests run the TSan-built updater
# (a race report there turns into a wrong exit status).
echo "== tsan"
bash scripts/build.sh tsan
ctest --preset tsan -LE board "$@" || rc=1
exit $rc
