# Shared set-up of the tests that run Windows builds under the compatibility
# layer.  Sourced; the test passes the sanitizer flag of its build tree as $1.
# Skips (exit 77) with a reason where the layer or the cross builds are
# missing.  All tests of one run share one prefix and one server, started by
# wine_start.sh and stopped by wine_stop.sh.
if [ "${1:-}" = "sanitize=ON" ]; then
  echo "skipped: sanitizer build tree; the wine tests run the same cross-built binaries in the plain build"
  exit 77
fi
if ! command -v wine >/dev/null 2>&1 || ! { command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ]; }; then
  echo "skipped: the Windows compatibility layer is not installed (Debian packages wine and wine64)"
  exit 77
fi
WIN_BIN="$BUILD_DIR/windows/x86_64/bin"
if [ ! -f "$WIN_BIN/grevolt.dll" ]; then
  echo "skipped: the 64-bit Windows build is missing ($WIN_BIN); is mingw-w64 installed?"
  exit 77
fi
export WINEPREFIX="$BUILD_DIR/wine-prefix"
export WINEDEBUG=-all
# No .NET or HTML engine: the tests need neither, and their installers slow the first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# wait_for_line FILE PATTERN SECONDS: waits until FILE holds a line matching PATTERN.
wait_for_line() {
  local tries=$(( $3 * 10 ))
  while [ $tries -gt 0 ]; do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

# expected_vectors READY-LINE: the position/front/top text the probe prints
# for the pose in a stand-in game's ready line.
expected_vectors() {
  set -- ${1//$'\r'/}  # the Windows game ends its lines with CR LF
  printf ' position %9.3f %9.3f %9.3f front %9.3f %9.3f %9.3f top %9.3f %9.3f %9.3f' \
    "${6}" "${7}" "${8}" "${10}" "${11}" "${12}" "${14}" "${15}" "${16}"
}
