#!/usr/bin/env bash
# Starts the compatibility layer once for the whole test run and keeps its
# server running until wine_stop.sh, or a minute after the last client.  The
# 64-bit prefix lives in the build tree and is only updated (slow only the
# first time); the 32-bit one is made afresh in a temporary directory.
set -uo pipefail
. "$(dirname "$0")/wine_env.sh" "$@"
start=$(date +%s)
if [ "$WIN_ARCH" = i686 ]; then
  if [ -n "${WINEPREFIX:-}" ]; then  # left by a run that did not stop
    wineserver -k 2>/dev/null
    case "$WINEPREFIX" in */grevolt-wine32-*) rm -rf "$WINEPREFIX" ;; esac
  fi
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/grevolt-wine32-XXXXXX") || setup_failed "mktemp"
  export WINEPREFIX
  echo "$WINEPREFIX" >"$WINE32_PREFIX_RECORD"
else
  mkdir -p "$WINEPREFIX"
fi
# Keep the server of this prefix alive for the other tests of the run; one
# left from a run a moment ago is still persistent and serves as well.
wineserver -p60 2>/dev/null
timeout 300 wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || setup_failed "the $WIN_ARCH compatibility layer did not start (status $status)"
echo "$WIN_ARCH compatibility layer ready in $(( $(date +%s) - start )) s (prefix $WINEPREFIX)"
