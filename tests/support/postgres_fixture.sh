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
# The cluster is stopped and removed when the shell exits, whatever happens.
PG_CLUSTER="$SUPPORT_DIR/pg-cluster.sh"
PG_DIR=
PG_CONNINFO=

start_postgres() {
  [ -z "$PG_DIR" ] || setup_failed "start_postgres called twice"
  local dir
  dir=$(mktemp -u "${TMPDIR:-/tmp}/ostrel-pg.XXXXXX") || setup_failed "mktemp"
  local status=0
  PG_CONNINFO=$(bash "$PG_CLUSTER" start "$dir") || status=$?
  # Whatever the outcome, what was made is removed at exit.
  PG_DIR=$dir
  case $status in
    0) ;;
    77) skip "PostgreSQL is not installed" ;;
    *) setup_failed "PostgreSQL did not start (pg-cluster.sh's reason is above)" ;;
  esac
  PG_CONNINFO=${PG_CONNINFO% dbname=postgres}
  export PGPASSFILE="$dir/passfile"
}

# In a command substitution the exit ends only that subshell: check its status.
pg_createdb() {
  bash "$PG_CLUSTER" createdb "$PG_DIR" "$1" || setup_failed "cannot create the database $1"
  echo "$PG_CONNINFO dbname=$1"
}

pg_stop() { bash "$PG_CLUSTER" stop "$PG_DIR" || setup_failed "PostgreSQL does not stop"; }
pg_crash() { bash "$PG_CLUSTER" crash "$PG_DIR" || setup_failed "PostgreSQL does not stop"; }
pg_restart() { bash "$PG_CLUSTER" restart "$PG_DIR" || setup_failed "PostgreSQL does not start again"; }
pg_password() { bash "$PG_CLUSTER" password "$PG_DIR"; }

cleanup_postgres() {
  [ -n "$PG_DIR" ] && bash "$PG_CLUSTER" remove "$PG_DIR"
  PG_DIR=
}

at_exit cleanup_postgres
