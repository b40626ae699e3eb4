#!/usr/bin/env bash
# Slow clients cannot starve the others: while slowhttptest attacks ostreld
# from another loopback address (127.0.0.2) with slow headers, a slow commit
# body, slow reads of a large file, and a thousand connections at once, a
# commit from kelbrin (from 127.0.0.1) succeeds, the server's thread count
# stays that of its event loop and workers, its memory stays bounded, and the
# slow connections are dropped by the header and body rate limits.
#
# Each attack lasts about 15 s.  How long the commit takes under attack is
# the benchmark's business (bench/ostreld.sh), not this test's.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
. "$SUPPORT_DIR/ostreld_fixture.sh"
KELBRIN=$BIN/kelbrin
ADMIN=$BIN/ostrel-admin
SHIM=$BIN/bind_source.so
[ -x "$KELBRIN" ] || { echo "setup: $KELBRIN is not built" >&2; exit 99; }
[ -f "$SHIM" ] || { echo "setup: $SHIM is not built" >&2; exit 99; }
if ! command -v slowhttptest >/dev/null; then
  echo "skip: slowhttptest is not installed (scripts/install-deps)"; exit 77
fi
if ! command -v ss >/dev/null; then
  echo "skip: ss (iproute2) is not installed"; exit 77
fi

cd "$T" || exit 99
mkdir root
"$ADMIN" create root/repo >/dev/null || exit 99
head -c 2000000 /dev/urandom >big
"$KELBRIN" -m big put big "file://$T/root/repo/big" >/dev/null || exit 99

EVENT_THREADS=2
WORKERS=2
STREAMS=4
cat >slow.conf <<EOF
[server]
event-threads = $EVENT_THREADS
workers = $WORKERS
max-streams = $STREAMS
max-streams-per-address = $STREAMS
header-timeout-seconds = 3
body-grace-seconds = 3
min-body-bytes-per-second = 256
max-connections-per-address = 400
EOF
# A sanitized server holds freed memory back before reusing it (256 MiB by
# default); the memory bound below is about the server's own, so keep that
# quarantine small.
SANITIZED=
if grep -qs '^OSTREL_SANITIZE:BOOL=ON' "$BUILD_DIR/CMakeCache.txt"; then
  SANITIZED=1
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=32"
fi
start_ostreld "$T/root" --open --config "$T/slow.conf"
URL=http://$OSTRELD_ADDR

# attack NAME ARGS...: slowhttptest from 127.0.0.2 for about 15 s, in the
# background; its output goes to NAME.attack, its figures of each second
# (seconds, closed, pending, connected, ...) to NAME.csv.
attack() {
  local name=$1
  shift
  BIND_SOURCE=127.0.0.2 LD_PRELOAD=$SHIM timeout 40 slowhttptest -l 15 -p 3 -g -o "$T/$name" "$@" \
    >"$name.attack" 2>&1 </dev/null &
  ATTACK=$!
}

# Samples the server's threads and resident memory into MAX_THREADS and
# MAX_RSS_KB.
MAX_THREADS=0
MAX_RSS_KB=0
sample() {
  local threads rss
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$OSTRELD_PID/status" 2>/dev/null)
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$OSTRELD_PID/status" 2>/dev/null)
  [ -n "$threads" ] && [ "$threads" -gt "$MAX_THREADS" ] && MAX_THREADS=$threads
  [ -n "$rss" ] && [ "$rss" -gt "$MAX_RSS_KB" ] && MAX_RSS_KB=$rss
}

# closed NAME: how many of the attack's connections the server had closed at
# most, as the attack counted them.
closed() {
  awk -F, 'NR > 1 && $2 > max { max = $2 } END { print max + 0 }' "$1.csv" 2>/dev/null || echo 0
}

# Open connections to the server from the attacker's address.
attacker_connections() {
  ss -Htn state established "( sport = :${OSTRELD_ADDR##*:} )" 2>/dev/null | grep -c ' 127\.0\.0\.2:'
}

