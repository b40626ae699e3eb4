#!/usr/bin/env bash
# The built plug-in exports exactly getBrellanPlugin and getBrellanPlugin2 and
# needs nothing but the C and C++ runtimes (plus the sanitizer runtimes in a
# sanitizer build).
set -euo pipefail
. "$(dirname "$0")/../../../tests/support/init.sh"
lib="$BUILD_DIR/lib/libgrevolt.so"
[ -f "$lib" ] || setup_failed "$lib is not built"
command -v nm >/dev/null && command -v readelf >/dev/null || skip "binutils missing"

exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtDdBbRrWwVvi]$/ {print $3}' | sort)
expected=$(printf '%s\n' getBrellanPlugin getBrellanPlugin2)
if [ "$exports" != "$expected" ]; then
  fail "the exported symbols" "$expected" "$exports"
  finish
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for dep in $needed; do
  case "$dep" in
    libc.so.*|libstdc++.so.*|libm.so.*|libgcc_s.so.*|ld-linux*) ;;
    libasan.so.*|libubsan.so.*) ;;  # only present in the sanitizer build
    *) fail "the plug-in's dependencies" "the C and C++ runtimes" "it needs $dep"; finish ;;
  esac
done
echo "$lib: exports and dependencies as expected ($(echo $needed))"
