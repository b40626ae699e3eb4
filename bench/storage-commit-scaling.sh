#!/usr/bin/env bash
# A one-file commit in a repository of 100,000 files and 10,000 revisions,
# against the same commit in an empty repository: the ratio should stay
# close to 1 (a commit costs what it changes, not what the repository holds).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
REVS=${BENCH_REVS:-10000}

big=$(history_repo "$REVS")
cp -r "$big" "$BENCH_TMP/big"
"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/empty" </dev/null >/dev/null
files=$(( (REVS - 1) * 10 ))

ours_big=()
ours_empty=()
for i in 1 2 3 4 5 6 7; do
  for repo in big empty; do
    printf 'begin\nmkdir n%d\nmkfile n%d/one\nputtext n%d/one one line\ncommit\n' "$i" "$i" "$i" \
      >"$BENCH_TMP/one"
    t=$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/$repo' <'$BENCH_TMP/one'")
    if [ "$repo" = big ]; then ours_big+=("$t"); else ours_empty+=("$t"); fi
  done
done
# The same again inside a directory that holds 1,000 entries in the large
# repository.
ours_big_dir=()
for i in 1 2 3 4 5 6 7; do
  printf 'begin\nmkfile d7/extra%d\ncommit\n' "$i" >"$BENCH_TMP/one"
  ours_big_dir+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/big' <'$BENCH_TMP/one'")")
done
b=$(median "${ours_big[@]}")
e=$(median "${ours_empty[@]}")
d=$(median "${ours_big_dir[@]}")
echo "one-file commit (process start to finish, median of 7):"
echo "  empty repository                             ${e} s"
echo "  $files files, $REVS revisions               ${b} s   ratio $(ratio "$b" "$e")"
echo "  same, into a directory of 1,000 entries      ${d} s   ratio $(ratio "$d" "$e")   (target <= 1.2)"

# Syncs: one one-file commit per process, and 50 in one process.
printf 'begin\nmkfile synced\nputtext synced a line of its own, $$\ncommit\n' >"$BENCH_TMP/one"
one=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/empty" <"$BENCH_TMP/one")
for i in $(seq 1 50); do printf 'begin\nmkfile s%d\nputtext s%d line %d\ncommit\n' "$i" "$i" "$i"; done >"$BENCH_TMP/fifty"
fifty=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/empty" <"$BENCH_TMP/fifty")
echo "fsync+fdatasync calls per commit (target: one or two):"
echo "  a one-file commit in its own process     $one"
echo "  50 one-file commits in one process       $(ratio "$fifty" 50) per commit (checkpoints included)"
