#!/bin/bash
# The updater's main job on the simulated board: boots the board with the
# current build inside and runs the updater there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
work=build/release/demo
rm -rf "$work" && mkdir -p "$work"
cat > "$work/version" <<'VER'
PUB:V2.3.1.2
NEW:V2.3.1.2
INN:V2.3.1.2.210618
BUILD:2021-06-18 10:15:00
VER
cat > "$work/demo.sh" <<'SCRIPT'
set -x
update -h
update -v
update -i
SCRIPT
bash board/run.sh --update "$PWD/build/release/bin/update" --version-file "$work/version" \
  --out "$work/out" "$work/demo.sh"
cat "$work/out/stdout"
