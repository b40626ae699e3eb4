#!/usr/bin/env bash
# fennick fills a repository's node-origins index in one pass: one progress
# line per revision, with the number of new lines of history it found.
set -euo pipefail
BIN=$BUILD_DIR/bin
: "${DEMO_DIR:=$(mktemp -d)}"
repo=$DEMO_DIR/repo

if [ ! -f "$repo/format" ]; then
  # No repository left by an earlier part: make a small one through the
  # library.
  echo "-- making a small repository at $repo"
  "$BIN/ostrel-repo-builder" --create "$repo" <<'SCRIPT' >/dev/null
begin
mkdir trunk
mkdir branches
mkfile trunk/README
puttext trunk/README A small project.
mkdir trunk/src
mkfile trunk/src/main.c
puttext trunk/src/main.c int main(void) { return 0; }
revprop ostrel:log Initial import
revprop ostrel:author demo
commit
begin
cp 1 trunk branches/stable
revprop ostrel:log Branch for the stable series
revprop ostrel:author demo
commit
begin
puttext trunk/src/main.c int main(void) { return 1; }
mkfile trunk/src/util.c
puttext trunk/src/util.c /* helpers */
revprop ostrel:log Add helpers
revprop ostrel:author demo
commit
begin
rm trunk/README
mkfile trunk/README
puttext trunk/README Rewritten from scratch.
revprop ostrel:log Replace the README
revprop ostrel:author demo
commit
SCRIPT
fi

echo "-- the repository's history"
"$BIN/ostrel-admin" log "$repo" -v | grep -v 'ostrel:date'
echo "-- the node-origins index before the crawl"
"$BIN/ostrel-admin" origins "$repo"
echo "-- \$ fennick $repo"
"$BIN/fennick" "$repo"
echo "-- the index afterwards"
"$BIN/ostrel-admin" origins "$repo"
echo "-- a second run finds the same lines (the counts do not depend on the index)"
"$BIN/fennick" "$repo"
echo "-- the repository still verifies"
"$BIN/ostrel-admin" verify "$repo"
echo "-- fennick without an argument"
"$BIN/fennick" 2>&1 | tail -n 1 || true
