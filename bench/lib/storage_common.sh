# Shared helpers of the storage and fennick benchmarks (sourced).
# Needs $BUILD_DIR (set by bench/run, or given).  Work files go to
# $BENCH_TMP (default: a directory under /tmp, removed at exit); built
# repositories that several benchmarks share are kept in $BENCH_CACHE.
set -euo pipefail
: "${BUILD_DIR:?BUILD_DIR must name the build directory}"
BIN=$BUILD_DIR/bin
BENCH_CACHE=${BENCH_CACHE:-$BUILD_DIR/bench-cache}
mkdir -p "$BENCH_CACHE"
BENCH_TMP=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-bench.XXXXXX")
trap 'rm -rf "$BENCH_TMP"' EXIT
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "bench: /usr/bin/time is missing (package 'time')" >&2; exit 1; }

# Runs a command; prints "SECONDS PEAK-KB" (wall time to the tenth of a
# millisecond, where time(1) gives hundredths; peak resident set).
measure() {
  local start end
  start=$(date +%s.%N)
  "$TIME" -f '%M' -o "$BENCH_TMP/.time" "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" -v kb="$(cat "$BENCH_TMP/.time")" \
    'BEGIN { printf "%.4f %s\n", b - a, kb }'
}

# Runs a shell snippet and prints its wall time in seconds (sub-millisecond).
seconds() {
  local start end
  start=$(date +%s.%N)
  bash -c "$1" >/dev/null || { echo "bench: failed: $1" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "inf"; else printf "%.2f", a / b }'; }

# The median of the numbers given as arguments.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A builder script making REVS revisions that each add 10 empty files, spread
# over 100 directories d0..d99 made in revision 1 (so REVS*10 files in all).
history_script() {
  local revs=$1
  awk -v revs="$revs" 'BEGIN {
    print "begin"; for (d = 0; d < 100; d++) print "mkdir d" d; print "commit"
    for (i = 1; i < revs; i++) {
      print "begin"
      for (j = 0; j < 10; j++) print "mkfile d" (i % 100) "/f" i "_" j
      print "commit"
    }
  }'
}

# Path of a cached repository with REVS revisions of history_script.
history_repo() {
  local revs=$1 repo=$BENCH_CACHE/history-$1
  if [ ! -f "$repo/.complete" ]; then
    rm -rf "$repo"
    echo "  (building a repository of $revs revisions, once)" >&2
    history_script "$revs" | "$BIN/ostrel-repo-builder" --create "$repo" >/dev/null
    touch "$repo/.complete"
  fi
  echo "$repo"
}

# The same history as a git fast-import stream (empty files, one commit per
# revision).
history_git_stream() {
  local revs=$1
  awk -v revs="$revs" 'BEGIN {
    print "blob"; print "mark :1"; print "data 0"; print ""
    for (i = 1; i < revs; i++) {
      print "commit refs/heads/main"
      print "committer bench <bench@localhost> " (1700000000 + i) " +0000"
      print "data 4"; print "r" sprintf("%03d", i % 1000)
      for (j = 0; j < 10; j++) print "M 100644 :1 d" (i % 100) "/f" i "_" j
      print ""
    }
  }'
}

# CPU time (user + system) of a command and its children, which a loaded
# machine disturbs less than wall time: `timed CMD...` runs it, `cpu_of`
# then prints its seconds.  From perf's task clock where perf works (to the
# microsecond), else from time(1) (to 10 ms).
if perf stat -x, -e task-clock true >/dev/null 2>&1; then
  timed() { perf stat -x, -e task-clock -o "$BENCH_TMP/.cpu" "$@" >/dev/null; }
  cpu_of() { awk -F, '$3 == "task-clock" { printf "%.4f", $1 / 1000 }' "$BENCH_TMP/.cpu"; }
else
  timed() { "$TIME" -f '%e %U %S' -o "$BENCH_TMP/.cpu" "$@" >/dev/null; }
  cpu_of() { awk '{ printf "%.4f", $2 + $3 }' "$BENCH_TMP/.cpu"; }
fi

# Runs a command under strace; prints how many fsync and fdatasync calls it
# (and its children) made, or "n/a" when strace is missing.
fsyncs() {
  if ! command -v strace >/dev/null; then echo n/a; return; fi
  strace -f -qq -c -e trace=fsync,fdatasync -o "$BENCH_TMP/.strace" "$@" >/dev/null
  awk '$NF == "fsync" || $NF == "fdatasync" { n += $4 } END { print n + 0 }' "$BENCH_TMP/.strace"
}
