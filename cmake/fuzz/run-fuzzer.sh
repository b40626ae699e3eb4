#!/bin/sh
# run-fuzzer.sh FUZZER SEED-DIR WORK-DIR
# Runs a libFuzzer target for $OSTREL_FUZZ_SECONDS seconds (default 3) from
# the seeds in SEED-DIR (kept in the tree, never written) and what earlier
# runs found in WORK-DIR/corpus.  A crash is saved as WORK-DIR/crash-* and
# fails the run; reproduce it with `FUZZER WORK-DIR/crash-...`.
set -eu
fuzzer=$1 seeds=$2 work=$3
seconds=${OSTREL_FUZZ_SECONDS:-3}
mkdir -p "$work/corpus"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" "$seeds"
