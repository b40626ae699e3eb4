# A real ostreld on a free loopback port, for end-to-end tests (sourced).
#   start_ostreld ROOT [OPTION...]  starts it with ostreld's OPTIONs (without
#                                  --open, --users or --rules it refuses
#                                  every request); sets OSTRELD_ADDR (HOST:PORT) and
#                                  OSTRELD_PID; the server's standard error
#                                  goes to $OSTRELD_ERR.  Exits 99 when it
#                                  does not come up within a minute.
#   stop_ostreld                   SIGTERM, then waits (SIGKILL after a
#                                  minute); sets OSTRELD_STATUS.
# Every server started here is stopped when the shell exits, whatever
# happens: the EXIT trap is extended, not replaced.
OSTRELD="$BUILD_DIR/bin/ostreld"
# Requests to the test server never go through a proxy from the environment.
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
OSTRELD_PID=
OSTRELD_ADDR=
OSTRELD_STATUS=

start_ostreld() {
  local root=$1
  shift
  [ -x "$OSTRELD" ] || { echo "setup: no ostreld at $OSTRELD"; exit 99; }
  # One folder for the fixture's files, whatever the number of starts.
  if [ -z "${OSTRELD_DIR:-}" ]; then
    OSTRELD_DIR=$(mktemp -d "${TMPDIR:-/tmp}/ostreld-fixture.XXXXXX") || exit 99
  fi
  local dir=$OSTRELD_DIR
  OSTRELD_ERR="$dir/stderr"
  mkfifo "$dir/out" || exit 99
  "$OSTRELD" --root "$root" --listen 127.0.0.1:0 "$@" >"$dir/out" 2>"$OSTRELD_ERR" &
  OSTRELD_PID=$!
  exec {OSTRELD_OUT_FD}<"$dir/out"
  if ! read -r -t 60 OSTRELD_ADDR <&"$OSTRELD_OUT_FD"; then
    echo "setup: ostreld did not start:"; cat "$OSTRELD_ERR"; stop_ostreld; exit 99
  fi
  # The rest of its output (an access log on '-') is drained into a file.
  cat <&"$OSTRELD_OUT_FD" >"$dir/stdout" &
  exec {OSTRELD_OUT_FD}<&-
  rm -f "$dir/out"
  OSTRELD_STDOUT="$dir/stdout"
  case $OSTRELD_ADDR in
    127.0.0.1:[0-9]*) ;;
    *) echo "setup: ostreld printed '$OSTRELD_ADDR' instead of HOST:PORT"; stop_ostreld; exit 99 ;;
  esac
}

stop_ostreld() {
  [ -n "$OSTRELD_PID" ] || return 0
  kill -TERM "$OSTRELD_PID" 2>/dev/null
  local waited=0
  while kill -0 "$OSTRELD_PID" 2>/dev/null && [ $waited -lt 600 ]; do
    sleep 0.1; waited=$((waited + 1))
  done
  kill -KILL "$OSTRELD_PID" 2>/dev/null
  OSTRELD_STATUS=0
  wait "$OSTRELD_PID" 2>/dev/null || OSTRELD_STATUS=$?
  OSTRELD_PID=
}

# Removes what start_ostreld left (its output files); called at exit.
cleanup_ostreld() {
  stop_ostreld
  [ -n "${OSTRELD_DIR:-}" ] && rm -rf "$OSTRELD_DIR"
}

trap 'cleanup_ostreld; '"$(trap -p EXIT | sed -e "s/^trap -- '//" -e "s/' EXIT\$//")" EXIT
