# A PostgreSQL cluster for an end-to-end test (sourced, after init.sh).
#   start_postgres        starts a fresh cluster (tests/support/pg-cluster.sh);
#                         sets PG_DIR, PG_CONNINFO (host, port, user; add
#                         dbname=NAME) and exports PGPASSFILE, so that every
#                         process of the test logs in with the cluster's
#                         password and none is ever given it otherwise.
#                         PostgreSQL not installed: the test is skipped
#                         (exit 77); a failed start: setup broke (exit 99).
#   pg_createdb NAME      a new empty database; prints its connection info
#   pg_stop, pg_crash, pg_restart   stop fast / stop as a power cut would /
#                         start again, on the same socket
#   pg_password           the cluster's password (to check no output shows it)
# The cluster is stopped and removed when the shell exits, whatever happens:
# the EXIT trap is extended, not replaced.
PG_CLUSTER="$SOURCE_DIR/tests/support/pg-cluster.sh"
PG_DIR=
PG_CONNINFO=

start_postgres() {
  [ -z "$PG_DIR" ] || { echo "setup: start_postgres called twice" >&2; exit 99; }
  local dir
  dir=$(mktemp -u "${TMPDIR:-/tmp}/ostrel-pg.XXXXXX") || exit 99
  local status=0
  PG_CONNINFO=$(bash "$PG_CLUSTER" start "$dir") || status=$?
  # Whatever the outcome, what was made is removed at exit.
  PG_DIR=$dir
  case $status in
    0) ;;
    77) echo "skipped: PostgreSQL is not installed" >&2; exit 77 ;;
    *) echo "setup: PostgreSQL did not start" >&2; exit 99 ;;
  esac
  PG_CONNINFO=${PG_CONNINFO% dbname=postgres}
  export PGPASSFILE="$dir/passfile"
}

pg_createdb() {
  bash "$PG_CLUSTER" createdb "$PG_DIR" "$1" || exit 99
  echo "$PG_CONNINFO dbname=$1"
}

pg_stop() { bash "$PG_CLUSTER" stop "$PG_DIR" || exit 99; }
pg_crash() { bash "$PG_CLUSTER" crash "$PG_DIR" || exit 99; }
pg_restart() { bash "$PG_CLUSTER" restart "$PG_DIR" || exit 99; }
pg_password() { bash "$PG_CLUSTER" password "$PG_DIR"; }

cleanup_postgres() {
  [ -n "$PG_DIR" ] && bash "$PG_CLUSTER" remove "$PG_DIR"
  PG_DIR=
}

trap 'cleanup_postgres; '"$(trap -p EXIT | sed -e "s/^trap -- '//" -e "s/' EXIT\$//")" EXIT
