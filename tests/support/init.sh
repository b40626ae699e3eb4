# The shared start of every end-to-end shell test (sourced first).
#
# A test ends in one of four ways (tests/README.md):
#   0   passed
#   1   the product failed at least one check      ("FAIL: TEST: CHECK")
#   77  skipped: something optional is not here    ("SKIPPED: TEST: REASON")
#   99  the setup broke before the product could   ("SETUP FAILED: TEST: REASON")
#       be judged: a program not built, a required package missing, a
#       server or database that did not start
# CTest registers each script through ostrel_add_shell_test, which tells the
# last two apart from a failure (cmake/OstrelTesting.cmake).
#
# It holds under "set -e" too (the benchmarks use it).
#
# Gives:
#   $TEST_NAME  the name CTest knows the test by (else the script's name)
#   $BIN        the built programs; $KELBRIN, $OSTREL, $ADMIN, $OSTRELD in it
#   $SUPPORT_DIR  this folder (the fixtures beside this file)
#   $T          a scratch directory, removed at exit
#   fail CHECK [EXPECTED ACTUAL]   one failed check: the test goes on, ends 1
#   pass CHECK                     one passed check, said on standard output
#   expect_status WANT GOT CHECK   exit status GOT is WANT
#   expect_eq CHECK EXPECTED ACTUAL  two strings are equal
#   expect_same GOT-FILE WANT-FILE CHECK   two files are equal byte for byte
#   expect CHECK STATUS STDOUT STDERR -- COMMAND...   runs COMMAND (input from
#                                  $STDIN, default /dev/null) and compares its
#                                  exit status and both outputs exactly
#   setup_failed REASON    ends the test as "setup broke" (99)
#   skip REASON            ends the test as skipped (77)
#   need_built PROGRAM...  each is built in $BIN, else setup broke
#   need_command COMMAND [PACKAGE]  COMMAND is on PATH, else setup broke
#   at_exit COMMAND        runs COMMAND (a string for eval) when the shell
#                          exits, whatever happens, the last registered first
#   build_repo PATH < SCRIPT   a repository made with ostrel-repo-builder
#   wait_for FILE; slow_source MARKER   for commits cut short
#   finish                 ends the test: 1 after any failed check, else 0
set -u
if [ -z "${BUILD_DIR:-}" ]; then
  echo "SETUP FAILED: ${OSTREL_TEST_NAME:-$(basename "$0" .sh)}: BUILD_DIR must name the build directory" >&2
  exit 99
fi
TEST_NAME=${OSTREL_TEST_NAME:-$(basename "$0" .sh)}
SUPPORT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE_DIR=${SOURCE_DIR:-$(cd "$SUPPORT_DIR/../.." && pwd)}
BIN=$BUILD_DIR/bin
KELBRIN=$BIN/kelbrin
OSTREL=$BIN/ostrel
ADMIN=$BIN/ostrel-admin
OSTRELD=$BIN/ostreld
failures=0
_test_outcome_said=
_test_at_exit=()

setup_failed() {
  echo "SETUP FAILED: $TEST_NAME: $*" >&2
  _test_outcome_said=1
  exit 99
}

skip() {
  echo "SKIPPED: $TEST_NAME: $*" >&2
  _test_outcome_said=1
  exit 77
}

# Multi-line values are indented under their heading.
_test_show() {  # HEADING VALUE
  case $2 in
    *$'\n'*) echo "  ${1%% *}"; printf '%s\n' "$2" | sed -e 's/^/    | /' ;;
    *) echo "  $1 $2" ;;
  esac
}

fail() {
  {
    echo "FAIL: $TEST_NAME: $1"
    if [ $# -ge 3 ]; then
      _test_show "expected:" "$2"
      _test_show "actual:  " "$3"
    fi
  } >&2
  failures=$((failures + 1))
}

pass() { echo "ok   $TEST_NAME: $1"; }

expect_status() {
  [ "$1" = "$2" ] || fail "$3: exit status" "$1" "$2"
}

expect_eq() {
  [ "$2" = "$3" ] || fail "$1" "$2" "$3"
}

expect_same() {
  if ! cmp -s "$1" "$2"; then
    fail "$3: the contents differ (diff of od -c, expected then actual)"
    diff <(od -c "$2") <(od -c "$1") | head -20 >&2
  fi
}

expect() {
  local check=$1 status=$2 out=$3 err=$4
  shift 5
  local got_status=0
  "$@" <"${STDIN:-/dev/null}" >"$T/expect.out" 2>"$T/expect.err" || got_status=$?
  local before=$failures
  expect_status "$status" "$got_status" "$check"
  # The "x" keeps trailing newlines in the comparison.
  [ "$(cat "$T/expect.out"; echo x)" = "$(printf '%s' "$out"; echo x)" ] ||
    fail "$check: standard output" "$out" "$(cat "$T/expect.out")"
  [ "$(cat "$T/expect.err"; echo x)" = "$(printf '%s' "$err"; echo x)" ] ||
    fail "$check: standard error" "$err" "$(cat "$T/expect.err")"
  if [ "$failures" = "$before" ]; then pass "$check"; fi
}

need_built() {
  local prog
  for prog in "$@"; do
    [ -x "$BIN/$prog" ] || setup_failed "$BIN/$prog is not built"
  done
}

need_command() {
  command -v "$1" >/dev/null || setup_failed "$1 is missing${2:+ (package $2)}"
}

at_exit() { _test_at_exit+=("$1"); }

_test_exit() {
  local status=$? i
  for ((i = ${#_test_at_exit[@]} - 1; i >= 0; i--)); do
    eval "${_test_at_exit[i]}" || true
  done
  if [ -n "${T:-}" ]; then rm -rf "$T"; fi
  # A bare "exit 99" or "exit 77" still says what it is.
  if [ -z "$_test_outcome_said" ]; then
    case $status in
      99) echo "SETUP FAILED: $TEST_NAME: (exit 99; the reason is above)" >&2 ;;
      77) echo "SKIPPED: $TEST_NAME" >&2 ;;
    esac
  fi
}
trap _test_exit EXIT

T=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-test.XXXXXX") || setup_failed "cannot make a scratch directory"

# A test given "--format N" builds its repositories in format N (else the
# newest).
TEST_FORMAT=
if [ "${1:-}" = "--format" ]; then TEST_FORMAT=${2:?--format needs a number}; fi
build_repo() {
  need_built ostrel-repo-builder
  "$BIN/ostrel-repo-builder" --create ${TEST_FORMAT:+--format "$TEST_FORMAT"} "$1" >/dev/null ||
    setup_failed "cannot build the repository $1"
}

# Waits up to a minute for the file $1 to exist.
wait_for() {
  local i
  for i in $(seq 1 600); do [ -e "$1" ] && return 0; sleep 0.1; done
  fail "waiting for $1" "it exists within a minute" "it does not"
  return 1
}

# slow_source MARKER: the file ./chunk, then MARKER is made (the commit is
# under way: kelbrin has read most of it and the server has received part of
# it), then it stalls for up to a minute, until MARKER.go exists, before
# ./chunk once more.
slow_source() {
  local i
  cat chunk; touch "$1"
  for i in $(seq 1 600); do [ -e "$1.go" ] && break; sleep 0.1; done
  cat chunk
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "FAILED: $TEST_NAME: $failures check(s) failed" >&2
    exit 1
  fi
  exit 0
}
