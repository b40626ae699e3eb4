#!/usr/bin/env bash
# The way Linux players use the plug-in: the Linux build attaches to the game
# running under the compatibility layer (process "GREVOLT.exe", image mapped
# at 0x400000; arch=i686 runs the 32-bit game, as the real one is) and reads
# the values the Windows build reads from the same game, but nothing the game
# has made unreadable.  The Linux probe
# starts the game as its own child, so it may read the game's memory under
# any ptrace restriction.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
need_prefix
work=$(mktemp -d)
linux_probe=
at_exit '[ -n "$linux_probe" ] && kill "$linux_probe" 2>/dev/null; rm -rf "$work"'
# A failed check ends the test, with what the programs printed.
fail_stop() { fail "($WIN_ARCH) $*"; for f in "$work"/*; do echo "--- $f"; cat "$f"; done; finish; }

for mode in "" "--map"; do
  "$BUILD_DIR/bin/grevolt-probe" $mode --timeout 60 --seconds 1 "$BUILD_DIR/lib/libgrevolt.so" \
    -- wine "$WIN_BIN/GREVOLT.exe" --exit-after 60 >"$work/out" 2>"$work/err" \
    || fail_stop "the Linux plug-in did not attach to the game under the compatibility layer ($mode)"
  grep -q "GREVOLT.exe ready" "$work/out" || fail_stop "the game did not start"
  grep -q "^attached after" "$work/out" || fail_stop "no attach line ($mode)"
  distinct=$(grep "$FETCH_LINE" "$work/out" | awk '{print $3 $5}' | sort -u | wc -l)
  [ "$distinct" -ge 5 ] || fail_stop "the player did not move ($distinct positions, $mode)"
  grep -q "top     0.000     1.000     0.000" "$work/out" || fail_stop "wrong top vector ($mode)"
  grep -q "^unlocked after" "$work/out" || fail_stop "no unlock ($mode)"
done

# One still game, read by the Linux plug-in and, while that is attached, by
# the Windows one: both print what the game announced.
"$BUILD_DIR/bin/grevolt-probe" --timeout 60 --seconds 6 "$BUILD_DIR/lib/libgrevolt.so" \
  -- wine "$WIN_BIN/GREVOLT.exe" --still --origin 2.5,-7.125,123456 --exit-after 60 \
  >"$work/linux.out" 2>"$work/linux.err" &
linux_probe=$!
wait_for_line "$work/linux.out" "$FETCH_LINE" 60 || fail_stop "the Linux plug-in did not attach"
expected=$(expected_vectors "$(grep "GREVOLT.exe ready" "$work/linux.out")")
(cd "$WIN_BIN" && wine grevolt-probe.exe --seconds 0.3 grevolt.dll) >"$work/windows.out" 2>"$work/windows.err" \
  || fail_stop "the Windows plug-in did not attach to the game the Linux one reads"
wait "$linux_probe" || fail_stop "the Linux probe failed"
linux_probe=
grep -q "(0 failed)" "$work/linux.out" || fail_stop "the Linux plug-in failed to read while the Windows one read"
linux_values=$(grep -m1 "$FETCH_LINE" "$work/linux.out" | cut -c8-)
windows_values=$(grep -m1 "$FETCH_LINE" "$work/windows.out" | tr -d '\r' | cut -c8-)
[ "$linux_values" = "$expected" ] || fail_stop "the Linux plug-in read '$linux_values', the game holds '$expected'"
[ "$windows_values" = "$linux_values" ] \
  || fail_stop "the Windows plug-in read '$windows_values', the Linux one '$linux_values'"
# Memory the game under the layer makes unreadable is not read by the Linux
# plug-in either: the fetch fails from then on, while the game runs.
"$BUILD_DIR/bin/grevolt-probe" --timeout 60 --seconds 3 "$BUILD_DIR/lib/libgrevolt.so" \
  -- wine "$WIN_BIN/GREVOLT.exe" --still --protect-when-file "Z:$work/protect" --exit-after 60 \
  >"$work/protect.out" 2>"$work/protect.err" &
linux_probe=$!
wait_for_count "$work/protect.out" "$FETCH_LINE" 10 60 || fail_stop "the Linux plug-in did not attach"
touch "$work/protect"
wait_for_line "$work/protect.out" "protected" 30 || fail_stop "the game did not protect its memory"
wait "$linux_probe" || fail_stop "the Linux probe failed"
linux_probe=
grep -q "fetch failed" "$work/protect.out" || fail_stop "the Linux plug-in read memory the game made unreadable"
# The probe's own lines are in order (the game's, in the same file, are not).
grep -E "position |fetch failed" "$work/protect.out" | grep -v "ready" | sed -n '/fetch failed/,$p' \
  | grep -q "$FETCH_LINE" && fail_stop "a fetch succeeded after the memory became unreadable"
echo "$WIN_ARCH game under the compatibility layer read by the Linux plug-in: all checks passed"
