#!/usr/bin/env bash
# Size of a repository (the default format, and format 2 for comparison) after a
# history of many small edits to text files, against git's repository of the same history after git gc --aggressive, in
# the same run.  Versions stored whole cost ~15x; deltas should bring it
# under 2x.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
REVS=${BENCH_REVS_EDITS:-200}
FILES=${BENCH_TEXT_FILES:-30}
LINES=${BENCH_TEXT_LINES:-300}

mkdir -p "$BENCH_TMP/v"
# Both histories from one generator: revision 1 adds FILES texts of LINES
# lines; every later revision changes a line in one to three of them and now
# and then adds one.
awk -v revs="$REVS" -v files="$FILES" -v lines="$LINES" -v dir="$BENCH_TMP/v" \
    -v ours="$BENCH_TMP/script" -v git="$BENCH_TMP/stream" 'BEGIN {
  srand(42)
  for (f = 0; f < files; f++) {
    n[f] = lines
    for (l = 0; l < lines; l++)
      text[f, l] = sprintf("    value_%d_%d = compute(%d, \"%s\");", f, l, int(rand() * 100000), "item" l)
  }
  for (r = 1; r <= revs; r++) {
    delete changed
    if (r == 1) { for (f = 0; f < files; f++) changed[f] = 1 }
    else {
      k = 1 + int(rand() * 3)
      for (i = 0; i < k; i++) {
        f = int(rand() * files); l = int(rand() * n[f])
        text[f, l] = sprintf("    value_%d_%d = compute(%d, \"edited in r%d\");", f, l, int(rand() * 100000), r)
        if (rand() < 0.3) text[f, n[f]++] = sprintf("    extra_%d = %d;  // added in r%d", r, int(rand() * 1000), r)
        changed[f] = 1
      }
    }
    print "begin" > ours
    if (r == 1) print "mkdir src" > ours
    printf "commit refs/heads/main\ncommitter bench <bench@localhost> %d +0000\ndata 3\nr%02d\n", 1700000000 + r, r % 100 > git
    for (f in changed) {
      file = dir "/r" r "_f" f
      body = ""
      for (l = 0; l < n[f]; l++) body = body text[f, l] "\n"
      printf "%s", body > file
      close(file)
      if (r == 1) print "mkfile src/f" f ".c" > ours
      print "put src/f" f ".c " file > ours
      printf "M 100644 inline src/f%d.c\ndata %d\n%s\n", f, length(body), body > git
    }
    print "commit" > ours
  }
}'

"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" <"$BENCH_TMP/script" >/dev/null
"$BIN/ostrel-repo-builder" --create --format 2 "$BENCH_TMP/repo2" <"$BENCH_TMP/script" >/dev/null
git init -q --bare "$BENCH_TMP/git"
git -C "$BENCH_TMP/git" fast-import --quiet <"$BENCH_TMP/stream"
git -C "$BENCH_TMP/git" gc --quiet --aggressive --prune=now
"$BIN/ostrel-admin" cat "$BENCH_TMP/repo" src/f0.c >"$BENCH_TMP/f0"
git -C "$BENCH_TMP/git" show main:src/f0.c >"$BENCH_TMP/f0.git"
cmp -s "$BENCH_TMP/f0" "$BENCH_TMP/f0.git" || { echo "bench: histories differ" >&2; exit 1; }

size() { du -sb "$@" | awk '{ s += $1 } END { print s }'; }
whole=$(size "$BENCH_TMP/repo")
whole2=$(size "$BENCH_TMP/repo2")
wal=$(size "$BENCH_TMP/repo/fs.db-wal" 2>/dev/null || echo 0)
data=$(size "$BENCH_TMP/repo/fs.db" "$BENCH_TMP/repo/packs")
packs=$(size "$BENCH_TMP/repo/packs")
gitall=$(size "$BENCH_TMP/git")
gitpack=$(size "$BENCH_TMP/git/objects/pack")
texts=$(find "$BENCH_TMP/v" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
echo "history of $REVS revisions of small edits to $FILES text files ($texts bytes of versions):"
echo "  library repository, all files (WAL too) $whole bytes   ratio to git's pack $(ratio "$whole" "$gitpack")  (target <= 2.0)"
echo "                                                          ratio to all of git's $(ratio "$whole" "$gitall")"
echo "    of which the WAL                      $wal bytes"
echo "  the same in format 2, all files         $whole2 bytes   ratio to git's pack $(ratio "$whole2" "$gitpack")"
echo "  library fs.db + packs (no WAL)          $data bytes   ratio to git's pack $(ratio "$data" "$gitpack")"
echo "    of which pack files                   $packs bytes"
echo "  git after gc --aggressive, all files    $gitall bytes"
echo "  git's pack                              $gitpack bytes"
