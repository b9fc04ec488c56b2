#!/bin/bash
# The program's main job on the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
bin=build/release/bin/update
echo "\$ update -h"; "$bin" -h
echo "\$ update -v"; "$bin" -v || true
