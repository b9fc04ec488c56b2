#!/bin/bash
# The whole test suite, from nothing: installs what it needs, builds the
# release and the AddressSanitizer builds, and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
rc=0
for preset in release asan; do
  echo "== $preset"
  bash scripts/build.sh "$preset"
  ctest --preset "$preset" "$@" || rc=1
done
exit $rc
