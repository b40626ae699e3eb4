#!/usr/bin/env bash
# kelbrin over http:// to ostreld on loopback against kelbrin over file:// to
# the same kind of repository, in the same run: many small puts in one
# commit, and one large put.  Prints the time ratios (target: at most 1.3),
# the peak memory of client and server for the large put against a mkdir
# (flat: the contents are streamed on both sides), and the requests each
# commit took (from the server's access log).
#
# Sizes: OSTRELD_BENCH_FILES (default 10000) files of OSTRELD_BENCH_FILE_BYTES
# (default 1024) bytes; OSTRELD_BENCH_BIG_MB (default 1024, a 1 GiB put).
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
OSTRELD="$BUILD_DIR/bin/ostreld"
files=${OSTRELD_BENCH_FILES:-10000}
bytes=${OSTRELD_BENCH_FILE_BYTES:-1024}
big_mb=${OSTRELD_BENCH_BIG_MB:-1024}
work=$(mktemp -d "${TMPDIR:-/tmp}/ostreld-bench.XXXXXX")
. "$(dirname "$0")/lib/server_common.sh"
peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p'; }
server_peak_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$server/status"; }

# start_server: a fresh ostreld (so its peak memory is this phase's alone).
# --open: the transport alone is measured, without accounts (a login would
# add a password check per request).
start_server() {
  start_ostreld "$work/served" --open --access-log "$work/access.log"
  server=$OSTRELD_PID
  H="http://$OSTRELD_ADDR/repo"
}
requests_since() { tail -n +$(($1 + 1)) "$work/access.log" | wc -l; }
log_lines() { [ -e "$work/access.log" ] && wc -l <"$work/access.log" || echo 0; }

mkdir src served
head -c $((files * bytes)) /dev/urandom | split -a 6 -d -b "$bytes" - src/f
"$ADMIN" create local >/dev/null
"$ADMIN" create served/repo >/dev/null
F="file://$work/local"
start_server
for f in src/*; do printf 'put\n%s\n%s/%s\n' "$f" "$F" "${f#src/}"; done >file.args
for f in src/*; do printf 'put\n%s\n%s/%s\n' "$f" "$H" "${f#src/}"; done >http.args

t0=$(now); "$KELBRIN" -m bench -X file.args >/dev/null; t1=$(now)
file_s=$(elapsed "$t0" "$t1")
before=$(log_lines)
t0=$(now); "$KELBRIN" -m bench -X http.args >/dev/null; t1=$(now)
http_s=$(elapsed "$t0" "$t1")
puts_requests=$(requests_since "$before")
[ "$("$ADMIN" ls served/repo | wc -l)" = "$files" ] || { echo "bench: not every file arrived"; exit 1; }
printf 'puts: %d files of %d bytes in one commit: http %.2fs, file %.2fs, ratio %.2f; %d requests\n' \
  "$files" "$bytes" "$http_s" "$file_s" "$(ratio "$http_s" "$file_s")" "$puts_requests"
stop_server

# The large put, each side on a fresh server; a mkdir gives the baseline
# peak memory of client and server.
head -c $((big_mb * 1048576)) /dev/urandom >big.bin
start_server
client_base_kb=$(peak_kb "$KELBRIN" -m small mkdir "$H/small-dir")
server_base_kb=$(server_peak_kb)
stop_server
start_server
t0=$(now); file_big_kb=$(peak_kb "$KELBRIN" -m big put big.bin "$F/big.bin"); t1=$(now)
file_big_s=$(elapsed "$t0" "$t1")
before=$(log_lines)
t0=$(now); client_big_kb=$(peak_kb "$KELBRIN" -m big put big.bin "$H/big.bin"); t1=$(now)
http_big_s=$(elapsed "$t0" "$t1")
big_requests=$(requests_since "$before")
server_big_kb=$(server_peak_kb)
stop_server
cmp -s big.bin <("$ADMIN" cat served/repo big.bin) || { echo "bench: the large put arrived damaged"; exit 1; }
printf 'big put: %d MiB: http %.2fs, file %.2fs, ratio %.2f; %d requests\n' \
  "$big_mb" "$http_big_s" "$file_big_s" "$(ratio "$http_big_s" "$file_big_s")" "$big_requests"
printf 'big put peak memory: client %d KiB vs %d KiB for a mkdir (ratio %.2f); server %d KiB vs %d KiB (ratio %.2f)\n' \
  "$client_big_kb" "$client_base_kb" "$(ratio "$client_big_kb" "$client_base_kb")" \
  "$server_big_kb" "$server_base_kb" "$(ratio "$server_big_kb" "$server_base_kb")"
printf 'big put over file:// (the storage alone): peak memory %d KiB\n' "$file_big_kb"
