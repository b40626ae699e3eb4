#!/usr/bin/env bash
# The positional-audio plug-in: the stand-in game walks its player in a circle;
# grevolt-probe loads the plug-in as the voice-chat client would, attaches to
# the game and prints two seconds of what the plug-in reads from its memory.
set -euo pipefail
game="$BUILD_DIR/bin/GREVOLT.exe"
probe="$BUILD_DIR/bin/grevolt-probe"
plugin="$BUILD_DIR/lib/libgrevolt.so"

echo "Starting the stand-in game ($game) and probing it for two seconds:"
"$game" --exit-after 30 &
game_pid=$!
trap 'kill $game_pid 2>/dev/null || true; wait $game_pid 2>/dev/null || true' EXIT
# Every tenth line is enough to see the player move.
"$probe" --seconds 2 "$plugin" | awk '!/^ *[0-9.]+ position/ || (n++ % 10 == 0)'
