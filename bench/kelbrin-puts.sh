#!/usr/bin/env bash
# kelbrin: many puts in one commit, against git fast-import of the same files
# in the same run; and the peak memory of one large put, against the peak
# memory of a trivial commit (contents must be streamed, not held).
#
# Sizes: KELBRIN_BENCH_FILES (default 2000; the brief's figure is 10000) files
# of KELBRIN_BENCH_FILE_BYTES (default 1024) bytes; KELBRIN_BENCH_BIG_MB
# (default 64; 1024 for a 1 GiB put) for the large put.
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
files=${KELBRIN_BENCH_FILES:-2000}
bytes=${KELBRIN_BENCH_FILE_BYTES:-1024}
big_mb=${KELBRIN_BENCH_BIG_MB:-64}
work=$(mktemp -d "${TMPDIR:-/tmp}/kelbrin-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work"
cd "$work"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }

# The files, and the same puts as an extra-arguments file.
mkdir src
head -c $((files * bytes)) /dev/urandom | split -a 6 -d -b "$bytes" - src/f
"$ADMIN" create repo >/dev/null
R="file://$work/repo"
for f in src/*; do printf 'put\n%s\n%s/%s\n' "$f" "$R" "${f#src/}"; done >puts.args

t0=$(now)
"$KELBRIN" -m bench -X puts.args >/dev/null
t1=$(now)
kelbrin_s=$(elapsed "$t0" "$t1")
[ "$("$ADMIN" ls repo | wc -l)" = "$files" ] || { echo "bench: kelbrin did not commit every file"; exit 1; }

# git fast-import of the same files, one commit.
if command -v git >/dev/null; then
  git init -q gitrepo
  {
    echo "commit refs/heads/main"
    echo "committer bench <bench@localhost> 0 +0000"
    echo "data 5"; echo "bench"
    for f in src/*; do
      echo "M 644 inline ${f#src/}"
      echo "data $bytes"
      cat "$f"
      echo
    done
  } >fast-import.stream
  t0=$(now)
  git -C gitrepo fast-import --quiet <fast-import.stream
  t1=$(now)
  git_s=$(elapsed "$t0" "$t1")
  printf 'puts: %d files of %d bytes in one commit: kelbrin %.2fs, git fast-import %.2fs, ratio %.2f\n' \
    "$files" "$bytes" "$kelbrin_s" "$git_s" "$(echo "$kelbrin_s / $git_s" | bc -l)"
else
  printf 'puts: %d files in one commit: kelbrin %.2fs (git not installed: no baseline)\n' \
    "$files" "$kelbrin_s"
fi

# Peak memory: a tiny commit as the baseline, then one large put.
peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p'; }
if [ -x /usr/bin/time ]; then
  base_kb=$(peak_kb "$KELBRIN" -m small mkdir "$R/small-dir")
  head -c $((big_mb * 1048576)) /dev/zero | tr '\0' 'x' >big.bin
  t0=$(now)
  big_kb=$(peak_kb "$KELBRIN" -m big put big.bin "$R/big.bin")
  t1=$(now)
  printf 'big put: %d MiB in %.2fs; peak memory %d KiB vs %d KiB for a mkdir, ratio %.2f\n' \
    "$big_mb" "$(elapsed "$t0" "$t1")" "$big_kb" "$base_kb" "$(echo "$big_kb / $base_kb" | bc -l)"
else
  echo "big put: /usr/bin/time not installed, peak memory not measured"
fi
