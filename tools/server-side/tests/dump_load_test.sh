#!/usr/bin/env bash
# ostrel-admin backup, dump, load, export, ls -R, log --limit and path
# filtering, and -r HEAD, end to end.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built kelbrin ostrel-admin ostrel-repo-builder
admin="$BIN/ostrel-admin"

. "$SUPPORT_DIR/history.sh"

head -c 200000 /dev/urandom >"$T/random"
build_repo "$T/src"
make_history "$T/src" "$T/random"

# ---- dump | load gives the same repository
"$admin" dump "$T/src" >"$T/all.dump" 2>"$T/err"
expect_status 0 $? "dump"
[ -s "$T/err" ] && fail "dump wrote to stderr without a terminal: $(cat "$T/err")"
head -1 "$T/all.dump" | grep -qx 'OSTREL-DUMP 1' || fail "dump: no format line"
"$admin" create "$T/dst" && "$admin" load "$T/dst" <"$T/all.dump" 2>"$T/err"
expect_status 0 $? "load"
[ -s "$T/err" ] && fail "load wrote to stderr without a terminal: $(cat "$T/err")"
describe "$T/src" >"$T/want"
describe "$T/dst" >"$T/got"
expect_same "$T/got" "$T/want" "the loaded repository"
"$admin" dump "$T/dst" >"$T/again.dump"
expect_same "$T/again.dump" "$T/all.dump" "a dump of the loaded repository"
"$admin" verify "$T/dst" >/dev/null || fail "the loaded repository does not verify"

# ---- in two parts, with HEAD; a part that does not fit changes nothing
"$admin" dump "$T/src" -r 0:1 >"$T/part1" && "$admin" dump "$T/src" -r 2:HEAD >"$T/part2" ||
  fail "dump of parts"
"$admin" create "$T/inc"
"$admin" load "$T/inc" <"$T/part2" 2>"$T/err"
expect_status 1 $? "load of a later part into an empty repository"
grep -q "does not fit" "$T/err" || fail "misfit message: $(cat "$T/err")"
[ "$("$admin" youngest "$T/inc")" = 0 ] || fail "a stream that does not fit changed the repository"
"$admin" load "$T/inc" <"$T/part1" && "$admin" load "$T/inc" <"$T/part2" || fail "load of parts"
describe "$T/inc" >"$T/got"
expect_same "$T/got" "$T/want" "the repository loaded in parts"
"$admin" load "$T/inc" <"$T/part2" 2>"$T/err"
expect_status 1 $? "loading a part twice"
[ "$("$admin" youngest "$T/inc")" = 3 ] || fail "a part loaded twice changed the repository"

# ---- a cut stream: the revisions before the cut are whole, and it says so
size=$(stat -c %s "$T/all.dump")
head -c $((size - 200)) "$T/all.dump" >"$T/cut.dump"
"$admin" create "$T/cut"
"$admin" load "$T/cut" <"$T/cut.dump" 2>"$T/err"
expect_status 1 $? "load of a cut stream"
grep -q "damaged" "$T/err" || fail "cut stream message: $(cat "$T/err")"
grep -q "holds revisions up to 2" "$T/err" || fail "cut stream: which revisions? $(cat "$T/err")"
"$admin" verify "$T/cut" >/dev/null || fail "the repository of a cut load does not verify"
"$admin" dump "$T/cut" >"$T/cut-again.dump"
"$admin" dump "$T/src" -r 0:2 >"$T/src-0-2.dump"
expect_same "$T/cut-again.dump" "$T/src-0-2.dump" "revisions loaded before the cut"

# ---- export
"$admin" export "$T/src" "$T/exp" || fail "export"
(cd "$T/exp" && find . | sort) >"$T/got"
printf '%s\n' . ./tags-v1 ./tags-v1/doc ./tags-v1/doc/readme ./tags-v1/random ./trunk ./trunk/doc \
  ./trunk/doc/new ./trunk/random >"$T/want"
expect_same "$T/got" "$T/want" "exported tree"
expect_same "$T/exp/trunk/random" "$T/random" "exported file"
"$admin" export "$T/src" "$T/exp1" -r 1 trunk/doc || fail "export of a subtree at a revision"
echo hello >"$T/want" && expect_same "$T/exp1/readme" "$T/want" "exported subtree"
mkdir "$T/onefile" && "$admin" export "$T/src" "$T/onefile" tags-v1/doc/readme -r HEAD ||
  fail "export of a file into an empty directory"
