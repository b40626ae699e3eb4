#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for one test: initdb and pg_ctl on a unix
# socket in a directory of its own, no TCP at all, run by an unprivileged
# user.  Shell tests use it through postgres_fixture.sh, the unit tests
# through ostrel_pg_fixture.h; both stop what they start.
#
#   pg-cluster.sh start DIR    makes DIR (it must not exist), creates and starts
#                              the cluster there and prints the connection
#                              info of its maintenance database on standard
#                              output ("host=DIR/socket port=N user=ostrel
#                              dbname=postgres").  The superuser 'ostrel' logs
#                              in with a random password (SCRAM) kept in
#                              DIR/passfile (mode 0600, libpq's format): point
#                              PGPASSFILE at it.
#   pg-cluster.sh createdb DIR NAME   a new empty database NAME
#   pg-cluster.sh stop DIR     stops the server at once (fast shutdown, then
#                              immediate), leaves DIR
#   pg-cluster.sh crash DIR    stops it the way a power cut would (immediate)
#   pg-cluster.sh restart DIR  starts a stopped cluster again
#   pg-cluster.sh remove DIR   stop, then removes DIR
#   pg-cluster.sh installed    only says (by its status) whether PostgreSQL is there
#   pg-cluster.sh password DIR prints the superuser's password (for tests that
#                              check it is never shown)
#
# Exit status: 0 done; 77 PostgreSQL is not installed here (the caller skips,
# unless OSTREL_REQUIRE_POSTGRES=1 makes that a broken setup); 99 the setup
# broke (the reason is on standard error, with the server's log).
#
# Running as root (as CI does), the cluster belongs to $OSTREL_PG_USER
# (default 'nobody'): PostgreSQL refuses to run as root.  Root reaches the
# socket whatever its directory's owner.
set -u

die() { echo "pg-cluster: $*" >&2; exit 99; }

find_bindir() {
  if [ -n "${OSTREL_PG_BINDIR:-}" ]; then
    echo "$OSTREL_PG_BINDIR"; return
  fi
  local d best=
  for d in /usr/lib/postgresql/*/bin; do
    [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && best=$d
  done
  echo "$best"
}

BINDIR=$(find_bindir)
if [ -z "$BINDIR" ] || [ ! -x "$BINDIR/initdb" ] || [ ! -x "$BINDIR/pg_ctl" ]; then
  echo "pg-cluster: PostgreSQL's initdb and pg_ctl are not installed (package postgresql-15)" >&2
  [ "${OSTREL_REQUIRE_POSTGRES:-0}" = 1 ] && exit 99
  exit 77
fi
[ "${1:-}" = installed ] && exit 0

# Runs a command as the cluster's owner (from /, which it may enter: the
# caller's directory may be closed to it).
as_owner() {
  if [ "$(id -u)" = 0 ]; then
    (cd / && runuser -u "${OSTREL_PG_USER:-nobody}" -- "$@")
  else
    "$@"
  fi
}

show_log() {
  [ -f "$1/server.log" ] && { echo "--- server log:"; tail -30 "$1/server.log"; } >&2
}

start_server() {
  local dir=$1
  # The socket directory and port are fixed per cluster, so that a restart
  # is reached through the same connection info.
  as_owner "$BINDIR/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses= -c unix_socket_directories=$dir/socket -p 5432" \
    start >/dev/null || { show_log "$dir"; die "the server in $dir did not start"; }
}

stop_server() {  # DIR MODE
  local dir=$1 mode=$2
  [ -f "$dir/data/postmaster.pid" ] || return 0
  as_owner "$BINDIR/pg_ctl" -D "$dir/data" -m "$mode" -w -t 30 stop >/dev/null 2>&1 ||
    as_owner "$BINDIR/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 ||
    { show_log "$dir"; die "the server in $dir does not stop"; }
}

conninfo() { echo "host=$1/socket port=5432 user=ostrel dbname=${2:-postgres}"; }

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || die "usage: pg-cluster.sh start|createdb|stop|crash|restart|remove|password DIR [NAME]"

case $cmd in
  start)
    [ -e "$dir" ] && die "$dir exists already"
    mkdir -m 0700 "$dir" || die "cannot make $dir"
    mkdir -m 0700 "$dir/socket" || die "cannot make $dir/socket"
    password=$(head -c 18 /dev/urandom | od -An -tx1 | tr -d ' \n')
    [ ${#password} = 36 ] || die "cannot make a password"
    printf '%s\n' "$password" >"$dir/pwfile"
    # libpq reads this as the user running the client; it refuses a file
    # that others may read.
    printf '*:*:*:ostrel:%s\n' "$password" >"$dir/passfile"
    chmod 0600 "$dir/passfile" "$dir/pwfile"
    if [ "$(id -u)" = 0 ]; then
      owner=${OSTREL_PG_USER:-nobody}
      id -u "$owner" >/dev/null 2>&1 || die "there is no user '$owner' to run PostgreSQL as (set OSTREL_PG_USER)"
      chown "$owner" "$dir" "$dir/socket" "$dir/pwfile" || die "cannot hand $dir to $owner"
      as_owner test -w "$dir" ||
        die "$owner cannot reach $dir: a directory above it is closed to others (set TMPDIR)"
    fi
    # Durability stays as in production (fsync, synchronous_commit on): the
    # fault tests stop the server mid-commit and rely on what it promises.
    as_owner "$BINDIR/initdb" -D "$dir/data" -U ostrel --pwfile="$dir/pwfile" \
      --auth-local=scram-sha-256 --auth-host=reject -E UTF8 --no-locale \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; die "initdb failed in $dir"; }
    rm -f "$dir/pwfile"
    cat >>"$dir/data/postgresql.conf" <<'EOF'
max_connections = 200
shared_buffers = 32MB
log_min_messages = warning
EOF
    start_server "$dir"
    conninfo "$dir"
    ;;
  createdb)
    [ -n "${3:-}" ] || die "createdb needs a database name"
    PGPASSFILE=$dir/passfile "$BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -d "$(conninfo "$dir")" \
      -c "CREATE DATABASE \"$3\"" >/dev/null || die "cannot create database $3 in $dir"
    ;;
  stop) stop_server "$dir" fast ;;
  crash) stop_server "$dir" immediate ;;
  restart) start_server "$dir" ;;
  remove)
    stop_server "$dir" fast
    rm -rf "$dir"
    ;;
  password) cut -d: -f5 "$dir/passfile" ;;
  *) die "unknown command '$cmd'" ;;
esac
