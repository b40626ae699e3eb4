#!/usr/bin/env bash
# kelbrin over the network: ostreld serves the demo's repository folder on a
# free loopback port to the users of a users file made with
# `ostrel-admin passwd`, kelbrin commits to it through http:// as one of
# them, and ostrel-admin shows the result (with that user as the author) on
# the server's side.  The server is stopped at the end.
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
OSTRELD="$BUILD_DIR/bin/ostreld"
demo=${DEMO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/ostreld-demo.XXXXXX")}
export HOME="$demo"
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
[ -d "$demo/repo" ] || "$ADMIN" create "$demo/repo" >/dev/null

run() { printf "$"; printf " %q" "$@"; echo; "$@"; }

echo "\$ echo demo-password | ostrel-admin passwd $demo/users demo"
echo demo-password | "$ADMIN" passwd "$demo/users" demo
fifo="$demo/ostreld.addr"
rm -f "$fifo"; mkfifo "$fifo"
echo "\$ ostreld --root $demo --listen 127.0.0.1:0 --users $demo/users --access-log $demo/access.log &"
"$OSTRELD" --root "$demo" --listen 127.0.0.1:0 --users "$demo/users" \
  --access-log "$demo/access.log" >"$fifo" &
server=$!
trap 'kill -TERM $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$fifo"' EXIT
read -r -t 60 addr <"$fifo"
echo "ostreld listens on $addr"
H="http://$addr/repo"
printf 'Sent over the network.\n' >"$demo/net.txt"
run "$KELBRIN" --username demo --password demo-password --no-auth-cache --non-interactive \
  -m "Commit over http" mkdir "$H/net" put "$demo/net.txt" "$H/net/net.txt"
echo
run "$ADMIN" log "$demo/repo" -v -r "$("$ADMIN" youngest "$demo/repo")"
echo
echo "The server's access log (one line per request):"
cat "$demo/access.log"
