#!/usr/bin/env bash
# The cross-built DLLs, the 32-bit shipping one included (it cannot run here):
# exactly the two exports, and imports of nothing but the system's kernel and
# C runtime and the shared C++ runtime.  $1 is the sanitizer flag of the tree.
set -uo pipefail
if [ "${1:-}" = "sanitize=ON" ]; then
  echo "skipped: the sanitizer build tree does not cross-build the Windows DLLs"
  exit 77
fi
checked=0
for arch in i686 x86_64; do
  dll="$BUILD_DIR/windows/$arch/bin/grevolt.dll"
  objdump=$arch-w64-mingw32-objdump
  if [ ! -f "$dll" ] || ! command -v "$objdump" >/dev/null; then
    echo "note: no $arch build or no $objdump; not checked"
    continue
  fi
  dump=$("$objdump" -p "$dll") || { echo "FAIL: cannot read $dll"; exit 1; }
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[ \t]*\[ *[0-9]+\]/ {print $NF}' | sort)
  if [ "$exports" != "$(printf '%s\n' getBrellanPlugin getBrellanPlugin2)" ]; then
    echo "FAIL: $arch DLL exports:"; echo "$exports"; exit 1
  fi
  for import in $(echo "$dump" | sed -n 's/^\s*DLL Name: //p'); do
    case "$import" in
      KERNEL32.dll|msvcrt.dll|libstdc++-6.dll|libgcc_s_dw2-1.dll|libgcc_s_seh-1.dll) ;;
      api-ms-win-crt-*.dll) ;;
      *) echo "FAIL: the $arch DLL imports $import"; exit 1 ;;
    esac
  done
  echo "$arch grevolt.dll: exports and imports as expected"
  checked=$((checked + 1))
done
if [ $checked -eq 0 ]; then
  echo "skipped: no Windows DLL was built (is mingw-w64 installed?)"
  exit 77
fi