# under_attack NAME ARGS...: runs the attack, and while it runs commits
# twice through kelbrin; each commit must succeed and make its revision.
under_attack() {
  local name=$1 i status peak=0 n
  shift
  attack "$name" "$@"
  # Let the attack build up its connections.
  for i in $(seq 1 40); do
    sample
    n=$(attacker_connections)
    [ "$n" -gt "$peak" ] && peak=$n
    sleep 0.1
  done
  for i in 1 2; do
    status=0
    timeout 60 "$KELBRIN" -m "$name $i" mkdir "$URL/repo/$name-$i" >"$name.out" 2>"$name.err" ||
      status=$?
    expect_status 0 $status "commit $i during the $name attack ($(cat "$name.err"))"
    sample
    n=$(attacker_connections)
    [ "$n" -gt "$peak" ] && peak=$n
    sleep 2
  done
  wait "$ATTACK"
  sample
  "$ADMIN" ls root/repo >ls.out
  for i in 1 2; do
    grep -q "^$name-$i/" ls.out || fail "$name: the commit $i made no /$name-$i"
  done
  [ "$peak" -gt 0 ] || fail "$name: the attack opened no connection: $(tail -5 "$name.attack")"
  kill -0 "$OSTRELD_PID" 2>/dev/null || fail "$name: the server died"
  echo "$name: up to $peak attacking connections, $MAX_THREADS threads, ${MAX_RSS_KB} KiB"
}

under_attack slow-headers -H -c 300 -r 100 -i 1 -x 10 -u "$URL/repo/"
# The headers come slower than the header timeout allows: the attack's
# connections are dropped and replaced, not kept.
[ "$(closed slow-headers)" -gt 0 ] ||
  fail "slow headers: no attacking connection was closed: $(cat slow-headers.csv)"

under_attack slow-body -B -c 300 -r 100 -i 1 -x 10 -s 1000000 -f application/x-ostrel-frames \
  -u "$URL/repo?op=commit"
[ "$(closed slow-body)" -gt 0 ] ||
  fail "slow body: no attacking connection was closed: $(cat slow-body.csv)"

under_attack slow-read -X -c 300 -r 100 -k 2 -n 1 -w 1 -y 64 -z 32 -u "$URL/repo/big?raw"

# A thousand connections from one address: beyond the per-address cap they
# are closed at once, and the other address is still served.
stop_ostreld
printf '[server]\nevent-threads = %s\nworkers = %s\nmax-streams = %s\nheader-timeout-seconds = 3\n' \
  "$EVENT_THREADS" "$WORKERS" "$STREAMS" >many.conf
start_ostreld "$T/root" --open --config "$T/many.conf"
URL=http://$OSTRELD_ADDR
ulimit -n 4096 2>/dev/null
under_attack many-connections -H -c 1000 -r 1000 -i 1 -x 10 -u "$URL/repo/"

# Bounded: the event loop, the workers, the writers of streamed answers, the
# main thread and the reaper (and a little slack); memory well below what a
# thread or buffer per attacking connection would take.
[ "$MAX_THREADS" -le $((EVENT_THREADS + WORKERS + STREAMS + 3)) ] ||
  fail "the server ran $MAX_THREADS threads (event loop $EVENT_THREADS, workers $WORKERS, streams $STREAMS)"
# Under AddressSanitizer each thread's shadow and fake stacks and the freed
# memory held back in its quarantine (kept small for this test, see the top)
# are the sanitizer's, not the server's: they get a bound of their own.
MAX_RSS_BOUND_KB=262144
[ -n "$SANITIZED" ] && MAX_RSS_BOUND_KB=$((MAX_RSS_BOUND_KB + 262144))
[ "$MAX_RSS_KB" -lt "$MAX_RSS_BOUND_KB" ] ||
  fail "the server's resident memory grew to ${MAX_RSS_KB} KiB (bound ${MAX_RSS_BOUND_KB} KiB)"
stop_ostreld
expect_status 0 "$OSTRELD_STATUS" "ostreld after the attacks"
finish
