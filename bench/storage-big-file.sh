#!/usr/bin/env bash
# A 256 MiB file committed and read back through the library, against cp of
# the same file followed by a sync of the copy, and against cat; wall time and
# peak memory of each, in the same run.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
MB=${BENCH_BIG_MB:-256}

head -c "$((MB * 1024 * 1024))" /dev/urandom >"$BENCH_TMP/big"
"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
printf 'begin\nmkfile big\nput big %s\ncommit\n' "$BENCH_TMP/big" >"$BENCH_TMP/script"
sync

read -r commit_s commit_kb < <(measure "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script")
read -r cp_s cp_kb < <(measure sh -c "cp '$BENCH_TMP/big' '$BENCH_TMP/big.cp' && sync '$BENCH_TMP/big.cp'")
read -r cat_s cat_kb < <(measure sh -c "'$BIN/ostrel-admin' cat '$BENCH_TMP/repo' big >'$BENCH_TMP/big.out'")
read -r cat2_s cat2_kb < <(measure sh -c "cat '$BENCH_TMP/big.cp' >'$BENCH_TMP/big.cat'")
# The same reads into a pipe, whose reader only counts.
read -r pipe_s pipe_kb < <(measure sh -c "'$BIN/ostrel-admin' cat '$BENCH_TMP/repo' big | wc -c >/dev/null")
read -r pipe2_s pipe2_kb < <(measure sh -c "cat '$BENCH_TMP/big.cp' | wc -c >/dev/null")
cmp -s "$BENCH_TMP/big" "$BENCH_TMP/big.out" || { echo "bench: read-back differs" >&2; exit 1; }
printf 'begin\nmkfile again\nput again %s\ncommit\n' "$BENCH_TMP/big" >"$BENCH_TMP/script2"
syncs=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script2")

echo "a ${MB} MiB file of random bytes:"
printf '  %-28s %8s s  %8s KiB peak\n' "library commit" "$commit_s" "$commit_kb" \
  "cp + sync of the copy" "$cp_s" "$cp_kb" "library read back (cat)" "$cat_s" "$cat_kb" \
  "cat of a copy" "$cat2_s" "$cat2_kb" "library read into a pipe" "$pipe_s" "$pipe_kb" \
  "cat of a copy into a pipe" "$pipe2_s" "$pipe2_kb"
echo "  ratio commit/(cp+sync)     time $(ratio "$commit_s" "$cp_s")  (target <= 2.0)  peak $((commit_kb / 1024)) MiB (target < 64)"
echo "  ratio read-back/cat        time $(ratio "$cat_s" "$cat2_s")  (target <= 1.3)  peak $((cat_kb / 1024)) MiB"
echo "  ratio read/cat, pipe       time $(ratio "$pipe_s" "$pipe2_s")  (target <= 1.3)"
echo "  fsync+fdatasync calls of one such commit: $syncs"
