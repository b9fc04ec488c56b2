#!/bin/bash
# install_test.sh CMAKE: the build installed into a staging folder holds the
# updater and the package tool and nothing else, and both run from there.
set -euo pipefail
stage=${UPDATE_BINARY_DIR:?}/install-stage
rm -rf "$stage"
"$1" --install "$UPDATE_BINARY_DIR" --prefix "$stage" > /dev/null
files=$(cd "$stage" && find . ! -type d | sort | tr '\n' ' ')
[[ $files == "./bin/update ./bin/update-pack " ]] || { echo "installed: $files" >&2; exit 1; }
help=$("$stage/bin/update" -h)
[[ ${help%%$'\n'*} == "Update v2.01" ]]
head -c 5000 /dev/urandom > "$stage/k"
"$stage/bin/update-pack" create "$stage/P.bin" --pub R1235 --board NVR-X --image kernel="$stage/k" > /dev/null
"$stage/bin/update-pack" verify "$stage/P.bin" > /dev/null
echo "installed and ran: $files"
