# Shared by the benchmarks that start ostreld, sourced once $work (a new
# scratch directory) is set.  The servers are the test kit's
# (tests/support/ostreld_fixture.sh): started as the tests start them, and
# stopped at exit whatever happens; $work, the home of every client, goes
# with them.
. "$(dirname "${BASH_SOURCE[0]}")/../../tests/support/init.sh"
. "$SUPPORT_DIR/ostreld_fixture.sh"
at_exit 'rm -rf "$work"'
server=
stop_server() {
  stop_ostreld
  server=
}
export HOME="$work"
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
cd "$work"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
ratio() { echo "$1 / $2" | bc -l; }
