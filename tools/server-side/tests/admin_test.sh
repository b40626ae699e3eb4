#!/usr/bin/env bash
# ostrel-admin end to end: every subcommand's output, --help, and errors.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built ostrel-admin ostrel-repo-builder
admin="$BIN/ostrel-admin"

# Runs ostrel-admin with ARGS, expecting status WANT and standard output
# equal to the text on standard input.
check() {
  local want=$1 what=$2
  shift 2
  cat >"$T/want"
  "$admin" "$@" >"$T/out" 2>"$T/err"
  expect_status "$want" $? "$what"
  expect_same "$T/out" "$T/want" "$what"
  if [ "$want" = 0 ] && [ -s "$T/err" ]; then fail "$what wrote to stderr: $(cat "$T/err")"; fi
}

# Runs ostrel-admin with ARGS expecting one prefixed error containing TEXT.
check_error() {
  local text=$1 what=$2
  shift 2
  "$admin" "$@" >"$T/out" 2>"$T/err"
  expect_status 1 $? "$what"
  [ -s "$T/out" ] && fail "$what printed on stdout: $(cat "$T/out")"
  grep -v '^ostrel-admin: ' "$T/err" && fail "$what: error line without the prefix"
  grep -qF -- "$text" "$T/err" || fail "$what: '$text' not in: $(cat "$T/err")"
}

check 0 "create" create "$T/repo" </dev/null
[ -f "$T/repo/format" ] || fail "create made no format file"
check_error "already exists" "create over a repository" create "$T/repo"
check 0 "youngest of a new repository" youngest "$T/repo" <<<"0"

printf 'big line %05d\n' $(seq 1 20000) >"$T/big"
"$BIN/ostrel-repo-builder" "$T/repo" >/dev/null <<SCRIPT
begin
mkdir trunk
mkfile trunk/a
puttext trunk/a hello
mkfile trunk/big
put trunk/big $T/big
propset trunk/a color deep blue
propset trunk/a mime text/plain
revprop ostrel:log first
revprop ostrel:author ann
commit
begin
cp 1 trunk branch
rm trunk/a
revprop ostrel:log branch
commit
SCRIPT

check 0 "youngest" youngest "$T/repo" <<<"2"
check 0 "ls root" ls "$T/repo" <<'OUT'
branch/
trunk/
OUT
check 0 "ls a directory at a revision" ls "$T/repo" /trunk -r 1 <<'OUT'
a
big
OUT
check 0 "ls of a directory written as ls prints it" ls "$T/repo" trunk/ <<'OUT'
big
OUT
check 0 "cat at a revision" cat "$T/repo" trunk/a -r 1 <<<"hello"
check 0 "cat a copy" cat "$T/repo" branch/big <"$T/big"
check 0 "proplist" proplist "$T/repo" branch/a <<'OUT'
  color: deep blue
  mime: text/plain
OUT

"$admin" revprops "$T/repo" -r 1 >"$T/out" 2>&1
expect_status 0 $? "revprops"
grep -qx '  ostrel:author: ann' "$T/out" || fail "revprops: no author: $(cat "$T/out")"
grep -qx '  ostrel:log: first' "$T/out" || fail "revprops: no log"
grep -qE '^  ostrel:date: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z$' "$T/out" ||
  fail "revprops: date not ISO 8601 with microseconds: $(cat "$T/out")"

"$admin" log "$T/repo" -r 2 -v | grep -v 'ostrel:date' >"$T/out"
cat >"$T/want" <<'OUT'
r2
  ostrel:log: branch
Changed paths:
   A /branch/ (from /trunk:1)
   D /trunk/a
OUT
expect_same "$T/out" "$T/want" "log -v of one revision"
"$admin" log "$T/repo" -r 0:2 | grep '^r' | tr '\n' ' ' >"$T/out"
printf 'r0 r1 r2 ' >"$T/want"
expect_same "$T/out" "$T/want" "log of a range in its order"
"$admin" log "$T/repo" | grep '^r' | tr '\n' ' ' >"$T/out"
printf 'r2 r1 r0 ' >"$T/want"
expect_same "$T/out" "$T/want" "log newest first"

