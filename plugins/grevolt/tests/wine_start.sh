#!/usr/bin/env bash
# Starts the compatibility layer once for the whole test run: creates or
# updates the prefix in the build tree (slow only the first time) and keeps
# its server running until wine_stop.sh, or a minute after the last client.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
start=$(date +%s)
mkdir -p "$WINEPREFIX"
# Keep the server of this prefix alive for the other tests of the run; one
# left from a run a moment ago is still persistent and serves as well.
wineserver -p60 2>/dev/null
timeout 300 wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || { echo "setup: the compatibility layer did not start (status $status)"; exit 1; }
echo "compatibility layer ready in $(( $(date +%s) - start )) s (prefix $WINEPREFIX)"
