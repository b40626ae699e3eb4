#!/usr/bin/env bash
# grevolt-probe against the stand-in game: attaches (with and without a
# process table), prints the positions the game moves through, and fails
# clearly without a game or with bad arguments.
set -uo pipefail
. "$(dirname "$0")/../../../tests/support/init.sh"
probe="$BUILD_DIR/bin/grevolt-probe"
game="$BUILD_DIR/bin/GREVOLT.exe"
plugin="$BUILD_DIR/lib/libgrevolt.so"
for f in "$probe" "$game" "$plugin"; do
  [ -x "$f" ] || [ -f "$f" ] || setup_failed "$f is not built"
done
work=$(mktemp -d)
game_pid=
cleanup() {
  [ -n "$game_pid" ] && kill "$game_pid" 2>/dev/null && wait "$game_pid" 2>/dev/null
  rm -rf "$work"
}
at_exit cleanup
# A failed check ends the test, with what the programs printed.
fail_stop() { fail "$*"; for f in "$work"/*; do echo "--- $f"; cat "$f"; done; finish; }

# Usage errors: status 2 and a hint on standard error.
for args in "" "--bogus $plugin" "--seconds x $plugin" "$plugin extra" "$plugin --" \
            "--pid x $plugin" "--pid 0 $plugin" "--pid -5 $plugin" "--pid 4294967296 $plugin" \
            "--map --pid 5 $plugin"; do
  "$probe" $args >"$work/out" 2>"$work/err"
  status=$?
  [ $status -eq 2 ] || fail_stop "'$args' gave status $status, expected 2"
  grep -q "^grevolt-probe: .*" "$work/err" || fail_stop "'$args': no message"
  grep -q "Try 'grevolt-probe --help'" "$work/err" || fail_stop "'$args': no hint"
  [ -s "$work/out" ] && fail_stop "'$args' wrote to standard output"
done
"$probe" --help >"$work/help" || fail_stop "--help failed"
grep -q "check that the plug-in" "$work/help" || fail_stop "--help does not say what the probe is for"

# Not a plug-in.
"$probe" --timeout 0 /nonexistent.so >"$work/out" 2>"$work/err" && fail_stop "loaded a missing file"
grep -q "^grevolt-probe: cannot load" "$work/err" || fail_stop "no load error"

# No game running: the time-out passes and the probe says so.
"$probe" --timeout 0.3 --seconds 0 "$plugin" >"$work/out" 2>"$work/err"
[ $? -eq 1 ] || fail_stop "attached without a game"
grep -q "did not attach to the game within the time-out" "$work/err" || fail_stop "no time-out message"
grep -q 'description "Battlefield 1942 v1.61b", short name "Battlefield 1942"' "$work/out" \
  || fail_stop "records not printed"
grep -q 'long description: "Supports Battlefield 1942 v1.61b. No identity or context support yet."' \
  "$work/out" || fail_stop "long description not printed"

# A moving game started beside the probe (it allows readers of the same user).
"$game" --exit-after 30 >"$work/game" &
game_pid=$!
for _ in $(seq 50); do grep -q ready "$work/game" && break; sleep 0.1; done
grep -q ready "$work/game" || fail_stop "game did not start"

for mode in "" "--map"; do
  "$probe" $mode --seconds 1 "$plugin" >"$work/out" 2>"$work/err" || fail_stop "probe $mode failed"
  grep -q "^attached after" "$work/out" || fail_stop "probe $mode: no attach line"
  [ "$mode" = "--map" ] && { grep -q "with a table of [0-9]* processes" "$work/out" || fail_stop "no table"; }
  lines=$(grep -c " position " "$work/out")
  [ "$lines" -ge 40 ] || fail_stop "probe $mode printed only $lines positions in one second"
  distinct=$(grep " position " "$work/out" | awk '{print $3}' | sort -u | wc -l)
  [ "$distinct" -ge 5 ] || fail_stop "probe $mode: the position did not move ($distinct values)"
  grep -q "top     0.000     1.000     0.000" "$work/out" || fail_stop "probe $mode: wrong top vector"
  grep -q "^unlocked after" "$work/out" || fail_stop "probe $mode: no unlock"
done
# A chosen process: the game attaches, a process that is not the game does not.
"$probe" --pid "$game_pid" --seconds 0.2 "$plugin" >"$work/out" 2>"$work/err" || fail_stop "probe --pid failed"
grep -q "with a table naming process $game_pid\$" "$work/out" || fail_stop "probe --pid: no attach line"
"$probe" --pid $$ --timeout 0.3 --seconds 0 "$plugin" >"$work/out" 2>"$work/err" \
  && fail_stop "probe --pid attached to a process that is not the game"

# The probe starting the game as its own child reads that game, not the moving
# one beside it (which has the lower process ID, so is found first).
"$probe" --seconds 0.5 "$plugin" -- "$game" --still >"$work/out" 2>"$work/err" \
  || fail_stop "probe with a game command failed"
grep -q "^attached after .* to the game the probe started" "$work/out" || fail_stop "no child attach line"
positions=$(grep -E "^ *[0-9.]+ position " "$work/out" | awk '{print $3, $4, $5}' | sort -u)
[ "$positions" = "140.000 20.000 -300.000" ] || fail_stop "launched game not read alone: $positions"
kill "$game_pid"; wait "$game_pid" 2>/dev/null; game_pid=
echo "grevolt-probe: all checks passed"
