# Shared set-up of the server-side tools' end-to-end tests (sourced).
# Gives: $BIN (built programs), $T (a scratch directory removed at exit),
# fail MESSAGE, expect_status WANT GOT WHAT, and build_repo PATH < SCRIPT.
set -u
: "${BUILD_DIR:?BUILD_DIR must name the build directory}"
BIN=$BUILD_DIR/bin
for prog in fennick ostrel-admin ostrel-repo-builder; do
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
