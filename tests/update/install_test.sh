#!/bin/bash
# install_test.sh CMAKE: the build installed into a staging folder holds the
# updater and the package tool and nothing else, and the updater runs from there.
set -euo pipefail
stage=${UPDATE_BINARY_DIR:?}/install-stage
rm -rf "$stage" && "$1" --install "$UPDATE_BINARY_DIR" --prefix "$stage" > /dev/null
files=$(cd "$stage" && find . ! -type d | sort | tr '\n' ' ')
[[ $files == "./bin/update ./bin/update-pack " ]] || { echo "installed: $files" >&2; exit 1; }
[[ $("$stage/bin/update" -h | sed -n 1p) == "Update v2.01" ]]
