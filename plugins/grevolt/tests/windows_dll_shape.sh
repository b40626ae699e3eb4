#!/usr/bin/env bash
# The cross-built DLLs, the 32-bit shipping one included (it cannot run here):
# exactly the two exports, and imports of nothing but the system's kernel and
# C runtime and the shared C++ runtime.  $1 is the sanitizer flag of the tree.
set -uo pipefail
. "$(dirname "$0")/../../../tests/support/init.sh"
if [ "${1:-}" = "sanitize=ON" ]; then
  skip "the sanitizer build tree does not cross-build the Windows DLLs"
fi
checked=0
for arch in i686 x86_64; do
  dll="$BUILD_DIR/windows/$arch/bin/grevolt.dll"
  objdump=$arch-w64-mingw32-objdump
  if [ ! -f "$dll" ] || ! command -v "$objdump" >/dev/null; then
    echo "note: no $arch build or no $objdump; not checked"
    continue
  fi
  dump=$("$objdump" -p "$dll") || setup_failed "$objdump cannot read $dll"
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[ \t]*\[ *[0-9]+\]/ {print $NF}' | sort)
  if [ "$exports" != "$(printf '%s\n' getBrellanPlugin getBrellanPlugin2)" ]; then
    fail "the $arch DLL's exports" "$(printf '%s\n' getBrellanPlugin getBrellanPlugin2)" "$exports"; finish
  fi
  for import in $(echo "$dump" | sed -n 's/^\s*DLL Name: //p'); do
    case "$import" in
      KERNEL32.dll|msvcrt.dll|libstdc++-6.dll|libgcc_s_dw2-1.dll|libgcc_s_seh-1.dll) ;;
      api-ms-win-crt-*.dll) ;;
      *) fail "the $arch DLL's imports" "the system's kernel and C runtime, the C++ runtime" "$import"; finish ;;
    esac
  done
  echo "$arch grevolt.dll: exports and imports as expected"
  checked=$((checked + 1))
done
if [ $checked -eq 0 ]; then
  skip "no Windows DLL was built (is mingw-w64 installed?)"
fi
