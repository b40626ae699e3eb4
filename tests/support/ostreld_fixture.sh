# A real ostreld on a free loopback port for a test: the one place that knows
# how a test starts the server.  Shell tests source it after init.sh; C++
# tests run it as a program through ostrel_ostreld_fixture.h ("serve" below).
#
#   start_ostreld ROOT [OPTION...]
#       starts ostreld --root ROOT --listen 127.0.0.1:0 OPTION... (without
#       --open, --users or --rules it refuses every request).  The kernel
#       picks the port, so it is free.  ostreld prints its HOST:PORT once it
#       listens; the fixture reads that line (a minute at most) and, for
#       plain http, connects once to see it answer.  Sets OSTRELD_ADDR
#       (HOST:PORT), OSTRELD_PID, OSTRELD_ERR (its standard error, a file of
#       this start's own) and OSTRELD_STDOUT (the rest of its standard output,
#       an access log on '-').  A server that does not come up is a broken
#       setup (exit 99), reported with its standard error.
#   stop_ostreld [PID]
#       SIGTERM to the last server started (or PID), then waits (SIGKILL after
#       a minute); sets OSTRELD_STATUS to its exit status.
# Every server started here is stopped when the shell exits, whatever
# happens.
#
#   bash ostreld_fixture.sh serve ROOT [OPTION...]
#       (with BUILD_DIR in the environment) starts one server as above,
#       prints its HOST:PORT on standard output, and keeps it running until
#       its own standard input ends: the caller holds a pipe, so a caller that
#       dies stops the server too.  Then stops it and exits with the server's
#       exit status, its standard error copied to ours when that is not 0.
#       Exit 99 with "SETUP FAILED: ..." when it does not start.

if [ -z "${SUPPORT_DIR:-}" ]; then
  # Run as a program, or sourced by a test that has not read init.sh yet.
  . "$(dirname "${BASH_SOURCE[0]}")/init.sh"
fi
OSTRELD=${OSTRELD:-$BUILD_DIR/bin/ostreld}
# Requests to the test server never go through a proxy from the environment.
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
OSTRELD_PID=
OSTRELD_ADDR=
OSTRELD_STATUS=
OSTRELD_ERR=
OSTRELD_STDOUT=
OSTRELD_DIR=
_ostreld_pids=()
_ostreld_starts=0

start_ostreld() {
  local root=$1
  shift
  [ -x "$OSTRELD" ] || setup_failed "no ostreld at $OSTRELD"
  if [ -z "$OSTRELD_DIR" ]; then
    OSTRELD_DIR=$(mktemp -d "${TMPDIR:-/tmp}/ostreld-fixture.XXXXXX") || setup_failed "cannot make a directory for ostreld"
  fi
  _ostreld_starts=$((_ostreld_starts + 1))
  local dir=$OSTRELD_DIR n=$_ostreld_starts tls=no arg
  for arg in "$@"; do
    if [ "$arg" = --tls-cert ]; then tls=yes; fi
  done
  OSTRELD_ERR="$dir/stderr.$n"
  OSTRELD_STDOUT="$dir/stdout.$n"
  mkfifo "$dir/out.$n" || setup_failed "cannot make a fifo in $dir"
  "$OSTRELD" --root "$root" --listen 127.0.0.1:0 "$@" >"$dir/out.$n" 2>"$OSTRELD_ERR" &
  OSTRELD_PID=$!
  _ostreld_pids+=("$OSTRELD_PID")
  local fd
  exec {fd}<"$dir/out.$n"
  OSTRELD_ADDR=
  if ! read -r -t 60 OSTRELD_ADDR <&"$fd"; then
    exec {fd}<&-
    stop_ostreld
    setup_failed "ostreld $* did not start (status $OSTRELD_STATUS); its standard error:
$(cat "$OSTRELD_ERR")"
  fi
  # The rest of its output is drained into a file.
  cat <&"$fd" >"$OSTRELD_STDOUT" &
  exec {fd}<&-
  rm -f "$dir/out.$n"
  case $OSTRELD_ADDR in
    127.0.0.1:[0-9]*) ;;
    *)
      stop_ostreld
      setup_failed "ostreld printed '$OSTRELD_ADDR' instead of HOST:PORT; its standard error:
$(cat "$OSTRELD_ERR")" ;;
  esac
  # Over TLS a bare connection would end in a handshake error in the log;
  # the printed line already says the listener is open.
  if [ $tls = no ] && ! (exec {probe}<>"/dev/tcp/127.0.0.1/${OSTRELD_ADDR#*:}") 2>/dev/null; then
    stop_ostreld
    setup_failed "ostreld does not answer at $OSTRELD_ADDR; its standard error:
$(cat "$OSTRELD_ERR")"
  fi
  return 0
}

stop_ostreld() {
  local pid=${1:-$OSTRELD_PID}
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  local waited=0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 600 ]; do
    sleep 0.1; waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  OSTRELD_STATUS=0
  wait "$pid" 2>/dev/null || OSTRELD_STATUS=$?
  if [ "$pid" = "$OSTRELD_PID" ]; then OSTRELD_PID=; fi
  local i
  for i in "${!_ostreld_pids[@]}"; do
    if [ "${_ostreld_pids[i]}" = "$pid" ]; then unset '_ostreld_pids[i]'; fi
  done
  return 0
}

# Stops whatever is still running and removes the fixture's files.
cleanup_ostreld() {
  local pid
  for pid in "${_ostreld_pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  _ostreld_pids=()
  OSTRELD_PID=
  if [ -n "$OSTRELD_DIR" ]; then rm -rf "$OSTRELD_DIR"; fi
  OSTRELD_DIR=
}
at_exit cleanup_ostreld

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ "${1:-}" = serve ] && [ $# -ge 2 ] || setup_failed "usage: ostreld_fixture.sh serve ROOT [OPTION...]"
  shift
  start_ostreld "$@"
  echo "$OSTRELD_ADDR"
  # Until the caller closes our standard input.
  cat >/dev/null
  stop_ostreld
  if [ "$OSTRELD_STATUS" != 0 ]; then cat "$OSTRELD_ERR" >&2; fi
  exit "$OSTRELD_STATUS"
fi
