#!/bin/bash
# Configures (once) and builds one preset: scripts/build.sh [release|debug|asan|tsan|aarch64]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
if [[ ! -f build/$preset/build.ninja ]]; then
  cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset" | grep -vE '^\[[0-9]+/[0-9]+\] ' || true
test "${PIPESTATUS[0]}" -eq 0
