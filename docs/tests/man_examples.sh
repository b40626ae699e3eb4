#!/usr/bin/env bash
# Runs the commands of every man page's EXAMPLES section, in order, with the
# built programs, in a scratch directory standing in for /srv/repos.  Each
# must succeed.
set -u
: "${BUILD_DIR:?}" "${SOURCE_DIR:?}"
T=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-man.XXXXXX")
trap 'rm -rf "$T"' EXIT
export PATH="$BUILD_DIR/bin:$PATH" HOME="$T/home"
failures=0
for page in "$SOURCE_DIR"/docs/man/*.scd; do
  rm -rf "$T/srv" && mkdir -p "$T/srv/repos" "$T/home"
  # The lines starting with "$ " inside the EXAMPLES section.
  commands=$(awk '/^# /{ex = ($2 == "EXAMPLES")} ex && /^\$ /{print substr($0, 3)}' "$page")
  if [ -z "$commands" ]; then
    echo "FAIL: $(basename "$page") has no examples" >&2
    failures=$((failures + 1))
    continue
  fi
  while IFS= read -r cmd; do
    cmd=${cmd//\/srv\/repos/$T/srv/repos}
    if ! bash -c "$cmd" >"$T/out" 2>&1 </dev/null; then
      echo "FAIL: $(basename "$page"): '$cmd' failed:" >&2
      cat "$T/out" >&2
      failures=$((failures + 1))
    fi
  done <<<"$commands"
done
[ "$failures" -eq 0 ]
