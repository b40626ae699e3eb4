#!/usr/bin/env bash
# dump and load keep their memory flat: the peak memory of dumping and of
# loading a repository holding one small file and one holding a large file,
# as ratios to each other, and the time of each against cat of the large
# file's dump stream (the least a reader of that stream has to do).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
MB=${BENCH_DUMP_MB:-256}

declare -A dump_s dump_kb load_s load_kb
head -c "$((MB * 1024 * 1024))" /dev/urandom >"$BENCH_TMP/big.data"
echo small >"$BENCH_TMP/small.data"
for size in small big; do
  "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/$size" </dev/null >/dev/null
  printf 'begin\nmkfile f\nput f %s\ncommit\n' "$BENCH_TMP/$size.data" |
    "$BIN/ostrel-repo-builder" "$BENCH_TMP/$size" >/dev/null
  read -r dump_s[$size] dump_kb[$size] < <(measure sh -c \
    "'$BIN/ostrel-admin' dump '$BENCH_TMP/$size' >'$BENCH_TMP/$size.dump'")
  "$BIN/ostrel-admin" create "$BENCH_TMP/$size.loaded"
  read -r load_s[$size] load_kb[$size] < <(measure sh -c \
    "'$BIN/ostrel-admin' load '$BENCH_TMP/$size.loaded' <'$BENCH_TMP/$size.dump'")
done
read -r cat_s cat_kb < <(measure sh -c "cat '$BENCH_TMP/big.dump' >'$BENCH_TMP/big.cat'")

echo "dump and load of one ${MB} MiB file against one small file:"
printf '  %-24s %8s s  %8s KiB peak\n' \
  "dump, small" "${dump_s[small]}" "${dump_kb[small]}" "dump, ${MB} MiB" "${dump_s[big]}" "${dump_kb[big]}" \
  "load, small" "${load_s[small]}" "${load_kb[small]}" "load, ${MB} MiB" "${load_s[big]}" "${load_kb[big]}" \
  "cat of the stream" "$cat_s" "$cat_kb"
echo "  peak memory big/small      dump $(ratio "${dump_kb[big]}" "${dump_kb[small]}")  load $(ratio "${load_kb[big]}" "${load_kb[small]}")"
echo "  time against cat           dump $(ratio "${dump_s[big]}" "$cat_s")  load $(ratio "${load_s[big]}" "$cat_s")"
