#!/bin/bash
# Installs every Debian package listed in scripts/deps/*.txt (or in the list
# files given) that is missing. Quiet and quick when everything is already there.
# A package of another architecture (NAME:arm64) adds that architecture first.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
(($#)) || set -- "$here"/deps/*.txt
mapfile -t wanted < <(cat "$@" | sed 's/#.*//' | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  # The servers the tests start themselves (tftpd) must not be
  # started as services by their packages: that would take the host's ports.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && own_policy=1
  fi
  trap '((own_policy)) && rm -f "$policy"' EXIT
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
