#!/bin/bash
# The whole test suite, from nothing: installs what it needs, builds the
# release and the AddressSanitizer builds, runs every test in both, and runs
# the session's worker and watch under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
rc=0
for preset in release asan; do
  echo "== $preset"
  bash scripts/build.sh "$preset"
  ctest --preset "$preset" "$@" || rc=1
done
# The session's worker and watch under ThreadSanitizer.
echo "== tsan"
if [[ ! -f build/tsan/build.ninja ]]; then cmake --preset tsan >/dev/null; fi
cmake --build --preset tsan --target update_unit_test | grep -vE '^\[[0-9]+/[0-9]+\] ' || true
ctest --preset tsan -R '^Session\.' || rc=1
exit $rc
