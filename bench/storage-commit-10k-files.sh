#!/usr/bin/env bash
# One commit of 10,000 new small files in 100 directories through the
# library (format 5, the default, and formats 3 and 2 for comparison), and
# the same commit made by kelbrin, against git fast-import importing the
# same files as one commit, in the same run; and the syncs that commit makes.
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
# The formats measured: the default first (made without --format), then the
# older ones for comparison.
formats=(5 3 2)
declare -A wall cpu
make_repo() {  # make_repo FORMAT DIR
  if [ "$1" = "${formats[0]}" ]; then
    "$BIN/ostrel-repo-builder" --create "$2" </dev/null >/dev/null
  else
    "$BIN/ostrel-repo-builder" --create --format "$1" "$2" </dev/null >/dev/null
  fi
}
theirs=() theirs_cpu=()
for round in 1 2 3; do
  for f in "${formats[@]}"; do
    rm -rf "$BENCH_TMP/repo$f"
    make_repo "$f" "$BENCH_TMP/repo$f"
    wall[$f]+=" $(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/repo$f' <'$BENCH_TMP/script'")"
    rm -rf "$BENCH_TMP/repo$f"
    make_repo "$f" "$BENCH_TMP/repo$f"
    timed "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo$f" <"$BENCH_TMP/script"
    cpu[$f]+=" $(cpu_of)"
  done
  rm -rf "$BENCH_TMP/git"
  git init -q --bare "$BENCH_TMP/git"
  theirs+=("$(seconds "git -C '$BENCH_TMP/git' fast-import --quiet <'$BENCH_TMP/stream'")")
  rm -rf "$BENCH_TMP/git"
  git init -q --bare "$BENCH_TMP/git"
  timed git -C "$BENCH_TMP/git" fast-import --quiet <"$BENCH_TMP/stream"; theirs_cpu+=("$(cpu_of)")
done
for f in "${formats[@]}"; do
  [ "$(cat "$BENCH_TMP/repo$f/format")" = "$f" ] ||
    { echo "bench: repo$f is not of format $f" >&2; exit 1; }
  [ "$("$BIN/ostrel-admin" ls "$BENCH_TMP/repo$f" tree/d7 | wc -l)" = "$per" ] ||
    { echo "bench: commit incomplete in format $f" >&2; exit 1; }
done
d=${formats[0]}
rm -rf "$BENCH_TMP/repo$d"
make_repo "$d" "$BENCH_TMP/repo$d"
syncs=$(fsyncs "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo$d" <"$BENCH_TMP/script")
t=$(median "${theirs[@]}") tc=$(median "${theirs_cpu[@]}")
declare -A o oc
for f in "${formats[@]}"; do
  # shellcheck disable=SC2086  # the lists are words on purpose
  o[$f]=$(median ${wall[$f]}) oc[$f]=$(median ${cpu[$f]})
done
echo "commit of $N new small files in $DIRS directories (median of 3; wall / CPU):"
for f in "${formats[@]}"; do
  echo "  library commit, format $f   ${o[$f]} s / ${oc[$f]} s"
done
echo "  git fast-import            ${t} s / ${tc} s"
echo "  ratio format $d/git         $(ratio "${o[$d]}" "$t") wall (target <= 0.8), $(ratio "${oc[$d]}" "$tc") CPU"
for f in "${formats[@]:1}"; do
  echo "  ratio format $f/git         $(ratio "${o[$f]}" "$t") wall, $(ratio "${oc[$f]}" "$tc") CPU"
  echo "  ratio format $d/format $f    $(ratio "${o[$d]}" "${o[$f]}") wall, $(ratio "${oc[$d]}" "${oc[$f]}") CPU"
