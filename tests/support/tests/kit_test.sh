#!/usr/bin/env bash
# The test kit itself: each outcome of init.sh (passed, failed, skipped,
# setup broke) with its exit status and its one line, the clean-ups at exit
# whatever the outcome, and the ostreld fixture: a server that does not start
# is a broken setup that shows the server's standard error, every server
# started is gone after the test, and the "serve" mode used by the unit tests
# stops its server when its input ends.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../init.sh"
need_built ostreld ostrel-admin
need_command curl
PROBE=$BUILD_DIR/tests/ostrel-setup-failed-probe
[ -x "$PROBE" ] || setup_failed "$PROBE is not built"

# run_case NAME BODY: runs BODY as a test script named NAME (after init.sh);
# its status in $status, its output (both streams) in $T/NAME.out.  The
# text CTest looks for is spelled differently in what is shown here, so
# that a failure of this test reads as one.
run_case() {
  local name=$1
  printf '. %q\n%s\n' "$SUPPORT_DIR/init.sh" "$2" >"$T/$name.sh"
  status=0
  env -u SUPPORT_DIR OSTREL_TEST_NAME="$name" bash "$T/$name.sh" >"$T/$name.out" 2>&1 </dev/null ||
    status=$?
}
shown() { sed -e 's/SETUP FAILED/SETUP-FAILED/g' "$T/$1.out"; }
has_line() {  # NAME CHECK LINE: the output of case NAME holds LINE exactly
  grep -qxF -- "$3" "$T/$1.out" || fail "$2" "a line '$3'" "$(shown "$1")"
}

# -- the four outcomes, each with its status and its line
run_case passes 'expect_eq "one" a a; finish'
expect_status 0 "$status" "a test whose checks hold"
run_case fails 'expect_eq "the colour" red blue; expect_status 0 3 "the tool"; finish'
expect_status 1 "$status" "a test with failed checks"
has_line fails "a failed check names the test and the check" "FAIL: fails: the colour"
has_line fails "a failed check shows what was expected" "  expected: red"
has_line fails "a failed check shows what came" "  actual:   blue"
has_line fails "a failed status check" "FAIL: fails: the tool: exit status"
has_line fails "the count of failed checks" "FAILED: fails: 2 check(s) failed"
run_case skips 'skip "no frobnicator here"; fail "not reached"'
expect_status 77 "$status" "a skipped test"
has_line skips "a skipped test says why" "SKIPPED: skips: no frobnicator here"
run_case breaks 'setup_failed "port 1 is taken"; fail "not reached"'
expect_status 99 "$status" "a test whose setup broke"
has_line breaks "a broken setup says why" "SETUP FAILED: breaks: port 1 is taken"
grep -q "^FAIL" "$T/breaks.out" && fail "a broken setup is not a failed check" "" "$(shown breaks)"
run_case bare 'exit 99'
expect_status 99 "$status" "a bare exit 99"
has_line bare "a bare exit 99 still reads as a broken setup" \
  "SETUP FAILED: bare: (exit 99; the reason is above)"
run_case unbuilt 'need_built no-such-program'
expect_status 99 "$status" "a program that is not built"
has_line unbuilt "a program that is not built is a broken setup" \
  "SETUP FAILED: unbuilt: $BIN/no-such-program is not built"

# -- clean-ups run at exit, the last registered first, whatever the outcome
for end in finish 'setup_failed x' 'skip x' 'exit 1'; do
  run_case cleanup "echo \"\$T\" >$(printf %q "$T/scratch")
at_exit 'echo first registered'
at_exit 'echo second registered'
$end"
  expect_eq "clean-ups after '$end', in reverse order" "second registered
first registered" "$(grep registered "$T/cleanup.out")"
  [ -e "$(cat "$T/scratch")" ] && fail "the scratch directory is removed after '$end'" "" "$(cat "$T/scratch")"
done

