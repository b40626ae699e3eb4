#!/usr/bin/env bash
# The built plug-in exports exactly getBrellanPlugin and getBrellanPlugin2 and
# needs nothing but the C and C++ runtimes (plus the sanitizer runtimes in a
# sanitizer build).
set -euo pipefail
lib="$BUILD_DIR/lib/libgrevolt.so"
[ -f "$lib" ] || { echo "setup: $lib not built"; exit 1; }
command -v nm >/dev/null && command -v readelf >/dev/null || { echo "skip: binutils missing"; exit 77; }

exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtDdBbRrWwVvi]$/ {print $3}' | sort)
expected=$(printf '%s\n' getBrellanPlugin getBrellanPlugin2)
if [ "$exports" != "$expected" ]; then
  echo "FAIL: exported symbols are:"; echo "$exports"
  exit 1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for dep in $needed; do
  case "$dep" in
    libc.so.*|libstdc++.so.*|libm.so.*|libgcc_s.so.*|ld-linux*) ;;
    libasan.so.*|libubsan.so.*) ;;  # only present in the sanitizer build
    *) echo "FAIL: the plug-in needs $dep"; exit 1 ;;
  esac
done
echo "$lib: exports and dependencies as expected ($(echo $needed))"
