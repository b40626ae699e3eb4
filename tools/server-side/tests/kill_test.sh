#!/usr/bin/env bash
# A committer killed at arbitrary moments (not only at the fault points the
# unit tests use) never leaves a half-made revision: after each kill the
# repository verifies, holds every revision the committer reported, and the
# next committer carries on from it.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built ostrel-admin ostrel-repo-builder

build_repo "$T/repo" </dev/null
head -c 3000000 /dev/urandom >"$T/blob"   # three chunks per upload
for round in 1 2 3 4 5 6; do
  awk -v blob="$T/blob" -v round="$round" 'BEGIN {
    for (i = 1; i <= 400; i++) {
      d = "k" round "_" i
      print "begin"; print "mkdir " d
      for (j = 0; j < 5; j++) print "mkfile " d "/f" j
      if (i % 3 == 0) { print "mkfile " d "/big"; print "put " d "/big " blob }
      # Enough distinct small texts that their rows go in batches.
      if (i % 10 == 5) {
        print "mkdir " d "/many"
        for (j = 0; j < 300; j++) { print "mkfile " d "/many/s" j; print "puttext " d "/many/s" j " " d " text " j }
      }
      print "commit"
    }
  }' >"$T/script"
  "$BIN/ostrel-repo-builder" "$T/repo" <"$T/script" >"$T/reported" 2>/dev/null &
  pid=$!
  sleep "0.$((RANDOM % 6 + 2))"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  last=$(tail -n 1 "$T/reported" | tr -d r)
  youngest=$("$BIN/ostrel-admin" youngest "$T/repo") || { fail "round $round: youngest failed"; continue; }
  if [ -n "$last" ] && [ "$youngest" -lt "$last" ]; then
    fail "round $round: r$last was reported but the youngest is $youngest"
  fi
  "$BIN/ostrel-admin" verify "$T/repo" >/dev/null 2>"$T/err" || fail "round $round: verify: $(cat "$T/err")"
  echo "round $round: killed with r$last reported, youngest $youngest"
  # Every revision is whole: each adds one directory with its five files.
  n=$("$BIN/ostrel-admin" ls "$T/repo" | wc -l)
  [ "$n" = "$youngest" ] || fail "round $round: $n directories for $youngest revisions"
  for dir in $("$BIN/ostrel-admin" ls "$T/repo" | grep "^k${round}_"); do
    [ "$("$BIN/ostrel-admin" ls "$T/repo" "$dir" | grep -c '^f')" = 5 ] ||
      fail "round $round: /$dir is not whole"
  done
  # Every batch of small texts came through whole.
  for dir in $("$BIN/ostrel-admin" ls "$T/repo" | grep "^k${round}_"); do
    dir=${dir%/}
    if "$BIN/ostrel-admin" ls "$T/repo" "$dir" | grep -qx 'many/'; then
      [ "$("$BIN/ostrel-admin" ls "$T/repo" "$dir/many" | wc -l)" = 300 ] || fail "round $round: /$dir/many is not whole"
      [ "$("$BIN/ostrel-admin" cat "$T/repo" "$dir/many/s299")" = "$dir text 299" ] ||
        fail "round $round: /$dir/many/s299 reads wrong"
    fi
  done
  # The next committer finds what the killed one left and carries on.
  printf 'begin\nmkdir after%d\ncommit\n' "$round" | "$BIN/ostrel-repo-builder" "$T/repo" >/dev/null ||
    fail "round $round: no commit after the kill"
done
[ "$("$BIN/ostrel-admin" youngest "$T/repo")" -gt 6 ] || fail "the committer never got through"
finish
