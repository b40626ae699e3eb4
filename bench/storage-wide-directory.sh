#!/usr/bin/env bash
# One commit putting many small files into one existing directory: 20,000
# against 5,000 in the same run.  Each entry costs a bounded number of index
# lookups, so the cost per entry should stay the same (ratio close to 1); a
# statement that scans the directory per entry shows here as a ratio near 4.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
SMALL=${BENCH_WIDE_SMALL:-5000}
LARGE=$((SMALL * 4))

# The directory exists (with one entry) before the timed commit, so the
# commit extends its rows instead of starting them.
printf 'begin\nmkdir wide\nmkfile wide/first\ncommit\n' |
  "$BIN/ostrel-repo-builder" --create "$BENCH_TMP/base" >/dev/null
script() {
  awk -v n="$1" 'BEGIN {
    print "begin"
    for (i = 0; i < n; i++) { print "mkfile wide/e" i; print "puttext wide/e" i " entry " i }
    print "commit"
  }' >"$BENCH_TMP/script-$1"
}
script "$SMALL"
script "$LARGE"

small=()
large=()
for round in 1 2 3; do
  for n in "$SMALL" "$LARGE"; do
    rm -rf "$BENCH_TMP/repo"
    cp -r "$BENCH_TMP/base" "$BENCH_TMP/repo"
    t=$(seconds "'$BIN/ostrel-repo-builder' '$BENCH_TMP/repo' <'$BENCH_TMP/script-$n'")
    if [ "$n" = "$SMALL" ]; then small+=("$t"); else large+=("$t"); fi
  done
done
"$BIN/ostrel-admin" ls "$BENCH_TMP/repo" wide | wc -l | grep -qx "$((LARGE + 1))" ||
  { echo "bench: commit incomplete" >&2; exit 1; }
s=$(median "${small[@]}")
l=$(median "${large[@]}")
per_small=$(awk -v secs="$s" -v count="$SMALL" 'BEGIN { printf "%.6f", secs / count }')
per_large=$(awk -v t="$l" -v n="$LARGE" 'BEGIN { printf "%.6f", t / n }')
echo "one commit putting small files into one existing directory (median of 3):"
echo "  $SMALL entries      ${s} s"
echo "  $LARGE entries      ${l} s   ratio $(ratio "$l" "$s") (target <= 5; linear: 4)"
echo "  cost per entry, $LARGE against $SMALL: ratio $(ratio "$per_large" "$per_small") (linear: 1)"
