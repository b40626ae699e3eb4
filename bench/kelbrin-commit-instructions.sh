#!/usr/bin/env bash
# What kelbrin adds to a commit: one commit of many tiny files put into new
# directories, made by kelbrin from an action list, against the same tree
# committed directly through the library (ostrel-repo-builder), in the same
# run.  Counted in instructions (valgrind), which a loaded machine does not
# change; the difference is what kelbrin spends per action on top (parsing
# the action list and its URLs, asking what exists, sending each text).
#
# KELBRIN_BENCH_DIRS (default 20) directories of KELBRIN_BENCH_PER_DIR
# (default 100) files each; 100 x 100 is the large case.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
dirs=${KELBRIN_BENCH_DIRS:-20}
per=${KELBRIN_BENCH_PER_DIR:-100}
command -v valgrind >/dev/null || { echo "kelbrin-commit-instructions: valgrind not installed, skipped"; exit 0; }

cd "$BENCH_TMP"
mkdir files
for i in $(seq 0 $((per - 1))); do printf 'file %d\n' "$i" >"files/f$i"; done
{
  printf 'mkdir\ntree\n'
  for d in $(seq 0 $((dirs - 1))); do
    printf 'mkdir\ntree/d%d\n' "$d"
    for i in $(seq 0 $((per - 1))); do printf 'put\nfiles/f%d\ntree/d%d/f%d\n' "$i" "$d" "$i"; done
  done
} >kelbrin.args
{
  printf 'begin\nmkdir tree\n'
  for d in $(seq 0 $((dirs - 1))); do printf 'mkdir tree/d%d\nfiles tree/d%d %d\n' "$d" "$d" "$per"; done
  printf 'commit\n'
} >builder.script

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/refs:/ { gsub(",", "", $NF); print $NF }'
}
"$BIN/ostrel-repo-builder" --create repo-lib </dev/null >/dev/null
"$BIN/ostrel-repo-builder" --create repo-kelbrin </dev/null >/dev/null
lib=$(instructions "$BIN/ostrel-repo-builder" repo-lib <builder.script)
tool=$(instructions "$BIN/kelbrin" -m bench -U "file://$BENCH_TMP/repo-kelbrin" -X kelbrin.args)
[ "$("$BIN/ostrel-admin" ls repo-kelbrin tree/d0 | wc -l)" = "$per" ] ||
  { echo "bench: kelbrin's commit incomplete" >&2; exit 1; }
actions=$((1 + dirs * (per + 1)))
echo "commit of $((dirs * per)) tiny files in $dirs new directories ($actions actions):"
echo "  library commit   $lib instructions"
echo "  kelbrin commit   $tool instructions"
echo "  ratio kelbrin/library $(ratio "$tool" "$lib"), $(( (tool - lib) / actions )) more instructions per action"
