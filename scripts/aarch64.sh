#!/bin/bash
# The updater for the aarch64 device, from a fresh Debian 12 machine as root:
# installs the cross compilers, the emulator and the arm64 libraries that are
# missing, builds the `aarch64` preset and runs its unit tests under emulation.
# Extra arguments go to ctest (e.g. -R Session).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t wanted < <(sed 's/#.*//' scripts/deps/aarch64/*.txt | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "aarch64: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
  fi
  # No package's service may start on the host while we install.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && own_policy=1
  fi
  trap '((own_policy)) && rm -f "$policy"' EXIT
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [[ ! -f build/aarch64/build.ninja ]]; then
  cmake --preset aarch64 >/dev/null
fi
cmake --build --preset aarch64 | grep -vE '^\[[0-9]+/[0-9]+\] ' || true
test "${PIPESTATUS[0]}" -eq 0
ctest --preset aarch64 -L unit "$@"
