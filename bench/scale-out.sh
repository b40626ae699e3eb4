#!/usr/bin/env bash
# Several servers on one PostgreSQL against one server on SQLite, in the same
# run:
#  - 32 clients making small commits (kelbrin mkdir) to 8 repositories through
#    HAProxy to 1, 2 and 4 ostreld on one PostgreSQL cluster, and to one
#    ostreld on local repositories: commits per second, p50 and p99 latency;
#  - one client committing to one repository, PostgreSQL against SQLite;
#  - one commit of 10,000 small files in 100 directories, PostgreSQL against
#    SQLite.
# Bounded: SCALE_BENCH_COMMITS commits per client (default 8), each load
# phase stopped after SCALE_BENCH_SECONDS (default 120).  The PostgreSQL
# cluster runs with synchronous_commit on, as in production.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
# The test kit's servers: ostreld and HAProxy as the tests start them.  Its
# exit handler takes the place of storage_common's.
. "$here/../tests/support/init.sh"
at_exit 'rm -rf "$BENCH_TMP"'
CLIENTS=32
REPOS=8
COMMITS=${SCALE_BENCH_COMMITS:-8}
LIMIT=${SCALE_BENCH_SECONDS:-120}
FILES=${BENCH_FILES:-10000}
export no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost
export HOME=$BENCH_TMP/home
mkdir -p "$HOME"

CLUSTER=$SOURCE_DIR/tests/support/pg-cluster.sh
PG=$(mktemp -u "${TMPDIR:-/tmp}/ostrel-bench-pg.XXXXXX")  # reachable by the cluster's owner
status=0
base=$(bash "$CLUSTER" start "$PG") || status=$?
if [ $status = 77 ]; then echo "bench: PostgreSQL is not installed; skipped"; exit 0; fi
[ $status = 0 ] || { echo "bench: PostgreSQL did not start" >&2; exit 1; }
base=${base% dbname=postgres}
export PGPASSFILE=$PG/passfile
at_exit 'bash "$CLUSTER" remove "$PG"'
# A benchmark stopped from outside still stops its servers and cluster.
trap 'exit 1' INT TERM

mkdir -p "$BENCH_TMP/pgroot" "$BENCH_TMP/localroot"
for i in $(seq 1 $REPOS); do
  bash "$CLUSTER" createdb "$PG" "r$i"
  "$BIN/ostrel-admin" create --postgres "$base dbname=r$i" "$BENCH_TMP/pgroot/r$i" >/dev/null
  "$BIN/ostrel-admin" create "$BENCH_TMP/localroot/r$i" >/dev/null
done

# start_server ROOT: a new ostreld serving ROOT; its HOST:PORT in $ADDR.
# Every server is stopped at exit, before the cluster.
. "$SUPPORT_DIR/ostreld_fixture.sh"
start_server() {
  start_ostreld "$1" --open --config "$BENCH_TMP/ostreld.conf"
  ADDR=$OSTRELD_ADDR
}
printf '[server]\nmax-connections = 256\n' >"$BENCH_TMP/ostreld.conf"

fail() { echo "bench: $*" >&2; exit 1; }
# The fixture's HAProxy is stopped at exit, before the servers.
. "$SUPPORT_DIR/haproxy_fixture.sh"

servers=()
for i in 1 2 3 4; do
  start_server "$BENCH_TMP/pgroot"
  servers+=("$ADDR")
done
start_server "$BENCH_TMP/localroot"
local_server=$ADDR

