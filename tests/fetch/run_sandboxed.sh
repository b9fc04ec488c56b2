#!/bin/bash
# run_sandboxed.sh NAME GTEST_FILTER: the fetch test driver in a fresh host
# sandbox with its own loopback. The device's tftp and ftpget are busybox,
# wrapped to note each call's arguments (one per line, "--" after a call).
# A filter that matches no test fails (the driver's main says so).
set -euo pipefail
dir=$UPDATE_BINARY_DIR/tests/fetch/sbx-$1
busybox=$(readlink -f "$(command -v busybox)")
rm -rf "$dir" && mkdir -p "$dir/bin"
for tool in tftp ftpget; do
  printf '#!/bin/sh\n{ for a in "$@"; do printf "%%s\\n" "$a"; done; echo --; } >> "%s"\nexec "%s" %s "$@"\n' \
    "$dir/journal/$tool.argv" "$busybox" "$tool" > "$dir/bin/$tool"
  chmod +x "$dir/bin/$tool"
done
# Whatever a faulty command line writes by relative path stays in the sandbox.
cd "$dir"
exec "$UPDATE_SOURCE_DIR/tests/sandbox/sandbox.sh" --net "$dir" -- \
  "$UPDATE_BINARY_DIR/bin/fetch_sandbox_test" --gtest_filter="$2"
