#!/usr/bin/env bash
# Damaged records and contents in a repository, kept locally (database and
# pack files) or in PostgreSQL: every tool that reads them fails with one
# prefixed "damaged" error and status 1, naming where the damage is; none
# crashes or hangs, and verify stops at the first damaged revision.  The
# damage is made by ostrel-damage (tests/support), through the typed damage
# each store carries, so the same cases run over every store.  Without
# PostgreSQL only the local repositories are checked, and the test says so.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
. "$SUPPORT_DIR/postgres_fixture.sh"
admin="$BIN/ostrel-admin"
damager="$BIN/ostrel-damage"

cat >"$T/script" <<'SCRIPT'
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
build_repo "$T/repo"
"$BIN/ostrel-repo-builder" "$T/repo" <"$T/script" >/dev/null || { echo "setup: cannot commit the history" >&2; exit 99; }
"$admin" verify "$T/repo" >/dev/null 2>&1 || { echo "setup: the undamaged repository does not verify" >&2; exit 99; }

kinds=local
status=0
bash "$PG_CLUSTER" installed 2>/dev/null || status=$?
case $status in
  0) start_postgres; kinds="local postgres" ;;
  77) echo "note: PostgreSQL is not installed: only local repositories are damaged" >&2 ;;
  *) echo "setup: PostgreSQL is required but missing" >&2; exit 99 ;;
esac

# Runs TOOL ARGS... on the current damaged repository: status 1, nothing but
# prefixed lines on stderr, one of them containing every TEXT given after
# "--".  A run that takes longer than 60 s counts as a hang.
expect_damage() {
  local what="$kind: $1" prefix=$2
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

# Makes $T/broken a new repository of the current kind holding the history,
# then damages it: ostrel-damage OPERATION ARGS...
copies=0
damage() {
  rm -rf "$T/broken"
  case $kind in
    local) cp -r "$T/repo" "$T/broken" ;;
    postgres)
      copies=$((copies + 1))
      "$admin" create --postgres "$(pg_createdb "broken$copies")" "$T/broken" >/dev/null &&
        "$BIN/ostrel-repo-builder" "$T/broken" <"$T/script" >/dev/null ||
        { echo "setup: cannot make a repository in PostgreSQL" >&2; exit 99; }
      ;;
  esac
  "$damager" "$T/broken" "$@" || { echo "setup: cannot damage: $*" >&2; exit 99; }
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
  expect_same "$T/out" "$T/want" "$kind: verify output, $what"
}

for kind in $kinds; do
  # --- Changed-path rows whose stored values are out of range.
  while IFS='|' read -r what edit; do
    damage changed-path 2 /trunk/sub/f "$edit"
    expect_damage "log -v, $what" ostrel-admin "$admin" log -v "$T/broken" -r 2 -- "revision 2"
    expect_damage "fennick, $what" fennick "$BIN/fennick" "$T/broken" -- "revision 2"
    expect_verify_stops_at 2 "$what"
  done <<'CASES'
change kind too large|change=200000
change kind negative|change=-1
node kind out of range|node-kind=9
node kind none|node-kind=0
CASES

  # --- Changed-path rows that disagree with the tree: only verify can tell.
  while IFS='|' read -r what path args; do
    # shellcheck disable=SC2086 # ARGS are several words
    damage $args
    "$admin" log -v "$T/broken" -r 3 >/dev/null 2>&1 || fail "$kind: log -v, $what: refused a row it can read"
    expect_verify_stops_at 3 "$what" "$path"
  done <<'CASES'
added path that does not exist|/nowhere|add-changed-path 3 /nowhere 1 1
added path of the wrong kind|/branch|changed-path 3 /branch node-kind=1
deleted path that is still there|/trunk/sub/f|changed-path 3 /branch/sub/f path=/trunk/sub/f
copy source that does not exist|/gone|changed-path 3 /branch copy-path=/gone
copy source from before it existed|'/trunk' in revision 0|changed-path 3 /branch copy-rev=0
CASES

  # --- A directory entry of an unknown kind.
  damage entries sub 7
  expect_damage "ls over an entry of unknown kind" ostrel-admin "$admin" ls "$T/broken" /trunk -r 1 -- "kind 7"
  expect_verify_stops_at 1 "entry of unknown kind" "/trunk"

  # --- A directory-version chain that loops: reads and verify fail instead of hanging.
  damage loop-directories
  expect_damage "ls of an absent path through a looping key" ostrel-admin \
    "$admin" ls "$T/broken" /nothere -- "/nothere"
  expect_damage "ls through a looping key" ostrel-admin "$admin" ls "$T/broken" /trunk -- "/trunk"
  expect_verify_stops_at 1 "looping key" "directory key"

  # --- A revision record naming a root that does not exist.
  damage revision-root 2 999999
  expect_damage "ls of a revision without its root" ostrel-admin "$admin" ls "$T/broken" / -r 2 -- "999999"
  expect_verify_stops_at 2 "revision without its root" "999999"

  # --- Contents: flipped, cut short, missing, or not matching their checksum.
  # A local pack holds every revision's contents, so removing it damages r1.
  missing_rev=2 missing_path=/trunk/sub/f
  [ "$kind" = local ] && missing_rev=1
  while IFS='|' read -r what op rev; do
    [ "$rev" = missing ] && rev=$missing_rev
    damage "$op" 2 trunk/sub/f
    expect_damage "cat of $what" ostrel-admin "$admin" cat "$T/broken" trunk/sub/f -r 2 -- \
      "'/trunk/sub/f' in revision 2"
    expect_verify_stops_at "$rev" "$what" "$missing_path"
  done <<'CASES'
a flipped byte|flip|2
contents cut short|cut|2
contents missing|remove|missing
CASES
  # A record whose SHA-256 is wrong over bytes that are whole: reads check
  # each chunk's own sum and hand out the right text; verify finds the record.
  damage checksum 2 trunk/sub/f
  [ "$("$admin" cat "$T/broken" trunk/sub/f -r 2 2>&1)" = two ] || fail "$kind: cat of a record with a wrong checksum"
  expect_verify_stops_at 2 "a wrong checksum" "/trunk/sub/f" "SHA-256"
done

finish
