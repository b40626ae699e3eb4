#!/usr/bin/env bash
# Several ostreld over one repository in PostgreSQL, behind HAProxy:
# committers on different servers at once get sequential revisions with each
# commit landing once, an out-of-date change is refused across servers, and
# the faults a cluster meets (a server killed mid-commit, PostgreSQL stopped
# mid-commit, PostgreSQL unreachable at start) leave a repository that
# verifies, with errors that name the database server and never a password.
# Every result is read back by ostrel-admin, another process.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built fennick kelbrin ostrel-admin ostreld
. "$SUPPORT_DIR/postgres_fixture.sh"
. "$SUPPORT_DIR/ostreld_fixture.sh"
. "$SUPPORT_DIR/haproxy_fixture.sh"
export HOME="$T/home"
mkdir -p "$HOME" "$T/root"
cd "$T" || setup_failed "cannot enter $T"

start_postgres
PASSWORD=$(pg_password)
[ -n "$PASSWORD" ] || setup_failed "no password"
DB=$(pg_createdb scale)

# -- creating: a password in the connection info is refused, the directory
# holds no secret, a database that is not empty is refused.
status=0
"$ADMIN" create --postgres "$DB password=$PASSWORD" root/bad >out 2>err || status=$?
expect_status 1 $status "create with a password"
grep -q "holds a password" err || fail "create with a password: $(cat err)"
grep -rqF "$PASSWORD" err out root 2>/dev/null && fail "the password shows up"
[ -e root/bad/format ] && fail "a refused create left a repository"
"$ADMIN" create --postgres "$DB" root/repo >/dev/null || setup_failed "create --postgres"
[ "$(cat root/repo/format)" = 4 ] || fail "format file: $(cat root/repo/format)"
grep -rqF "$PASSWORD" root/repo && fail "the repository directory holds the password"
status=0
"$ADMIN" create --postgres "$DB" root/again >/dev/null 2>err || status=$?
expect_status 1 $status "a second repository in the same database"
grep -q "not empty" err || fail "second repository: $(cat err)"
# Another directory with the same connection info is the same repository.
mkdir root2 && cp -a root/repo root2/repo

start_ostreld "$T/root" --open
A_PID=$OSTRELD_PID; A=$OSTRELD_ADDR
start_ostreld "$T/root2" --open
B_PID=$OSTRELD_PID; B=$OSTRELD_ADDR
start_haproxy "$A" "$B"
LB="http://$HAPROXY_ADDR/repo"

"$KELBRIN" -m base mkdir "$LB/a" mkdir "$LB/b" >/dev/null || fail "first commit through HAProxy"

# -- two committers through different servers at once
N=12
committer() {  # SERVER NAME
  local i
  for i in $(seq 1 $N); do
    "$KELBRIN" -m "$2 $i" mkdir "http://$1/repo/$2/d$i" >>"$2.out" 2>>"$2.err" || echo "failed $i" >>"$2.err"
  done
}
committer "$A" a & ca=$!
committer "$B" b & cb=$!
wait $ca $cb
[ -s a.err ] && fail "committer on A: $(head -3 a.err)"
[ -s b.err ] && fail "committer on B: $(head -3 b.err)"
revs=$(cat a.out b.out | sed -n 's/^r\([0-9]*\) committed.*/\1/p' | sort -n | tr '\n' ' ')
[ "$revs" = "$(seq 2 $((2 * N + 1)) | tr '\n' ' ')" ] || fail "revisions reported: $revs"
[ "$("$ADMIN" youngest root/repo)" = $((2 * N + 1)) ] || fail "youngest after the committers"
for who in a b; do
  listed=$("$ADMIN" ls root/repo "$who" | wc -l)
  [ "$listed" = $N ] || fail "$who holds $listed directories, not $N"
done
# Each revision holds exactly one of the commits.
for r in $(seq 2 $((2 * N + 1))); do
  [ "$("$ADMIN" log root/repo -v -r $r | grep -c '^   A ')" = 1 ] || fail "revision $r"
done

# -- an out-of-date change is refused across servers
printf 'one\n' >one; printf 'two\n' >two
"$KELBRIN" -m f put one "http://$A/repo/f" >/dev/null || fail "put f"
base=$("$ADMIN" youngest root/repo)
"$KELBRIN" -m f2 -r "$base" put two "http://$A/repo/f" >/dev/null || fail "change f on A"
status=0
"$KELBRIN" -m f3 -r "$base" put one "http://$B/repo/f" >out 2>err || status=$?
expect_status 1 $status "an out-of-date change on B"
grep -qi "out of date" err || fail "out-of-date change on B: $(cat err)"
[ "$("$ADMIN" cat root/repo f)" = two ] || fail "f after the refused change"

