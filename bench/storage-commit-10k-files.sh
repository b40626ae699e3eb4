#!/usr/bin/env bash
# One commit of 10,000 new small files through the library, against git
# fast-import importing the same 10,000 files as one commit, in the same run.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
N=${BENCH_FILES:-10000}

printf 'begin\nmkdir tree\nfiles tree %d\ncommit\n' "$N" >"$BENCH_TMP/script"
awk -v n="$N" 'BEGIN {
  print "commit refs/heads/main"
  print "committer bench <bench@localhost> 1700000000 +0000"
  print "data 6"; print "import"
  for (i = 0; i < n; i++) {
    s = "file " i "\n"
    printf "M 100644 inline tree/f%d\ndata %d\n%s\n", i, length(s), s
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
"$BIN/ostrel-admin" ls "$BENCH_TMP/repo" tree | wc -l | grep -qx "$N" || { echo "bench: commit incomplete" >&2; exit 1; }
o=$(median "${ours[@]}")
t=$(median "${theirs[@]}")
echo "commit of $N new small files (median of 3):"
echo "  library commit      ${o} s"
echo "  git fast-import     ${t} s"
echo "  ratio library/git   $(ratio "$o" "$t")"
