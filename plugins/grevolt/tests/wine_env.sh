# Shared set-up of the tests that run Windows builds under the compatibility
# layer.  Sourced; the test passes the sanitizer flag of its build tree
# (sanitize=ON|OFF) and the Windows architecture (arch=x86_64, the default,
# or arch=i686, the 32-bit shipping build).  Skips (exit 77) with a reason
# where the layer for that architecture or the cross builds are missing.  All
# tests of one run and architecture share one prefix and one server, started
# by wine_start.sh and stopped by wine_stop.sh.
. "$(dirname "${BASH_SOURCE[0]}")/../../../tests/support/init.sh"
WIN_ARCH=x86_64
for setting in "$@"; do
  case "$setting" in
    sanitize=ON)
      skip "sanitizer build tree; the wine tests run the same cross-built binaries in the plain build" ;;
    arch=i686|arch=x86_64) WIN_ARCH=${setting#arch=} ;;
    sanitize=*) ;;
    *) setup_failed "unknown setting '$setting'" ;;
  esac
done
command -v wine >/dev/null 2>&1 ||
  skip "the Windows compatibility layer is not installed (Debian package wine)"
if [ "$WIN_ARCH" = x86_64 ]; then
  if ! command -v wine64 >/dev/null 2>&1 && [ ! -x /usr/lib/wine/wine64 ]; then
    skip "the 64-bit compatibility layer is not installed (Debian package wine64)"
  fi
  export WINEPREFIX="$BUILD_DIR/wine-prefix"
  unset WINEARCH
  # Debian's `wine` starts the 32-bit loader whenever wine32 is installed,
  # and that loader cannot run where the kernel has no 32-bit x86 support;
  # the 64-bit tests need only the 64-bit loader, so they call it directly.
  if [ -x /usr/lib/wine/wine64 ]; then
    wine_shim="$BUILD_DIR/wine-shim"
    mkdir -p "$wine_shim"
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$wine_shim/wine.new"
    chmod +x "$wine_shim/wine.new" && mv -f "$wine_shim/wine.new" "$wine_shim/wine"
    export PATH="$wine_shim:$PATH" WINELOADER=/usr/lib/wine/wine64
  fi
else
  # Debian's 32-bit layer is the i386 package wine32, which needs the i386
  # architecture added to dpkg (multiarch).
  if [ ! -x /usr/lib/wine/wine ]; then
    if command -v dpkg >/dev/null 2>&1 && ! dpkg --print-foreign-architectures | grep -qx i386 \
       && [ "$(dpkg --print-architecture)" != i386 ]; then
      skip "the i386 architecture is not enabled on this machine, so the 32-bit" \
           "compatibility layer (wine32:i386) cannot be installed; scripts/install-deps adds" \
           "it where dpkg allows"
    else
      skip "the 32-bit compatibility layer is not installed (Debian package wine32:i386)"
    fi
  fi
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "skipped: this machine's kernel does not run 32-bit x86 programs, so the 32-bit" \
         "compatibility layer (wine32:i386) is installed but cannot start"
    exit 77
  fi
  export WINEARCH=win32
  # The 32-bit prefix is made afresh in a temporary directory by wine_start.sh,
  # which leaves its path here.
  WINE32_PREFIX_RECORD="$BUILD_DIR/wine32-prefix.path"
  if [ -f "$WINE32_PREFIX_RECORD" ]; then
    WINEPREFIX=$(cat "$WINE32_PREFIX_RECORD")
    export WINEPREFIX
  else
    unset WINEPREFIX
  fi
fi
WIN_BIN="$BUILD_DIR/windows/$WIN_ARCH/bin"
[ -f "$WIN_BIN/grevolt.dll" ] ||
  skip "the $WIN_ARCH Windows build is missing ($WIN_BIN); is mingw-w64 installed?"
export WINEDEBUG=-all
# No .NET or HTML engine: the tests need neither, and their installers slow the first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# need_prefix: the setup broke when the prefix of this run was not made.
need_prefix() {
  if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX" ]; then
    setup_failed "no $WIN_ARCH prefix; the start test of the compatibility layer did not run"
  fi
}

# A line of the probe with what one fetch delivered (the game's ready line
# names the same vectors).
FETCH_LINE='^ *[0-9][0-9]*\.[0-9]* position '

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

# wait_for_count FILE PATTERN COUNT SECONDS: waits until FILE holds COUNT
# lines matching PATTERN.
wait_for_count() {
  local tries=$(( $4 * 10 )) count
  while [ $tries -gt 0 ]; do
    count=$(grep -c "$2" "$1" 2>/dev/null)
    [ "${count:-0}" -ge "$3" ] && return 0
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
