#!/usr/bin/env bash
# The health endpoint that load balancers check, on its own and through a
# real HAProxy: it answers without credentials, even on a server that admits
# nobody; HAProxy takes a stopped server out of rotation and the requests go
# on to the other one.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built ostrel-admin ostreld
. "$SUPPORT_DIR/ostreld_fixture.sh"
. "$SUPPORT_DIR/haproxy_fixture.sh"
mkdir -p "$T/root"
"$ADMIN" create "$T/root/repo" >/dev/null || setup_failed "cannot create the repository $T/root/repo"

# -- a server that refuses every request still says it is healthy
start_ostreld "$T/root"
code=$(curl -s -o "$T/body" -w '%{http_code}' "http://$OSTRELD_ADDR/?op=health")
[ "$code" = 200 ] && [ "$(cat "$T/body")" = ok ] || fail "health of a closed server: $code $(cat "$T/body")"
code=$(curl -s -o /dev/null -w '%{http_code}' -I "http://$OSTRELD_ADDR/?op=health")
[ "$code" = 200 ] || fail "HEAD of the health endpoint: $code"
code=$(curl -s -o /dev/null -w '%{http_code}' "http://$OSTRELD_ADDR/repo/?op=youngest")
[ "$code" = 401 ] || [ "$code" = 403 ] || fail "a repository read on a closed server: $code"
# Only the root path is the endpoint: below a repository it is a request
# like any other.
code=$(curl -s -o /dev/null -w '%{http_code}' "http://$OSTRELD_ADDR/repo/?op=health")
[ "$code" = 200 ] && fail "op=health below a repository bypasses the gate"
stop_ostreld

# -- two open servers behind HAProxy
start_ostreld "$T/root" --open
A_PID=$OSTRELD_PID; A=$OSTRELD_ADDR
start_ostreld "$T/root" --open
B=$OSTRELD_ADDR
start_haproxy "$A" "$B"
for i in 1 2 3 4; do
  out=$(curl -s "http://$HAPROXY_ADDR/repo/?op=youngest" | od -An -c | tr -d ' \n')
  [ -n "$out" ] || fail "read $i through HAProxy got nothing"
done
kill -KILL "$A_PID"; wait "$A_PID" 2>/dev/null
haproxy_wait_down "$A"
for i in 1 2 3 4; do
  code=$(curl -s -o /dev/null -w '%{http_code}' "http://$HAPROXY_ADDR/repo/?op=youngest")
  [ "$code" = 200 ] || fail "read $i with one server down: $code"
done
stop_haproxy
finish
