#!/usr/bin/env bash
# fennick over a repository of 10,000 revisions and 100,000 new nodes, against
# git log --name-status over the same history in git, in the same run; and
# fennick's peak memory for 1,000 against 10,000 revisions (it should stay
# flat).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
REVS=${BENCH_REVS:-10000}
SMALL=$((REVS / 10))

big=$(history_repo "$REVS")
small=$(history_repo "$SMALL")
git init -q --bare "$BENCH_TMP/git"
history_git_stream "$REVS" | git -C "$BENCH_TMP/git" fast-import --quiet

cold=()
warm=()
gitlog=()
for round in 1 2 3; do
  rm -rf "$BENCH_TMP/repo"
  cp -r "$big" "$BENCH_TMP/repo"   # an empty index each round
  cold+=("$(seconds "'$BIN/fennick' '$BENCH_TMP/repo'")")
  warm+=("$(seconds "'$BIN/fennick' '$BENCH_TMP/repo'")")
  gitlog+=("$(seconds "git -C '$BENCH_TMP/git' log --name-status main")")
done
"$BIN/ostrel-admin" origins "$BENCH_TMP/repo" >"$BENCH_TMP/origins"
read -r _ _ _ lines <"$BENCH_TMP/origins"
indexed=$(sed -n 's/^In the node-origins index: //p' "$BENCH_TMP/origins")
[ "$lines" = "$indexed" ] || { echo "bench: index not full ($lines lines, $indexed indexed)" >&2; exit 1; }

rm -rf "$BENCH_TMP/s" "$BENCH_TMP/b"
cp -r "$small" "$BENCH_TMP/s"
cp -r "$big" "$BENCH_TMP/b"
read -r _ small_kb < <(measure "$BIN/fennick" "$BENCH_TMP/s")
read -r _ big_kb < <(measure "$BIN/fennick" "$BENCH_TMP/b")

c=$(median "${cold[@]}")
w=$(median "${warm[@]}")
g=$(median "${gitlog[@]}")
echo "fennick over $REVS revisions, $lines lines of history (median of 3):"
echo "  fennick, empty index          ${c} s   ratio to git log $(ratio "$c" "$g")"
echo "  fennick, full index           ${w} s   ratio to git log $(ratio "$w" "$g")"
echo "  git log --name-status         ${g} s"
echo "peak memory of fennick:"
echo "  $SMALL revisions   ${small_kb} KiB"
echo "  $REVS revisions   ${big_kb} KiB   ratio $(ratio "$big_kb" "$small_kb")"
