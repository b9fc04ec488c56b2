#!/bin/bash
# run_sandboxed.sh NAME GTEST_FILTER
# Runs the fetch test driver in a fresh host sandbox with its own loopback
# network. The device's tftp and ftpget are busybox, reached by name through
# wrappers that note each call's arguments (one per line, "--" after a call).
set -euo pipefail
name=$1
filter=$2
dir=$UPDATE_BINARY_DIR/tests/fetch/sbx-$name
busybox=$(readlink -f "$(command -v busybox)")
rm -rf "$dir"
mkdir -p "$dir/bin" "$dir/journal" "$dir/srv"
for tool in tftp ftpget; do
  cat > "$dir/bin/$tool" <<WRAP
#!/bin/sh
{ for a in "\$@"; do printf '%s\n' "\$a"; done; echo '--'; } >> "$dir/journal/$tool.argv"
exec "$busybox" $tool "\$@"
WRAP
  chmod +x "$dir/bin/$tool"
done
# Whatever a faulty command line writes by relative path stays in the sandbox.
cd "$dir"
exec "$UPDATE_SOURCE_DIR/tests/sandbox/sandbox.sh" --net "$dir" -- \
  "$UPDATE_BINARY_DIR/bin/fetch_sandbox_test" --sandbox-dir="$dir" --gtest_filter="$filter"
