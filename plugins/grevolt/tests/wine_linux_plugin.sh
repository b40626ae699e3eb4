#!/usr/bin/env bash
# The way Linux players use the plug-in: the Linux build attaches to the game
# running under the compatibility layer (process "GREVOLT.exe", image mapped
# at 0x400000).  The Linux probe starts the game as its own child, so it may
# read the game's memory under any ptrace restriction.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*; do echo "--- $f"; cat "$f"; done; exit 1; }

for mode in "" "--map"; do
  "$BUILD_DIR/bin/grevolt-probe" $mode --timeout 60 --seconds 1 "$BUILD_DIR/lib/libgrevolt.so" \
    -- wine "$WIN_BIN/GREVOLT.exe" --exit-after 60 >"$work/out" 2>"$work/err" \
    || fail "the Linux plug-in did not attach to the game under the compatibility layer ($mode)"
  ready=$(grep "GREVOLT.exe ready" "$work/out") || fail "the game did not start"
  grep -q "^attached after" "$work/out" || fail "no attach line ($mode)"
  distinct=$(grep " position " "$work/out" | awk '{print $3 $5}' | sort -u | wc -l)
  [ "$distinct" -ge 5 ] || fail "the player did not move ($distinct positions, $mode)"
  grep -q "top     0.000     1.000     0.000" "$work/out" || fail "wrong top vector ($mode)"
  grep -q "^unlocked after" "$work/out" || fail "no unlock ($mode)"
done
echo "Linux plug-in with the game under the compatibility layer: all checks passed"
