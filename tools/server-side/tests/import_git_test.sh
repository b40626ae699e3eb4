#!/usr/bin/env bash
# ostrel-admin import-git from the outside: a history made with git here,
# holding every construct of the export stream, imported and compared tree
# by tree with 'git archive' at every commit; branches and tags with
# --layout standard; streams refused with their line; a damaged or cut
# stream keeps the commits before the damage whole; a killed import resumes.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built ostrel-admin
command -v git >/dev/null || skip "git is not installed"
export HOME="$T/home" GIT_CONFIG_NOSYSTEM=1 TZ=UTC
mkdir -p "$HOME"
cd "$T" || setup_failed "cannot enter $T"
git config --global user.name "Ann Ó Author"
git config --global user.email ann@example.org
git config --global init.defaultBranch main
git config --global core.quotePath true

# -- the history
git init -q g && cd g || setup_failed "git init failed"
tick=1700000000
c() { tick=$((tick + 60)); GIT_AUTHOR_DATE="@$tick +0100" GIT_COMMITTER_DATE="@$tick +0100" git commit -q "$@"; }
mkdir -p src/deep/er "with space"
printf 'alpha\n' >a.txt
printf 'beta\n' >src/deep/er/b.txt
printf 'quoted\n' >'with space/q "x".txt'
printf 'accent\n' >'café.txt'
printf '#!/bin/sh\necho run\n' >run.sh; chmod +x run.sh
ln -s a.txt link
head -c 3000000 /dev/urandom >big.bin
git add -A && c -m "First: every kind of file" -m "A second paragraph."
git mv a.txt renamed.txt && printf 'more\n' >>src/deep/er/b.txt && git add -A && c -m "Rename and change"
cp src/deep/er/b.txt src/copy.txt && printf 'changed source\n' >>src/deep/er/b.txt && git add -A && c -m "Copy"
chmod -x run.sh && chmod +x renamed.txt && ln -sf 'café.txt' link && git add -A && c -m "Modes and a new link target"
git rm -q -r src/deep && c -m "Delete a directory"
git rm -q renamed.txt && mkdir renamed.txt && printf 'in a dir\n' >renamed.txt/inner && git add -A && c -m "A file becomes a directory"
git rm -q -r "with space" && printf 'now a file\n' >"with space" && git add -A && c -m "A directory becomes a file"
c --allow-empty -m "Nothing changed"
head -c 3000000 /dev/urandom >big.bin && git add -A && c -m "A new large version"
git tag -a v1 -m "Release one" && git tag light
git checkout -q -b side HEAD~2
printf 'side\n' >side.txt && git add -A && c -m "On a side branch"
git checkout -q main
printf 'main\n' >main.txt && git add -A && c -m "Main goes on"
cd ..
export_main() { git -C g fast-export --show-original-ids --signed-tags=strip --reencode=yes -M -C "$@"; }
export_main main >main.stream
export_main --full-tree main >full.stream
export_main --all >all.stream
for form in 'R ' 'C ' 'M 100755' 'M 120000' 'D ' deleteall '"with space'; do
  grep -aq "^$form\|^[MDRC] .*$form" main.stream full.stream || fail "the test history has no '$form' in its streams"
done

# The revision holding git commit COMMIT in repository REPO.
rev_of() { "$ADMIN" log "$1" | awk -v c="$2" '/^r[0-9]+$/ { r = substr($0, 2) } $0 == "  git:commit: " c { print r }'; }
# Compares revision REV (below DIR) of REPO with git's tree of COMMIT:
# contents, symbolic links, executable bits, and no directory more or less.
compare_tree() {
  local repo=$1 rev=$2 commit=$3 dir=${4:-}
  rm -rf ours theirs && mkdir theirs
  "$ADMIN" export "$repo" ours -r "$rev" ${dir:+"$dir"} >/dev/null 2>err || { fail "export of r$rev: $(cat err)"; return; }
  git -C g archive "$commit" | tar -x -C theirs
  diff -r --no-dereference ours theirs >diff.out 2>&1 || fail "r$rev differs from $commit: $(head -5 diff.out)"
  (cd ours && find . -type f -perm -u+x | sort) >x.ours
  (cd theirs && find . -type f -perm -u+x | sort) >x.theirs
  cmp -s x.ours x.theirs || fail "r$rev: executable files differ from $commit: $(diff x.ours x.theirs | head -4)"
}
commits=$(git -C g rev-list --reverse main)
count=$(echo "$commits" | wc -l)

