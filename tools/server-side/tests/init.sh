# Shared set-up of the server-side tools' end-to-end tests (sourced).
# Gives: $BIN (built programs), $T (a scratch directory removed at exit),
# fail MESSAGE, expect_status WANT GOT WHAT, build_repo PATH < SCRIPT, and
# slow_source / wait_for for commits cut short.
set -u
: "${BUILD_DIR:?BUILD_DIR must name the build directory}"
BIN=$BUILD_DIR/bin
for prog in fennick ostrel-admin ostrel-repo-builder ostrel-damage; do
  if [ ! -x "$BIN/$prog" ]; then
    echo "setup: $BIN/$prog is not built" >&2
    exit 99
  fi
done
T=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-server-test.XXXXXX")
trap 'rm -rf "$T"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

expect_status() {
  [ "$1" = "$2" ] || fail "$3: exit status $2, expected $1"
}

# Compares file GOT with file WANT byte for byte.
expect_same() {
  if ! cmp -s "$1" "$2"; then
    fail "$3 differs from what is expected:"
    diff <(od -c "$2") <(od -c "$1") | head -20 >&2
  fi
}

# slow_source MARKER: the file ./chunk, then MARKER is made (the commit is
# under way: kelbrin has read most of it and the server has received part of
# it), then it stalls for up to a minute, until MARKER.go exists, before
# ./chunk once more.
slow_source() {
  cat chunk; touch "$1"
  for i in $(seq 1 600); do [ -e "$1.go" ] && break; sleep 0.1; done
  cat chunk
}

# Waits up to a minute for the file $1 to exist.
wait_for() {
  for i in $(seq 1 600); do [ -e "$1" ] && return 0; sleep 0.1; done
  fail "timed out waiting for $1"; return 1
}

build_repo() {
  "$BIN/ostrel-repo-builder" --create "$1" >/dev/null || { echo "setup: cannot build $1" >&2; exit 99; }
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
  fi
  exit 0
}
