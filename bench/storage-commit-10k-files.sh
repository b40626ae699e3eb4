#!/usr/bin/env bash
# One commit of 10,000 new small files in 100 directories through the
# library, against git fast-import importing the same files as one commit, in
# the same run; and the syncs that commit makes.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
N=${BENCH_FILES:-10000}
DIRS=100
per=$((N / DIRS))

{
  printf 'begin\nmkdir tree\n'
  for d in $(seq 0 $((DIRS - 1))); do printf 'mkdir tree/d%d\nfiles tree/d%d %d\n' "$d" "$d" "$per"; done
  printf 'commit\n'
} >"$BENCH_TMP/script"
awk -v dirs="$DIRS" -v per="$per" 'BEGIN {
  print "commit refs/heads/main"
  print "committer bench <bench@localhost> 1700000000 +0000"
  print "data 6"; print "import"
  for (d = 0; d < dirs; d++)
    for (i = 0; i < per; i++) {
      s = "file " i "\n"
      printf "M 100644 inline tree/d%d/f%d\ndata %d\n%s\n", d, i, length(s), s
    }
}' >"$BENCH_TMP/stream"

ours=()
theirs=()
for round in 1 2 3; do
  rm -rf "$BENCH_TMP/repo" "$BENCH_TMP/git"
  ours+=("$(seconds "'$BIN/ostrel-repo-builder' --create '$BENCH_TMP/repo' <'$BENCH_TMP/script'")")
  git init -q --bare "$BENCH_TMP/git"
  theirs+=("$(seconds "git -C '$BENCH_TMP/git' fast-import --quiet <'$BENCH_TMP/stream'")")
done
[ "$("$BIN/ostrel-admin" ls "$BENCH_TMP/repo" tree/d7 | wc -l)" = "$per" ] ||
  { echo "bench: commit incomplete" >&2; exit 1; }
rm -rf "$BENCH_TMP/repo"
"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
syncs=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script")
o=$(median "${ours[@]}")
t=$(median "${theirs[@]}")
echo "commit of $N new small files in $DIRS directories (median of 3):"
echo "  library commit      ${o} s"
echo "  git fast-import     ${t} s"
echo "  ratio library/git   $(ratio "$o" "$t")   (target <= 0.8)"
echo "  fsync+fdatasync calls of that commit: $syncs"
