#!/bin/bash
# The updater for the aarch64 device, from a fresh Debian 12 machine as root:
# installs the cross compilers, the emulator and the arm64 libraries that are
# missing, builds the `aarch64` preset and runs its unit tests under emulation.
# Extra arguments go to ctest (e.g. -R Session).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh scripts/deps/aarch64/*.txt
bash scripts/build.sh aarch64
ctest --preset aarch64 -L unit "$@"
