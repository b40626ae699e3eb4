#!/usr/bin/env bash
# The read side against baselines measured in the same run:
#  1. `ostrel cat` of one large file over http:// against curl of the same
#     file's raw URL (target: time ratio at most 1.1), with the peak memory
#     of ostrel, curl and the server (flat: contents are streamed);
#  2. `ostrel ls -R` of a tree of many files over http:// against file://
#     (target: at most 1.5);
#  3. pages per second of the directory page of a directory of many entries,
#     loaded with wrk (reported).
#
# Sizes (bounded): READ_BENCH_MB (default 1024, at most 8192) for the file,
# READ_BENCH_FILES (default 100000, at most 1000000) for the tree,
# READ_BENCH_DIR_ENTRIES (default 10000, at most 100000) for the page,
# READ_BENCH_SECONDS (default 5, at most 60) for wrk.
set -euo pipefail
OSTREL="$BUILD_DIR/bin/ostrel"
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
OSTRELD="$BUILD_DIR/bin/ostreld"
bound() { local v=$1 max=$2; [ "$v" -gt "$max" ] && v=$max; [ "$v" -lt 1 ] && v=1; echo "$v"; }
mb=$(bound "${READ_BENCH_MB:-1024}" 8192)
files=$(bound "${READ_BENCH_FILES:-100000}" 1000000)
entries=$(bound "${READ_BENCH_DIR_ENTRIES:-10000}" 100000)
seconds=$(bound "${READ_BENCH_SECONDS:-5}" 60)
work=$(mktemp -d "${TMPDIR:-/tmp}/read-bench.XXXXXX")
. "$(dirname "$0")/lib/server_common.sh"
# Runs a command with its output to /dev/null; prints "SECONDS PEAK_KB".
measure() {
  local t0 t1 kb
  t0=$(now)
  kb=$(/usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p')
  t1=$(now)
  echo "$(elapsed "$t0" "$t1") $kb"
}
start_server() {
  start_ostreld "$work/served" --open
  server=$OSTRELD_PID
  H="http://$OSTRELD_ADDR/repo"
}
server_peak_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$server/status"; }

mkdir served
"$ADMIN" create served/repo >/dev/null
F="file://$work/served/repo"

# ---- 1. cat of a large file ----
head -c $((mb * 1048576)) /dev/urandom >big.bin
"$KELBRIN" -m big put big.bin "$F/big.bin" >/dev/null
rm big.bin
start_server
base_kb=$(server_peak_kb)
measure curl -s -o /dev/null "$H/big.bin?raw" >/dev/null  # warm the page cache
read -r curl_s curl_kb < <(measure curl -s -o /dev/null "$H/big.bin?raw")
read -r cat_s cat_kb < <(measure "$OSTREL" cat "$H/big.bin")
printf 'cat: %d MiB over http: ostrel %.2fs, curl %.2fs, ratio %.2f (target <= 1.1)\n' \
  "$mb" "$cat_s" "$curl_s" "$(ratio "$cat_s" "$curl_s")"
printf 'cat: peak memory: ostrel %d KiB, curl %d KiB, server %d KiB (%d KiB before)\n' \
  "$cat_kb" "$curl_kb" "$(server_peak_kb)" "$base_kb"
stop_server

# ---- 2. ls -R of a large tree ----
: >tree.args
printf 'mkdir\n%s/tree\n' "$F" >>tree.args
per_dir=1000
for ((d = 0; d * per_dir < files; d++)); do
  printf 'mkdir\n%s/tree/d%04d\n' "$F" "$d" >>tree.args
  for ((i = 0; i < per_dir && d * per_dir + i < files; i++)); do
    printf 'put\n/dev/null\n%s/tree/d%04d/f%04d\n' "$F" "$d" "$i"
  done >>tree.args
done
"$KELBRIN" -m tree -X tree.args >/dev/null
start_server
"$OSTREL" ls -R "$F/tree" >/dev/null
read -r file_s file_kb < <(measure "$OSTREL" ls -R "$F/tree")
read -r http_s http_kb < <(measure "$OSTREL" ls -R "$H/tree")
[ "$("$OSTREL" ls -R "$H/tree" | wc -l)" -eq $((files + (files + per_dir - 1) / per_dir)) ] ||
  { echo "bench: the listing is incomplete"; exit 1; }
printf 'ls -R: %d files: http %.2fs, file %.2fs, ratio %.2f (target <= 1.5); peak memory http %d KiB, file %d KiB\n' \
  "$files" "$http_s" "$file_s" "$(ratio "$http_s" "$file_s")" "$http_kb" "$file_kb"

# ---- 3. the directory page ----
if command -v wrk >/dev/null; then
  for ((i = 0; i < entries; i++)); do printf 'put\n/dev/null\n%s/wide/e%06d\n' "$F" "$i"; done >wide.args
  "$KELBRIN" -m wide mkdir "$F/wide" -X wide.args >/dev/null
  bytes=$(curl -s -H 'Accept: text/html' "$H/wide/" | wc -c)
  wrk -t 2 -c 8 -d "${seconds}s" -H 'Accept: text/html' "$H/wide/" >wrk.out
  rate=$(sed -n 's/^Requests\/sec: *//p' wrk.out)
  fixed=$(wrk -t 2 -c 8 -d "${seconds}s" -H 'Accept: text/html' "$H/wide/?r=3" | sed -n 's/^Requests\/sec: *//p')
  printf 'directory page: %d entries (%d bytes): %s pages/s at the youngest revision, %s at ?r=3 (wrk, 2 threads, 8 connections, %ds)\n' \
    "$entries" "$bytes" "$rate" "$fixed" "$seconds"
else
  echo "directory page: skipped (wrk is not installed)"
fi
stop_server
