#!/usr/bin/env bash
# A commit through kelbrin to ostreld while slowhttptest attacks it from
# another loopback address (slow headers, then a slow commit body), against
# the same commit with no attack, in the same run: prints the median commit
# time of each and their ratio (target: a commit under attack within 2 s).
# Each attack lasts about 20 s; OSTRELD_BENCH_SLOW_COMMITS (default 5)
# commits are timed per phase.
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
OSTRELD="$BUILD_DIR/bin/ostreld"
SHIM="$BUILD_DIR/bin/bind_source.so"
commits=${OSTRELD_BENCH_SLOW_COMMITS:-5}
if ! command -v slowhttptest >/dev/null || [ ! -f "$SHIM" ]; then
  echo "bench: skipped (no slowhttptest, or bind_source.so is not built)"
  exit 0
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/ostreld-slow-bench.XXXXXX")
server=
attacker=
stop_all() {
  [ -n "$attacker" ] && { kill "$attacker" 2>/dev/null || true; wait "$attacker" 2>/dev/null || true; }
  [ -n "$server" ] && { kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }
  attacker= server=
}
trap 'stop_all; rm -rf "$work"' EXIT
export HOME="$work"
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
cd "$work"
mkdir served
"$ADMIN" create served/repo >/dev/null
mkfifo addr.fifo
"$OSTRELD" --root "$work/served" --listen 127.0.0.1:0 --open >addr.fifo 2>ostreld.err &
server=$!
read -r -t 60 addr <addr.fifo || { echo "bench: ostreld did not start"; exit 1; }
URL="http://$addr"

# median_commit NAME: the median time of COMMITS mkdir commits, in seconds.
median_commit() {
  local i t0 t1
  for i in $(seq 1 "$commits"); do
    t0=$(date +%s.%N)
    "$KELBRIN" -m "$1 $i" mkdir "$URL/repo/$1-$i" >/dev/null
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l
    sleep 0.5
  done | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

quiet=$(median_commit quiet)
printf 'commit with no attack: median %.3fs\n' "$quiet"
for mode in headers body; do
  case $mode in
    headers) args=(-H -c 1000 -r 200 -i 1 -x 10 -u "$URL/repo/") ;;
    body) args=(-B -c 1000 -r 200 -i 1 -x 10 -s 1000000 -f application/x-ostrel-frames
                -u "$URL/repo?op=commit") ;;
  esac
  BIND_SOURCE=127.0.0.2 LD_PRELOAD=$SHIM timeout 40 slowhttptest -l 20 "${args[@]}" \
    >"attack-$mode" 2>&1 </dev/null &
  attacker=$!
  sleep 5  # the attack builds up
  attacked=$(median_commit "$mode")
  wait "$attacker" 2>/dev/null || true
  attacker=
  printf 'commit during a slow-%s attack: median %.3fs, ratio to no attack %.2f (target: under 2 s)\n' \
    "$mode" "$attacked" "$(echo "$attacked / $quiet" | bc -l)"
done
