#!/usr/bin/env bash
# The 64-bit Windows build under the compatibility layer: the Windows probe
# loads grevolt.dll, attaches to the Windows stand-in game (with and without a
# process table), reads exactly what the game wrote, unlocks, and finds
# nothing where there is no game, a wrongly named one, or an unreadable
# pointer chain.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
work=$(mktemp -d)
game_pid=
stop_game() {
  if [ -n "$game_pid" ]; then kill "$game_pid" 2>/dev/null; wait "$game_pid" 2>/dev/null; fi
  game_pid=
}
trap 'stop_game; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }

# start_game PROGRAM ARGS...: starts a stand-in game and waits for its ready line.
start_game() {
  wine "$@" --exit-after 60 >"$work/game.out" 2>"$work/game.err" &
  game_pid=$!
  wait_for_line "$work/game.out" "ready" 60 || fail "the Windows stand-in game did not start"
}
probe() {
  (cd "$WIN_BIN" && wine grevolt-probe.exe "$@" grevolt.dll) >"$work/probe.out" 2>"$work/probe.err"
}

start_game "$WIN_BIN/GREVOLT.exe" --still --origin -50,7.25,-1000
expected=$(expected_vectors "$(grep ready "$work/game.out")")
for mode in "" "--map"; do
  probe $mode --seconds 0.3 || fail "probe $mode did not attach"
  grep -q '^record 1: magic 0xD63AB7F0, description "Battlefield 1942 v1.61b", short name "Battlefield 1942"' \
    "$work/probe.out" || fail "records wrong"
  grep -q "^attached after" "$work/probe.out" || fail "probe $mode: no attach line"
  grep -qF -- "$expected" "$work/probe.out" || fail "probe $mode: values differ from the game's ($expected)"
  grep -q "^unlocked after [0-9]* fetches (0 failed)" "$work/probe.out" || fail "probe $mode: no clean unlock"
done
stop_game

# Not found: no game, a game under another name, a chain that leads nowhere.
probe --timeout 0.3 --seconds 0 && fail "attached without a game"
grep -q "did not attach" "$work/probe.err" || fail "no time-out message"

mkdir "$work/other"
cp "$WIN_BIN/GREVOLT.exe" "$work/other/grevolt.exe"
cp "$WIN_BIN"/lib*.dll "$work/other/"
start_game "$work/other/grevolt.exe" --still
probe --timeout 0.5 --seconds 0 && fail "attached to a process named grevolt.exe"
stop_game

start_game "$WIN_BIN/GREVOLT.exe" --unreadable-chain
probe --timeout 0.5 --seconds 0 && fail "attached through an unreadable pointer chain"
stop_game
echo "Windows plug-in under the compatibility layer: all checks passed"
