#!/usr/bin/env bash
# Each way a commit over http:// fails gets one HTTP status that tells the
# client what to do, one case per row: out of date 409 (resolve), busy 503
# with Retry-After (retry), full disk 507, damage 500, refused 403, too large
# 413.  In every row the client sees no path on the server (and for a 5xx,
# the request's id), and the server's standard error has one line with the
# request's id, status and detail.  A commit to a damaged repository shows the client no server
# path while the server logs the database's path.
#
# Runs in a private mount namespace (the full disk is a small tmpfs); where
# none can be had, the full-disk row is skipped and the others run.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
KELBRIN=$BIN/kelbrin
ADMIN=$BIN/ostrel-admin
[ -x "$KELBRIN" ] || { echo "setup: $KELBRIN is not built" >&2; exit 99; }
if [ "${1:-}" != --inside ]; then
  if unshare -m true 2>/dev/null; then
    unshare -m bash "$0" --inside
    exit $?
  fi
  exec bash "$0" --inside
fi
. "$SUPPORT_DIR/ostreld_fixture.sh"
DAMAGE=$BIN/ostrel-damage
[ -x "$DAMAGE" ] || { echo "setup: $DAMAGE is not built" >&2; exit 99; }
command -v curl >/dev/null || { echo "skip: curl is not installed"; exit 77; }

cd "$T" || exit 99
mkdir root
for name in main damaged hooked; do "$ADMIN" create "root/$name" >/dev/null || exit 99; done
FULL=no
mkdir disk
if mount -t tmpfs -o size=8m tmpfs disk 2>/dev/null; then
  trap 'cleanup_ostreld; umount "$T/disk" 2>/dev/null; rm -rf "$T"' EXIT
  "$ADMIN" create disk/repo >/dev/null || exit 99
  ln -s "$T/disk/repo" root/full
  FULL=yes
fi
printf 'put me\n' >small
head -c 100000 /dev/urandom >large
head -c 12000000 /dev/urandom >huge
head -c 100000 /dev/zero | tr '\0' x >long

# The damaged repository: its database overwritten after the first 100
# bytes (the file's header), and its write-ahead log lost.
"$KELBRIN" -m first mkdir "file://$T/root/damaged/a" >/dev/null || exit 99
rm -f root/damaged/fs.db-wal root/damaged/fs.db-shm
size=$(stat -c %s root/damaged/fs.db)
head -c $((size - 100)) /dev/urandom | dd of=root/damaged/fs.db bs=1 seek=100 conv=notrunc 2>/dev/null
# The refusing repository: its pre-commit hook says no.
printf '#!/bin/sh\necho "no commits today" >&2\nexit 1\n' >root/hooked/hooks/pre-commit
chmod 755 root/hooked/hooks/pre-commit
# The repository that is out of date for a commit based on revision 1.
"$KELBRIN" -m one put small "file://$T/root/main/f" >/dev/null || exit 99
"$KELBRIN" -m two put large "file://$T/root/main/f" >/dev/null || exit 99

printf '[server]\nmax-frame-bytes = 70000\n' >server.conf
start_ostreld "$T/root" --open --config "$T/server.conf" --access-log "$T/access.log"
URL=http://$OSTRELD_ADDR

# The cases: NAME | STATUS | REPOSITORY | kelbrin's actions (URL relative
# to the repository) | what the client's message must say.
ROWS='out of date|409|main|-r 1 put small f|out of date
full disk|507|full|put huge big|no space left
damaged|500|damaged|mkdir b|is damaged
refused|403|hooked|mkdir b|no commits today
too large|413|main|propsetf big long f|larger than the limit'

