#!/usr/bin/env bash
# A large text committed through a file:// session and the commit editor,
# against cp of the same file, measured in the same run: wall time and peak
# resident memory of both, as ratios.  The text is streamed window by
# window, so the commit's peak memory must not grow with the file.
#
# BENCH_STREAM_MB sets the size (default 1024, i.e. 1 GiB).
set -euo pipefail
size_mb=${BENCH_STREAM_MB:-1024}
driver="$BUILD_DIR/bin/stream_commit"
[ -x "$driver" ] || { echo "stream_commit: not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Incompressible contents, so compression cannot hide the volume.
head -c $((size_mb * 1024 * 1024)) /dev/urandom > "$work/source"

measure() {  # prints "seconds peak-KiB" of the command
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" > /dev/null
  cat "$work/time"
}

read -r cp_s cp_kb < <(measure cp "$work/source" "$work/copy")
rm -f "$work/copy"
read -r ed_s ed_kb < <(measure "$driver" "$work/repo" "$work/source")

awk -v mb="$size_mb" -v cs="$cp_s" -v ck="$cp_kb" -v es="$ed_s" -v ek="$ed_kb" 'BEGIN {
  printf "text of %d MiB\n", mb
  printf "  cp:            %7.2f s  peak %7.1f MiB\n", cs, ck / 1024
  printf "  editor commit: %7.2f s  peak %7.1f MiB\n", es, ek / 1024
  printf "  time ratio (commit / cp):        %6.2f\n", (cs > 0 ? es / cs : 0)
  printf "  peak memory ratio (commit / cp): %6.2f\n", ek / ck
  printf "  peak memory / text size:         %6.4f\n", ek / (mb * 1024)
}'
