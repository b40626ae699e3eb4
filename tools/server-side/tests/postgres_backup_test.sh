#!/usr/bin/env bash
# ostrel-admin backup of a repository in PostgreSQL: while a committer goes
# on, each backup is a new local repository holding exactly the revisions
# of one moment (log -v, trees, properties and file contents the same as the
# source's up to its youngest), that verifies, and that takes commits and
# backs up in turn; a backup never writes into something that is there.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
. "$SUPPORT_DIR/postgres_fixture.sh"
ADMIN=$BIN/ostrel-admin
BUILDER=$BIN/ostrel-repo-builder
cd "$T" || exit 99

start_postgres
DB=$(pg_createdb backup)
"$ADMIN" create --postgres "$DB" src >/dev/null || { echo "setup: create --postgres"; exit 99; }

. "$SUPPORT_DIR/history.sh"

head -c 3000000 /dev/urandom >random  # several chunks
make_history src "$T/random"

# ---- a backup of a quiet repository is the same history
"$ADMIN" backup src bk >out 2>err
expect_status 0 $? "backup"
[ -s err ] && fail "backup wrote to stderr without a terminal: $(cat err)"
case $(cat bk/format) in  # a local format, not the PostgreSQL one
  1 | 2 | 3 | 5) ;;
  *) fail "the backup is not a local repository: format $(cat bk/format)" ;;
esac
[ -e bk/format.unfinished ] && fail "the backup left its unfinished format file"
[ -e bk/conninfo ] && fail "the backup names the source's database"
describe src >want
describe bk >got
expect_same got want "the backup"
"$ADMIN" verify bk >/dev/null 2>err || fail "verify of the backup: $(cat err)"

# ---- backups while a committer goes on: each one is one moment's history
(
  for i in $(seq 1 25); do
    printf 'begin\nmkdir live%s\nfiles live%s 5\nputtext trunk/doc/new edit %s\ncommit\n' "$i" "$i" "$i" |
      "$BUILDER" src >/dev/null || exit 1
  done
) &
committer=$!
for n in 1 2 3; do
  "$ADMIN" backup src "live$n" >/dev/null 2>err || fail "backup $n during commits: $(cat err)"
done
wait "$committer" || fail "the committer failed while backups ran"
for n in 1 2 3; do
  y=$("$ADMIN" youngest "live$n")
  "$ADMIN" verify "live$n" >/dev/null 2>err || fail "verify of backup $n: $(cat err)"
  describe "live$n" >got
  describe src "$y" >want
  expect_same got want "backup $n (up to r$y) against the source"
done

# ---- the backup is a repository of its own: it commits, and backs up
printf 'begin\nmkdir after\ncommit\n' | "$BUILDER" bk >/dev/null || fail "a commit to the backup"
"$ADMIN" backup bk bk2 >/dev/null 2>err || fail "a backup of the backup: $(cat err)"
[ "$("$ADMIN" youngest bk2)" = 4 ] || fail "the backup of the backup: youngest $("$ADMIN" youngest bk2)"

# ---- never into something that is there
"$ADMIN" backup src live1 2>err
expect_status 1 $? "backup into a repository"
mkdir full && echo x >full/file
"$ADMIN" backup src full 2>err
expect_status 1 $? "backup into a directory that is not empty"
[ -e full/format ] && fail "a refused backup left a format file"

finish
