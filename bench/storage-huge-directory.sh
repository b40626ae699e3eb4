#!/usr/bin/env bash
# A one-file commit into a directory that already holds 100,000 entries,
# against the same commit into an empty repository, in the same run: the
# ratio should stay close to 1 (a commit costs the names it changes, not the
# size of the directory they are in).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
N=${BENCH_HUGE_ENTRIES:-100000}

awk -v n="$N" 'BEGIN {
  print "begin"; print "mkdir huge"
  for (i = 0; i < n; i++) print "mkfile huge/e" i
  print "commit"
}' | "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/huge" >/dev/null
"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/empty" </dev/null >/dev/null
printf 'begin\nmkdir huge\ncommit\n' | "$BIN/ostrel-repo-builder" "$BENCH_TMP/empty" >/dev/null

in_huge=()
in_empty=()
for i in 1 2 3 4 5 6 7; do
  printf 'begin\nmkfile huge/new%d\nputtext huge/new%d one line\ncommit\n' "$i" "$i" >"$BENCH_TMP/one"
  in_huge+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/huge' <'$BENCH_TMP/one'")")
  in_empty+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/empty' <'$BENCH_TMP/one'")")
done
[ "$("$BIN/ostrel-admin" ls "$BENCH_TMP/huge" huge | wc -l)" = "$((N + 7))" ] ||
  { echo "bench: commits incomplete" >&2; exit 1; }
h=$(median "${in_huge[@]}")
e=$(median "${in_empty[@]}")
echo "one-file commit (median of 7):"
echo "  into a directory of $N entries   ${h} s"
echo "  into a small repository           ${e} s"
echo "  ratio huge/small                  $(ratio "$h" "$e")   (target <= 1.2)"
# Instructions executed by one more such commit each, counted by valgrind:
# the figure a loaded machine does not change (BENCH_INSTRUCTIONS=0 skips it).
if [ "${BENCH_INSTRUCTIONS:-1}" != 0 ] && command -v valgrind >/dev/null; then
  count=()
  for repo in huge empty; do
    printf 'begin\nmkfile huge/counted\nputtext huge/counted one line\ncommit\n' >"$BENCH_TMP/one"
    count+=("$(valgrind --tool=callgrind --callgrind-out-file=/dev/null \
      "$BIN/ostrel-repo-builder" "$BENCH_TMP/$repo" <"$BENCH_TMP/one" 2>&1 >/dev/null |
      awk '/refs:/ { gsub(",", "", $NF); print $NF }')")
  done
  echo "  instructions huge/small               $(ratio "${count[0]}" "${count[1]}")   (${count[0]} / ${count[1]})"
fi
