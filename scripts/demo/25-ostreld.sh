#!/usr/bin/env bash
# kelbrin over the network: ostreld serves the demo's repository folder on a
# free loopback port, kelbrin commits to it through http://, and ostrel-admin
# shows the result on the server's side.  The server is stopped at the end.
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
OSTRELD="$BUILD_DIR/bin/ostreld"
demo=${DEMO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/ostreld-demo.XXXXXX")}
export HOME="$demo"
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
[ -d "$demo/repo" ] || "$ADMIN" create "$demo/repo" >/dev/null

run() { printf "$"; printf " %q" "$@"; echo; "$@"; }

fifo="$demo/ostreld.addr"
rm -f "$fifo"; mkfifo "$fifo"
echo "\$ ostreld --root $demo --listen 127.0.0.1:0 --access-log $demo/access.log &"
"$OSTRELD" --root "$demo" --listen 127.0.0.1:0 --access-log "$demo/access.log" >"$fifo" &
server=$!
trap 'kill -TERM $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$fifo"' EXIT
read -r -t 60 addr <"$fifo"
echo "ostreld listens on $addr"
H="http://$addr/repo"
printf 'Sent over the network.\n' >"$demo/net.txt"
run "$KELBRIN" -u demo -m "Commit over http" mkdir "$H/net" put "$demo/net.txt" "$H/net/net.txt"
echo
run "$ADMIN" log "$demo/repo" -v -r "$("$ADMIN" youngest "$demo/repo")"
echo
echo "The server's access log (one line per request):"
cat "$demo/access.log"
