#!/usr/bin/env bash
# Stops the server that wine_start.sh left running, and removes the 32-bit
# prefix it made.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
[ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
if [ "$WIN_ARCH" = i686 ]; then
  case "${WINEPREFIX:-}" in */grevolt-wine32-*) rm -rf "$WINEPREFIX" ;; esac
  rm -f "$WINE32_PREFIX_RECORD"
fi
exit 0