# -- a server killed mid-commit: no revision; the other server goes on
# More than the server sends to the database at once, so that a cut commit
# leaves stored chunks behind.
head -c 9500000 /dev/urandom >chunk
# The bytes the repository's content store holds, whether records name them or not.
chunks() { "$BIN/ostrel-damage" root/repo count | sed -n 's/^held-bytes //p'; }
stored=$(chunks)
before=$("$ADMIN" youngest root/repo)
slow_source m1 | "$KELBRIN" -m cut put - "http://$A/repo/big1" >out1 2>&1 &
client=$!
wait_for m1
# Killed once part of the upload is in the database.
for i in $(seq 1 300); do [ "$(chunks)" -gt "$stored" ] && break; sleep 0.1; done
[ "$(chunks)" -gt "$stored" ] || fail "the upload stored nothing before the kill"
kill -9 "$A_PID"; wait "$A_PID" 2>/dev/null
touch m1.go
status=0; wait $client || status=$?
expect_status 1 $status "kelbrin whose server died"
[ "$("$ADMIN" youngest root/repo)" = "$before" ] || fail "a revision after the killed server"
haproxy_wait_down "$A"
"$KELBRIN" -m "after kill" mkdir "$LB/after-kill" >/dev/null || fail "commit after the killed server"
"$ADMIN" verify root/repo >/dev/null 2>err || fail "verify after the killed server: $(cat err)"

# -- PostgreSQL stopped mid-commit, then started again
before=$("$ADMIN" youngest root/repo)
slow_source m2 | "$KELBRIN" -m cut put - "http://$B/repo/big2" >out2 2>&1 &
client=$!
wait_for m2
pg_stop
touch m2.go
status=0; wait $client || status=$?
expect_status 1 $status "kelbrin whose database stopped"
grep -q "PostgreSQL server" out2 || fail "the error names no database server: $(cat out2)"
grep -qF "$PG_DIR/socket" out2 || fail "the error does not say where the server is: $(cat out2)"
grep -qF "$PASSWORD" out2 && fail "the error shows the password"
# While it is down: a clear error at once, the health check still answers.
status=0
"$ADMIN" youngest root/repo >out 2>err || status=$?
expect_status 1 $status "ostrel-admin with the database down"
grep -q "Cannot reach the PostgreSQL server of repository" err || fail "database down: $(cat err)"
code=$(curl -s -o /dev/null -w '%{http_code}' "http://$B/?op=health")
[ "$code" = 200 ] || fail "health with the database down: $code"
pg_restart
[ "$("$ADMIN" youngest root/repo)" = "$before" ] || fail "a revision after the stopped database"
"$KELBRIN" -m "after restart" mkdir "$LB/after-restart" >out 2>err || fail "commit after the restart: $(cat err)"
"$ADMIN" verify root/repo >/dev/null 2>err || fail "verify after the restart: $(cat err)"
# What the cut commits uploaded is collected; the repository stays whole.
"$ADMIN" collect root/repo --grace 0 >out 2>err || fail "collect: $(cat err)"
grep -Eq "^Removed [1-9][0-9]* unused chunk" out || fail "collect removed nothing: $(cat out)"
"$ADMIN" verify root/repo >/dev/null 2>err || fail "verify after collect: $(cat err)"

# -- PostgreSQL unreachable when a server starts
stop_haproxy
kill -TERM "$B_PID"; wait "$B_PID" 2>/dev/null
pg_stop
start_ostreld "$T/root" --open
status=0
"$KELBRIN" -m x mkdir "http://$OSTRELD_ADDR/repo/down" >out 2>err || status=$?
expect_status 1 $status "a commit to a server whose database is down"
grep -q "PostgreSQL server" err || fail "database down at start: $(cat err)"
pg_restart
"$KELBRIN" -m x mkdir "http://$OSTRELD_ADDR/repo/up" >/dev/null 2>err || fail "commit once the database is up: $(cat err)"
"$ADMIN" verify root/repo >/dev/null 2>err || fail "final verify: $(cat err)"

# -- the history moves through a dump into another repository in PostgreSQL
# (revision properties and all), and fennick fills its origins index.
"$ADMIN" dump root/repo >dump 2>err || fail "dump: $(cat err)"
"$ADMIN" create --postgres "$(pg_createdb copy)" copy >/dev/null || fail "create the copy"
"$ADMIN" load copy <dump >/dev/null 2>err || fail "load: $(cat err)"
"$ADMIN" dump copy 2>/dev/null | cmp -s - dump || fail "the loaded copy dumps differently"
"$BIN/fennick" copy >/dev/null 2>err || fail "fennick: $(cat err)"
"$ADMIN" origins copy | awk 'NR == 1 { l = $NF } NR == 2 { exit !(l == $NF) }' ||
  fail "origins after fennick: $("$ADMIN" origins copy)"
finish