done
echo "  fsync+fdatasync calls of that commit (format $d): $syncs (git fast-import: none)"
# The same commit made by kelbrin over file://, the tool a user runs: it
# reads each file from the disk (100 distinct texts under 10,000 names, as
# above), checks every path against the base revision, and commits.
mkdir -p "$BENCH_TMP/src"
for i in $(seq 0 $((per - 1))); do printf 'file %d\n' "$i" >"$BENCH_TMP/src/f$i"; done
{
  printf 'mkdir\ntree\n'
  for n in $(seq 0 $((DIRS - 1))); do
    printf 'mkdir\ntree/d%d\n' "$n"
    for i in $(seq 0 $((per - 1))); do printf 'put\n%s/src/f%d\ntree/d%d/f%d\n' "$BENCH_TMP" "$i" "$n" "$i"; done
  done
} >"$BENCH_TMP/kelbrin-args"
kwall=() kcpu=()
for round in 1 2 3; do
  rm -rf "$BENCH_TMP/krepo"
  make_repo "$d" "$BENCH_TMP/krepo"
  kwall+=("$(seconds "'$BIN/kelbrin' -m import -U 'file://$BENCH_TMP/krepo' -X '$BENCH_TMP/kelbrin-args'")")
  rm -rf "$BENCH_TMP/krepo"
  make_repo "$d" "$BENCH_TMP/krepo"
  timed "$BIN/kelbrin" -m import -U "file://$BENCH_TMP/krepo" -X "$BENCH_TMP/kelbrin-args"
  kcpu+=("$(cpu_of)")
done
[ "$("$BIN/ostrel-admin" ls "$BENCH_TMP/krepo" tree/d7 | wc -l)" = "$per" ] ||
  { echo "bench: kelbrin commit incomplete" >&2; exit 1; }
k=$(median "${kwall[@]}") kc=$(median "${kcpu[@]}")
# What kelbrin cannot skip: opening and reading its 10,000 source files.  The
# read_files driver does only that (open, read to the end, close, one file
# after the other), so it gives the floor under any commit of these files.
for n in $(seq 0 $((DIRS - 1))); do
  for i in $(seq 0 $((per - 1))); do printf '%s/src/f%d\n' "$BENCH_TMP" "$i"; done
done >"$BENCH_TMP/sources"
fwall=() fcpu=()
for round in 1 2 3; do
  fwall+=("$(seconds "'$BIN/read_files' <'$BENCH_TMP/sources'")")
  timed "$BIN/read_files" <"$BENCH_TMP/sources"
  fcpu+=("$(cpu_of)")
done
fl=$(median "${fwall[@]}") flc=$(median "${fcpu[@]}")
echo "  kelbrin commit, format $d   ${k} s / ${kc} s"
echo "  reading its source files    ${fl} s / ${flc} s"
echo "  ratio kelbrin/git          $(ratio "$k" "$t") wall (target <= 0.8), $(ratio "$kc" "$tc") CPU"
echo "  ratio reading sources/git  $(ratio "$fl" "$t") wall, $(ratio "$flc" "$tc") CPU (the floor of the ratio above)"
echo "  ratio kelbrin/reading      $(ratio "$k" "$fl") wall, $(ratio "$kc" "$flc") CPU"
# Instructions executed, counted by valgrind: the one figure a loaded
# machine does not change (BENCH_INSTRUCTIONS=0 skips it; it takes a minute).
if [ "${BENCH_INSTRUCTIONS:-1}" != 0 ] && command -v valgrind >/dev/null; then
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
      awk '/refs:/ { gsub(",", "", $NF); print $NF }'
  }
  rm -rf "$BENCH_TMP/git"
  git init -q --bare "$BENCH_TMP/git"
  ig=$(instructions git -C "$BENCH_TMP/git" fast-import --quiet <"$BENCH_TMP/stream")
  declare -A ins
  line="  instructions:"
  for f in "${formats[@]}"; do
    rm -rf "$BENCH_TMP/repo$f"
    make_repo "$f" "$BENCH_TMP/repo$f"
    ins[$f]=$(instructions "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo$f" <"$BENCH_TMP/script")
    line+=" format $f ${ins[$f]},"
  done
  rm -rf "$BENCH_TMP/krepo"
  make_repo "$d" "$BENCH_TMP/krepo"
  ik=$(instructions "$BIN/kelbrin" -m import -U "file://$BENCH_TMP/krepo" -X "$BENCH_TMP/kelbrin-args")
  line+=" kelbrin (format $d) $ik,"
  echo "$line git $ig"
  line="  ratio to git (instructions):"
  for f in "${formats[@]}"; do line+=" format $f $(ratio "${ins[$f]}" "$ig");"; done
  echo "$line kelbrin $(ratio "$ik" "$ig")"
  for f in "${formats[@]:1}"; do
    echo "  ratio format $d/format $f    $(ratio "${ins[$d]}" "${ins[$f]}") instructions"
  done
fi