# load URL-BASE LABEL: CLIENTS clients, COMMITS commits each, to repository
# r(client % REPOS + 1); prints "COMMITS/S P50-MS P99-MS".
load() {
  local url=$1 label=$2
  local out=$BENCH_TMP/lat.$label
  : >"$out"
  local start end c deadline
  start=$(date +%s%N)
  deadline=$((start + LIMIT * 1000000000))
  for c in $(seq 0 $((CLIENTS - 1))); do
    (
      repo=r$((c % REPOS + 1))
      for k in $(seq 1 "$COMMITS"); do
        t0=$(date +%s%N)
        [ "$t0" -lt "$deadline" ] || { echo "late" >>"$BENCH_TMP/late.$label"; break; }
        timeout 60 "$BIN/kelbrin" -m small mkdir "$url/$repo/$label-c$c-$k" >/dev/null \
          2>>"$BENCH_TMP/kelbrin.err" || echo "failed" >>"$BENCH_TMP/failed.$label"
        t1=$(date +%s%N)
        echo $(((t1 - t0) / 1000)) >>"$out.$c"
      done
    ) &
  done
  wait
  [ -f "$BENCH_TMP/late.$label" ] && echo "bench: $label stopped after ${LIMIT}s" >&2
  end=$(date +%s%N)
  cat "$out".* >"$out"
  if [ -f "$BENCH_TMP/failed.$label" ]; then
    echo "bench: $(wc -l <"$BENCH_TMP/failed.$label") commits failed in $label, first: $(head -1 "$BENCH_TMP/kelbrin.err")" >&2
  fi
  sort -n "$out" | awk -v ns=$((end - start)) '
    { v[NR] = $1 }
    END { n = NR; if (!n) { print "0 0 0"; exit }
          p50 = v[int((n + 1) * 0.50)]; p99 = v[int(n * 0.99) > 0 ? int(n * 0.99) : 1]
          printf "%.1f %.1f %.1f\n", n / (ns / 1e9), p50 / 1000, p99 / 1000 }'
}

report() {  # LABEL "RATE P50 P99"
  set -- "$1" $2
  printf '  %-28s %8s commits/s   p50 %7s ms   p99 %7s ms\n' "$1" "$2" "$3" "$4"
}

echo "$CLIENTS clients x $COMMITS small commits to $REPOS repositories (load: $(uptime | sed 's/.*load average: //'))"
declare -A rate
for n in 1 2 4; do
  stop_haproxy
  start_haproxy "${servers[@]:0:$n}"
  r=$(load "http://$HAPROXY_ADDR" "pg$n")
  report "PostgreSQL, $n server(s)" "$r"
  rate[pg$n]=${r%% *}
done
stop_haproxy
start_haproxy "$local_server"
r=$(load "http://$HAPROXY_ADDR" local)
report "SQLite, 1 server" "$r"
rate[local]=${r%% *}
stop_haproxy
echo "  ratio 4 servers / 1 server (PostgreSQL)   $(ratio "${rate[pg4]}" "${rate[pg1]}")   (target >= 2.5)"
echo "  ratio 1 server PostgreSQL / SQLite        $(ratio "${rate[pg1]}" "${rate[local]}")"

# One client, one repository, small commits.
one() {  # URL
  local start end k
  start=$(date +%s%N)
  for k in $(seq 1 40); do
    "$BIN/kelbrin" -m one mkdir "$1/r1/one-$RANDOM-$k" >/dev/null || fail "single commit"
  done
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.1f", 40 / (ns / 1e9) }'
}
p=$(one "http://${servers[0]}")
s=$(one "http://$local_server")
echo "one client, one repository, 40 small commits:"
echo "  PostgreSQL  $p commits/s   SQLite  $s commits/s   ratio $(ratio "$p" "$s")   (target >= 0.5)"

# The 10,000-file commit.
per=$((FILES / 100))
{
  printf 'begin\nmkdir tree\n'
  for d in $(seq 0 99); do printf 'mkdir tree/d%d\nfiles tree/d%d %d\n' "$d" "$d" "$per"; done
  printf 'commit\n'
} >"$BENCH_TMP/script"
pgt=() lt=()
for round in 1 2 3; do
  rm -rf "$BENCH_TMP/big-pg" "$BENCH_TMP/big-local"
  bash "$CLUSTER" createdb "$PG" "big$round"
  "$BIN/ostrel-admin" create --postgres "$base dbname=big$round" "$BENCH_TMP/big-pg" >/dev/null
  "$BIN/ostrel-admin" create "$BENCH_TMP/big-local" >/dev/null
  pgt+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/big-pg' <'$BENCH_TMP/script'")")
  lt+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/big-local' <'$BENCH_TMP/script'")")
done
[ "$("$BIN/ostrel-admin" ls "$BENCH_TMP/big-pg" tree/d7 | wc -l)" = "$per" ] || fail "10,000-file commit incomplete"
po=$(median "${pgt[@]}")
lo=$(median "${lt[@]}")
echo "commit of $FILES small files in 100 directories (median of 3):"
echo "  PostgreSQL  ${po} s   SQLite  ${lo} s   ratio PostgreSQL/SQLite $(ratio "$po" "$lo")"
