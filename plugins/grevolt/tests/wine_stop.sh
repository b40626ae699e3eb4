#!/usr/bin/env bash
# Stops the server that wine_start.sh left running.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
wineserver -k 2>/dev/null
exit 0