# -- every commit of main, one revision each, tree for tree
for stream in main full; do
  "$ADMIN" create "r-$stream" >/dev/null || setup_failed "cannot create the repository r-$stream"
  "$ADMIN" import-git "r-$stream" <"$stream.stream" >out 2>err || fail "import of $stream.stream: $(cat err)"
  grep -qx "Imported $count commits (0 already imported were skipped); youngest revision $count." out ||
    fail "import of $stream.stream says: $(cat out)"
  for commit in $commits; do
    rev=$(rev_of "r-$stream" "$commit")
    [ -n "$rev" ] || { fail "$stream: no revision records $commit"; continue; }
    compare_tree "r-$stream" "$rev" "$commit"
  done
done
"$ADMIN" verify r-main >/dev/null 2>err || fail "the imported repository does not verify: $(cat err)"
# author, date and message kept; the rename is a copy with history
first=$(echo "$commits" | head -1)
"$ADMIN" log r-main -r 1 >log1
grep -qx "  ostrel:author: Ann Ó Author <ann@example.org>" log1 || fail "author: $(cat log1)"
grep -qx "  ostrel:date: 2023-11-14T22:14:20.000000Z" log1 || fail "date: $(cat log1)"
grep -qx "  git:commit: $first" log1 || fail "commit id: $(cat log1)"
printf 'First: every kind of file\n\nA second paragraph.\n\n' >want.msg  # git's own last LF, then revprops' LF
"$ADMIN" revprops r-main -r 1 | sed -n '/^  ostrel:log: /,$p' | sed '1s/^  ostrel:log: //' >got.msg
expect_same got.msg want.msg "the first commit's message"
"$ADMIN" log r-main -r 2 -v | grep -qx "   A /renamed.txt (from /a.txt:1)" || fail "the rename has no copy history"
"$ADMIN" log r-main -r 3 -v | grep -q "   A /src/copy.txt" || fail "the copy is missing"
"$ADMIN" proplist r-main /run.sh -r 1 | grep -qx "  ostrel:executable: \*" || fail "no executable property"
"$ADMIN" proplist r-main /link -r 1 | grep -qx "  ostrel:special: \*" || fail "no symbolic-link property"
[ "$("$ADMIN" cat r-main /link -r 1)" = "link a.txt" ] || fail "a symbolic link's contents"

# -- run again: everything is skipped, nothing changes
"$ADMIN" import-git r-main <main.stream >out 2>err || fail "second import: $(cat err)"
grep -qx "Imported 0 commits ($count already imported were skipped); youngest revision $count." out ||
  fail "second import says: $(cat out)"

# -- branches and tags with --layout standard
"$ADMIN" create r-all >/dev/null
"$ADMIN" import-git r-all --layout standard <all.stream >out 2>err || fail "import of all.stream: $(cat err)"
y=$("$ADMIN" youngest r-all)
compare_tree r-all "$y" main branches/main
compare_tree r-all "$y" side branches/side
compare_tree r-all "$y" v1 tags/v1
compare_tree r-all "$y" light tags/light
# (each commit lands under the ref git's export names it for, as git's own
# import would do; the other refs start as copies)
"$ADMIN" log r-all -v >log.all
grep -q "   A /branches/main/ (from /" log.all || fail "the main branch is no copy: $(grep 'A /branches' log.all)"
grep -q "   A /tags/v1/ (from /" log.all || fail "the tag is no copy: $(grep 'A /tags' log.all)"
"$ADMIN" import-git r-all <all.stream >out 2>err; expect_status 1 $? "a stream of two branches without a layout"

# -- streams refused with their line
refused() {  # refused NAME WANT-SUBSTRING < STREAM
  "$ADMIN" create "r-$1" >/dev/null
  "$ADMIN" import-git "r-$1" >out 2>err; expect_status 1 $? "stream $1"
  grep -q -- "$2" err || fail "stream $1: $(cat err)"
  [ "$("$ADMIN" youngest "r-$1")" = 0 ] || fail "stream $1 committed something"
}
printf 'commit refs/heads/main\nmark :1\ncommitter A <a@b> 1 +0000\ndata 2\nhi\n' | refused no-oid "Line 1 of the git stream: a commit without an 'original-oid' line"
printf 'blob\nmark :1\ndata <<EOF\nx\nEOF\n' | refused heredoc "Line 3 of the git stream: delimited data"
sed 's/^M 100644 :1 /M 160000 :1 /' main.stream | refused submodule "submodules (mode 160000) are not imported"
printf 'ls "a"\n' | refused ls "Line 1 of the git stream: 'ls \"a\"' is not a command"
awk '/^committer /&&!d { print; print "encoding ISO-8859-1"; d=1; next } 1' main.stream |
  refused encoding "export with --reencode=yes"

