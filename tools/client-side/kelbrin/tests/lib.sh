# Shared set-up of kelbrin's end-to-end scripts.  Sourced; expects $BUILD_DIR.
# A broken set-up exits 99 ("setup broke"), a failed check 1, a skip 77.
set -u
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
[ -x "$KELBRIN" ] || { echo "setup: no kelbrin at $KELBRIN"; exit 99; }
export LC_ALL=C.UTF-8
WORK=$(mktemp -d) || exit 99
trap 'rm -rf "$WORK"' EXIT
failures=0

# expect NAME STATUS EXPECTED_STDOUT EXPECTED_STDERR -- COMMAND...
# Runs COMMAND (stdin from $STDIN, default /dev/null) and compares its exit
# status, standard output and standard error exactly.
expect() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  local got_status=0
  "$@" <"${STDIN:-/dev/null}" >"$WORK/out" 2>"$WORK/err" || got_status=$?
  local ok=1
  if [ "$got_status" != "$status" ]; then
    echo "FAIL $name: status $got_status, expected $status"; ok=0
  fi
  if [ "$(cat "$WORK/out"; echo x)" != "$(printf '%s' "$out"; echo x)" ]; then
    echo "FAIL $name: standard output differs:"; diff <(printf '%s' "$out") "$WORK/out"; ok=0
  fi
  if [ "$(cat "$WORK/err"; echo x)" != "$(printf '%s' "$err"; echo x)" ]; then
    echo "FAIL $name: standard error differs:"; diff <(printf '%s' "$err") "$WORK/err"; ok=0
  fi
  [ $ok = 1 ] && echo "ok   $name" || failures=$((failures + 1))
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  exit 0
}
