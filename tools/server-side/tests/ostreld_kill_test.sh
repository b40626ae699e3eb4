#!/usr/bin/env bash
# Commits over http that are cut short: a client killed mid-upload and a
# server killed mid-commit each leave the repository verified, without a
# half-made revision, and the next commit works.  A SIGTERM lets the commit
# in flight finish, and the server exits 0.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built kelbrin ostrel-admin ostreld
. "$SUPPORT_DIR/ostreld_fixture.sh"
export HOME="$T/home"
mkdir -p "$HOME" "$T/root"
cd "$T" || setup_failed "cannot enter $T"
"$ADMIN" create root/repo >/dev/null || setup_failed "cannot create the repository root/repo"
head -c 2000000 /dev/urandom >chunk

intact() {  # NAME EXPECTED-YOUNGEST
  [ "$("$ADMIN" youngest root/repo)" = "$2" ] || fail "$1: youngest is not r$2"
  "$ADMIN" verify root/repo >/dev/null 2>err || fail "$1: verify: $(cat err)"
  [ -z "$("$ADMIN" ls root/repo | grep big)" ] || fail "$1: part of the commit is visible"
}

start_ostreld "$T/root" --open
R="http://$OSTRELD_ADDR/repo"
"$KELBRIN" -m base mkdir "$R/keep" >/dev/null || fail "first commit"

# -- the client killed mid-upload
slow_source m1 | "$KELBRIN" -m cut put - "$R/big1" >out1 2>&1 &
client=$!
wait_for m1
kill -9 $client; wait $client 2>/dev/null
touch m1.go
intact "client killed mid-upload" 1
"$KELBRIN" -m next mkdir "$R/after1" >/dev/null || fail "commit after the killed client"
intact "commit after the killed client" 2

# -- the server killed mid-commit
slow_source m2 | "$KELBRIN" -m cut put - "$R/big2" >out2 2>&1 &
client=$!
wait_for m2
kill -9 "$OSTRELD_PID"; wait "$OSTRELD_PID" 2>/dev/null; OSTRELD_PID=
touch m2.go
status=0; wait $client || status=$?
[ $status = 1 ] || fail "kelbrin whose server died: status $status"
grep -q "^kelbrin: .*http://$OSTRELD_ADDR/repo" out2 || fail "kelbrin whose server died: $(cat out2)"
intact "server killed mid-commit" 2
start_ostreld "$T/root" --open
R="http://$OSTRELD_ADDR/repo"
"$KELBRIN" -m next mkdir "$R/after2" >/dev/null || fail "commit after the restart"
intact "commit after the restart" 3

# -- SIGTERM while a commit is in flight: it finishes, then the server exits 0
slow_source m3 | "$KELBRIN" -u tester -m graceful put - "$R/big3" >out3 2>&1 &
client=$!
wait_for m3
kill -TERM "$OSTRELD_PID"
# New connections are refused while the commit in flight goes on.
refused=no
for i in $(seq 1 600); do
  if ! (exec {probe}<>"/dev/tcp/${OSTRELD_ADDR%:*}/${OSTRELD_ADDR##*:}") 2>/dev/null; then
    refused=yes; break
  fi
  sleep 0.1
done
[ $refused = yes ] || fail "ostreld still accepts connections after SIGTERM"
touch m3.go
status=0; wait $client || status=$?
[ $status = 0 ] || fail "the commit in flight at SIGTERM: status $status: $(cat out3)"
grep -q "^r4 committed by tester" out3 || fail "the commit in flight at SIGTERM: $(cat out3)"
cmp -s <(cat chunk chunk) <("$ADMIN" cat root/repo big3) || fail "big3 does not hold what was sent"
stop_ostreld
expect_status 0 "$OSTRELD_STATUS" "ostreld after SIGTERM"
"$ADMIN" verify root/repo >/dev/null 2>err || fail "verify at the end: $(cat err)"
[ "$failures" = 0 ] || exit 1
echo "all ok"