n=0
while IFS='|' read -r name want repos actions words; do
  [ "$name" = "full disk" ] && [ $FULL = no ] && { echo "skip: $name (no tmpfs here)"; continue; }
  n=$((n + 1))
  if [ "$name" = "full disk" ]; then
    head -c 6000000 /dev/zero >disk/filler
  fi
  before=$(wc -l <"$OSTRELD_ERR")
  status=0
  # shellcheck disable=SC2086
  set -- $actions
  args=()
  while [ $# -gt 0 ]; do
    case $1 in
      -r) args+=("$1" "$2"); shift 2 ;;
      put) args+=(put "$2" "$URL/$repos/$3"); shift 3 ;;
      mkdir) args+=(mkdir "$URL/$repos/$2"); shift 2 ;;
      propsetf) args+=(propsetf "$2" "$3" "$URL/$repos/$4"); shift 4 ;;
    esac
  done
  timeout 120 "$KELBRIN" -m "$name" "${args[@]}" >"out.$n" 2>"err.$n" || status=$?
  expect_status 1 $status "$name: kelbrin"
  # The failed request is the client's last (a commit, or the read before
  # it when the repository does not even open); its log line is written
  # just after its answer.
  for i in $(seq 1 50); do
    got=$(tail -n 1 access.log | awk '{ print $6 }')
    [ "$got" != 200 ] && break
    sleep 0.1
  done
  [ "$got" = "$want" ] || fail "$name: status $got, expected $want ($(cat "err.$n"))"
  grep -qi "$words" "err.$n" || fail "$name: the client is not told '$words': $(cat "err.$n")"
  grep -q "$T" "err.$n" && fail "$name: the client is shown a server path: $(cat "err.$n")"
  # A 5xx answer names the request id in its message; every failure is
  # one line of the server's log, with the id.
  if [ "$want" -ge 500 ]; then
    id=$(sed -n 's/.*(request \([0-9a-f]*-[0-9]*\)).*/\1/p' "err.$n" | head -n 1)
    [ -n "$id" ] || fail "$name: the client is not given the request id: $(cat "err.$n")"
  else
    id='[0-9a-f]*-[0-9]*'
  fi
  logged=$(tail -n +$((before + 1)) "$OSTRELD_ERR" | grep -c "^ostreld: request $id: .* /$repos[/?].* $want: ")
  [ "$logged" = 1 ] || fail "$name: $logged server log lines for the request: $(cat "$OSTRELD_ERR")"
  [ "$name" = "full disk" ] && rm -f disk/filler
done <<<"$ROWS"

# The damaged repository: the server's line has the database's path.
grep -q "^ostreld: request .*damaged.* 500: .*'$T/root/damaged/fs.db' is damaged" "$OSTRELD_ERR" ||
  fail "the server does not log the damaged database's path: $(cat "$OSTRELD_ERR")"

# Busy, with Retry-After: another process holds the repository's write lock
# longer than the server waits for it (10 s).  A minimal commit body (make
# the directory /busy) straight from curl, to see the headers.
printf 'V\0\0\0\x05\0\0\0\x011R\0\0\0\x0a\0\0\0\x011\0\0\0\x010d\0\0\0\x1c\0\0\0\x011\0\0\0\x04busy\xff\xff\xff\xff\0\0\0\x02-1\0\0\0\x012c\0\0\0\x05\0\0\0\x012c\0\0\0\x05\0\0\0\x011F\0\0\0\0' >busy.body
"$DAMAGE" root/main hold-lock 14 >holder.out 2>holder.err &
holder=$!
for _ in $(seq 300); do grep -q holding holder.out && break; sleep 0.1; done
grep -q holding holder.out || setup_failed "the lock holder did not start: $(cat holder.err)"
before=$(wc -l <"$OSTRELD_ERR")
curl -s -D busy.head -o busy.answer --max-time 60 -H 'Content-Type: application/x-ostrel-frames' \
  --data-binary @busy.body "$URL/main?op=commit"
wait $holder || fail "the lock holder failed: $(cat holder.err)"
tr -d '\r' <busy.head >busy.headers
head -n 1 busy.headers | grep -q '^HTTP/1.1 503 ' || fail "busy: $(head -n 1 busy.headers)"
grep -qi '^Retry-After: [0-9]' busy.headers || fail "busy: no Retry-After: $(cat busy.headers)"
id=$(sed -n 's/^Ostrel-Request-Id: //Ip' busy.headers)
[ -n "$id" ] || fail "busy: no request id header: $(cat busy.headers)"
grep -aq "(request $id)" busy.answer || fail "busy: the message does not carry the id: $(cat -v busy.answer)"
grep -aq "$T" busy.answer && fail "busy: the answer shows a server path: $(cat -v busy.answer)"
tail -n +$((before + 1)) "$OSTRELD_ERR" | grep -q "^ostreld: request $id: .* 503: " ||
  fail "busy: the server does not log request $id: $(cat "$OSTRELD_ERR")"
# Once the lock is free, the same commit goes through.
curl -s -o /dev/null -w '%{http_code}\n' --max-time 60 -H 'Content-Type: application/x-ostrel-frames' \
  --data-binary @busy.body "$URL/main?op=commit" >busy.after
[ "$(cat busy.after)" = 200 ] || fail "busy: the commit after the lock was freed: $(cat busy.after)"
stop_ostreld
finish
