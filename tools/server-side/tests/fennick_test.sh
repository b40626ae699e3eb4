#!/usr/bin/env bash
# fennick end to end: output, counts, widths, the index it fills, and its
# error paths.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built fennick ostrel-admin ostrel-repo-builder

# --- Empty repository: no output, status 0.
build_repo "$T/empty" </dev/null
"$BIN/fennick" "$T/empty" >"$T/out" 2>"$T/err"
expect_status 0 $? "empty repository"
[ -s "$T/out" ] && fail "empty repository printed: $(cat "$T/out")"
[ -s "$T/err" ] && fail "empty repository wrote to stderr: $(cat "$T/err")"

# --- A repository with youngest 9 and every kind of change.
build_repo "$T/repo" <<'SCRIPT'
begin
mkdir trunk
mkfile trunk/a
mkdir trunk/d
mkfile trunk/d/x
commit
begin
cp 1 trunk branch
mkfile branch/new
commit
begin
puttext trunk/a changed
propset trunk/d p v
commit
begin
rm trunk/d/x
commit
begin
rm trunk/a
mkfile trunk/a
rm trunk/d
cp 1 trunk/d trunk/d
commit
begin
commit
begin
mkdir r7
commit
begin
mkdir r8
commit
begin
mkdir r9
commit
SCRIPT
cat >"$T/want9" <<'WANT'
[1/9]  Found 4 new lines of history.
[2/9]  Found 1 new lines of history.
[3/9]  Found 0 new lines of history.
[4/9]  Found 0 new lines of history.
[5/9]  Found 1 new lines of history.
[6/9]  Found 0 new lines of history.
[7/9]  Found 1 new lines of history.
[8/9]  Found 1 new lines of history.
[9/9]  Found 1 new lines of history.
WANT
"$BIN/ostrel-admin" origins "$T/repo" >"$T/before"
printf 'Lines of history: 10\nIn the node-origins index: 1\n' >"$T/want-before"
expect_same "$T/before" "$T/want-before" "origins before the crawl"

"$BIN/fennick" "$T/repo" >"$T/out" 2>"$T/err"
expect_status 0 $? "youngest 9"
expect_same "$T/out" "$T/want9" "progress with youngest 9"
[ -s "$T/err" ] && fail "youngest 9 wrote to stderr: $(cat "$T/err")"

"$BIN/ostrel-admin" origins "$T/repo" >"$T/after"
printf 'Lines of history: 10\nIn the node-origins index: 10\n' >"$T/want-after"
expect_same "$T/after" "$T/want-after" "origins after the crawl (index full)"

# A second run makes the same queries and prints the same lines.
"$BIN/fennick" "$T/repo" >"$T/out2" 2>&1
expect_status 0 $? "second run"
expect_same "$T/out2" "$T/want9" "second run"

# Further arguments are ignored; the path is canonicalised first.
"$BIN/fennick" "$T//repo/./" "$T/nonexistent" extra >"$T/out3" 2>&1
expect_status 0 $? "extra arguments"
expect_same "$T/out3" "$T/want9" "run with extra arguments"

# Progress that cannot be written is a failure, not a finished crawl.
if [ -w /dev/full ]; then
  "$BIN/fennick" "$T/repo" >/dev/full 2>"$T/err"
  expect_status 1 $? "crawl to a full device"
  grep -q "^fennick: Can't write to standard output" "$T/err" || fail "full device: $(cat "$T/err")"
fi

# --- Youngest 10: width 2, revisions 1 to 9 get one leading blank.
printf 'begin\nmkfile r10\ncommit\n' | "$BIN/ostrel-repo-builder" "$T/repo" >/dev/null
"$BIN/fennick" "$T/repo" >"$T/out" 2>&1
expect_status 0 $? "youngest 10"
sed -e 's/^\[\([0-9]\)\/9\]/[ \1\/10]/' "$T/want9" >"$T/want10"
echo "[10/10]  Found 1 new lines of history." >>"$T/want10"
expect_same "$T/out" "$T/want10" "progress with youngest 10"

# --- No argument: usage text and ERROR line on stderr, nothing on stdout.
"$BIN/fennick" >"$T/out" 2>"$T/err"
expect_status 1 $? "no argument"
[ -s "$T/out" ] && fail "no argument printed on stdout"
{
  printf 'Usage: %s REPOS-PATH\n\n' "$BIN/fennick"
  printf 'Crawl the Ostrel repository located at REPOS-PATH in an attempt to\r\n'
  printf "populate that repository's index of node origins.  \r\n"
  printf '\r\n'
  printf 'The node origins index is new as of Ostrel 1.5, and behaves as a\r\n'
  printf 'cache to vastly speed up certain history-querying operations.  For\r\n'
  printf 'compatibility with repositories created with pre-1.5 versions of\r\n'
  printf 'Ostrel, Ostrel will gracefully handle cache misses by doing a\r\n'
  printf 'brute-force calculation of the query answer and lazily populating the\r\n'
  printf 'index with answers it calculates.  Unfortunately, calculating that\r\n'
  printf 'information using the brute-force method (instead of having the\r\n'
  printf 'information appear in the index organically) can be very costly.\r\n'
  printf '\r\n'
  printf 'This tool triggers the lazy index population logic built into\r\n'
  printf 'Ostrel in a fashion far more efficient than is likely to happen\r\n'
  printf 'during typical repository usage.  It can be run while the repository\r\n'
  printf 'is online, too, without interrupting normal Ostrel activities.\r\n'
  printf '\nERROR: Not enough arguments.\n'
} >"$T/want-usage"
expect_same "$T/err" "$T/want-usage" "usage text"

# --- Not a repository: one prefixed chain, no progress line, status 1.
mkdir "$T/plain"
"$BIN/fennick" "$T/plain" >"$T/out" 2>"$T/err"
expect_status 1 $? "not a repository"
[ -s "$T/out" ] && fail "not a repository printed progress: $(cat "$T/out")"
grep -v '^fennick: ' "$T/err" && fail "an error line without the prefix"
grep -q "^fennick: '$T/plain' is not a repository" "$T/err" || fail "unexpected error: $(cat "$T/err")"

# --- A damaged repository fails the crawl with the prefix and status 1.
cp -r "$T/repo" "$T/broken"
rm -f "$T/broken/fs.db-wal" "$T/broken/fs.db-shm"
head -c 4096 /dev/urandom >"$T/broken/fs.db"
"$BIN/fennick" "$T/broken" >"$T/out" 2>"$T/err"
expect_status 1 $? "damaged repository"
[ -s "$T/out" ] && fail "damaged repository printed progress"
grep -q '^fennick: .*damaged' "$T/err" || fail "damaged repository: $(cat "$T/err")"

finish