# -- the ostreld fixture
mkdir -p "$T/root"
"$ADMIN" create "$T/root/repo" >/dev/null || setup_failed "cannot create a repository"
run_case bad_option ". \"\$SUPPORT_DIR/ostreld_fixture.sh\"
start_ostreld $(printf %q "$T/root") --no-such-option
fail 'not reached'"
expect_status 99 "$status" "ostreld that does not start"
grep -q "^SETUP FAILED: bad_option: ostreld --no-such-option did not start" "$T/bad_option.out" ||
  fail "a server that does not start is a broken setup" "SETUP FAILED: ... did not start" "$(shown bad_option)"
grep -q "no-such-option" "$T/bad_option.out" && grep -q "^ostreld: " "$T/bad_option.out" ||
  fail "the failure shows the server's standard error" "a line from ostreld" "$(shown bad_option)"

run_case two_servers ". \"\$SUPPORT_DIR/ostreld_fixture.sh\"
start_ostreld $(printf %q "$T/root") --open; echo \"pid \$OSTRELD_PID\"
start_ostreld $(printf %q "$T/root") --open; echo \"pid \$OSTRELD_PID\"
curl -s -o /dev/null -w 'answer %{http_code}\n' \"http://\$OSTRELD_ADDR/repo/?op=youngest\"
setup_failed 'the test breaks with two servers up'"
expect_status 99 "$status" "a test that breaks with two servers up"
has_line two_servers "the second server answers" "answer 200"
for pid in $(sed -n 's/^pid //p' "$T/two_servers.out"); do
  kill -0 "$pid" 2>/dev/null && { fail "every server is stopped at exit" "pid $pid gone" "it runs"; kill -KILL "$pid"; }
done
[ "$(grep -c '^pid ' "$T/two_servers.out")" = 2 ] || fail "two servers started" "2 pids" "$(shown two_servers)"

# serve: the address on standard output, the server up while the input is
# open, stopped with status 0 when it ends.
coproc SERVE { OSTREL_TEST_NAME=serve bash "$SUPPORT_DIR/ostreld_fixture.sh" serve "$T/root" --open 2>"$T/serve.err"; }
serve_pid=$SERVE_PID
read -r -t 60 addr <&"${SERVE[0]}" || addr=
case $addr in
  127.0.0.1:[0-9]*)
    code=$(curl -s -o /dev/null -w '%{http_code}' "http://$addr/repo/?op=youngest")
    expect_eq "serve: the server answers while the input is open" 200 "$code"
    exec {SERVE[1]}>&-
    status=0; wait "$serve_pid" || status=$?
    expect_status 0 "$status" "serve: the server's status after its input ended"
    (exec {probe}<>"/dev/tcp/127.0.0.1/${addr#*:}") 2>/dev/null &&
      fail "serve: the server is gone after its input ended" "no listener at $addr" "a listener"
    ;;
  *)
    fail "serve prints the address" "HOST:PORT" "'$addr': $(sed 's/SETUP FAILED/SETUP-FAILED/g' "$T/serve.err")"
    kill "$serve_pid" 2>/dev/null ;;
esac
# -- a unit test program: 99 after a broken setup, 1 after a failed check
probe() {  # NAME FILTER [ENV...]
  local name=$1 filter=$2
  shift 2
  status=0
  env "$@" "$PROBE" --gtest_filter="$filter" >"$T/$name.out" 2>&1 || status=$?
}
probe probe_breaks SetupFailedProbe.BreaksInSetup
expect_status 99 "$status" "a unit test whose setup broke"
has_line probe_breaks "a unit test whose setup broke says so" \
  "SETUP FAILED: SetupFailedProbe.BreaksInSetup: the probe's setup breaks on purpose"
grep -q "not reached" "$T/probe_breaks.out" && fail "a broken setup ends the test" "" "$(shown probe_breaks)"
probe probe_fails SetupFailedProbe.FailsACheck PROBE_FAIL_CHECK=1
expect_status 1 "$status" "a unit test with a failed check"
grep -q "SETUP FAILED" "$T/probe_fails.out" && fail "a failed check is not a broken setup" "" "$(shown probe_fails)"
probe probe_passes SetupFailedProbe.FailsACheck
expect_status 0 "$status" "a unit test that passes"
finish