# -- a damaged stream: the commits before the damage stay, whole
# (a line that is no file change, after the 'from' of the fourth commit)
c4=$(grep -an '^commit ' main.stream | sed -n 4p | cut -d: -f1)
line=$(awk -v c=$c4 'NR > c && /^from / { print NR; exit }' main.stream)
awk -v at=$line '{ print } NR == at { print "X not a command" }' main.stream >damaged.stream
"$ADMIN" create r-damaged >/dev/null
"$ADMIN" import-git r-damaged <damaged.stream >out 2>err; expect_status 1 $? "damaged stream"
grep -q "Import stopped; the repository holds revisions up to 3" err || fail "damaged stream: $(cat err)"
grep -q "Line $((line + 1)) of the git stream: 'X not a command' is no file change" err || fail "the damage's line: $(cat err)"
[ "$("$ADMIN" youngest r-damaged)" = 3 ] || fail "a damaged stream: $("$ADMIN" youngest r-damaged) revisions"
for k in 1 2 3; do compare_tree r-damaged $k "$(echo "$commits" | sed -n ${k}p)"; done
# cut in the middle of the last large blob: every commit before it whole
big=$(grep -an '^data 3000000$' main.stream | tail -1 | cut -d: -f1)
bytes=$(head -n "$big" main.stream | wc -c)
head -c $((bytes + 1000000)) main.stream >cut.stream
"$ADMIN" create r-cut >/dev/null
"$ADMIN" import-git r-cut <cut.stream >out 2>err; expect_status 1 $? "cut stream"
grep -q "the stream ends inside a data block" err || fail "cut stream: $(cat err)"
y=$("$ADMIN" youngest r-cut)
[ "$y" = $((count - 2)) ] || fail "a cut stream kept $y revisions, expected $((count - 2))"
compare_tree r-cut "$y" "$(echo "$commits" | sed -n ${y}p)"
# then the whole stream finishes the job
"$ADMIN" import-git r-cut <main.stream >out 2>err || fail "resuming a cut import: $(cat err)"
grep -qx "Imported 2 commits ($y already imported were skipped); youngest revision $count." out ||
  fail "resuming a cut import says: $(cat out)"

# -- killed while it works, then run again on the same stream
"$ADMIN" create r-kill >/dev/null
mkfifo feed
"$ADMIN" import-git r-kill <feed >/dev/null 2>&1 &
importer=$!
exec {feed_fd}>feed
head -c $((bytes + 1000000)) main.stream >&"$feed_fd"
for i in $(seq 1 300); do
  [ "$("$ADMIN" youngest r-kill)" -ge $((count - 2)) ] && break
  sleep 0.1
done
kill -KILL "$importer"; wait "$importer" 2>/dev/null
exec {feed_fd}>&-
y=$("$ADMIN" youngest r-kill)
[ "$y" -ge 1 ] || fail "the killed import committed nothing"
"$ADMIN" import-git r-kill <main.stream >out 2>err || fail "import after a kill: $(cat err)"
grep -qx "Imported $((count - y)) commits ($y already imported were skipped); youngest revision $count." out ||
  fail "import after a kill says: $(cat out)"
for commit in $commits; do
  [ "$(rev_of r-kill "$commit" | wc -l)" = 1 ] || fail "after a kill, $commit is not in exactly one revision"
  compare_tree r-kill "$(rev_of r-kill "$commit")" "$commit"
done
"$ADMIN" verify r-kill >/dev/null 2>err || fail "the resumed repository does not verify: $(cat err)"


# ---- progress appears on a terminal only, and ends with the whole count
for r in r-quiet r-tty; do
  "$ADMIN" create "$r" >/dev/null || setup_failed "cannot create the repository $r"
done
"$ADMIN" import-git r-quiet <main.stream >out 2>err || fail "import without a terminal: $(cat err)"
[ -s err ] && fail "import without a terminal wrote to stderr: $(head -c 300 err)"
if command -v script >/dev/null; then
  script -qec "'$ADMIN' import-git r-tty <main.stream >/dev/null" /dev/null >tty 2>&1 ||
    fail "import on a terminal: $(head -c 300 tty)"
  tr '\r' '\n' <tty | grep -q "^Imported $count commits, skipped 0 already imported" ||
    fail "no progress on a terminal for $count commits: $(head -c 300 tty | od -c | head -5)"
else
  echo "skipping the terminal check: 'script' is not installed"
fi

finish