check 0 "verify" verify "$T/repo" <<'OUT'
* Verified revision 0.
* Verified revision 1.
* Verified revision 2.
OUT
check 0 "origins" origins "$T/repo" <<'OUT'
Lines of history: 4
In the node-origins index: 1
OUT

# --help for the program and for every subcommand.
for sub in create youngest ls cat log proplist revprops verify origins upgrade; do
  "$admin" "$sub" --help >"$T/out" 2>"$T/err"
  expect_status 0 $? "$sub --help"
  grep -q "^Usage: ostrel-admin $sub" "$T/out" || fail "$sub --help: $(cat "$T/out")"
  grep -qF "   $sub " <("$admin" --help) || grep -qx "   $sub PATH" <("$admin" --help) ||
    fail "--help does not list $sub"
done

# Errors: one prefixed chain, status 1.
check_error "is not a repository" "missing repository" youngest "$T/nowhere"
check_error "not found in revision 2" "cat of a missing path" cat "$T/repo" trunk/zz
check_error "not a file" "cat of a directory" cat "$T/repo" trunk
check_error "No such revision 7" "revision past the youngest" ls "$T/repo" -r 7
check_error "Invalid revision 'x'" "bad revision" ls "$T/repo" -r x
check_error "needs a revision" "revprops without -r" revprops "$T/repo"
check_error "Unknown option '-q'" "unknown option" ls "$T/repo" -q
check_error "Wrong number of arguments" "missing argument" cat "$T/repo"
check_error "Unknown subcommand 'frob'" "unknown subcommand" frob
check_error "No subcommand" "no subcommand"

# A damaged repository: verify stops with a clear error.
cp -r "$T/repo" "$T/broken"
rm -f "$T/broken/fs.db-wal" "$T/broken/fs.db-shm"
head -c 8192 /dev/urandom >"$T/broken/fs.db"
check_error "damaged" "verify of a damaged repository" verify "$T/broken"

# Damaged contents: cat hands out nothing wrong and names path and revision;
# verify reports the same.
cp -r "$T/repo" "$T/flipped"
pack="$T/flipped/packs/pack-1"
[ -s "$pack" ] || fail "no pack file in a repository with contents"
size=$(stat -c %s "$pack")
printf 'Z' | dd of="$pack" bs=1 seek=$((size - 1)) conv=notrunc status=none
for f in $("$admin" ls "$T/flipped" trunk | grep -v /); do
  if ! "$admin" cat "$T/flipped" "trunk/$f" >"$T/out" 2>"$T/err"; then
    grep -q "Cannot read '/trunk/$f' in revision [0-9]" "$T/err" || fail "cat of damage: $(cat "$T/err")"
    damaged=$f
  fi
done
[ -n "${damaged:-}" ] || fail "cat of a flipped byte succeeded"
verify_fails() {
  "$admin" verify "$T/flipped" >"$T/out" 2>"$T/err"
  expect_status 1 $? "$1"
  grep -q "^ostrel-admin: Revision [0-9]* is damaged at '/trunk/" "$T/err" || fail "$1: $(cat "$T/err")"
}
verify_fails "verify of a flipped byte"
truncate -s 1 "$pack"
verify_fails "verify of a truncated pack"

check 0 "upgrade of a current repository" upgrade "$T/repo" <<OUT
Repository '$T/repo' is already in format 5.
OUT

# Standard output that cannot be written is an error.
if [ -w /dev/full ]; then
  "$admin" ls "$T/repo" >/dev/full 2>"$T/err"
  expect_status 1 $? "ls to a full device"
  grep -q "^ostrel-admin: Can't write to standard output" "$T/err" || fail "full device: $(cat "$T/err")"
fi

finish
