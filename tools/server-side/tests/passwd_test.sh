#!/usr/bin/env bash
# ostrel-admin passwd end to end without a terminal: a password read from
# standard input, the file's mode and format, --delete, and refusals that
# leave the file as it was and never show a password.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built ostrel-admin
admin="$BIN/ostrel-admin"
users="$T/users"

"$admin" passwd --help >"$T/out" 2>&1
expect_status 0 $? "passwd --help"
grep -q 'Usage: ostrel-admin passwd USERS-FILE USER \[--delete\]' "$T/out" || fail "passwd --help: $(cat "$T/out")"
"$admin" --help | grep -q 'passwd USERS-FILE USER' || fail "passwd missing from ostrel-admin --help"

printf 'first secret\n' | "$admin" passwd "$users" alice >"$T/out" 2>"$T/err"
expect_status 0 $? "passwd for a new file"
[ -s "$T/out" ] || [ -s "$T/err" ] && fail "passwd printed something: $(cat "$T/out" "$T/err")"
[ "$(stat -c %a "$users")" = 600 ] || fail "new users file has mode $(stat -c %a "$users")"
grep -q '^alice:\$argon2id\$' "$users" || fail "no Argon2id line for alice: $(cat "$users")"
grep -q 'first secret' "$users" && fail "the password is in the users file"

printf 'bob pw' | "$admin" passwd "$users" bob
expect_status 0 $? "passwd for a second user, no line end"
[ "$(grep -c ':' "$users")" = 2 ] || fail "expected two users: $(cat "$users")"
alice_line=$(grep '^alice:' "$users")

# Refusals: each exits 1 with one prefixed message and changes nothing.
cp "$users" "$T/before"
refuse() {
  local text=$1 what=$2 input=$3
  shift 3
  printf '%s' "$input" | "$admin" passwd "$@" >"$T/out" 2>"$T/err"
  expect_status 1 $? "$what"
  grep -qF -- "ostrel-admin: $text" "$T/err" || fail "$what: '$text' not in: $(cat "$T/err")"
  grep -q 'hunter2' "$T/err" && fail "$what shows the password"
  expect_same "$users" "$T/before" "users file after $what"
}
refuse "No password on standard input" "an empty password" "" "$users" carol
refuse "No password on standard input" "an empty line" $'\nhunter2\n' "$users" carol
refuse "Invalid user name 'a:b'" "a name with ':'" $'hunter2\n' "$users" a:b
refuse "No user 'carol' in the file" "--delete of an unknown user" "" "$users" carol --delete
refuse "Wrong number of arguments for 'passwd'" "a missing user" $'hunter2\n' "$users"
refuse "Unknown option '--force'" "an unknown option" $'hunter2\n' "$users" x --force
echo 'mallory:plain' >>"$T/broken"
printf 'hunter2\n' | "$admin" passwd "$T/broken" eve 2>"$T/err"
expect_status 1 $? "passwd on a malformed file"
grep -qF "Error in users file '$T/broken' at line 1: the password hash is not an Argon2id hash" "$T/err" ||
  fail "malformed file: $(cat "$T/err")"

"$admin" passwd "$users" bob --delete </dev/null
expect_status 0 $? "passwd --delete"
grep -q '^bob:' "$users" && fail "bob still in the file"
[ "$(grep '^alice:' "$users")" = "$alice_line" ] || fail "deleting bob changed alice's line"
[ "$(stat -c %a "$users")" = 600 ] || fail "mode changed by rewrite"
ls "$T" | grep -q 'tmp-' && fail "temporary files left behind: $(ls "$T")"

finish