expect_same "$T/onefile/readme" "$T/want" "exported file in a directory"
"$admin" export "$T/src" "$T/exp" 2>"$T/err"
expect_status 1 $? "export over a non-empty directory"
grep -q "not an empty directory" "$T/err" || fail "export refusal: $(cat "$T/err")"
ls "$T" | grep -q partial && fail "export left a partial tree behind"

# ---- ls -R, log --limit, log of a path, -r HEAD
"$admin" ls "$T/src" -R -r HEAD trunk >"$T/got"
printf '%s\n' doc/ doc/new random >"$T/want"
expect_same "$T/got" "$T/want" "ls -R"
"$admin" log "$T/src" --limit 2 | grep '^r' | tr '\n' ' ' >"$T/got"
printf 'r3 r2 ' >"$T/want"
expect_same "$T/got" "$T/want" "log --limit"
"$admin" log "$T/src" /tags-v1 | grep '^r' | tr '\n' ' ' >"$T/got"
printf 'r2 ' >"$T/want"
expect_same "$T/got" "$T/want" "log of a path"
"$admin" log "$T/src" trunk/doc/readme -r 0:HEAD | grep '^r' | tr '\n' ' ' >"$T/got"
printf 'r1 r2 r3 ' >"$T/want"
expect_same "$T/got" "$T/want" "log of a file whose parent was replaced"
"$admin" cat "$T/src" trunk/doc/new -r HEAD >"$T/got" && echo fresh >"$T/want" &&
  expect_same "$T/got" "$T/want" "cat -r HEAD"
HOME=$T "$BIN/kelbrin" -r HEAD -m "on HEAD" mkdir "file://$T/src/made-on-head" >"$T/out" 2>&1 ||
  fail "kelbrin -r HEAD: $(cat "$T/out")"
"$admin" log "$T/src" --limit 0 2>"$T/err"
expect_status 1 $? "log --limit 0"

# ---- backup while commits go on
"$admin" backup "$T/src" "$T/bk" >/dev/null 2>"$T/err"
expect_status 0 $? "backup"
[ -s "$T/err" ] && fail "backup wrote to stderr without a terminal: $(cat "$T/err")"
describe "$T/bk" >"$T/got"
describe "$T/src" >"$T/want"
expect_same "$T/got" "$T/want" "the backup"
(
  for i in $(seq 1 40); do
    printf 'begin\nmkdir live%s\nfiles live%s 20\ncommit\n' "$i" "$i" |
      "$BIN/ostrel-repo-builder" "$T/src" >/dev/null || exit 1
  done
) &
committer=$!
for n in 1 2 3; do
  "$admin" backup "$T/src" "$T/live$n" >/dev/null 2>"$T/err" || fail "backup $n during commits: $(cat "$T/err")"
done
wait "$committer" || fail "the committer failed while backups ran"
for n in 1 2 3; do
  y=$("$admin" youngest "$T/live$n")
  "$admin" dump "$T/live$n" >"$T/a" && "$admin" dump "$T/src" -r "0:$y" >"$T/b" &&
    expect_same "$T/a" "$T/b" "backup $n (up to r$y) against the source"
done
"$admin" backup "$T/src" "$T/live1" 2>"$T/err"
expect_status 1 $? "backup into a repository"
"$admin" backup "$T/nowhere" "$T/x" 2>"$T/err"
expect_status 1 $? "backup of no repository"
[ -e "$T/x/format" ] && fail "a failed backup left a repository behind"

# ---- --help of the new subcommands, and wrong argument counts
for sub in backup dump load export; do
  "$admin" "$sub" --help >"$T/out" 2>&1 || fail "$sub --help"
  grep -q "^Usage: ostrel-admin $sub" "$T/out" || fail "$sub --help: $(cat "$T/out")"
  "$admin" --help | grep -q "^   $sub " || fail "--help does not list $sub"
  "$admin" "$sub" >/dev/null 2>"$T/err" && fail "$sub without arguments succeeded"
  grep -q "Wrong number of arguments" "$T/err" || fail "$sub without arguments: $(cat "$T/err")"
done

# ---- progress appears on a terminal only
if command -v script >/dev/null; then
  script -qec "'$admin' verify '$T/src' >/dev/null" /dev/null >"$T/tty" 2>&1
  grep -q "Verified revision 44 of 44" "$T/tty" || fail "no progress on a terminal: $(head -c 300 "$T/tty")"
else
  echo "skipping the terminal check: 'script' is not installed"
fi

finish
