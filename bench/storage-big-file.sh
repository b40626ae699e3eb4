#!/usr/bin/env bash
# A 256 MiB file committed and read back through the library, against cp of
# the same file followed by a sync of the copy, and against cat; wall time and
# peak memory of each, in the same run (the reads: medians of three rounds).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
MB=${BENCH_BIG_MB:-256}

head -c "$((MB * 1024 * 1024))" /dev/urandom >"$BENCH_TMP/big"
printf 'begin\nmkfile big\nput big %s\ncommit\n' "$BENCH_TMP/big" >"$BENCH_TMP/script"
# The commit and the copy take turns for three rounds, each into a new
# repository or file after a sync; the medians count (a single round caught
# the write-back of the file just made).
declare -a commit_t cp_t
for round in 1 2 3; do
  rm -rf "$BENCH_TMP/repo" "$BENCH_TMP/big.cp"
  "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
  sync
  read -r t commit_kb < <(measure "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script")
  commit_t+=("$t")
  sync
  read -r t cp_kb < <(measure sh -c "cp '$BENCH_TMP/big' '$BENCH_TMP/big.cp' && sync '$BENCH_TMP/big.cp'")
  cp_t+=("$t")
done
commit_s=$(median "${commit_t[@]}") cp_s=$(median "${cp_t[@]}")
# The reads, to a file and into a pipe whose reader only counts: five
# rounds that take turns, each write to a new file after a sync, so that the
# write-back of one read does not land on the next; the medians count.  On
# a virtual machine the first touch of new page-cache pages costs a wall
# time that swings from run to run, so the reads to a file are also timed
# in CPU (a round of their own each, under the same rules).
ROUNDS=5
declare -a cat_t cat2_t dd_t pipe_t pipe2_t cat_c cat2_c
for ((round = 0; round < ROUNDS; round++)); do
  rm -f "$BENCH_TMP/big.out" "$BENCH_TMP/big.cat"; sync
  read -r t cat_kb < <(measure sh -c "'$BIN/ostrel-admin' cat '$BENCH_TMP/repo' big >'$BENCH_TMP/big.out'")
  cat_t+=("$t")
  cmp -s "$BENCH_TMP/big" "$BENCH_TMP/big.out" || { echo "bench: read-back differs" >&2; exit 1; }
  rm -f "$BENCH_TMP/big.out"; sync
  read -r t cat2_kb < <(measure sh -c "cat '$BENCH_TMP/big.cp' >'$BENCH_TMP/big.cat'")
  cat2_t+=("$t")
  rm -f "$BENCH_TMP/big.cat"; sync
  timed sh -c "'$BIN/ostrel-admin' cat '$BENCH_TMP/repo' big >'$BENCH_TMP/big.out'"
  cat_c+=("$(cpu_of)")
  rm -f "$BENCH_TMP/big.out"; sync
  timed sh -c "cat '$BENCH_TMP/big.cp' >'$BENCH_TMP/big.cat'"
  cat2_c+=("$(cpu_of)")
  # cat copies a file to a file inside the kernel (copy_file_range); dd
  # copies through its own buffer, as any reader that looks at the bytes
  # must (our read checks every chunk it hands out).
  rm -f "$BENCH_TMP/big.cat"; sync
  read -r t dd_kb < <(measure dd if="$BENCH_TMP/big.cp" of="$BENCH_TMP/big.cat" bs=1M status=none)
  dd_t+=("$t")
  read -r t pipe_kb < <(measure sh -c "'$BIN/ostrel-admin' cat '$BENCH_TMP/repo' big | wc -c >/dev/null")
  pipe_t+=("$t")
  read -r t pipe2_kb < <(measure sh -c "cat '$BENCH_TMP/big.cp' | wc -c >/dev/null")
  pipe2_t+=("$t")
done
cat_s=$(median "${cat_t[@]}") cat2_s=$(median "${cat2_t[@]}") dd_s=$(median "${dd_t[@]}")
cat_cpu=$(median "${cat_c[@]}") cat2_cpu=$(median "${cat2_c[@]}")
pipe_s=$(median "${pipe_t[@]}") pipe2_s=$(median "${pipe2_t[@]}")
printf 'begin\nmkfile again\nput again %s\ncommit\n' "$BENCH_TMP/big" >"$BENCH_TMP/script2"
syncs=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script2")

echo "a ${MB} MiB file of random bytes:"
printf '  %-32s %9s s  %8s KiB peak\n' "library commit, median" "$commit_s" "$commit_kb" \
  "cp + sync of the copy, median" "$cp_s" "$cp_kb" "library read back (cat), median" "$cat_s" "$cat_kb" \
  "cat of a copy, median" "$cat2_s" "$cat2_kb" "dd bs=1M of a copy, median" "$dd_s" "$dd_kb" \
  "library read into a pipe" "$pipe_s" "$pipe_kb" \
  "cat of a copy into a pipe" "$pipe2_s" "$pipe2_kb"
echo "  ratio commit/(cp+sync)     time $(ratio "$commit_s" "$cp_s")  (target <= 2.0)  peak $((commit_kb / 1024)) MiB (target < 64)"
echo "  ratio read-back/cat        time $(ratio "$cat_s" "$cat2_s")  (target <= 1.3)  peak $((cat_kb / 1024)) MiB"
echo "  ratio read-back/cat        CPU  $(ratio "$cat_cpu" "$cat2_cpu")  ($cat_cpu s against $cat2_cpu s)"
echo "  ratio read-back/dd bs=1M   time $(ratio "$cat_s" "$dd_s")  (a copy through user space)"
echo "  ratio read/cat, pipe       time $(ratio "$pipe_s" "$pipe2_s")  (target <= 1.3)"
echo "  fsync+fdatasync calls of one such commit: $syncs"
