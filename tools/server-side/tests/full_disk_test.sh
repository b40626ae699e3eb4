#!/usr/bin/env bash
# Commits on a disk that fills up: each fails with a message that says the
# disk is full and names the repository (no SQL), the repository does not
# keep what the failed commit wrote, and freeing the space that blocked it is
# enough to commit again.  Two ways to fill the disk: a large text (the pack
# file side) and many small texts (the database side).
#
# Runs in a private mount namespace on a small tmpfs; skipped where this
# process may not mount one (not root, or no namespaces).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built kelbrin ostrel-admin

if [ "${1:-}" != --inside ]; then
  if ! unshare -m true 2>/dev/null; then
    skip "no private mount namespace here"
  fi
  unshare -m bash "$0" --inside "$T"
  exit $?
fi

# Inside the namespace.  $2 is the outer scratch directory (for inputs that
# must not take space on the small disk).
OUT=$2
D=$T/disk
mkdir -p "$D"
if ! mount -t tmpfs -o size=8m tmpfs "$D" 2>/dev/null; then
  skip "cannot mount a small tmpfs here"
fi
at_exit 'umount "$D" 2>/dev/null'
R="file://$D/repo"
"$BIN/ostrel-admin" create "$D/repo" >/dev/null || setup_failed "cannot create"
"$KELBRIN" -m first mkdir "$R/a" >/dev/null || setup_failed "first commit"

avail_kb() { df -k "$D" | awk 'NR == 2 { print $4 }'; }
# The repository's lasting size: the database and the pack files.  The
# database's write-ahead log is scratch space that is reused, and is checked
# on its own: it stays within its bound of about 1 MiB.
repo_kb() { du -sk --exclude='fs.db-wal' --exclude='fs.db-shm' "$D/repo" | cut -f1; }
wal_kb() {
  local kb
  kb=$(du -sk "$D/repo/fs.db-wal" 2>/dev/null | cut -f1)
  echo "${kb:-0}"
}

# full_commit NAME ARGS...: the commit fails as a full disk should, and the
# repository is not larger afterwards than before (plus a page of slack).
full_commit() {
  local name=$1 before after status=0
  shift
  before=$(repo_kb)
  "$KELBRIN" -m "$name" "$@" >"$OUT/out" 2>"$OUT/err" || status=$?
  expect_status 1 "$status" "$name"
  grep -q "^kelbrin: Repository.*'$D/repo.*': the disk is full" "$OUT/err" ||
    fail "$name: the message does not say the disk is full and name the repository: $(cat "$OUT/err")"
  if grep -Eqi 'insert|update|delete|select|sqlite' "$OUT/err"; then
    fail "$name: the message shows SQL: $(cat "$OUT/err")"
  fi
  after=$(repo_kb)
  [ "$after" -le $((before + 8)) ] || fail "$name: the repository grew from ${before}K to ${after}K"
  [ "$(wal_kb)" -le 1100 ] || fail "$name: the write-ahead log grew to $(wal_kb)K"
}

# 1. A text larger than the free space: the pack file runs out.
head -c 6000000 /dev/zero >"$D/filler"
head -c 12000000 /dev/urandom >"$OUT/big"
full_commit "large text" put "$OUT/big" "$R/big"
rm "$D/filler"
"$KELBRIN" -m after mkdir "$R/b" >/dev/null || fail "large text: no commit after freeing the filler"

# 2. Many small texts with the disk all but full: the database runs out.
mkdir -p "$OUT/small"
printf 'mkdir\n%s\n' "$R/many" >"$OUT/actions"
for i in $(seq 1 3000); do
  echo "small text $i" >"$OUT/small/$i"
  printf 'put\n%s\n%s\n' "$OUT/small/$i" "$R/many/f$i"
done >>"$OUT/actions"
head -c $(( ($(avail_kb) - 150) * 1024 )) /dev/zero >"$D/filler" 2>/dev/null
full_commit "many small texts" -X "$OUT/actions"
rm "$D/filler"
"$KELBRIN" -m again -X "$OUT/actions" >/dev/null ||
  fail "many small texts: no commit after freeing the filler"

"$BIN/ostrel-admin" verify "$D/repo" >/dev/null 2>"$OUT/err" ||
  fail "the repository does not verify: $(cat "$OUT/err")"
[ "$("$BIN/ostrel-admin" youngest "$D/repo")" = 3 ] || fail "youngest is not 3"
finish
