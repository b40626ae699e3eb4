#!/usr/bin/env bash
# Damaged rows in a repository database: every tool that reads them fails with
# one prefixed "damaged" error and status 1, naming where the damage is; none
# crashes or hangs, and verify stops at the first damaged revision.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built fennick ostrel-admin ostrel-repo-builder
if ! command -v sqlite3 >/dev/null; then
  echo "skipped: the sqlite3 command-line shell is not installed" >&2
  exit 77
fi
admin="$BIN/ostrel-admin"

build_repo "$T/repo" <<'SCRIPT'
begin
mkdir trunk
mkdir trunk/sub
mkfile trunk/sub/f
puttext trunk/sub/f one
commit
begin
puttext trunk/sub/f two
propset trunk p v
commit
begin
cp 1 trunk branch
rm branch/sub/f
commit
SCRIPT
"$admin" verify "$T/repo" >/dev/null 2>&1 || setup_failed "the undamaged repository does not verify"

# Runs TOOL ARGS... on the current damaged copy: status 1, nothing but
# prefixed lines on stderr, one of them containing every TEXT given after
# "--".  A run that takes longer than 60 s counts as a hang.
expect_damage() {
  local what=$1 prefix=$2
  shift 2
  local args=()
  while [ "$1" != "--" ]; do args+=("$1"); shift; done
  shift
  timeout 60 "${args[@]}" >"$T/out" 2>"$T/err"
  local status=$?
  if [ "$status" = 124 ]; then fail "$what: hung"; return; fi
  expect_status 1 "$status" "$what"
  grep -v "^$prefix: " "$T/err" && fail "$what: an error line without the prefix"
  grep -q "damaged" "$T/err" || fail "$what: not reported as damage: $(cat "$T/err")"
  local text
  for text in "$@"; do
    grep -qF -- "$text" "$T/err" || fail "$what: '$text' not in: $(cat "$T/err")"
  done
}

# Makes $T/broken a copy of the repository with SQL applied to its database.
damage() {
  rm -rf "$T/broken"
  cp -r "$T/repo" "$T/broken"
  sqlite3 "$T/broken/fs.db" "$1" || setup_failed "cannot apply: $1"
}

# Verify must stop at revision REV: every revision before it verified, the
# error names it.
expect_verify_stops_at() {
  local rev=$1 what=$2
  shift 2
  expect_damage "verify, $what" ostrel-admin "$admin" verify "$T/broken" -- "Revision $rev" "$@"
  local want=""
  for ((r = 0; r < rev; r++)); do want+="* Verified revision $r."$'\n'; done
  printf '%s' "$want" >"$T/want"
  expect_same "$T/out" "$T/want" "verify output, $what"
}

format=$(cat "$T/repo/format")
if [ "$format" = 2 ]; then
# --- Changed-path rows whose stored values are out of range.
while IFS='|' read -r what sql; do
  damage "$sql"
  expect_damage "log -v, $what" ostrel-admin "$admin" log -v "$T/broken" -r 2 -- "revision 2"
  expect_damage "fennick, $what" fennick "$BIN/fennick" "$T/broken" -- "revision 2"
  expect_verify_stops_at 2 "$what"
done <<'CASES'
change kind too large|UPDATE changed_path SET change=200000 WHERE rev=2
change kind negative|UPDATE changed_path SET change=-1 WHERE rev=2
node kind out of range|UPDATE changed_path SET node_kind=9 WHERE rev=2
node kind none|UPDATE changed_path SET node_kind=0 WHERE rev=2
CASES

# --- Changed-path rows that disagree with the tree: only verify can tell.
while IFS='|' read -r what sql path; do
  damage "$sql"
  "$admin" log -v "$T/broken" -r 3 >/dev/null 2>&1 || fail "log -v, $what: refused a row it can read"
  expect_verify_stops_at 3 "$what" "$path"
done <<'CASES'
added path that does not exist|INSERT INTO changed_path VALUES(3, '/nowhere', 1, 1, 0, 0, NULL, NULL)|/nowhere
added path of the wrong kind|UPDATE changed_path SET node_kind=1 WHERE rev=3 AND change=1|/branch
deleted path that is still there|UPDATE changed_path SET path='/trunk/sub/f' WHERE rev=3 AND change=2|/trunk/sub/f
copy source that does not exist|UPDATE changed_path SET copy_path='/gone' WHERE rev=3 AND change=1|/gone
copy source from before it existed|UPDATE changed_path SET copy_rev=0 WHERE rev=3 AND change=1|'/trunk' in revision 0
CASES

# --- A directory entry of an unknown kind.
damage "UPDATE dirent SET kind=7 WHERE name='sub'"
expect_damage "ls over an entry of unknown kind" ostrel-admin "$admin" ls "$T/broken" /trunk -r 1 -- "kind 7"
expect_verify_stops_at 1 "entry of unknown kind" "/trunk"
else
# --- Format 3: a revision's changed paths are one encoded row, a new
# directory's entries encoded chunks; damaged ones are refused where they are.
damage "UPDATE revchanges SET body=substr(body, 1, 4) WHERE rev=2"
expect_damage "log -v, changed paths cut short" ostrel-admin "$admin" log -v "$T/broken" -r 2 -- "revision 2"
expect_verify_stops_at 2 "changed paths cut short" "revision 2"

trunk="(SELECT min(dkey) FROM dirchunk WHERE first='sub')"
damage "UPDATE dirchunk SET body=substr(body, 1, length(body) - 1) WHERE dkey=$trunk"
expect_damage "ls over a chunk cut short" ostrel-admin "$admin" ls "$T/broken" /trunk -r 1 -- "directory key"
expect_verify_stops_at 1 "chunk cut short" "directory key"

damage "UPDATE dirchunk SET body=substr(body, 1, length(body) - 1) || x'07' WHERE dkey=$trunk"
expect_damage "ls over an entry of unknown kind" ostrel-admin "$admin" ls "$T/broken" /trunk -r 1 -- "kind 7"
expect_verify_stops_at 1 "entry of unknown kind" "/trunk"
fi

# --- A directory-key chain that loops: reads and verify fail instead of hanging.
damage "UPDATE dirkey SET parent=id, parent_asof=1"
expect_damage "ls of an absent path through a looping key" ostrel-admin \
  "$admin" ls "$T/broken" /nothere -- "/nothere"
expect_damage "ls through a looping key" ostrel-admin "$admin" ls "$T/broken" /trunk -- "/trunk"
expect_verify_stops_at 1 "looping key" "directory key"

finish
