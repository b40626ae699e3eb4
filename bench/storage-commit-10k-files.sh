#!/usr/bin/env bash
# One commit of 10,000 new small files in 100 directories through the
# library (format 3, and format 2 for comparison), against git fast-import
# importing the same files as one commit, in the same run; and the syncs that
# commit makes.
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

# Each round times the commit alone, into a repository made beforehand (as
# git's is by git init, untimed): wall time, and CPU time (user + system),
# which a loaded machine disturbs less and which leaves out the waits for
# syncs (git fast-import makes none; our commit makes its few, counted below).
# CPU time from perf's task clock where perf works (to the microsecond),
# else from time(1) (to 10 ms).
if perf stat -x, -e task-clock true >/dev/null 2>&1; then
  timed() { perf stat -x, -e task-clock -o "$BENCH_TMP/.cpu" "$@" >/dev/null; }
  cpu_of() { awk -F, '$3 == "task-clock" { printf "%.4f", $1 / 1000 }' "$BENCH_TMP/.cpu"; }
else
  timed() { /usr/bin/time -f '%e %U %S' -o "$BENCH_TMP/.cpu" "$@" >/dev/null; }
  cpu_of() { awk '{ printf "%.4f", $2 + $3 }' "$BENCH_TMP/.cpu"; }
fi
ours=() ours_cpu=() two=() two_cpu=() theirs=() theirs_cpu=()
for round in 1 2 3; do
  rm -rf "$BENCH_TMP/repo" "$BENCH_TMP/repo2" "$BENCH_TMP/git"
  "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
  "$BIN/ostrel-repo-builder" --create --format 2 "$BENCH_TMP/repo2" </dev/null >/dev/null
  git init -q --bare "$BENCH_TMP/git"
  ours+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/repo' <'$BENCH_TMP/script'")")
  rm -rf "$BENCH_TMP/repo"
  "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
  timed "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script"; ours_cpu+=("$(cpu_of)")
  two+=("$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/repo2' <'$BENCH_TMP/script'")")
  rm -rf "$BENCH_TMP/repo2"
  "$BIN/ostrel-repo-builder" --create --format 2 "$BENCH_TMP/repo2" </dev/null >/dev/null
  timed "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo2" <"$BENCH_TMP/script"; two_cpu+=("$(cpu_of)")
  theirs+=("$(seconds "git -C '$BENCH_TMP/git' fast-import --quiet <'$BENCH_TMP/stream'")")
  rm -rf "$BENCH_TMP/git"
  git init -q --bare "$BENCH_TMP/git"
  timed git -C "$BENCH_TMP/git" fast-import --quiet <"$BENCH_TMP/stream"; theirs_cpu+=("$(cpu_of)")
done
[ "$(cat "$BENCH_TMP/repo/format")" = 3 ] && [ "$(cat "$BENCH_TMP/repo2/format")" = 2 ] ||
  { echo "bench: not the formats asked for" >&2; exit 1; }
[ "$("$BIN/ostrel-admin" ls "$BENCH_TMP/repo" tree/d7 | wc -l)" = "$per" ] ||
  { echo "bench: commit incomplete" >&2; exit 1; }
rm -rf "$BENCH_TMP/repo"
"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
syncs=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script")
o=$(median "${ours[@]}") oc=$(median "${ours_cpu[@]}")
f2=$(median "${two[@]}") f2c=$(median "${two_cpu[@]}")
t=$(median "${theirs[@]}") tc=$(median "${theirs_cpu[@]}")
echo "commit of $N new small files in $DIRS directories (median of 3; wall / CPU):"
echo "  library commit, format 3   ${o} s / ${oc} s"
echo "  library commit, format 2   ${f2} s / ${f2c} s"
echo "  git fast-import            ${t} s / ${tc} s"
echo "  ratio format 3/git         $(ratio "$o" "$t") wall (target <= 0.8), $(ratio "$oc" "$tc") CPU"
echo "  ratio format 2/git         $(ratio "$f2" "$t") wall, $(ratio "$f2c" "$tc") CPU"
echo "  ratio format 3/format 2    $(ratio "$o" "$f2") wall, $(ratio "$oc" "$f2c") CPU"
echo "  fsync+fdatasync calls of that commit: $syncs (git fast-import: none)"
# Instructions executed, counted by valgrind: the one figure a loaded
# machine does not change (BENCH_INSTRUCTIONS=0 skips it; it takes a minute).
if [ "${BENCH_INSTRUCTIONS:-1}" != 0 ] && command -v valgrind >/dev/null; then
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
      awk '/refs:/ { gsub(",", "", $NF); print $NF }'
  }
  rm -rf "$BENCH_TMP/repo" "$BENCH_TMP/repo2" "$BENCH_TMP/git"
  "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
  "$BIN/ostrel-repo-builder" --create --format 2 "$BENCH_TMP/repo2" </dev/null >/dev/null
  git init -q --bare "$BENCH_TMP/git"
  i3=$(instructions "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script")
  i2=$(instructions "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo2" <"$BENCH_TMP/script")
  ig=$(instructions git -C "$BENCH_TMP/git" fast-import --quiet <"$BENCH_TMP/stream")
  echo "  instructions: format 3 $i3, format 2 $i2, git $ig"
  echo "  ratio format 3/git         $(ratio "$i3" "$ig") instructions; format 2/git $(ratio "$i2" "$ig")"
fi
