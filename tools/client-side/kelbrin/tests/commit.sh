#!/usr/bin/env bash
# kelbrin against real repositories made with ostrel-admin: every action kind,
# the edge cases of the commit drive, every merge error, and bad URLs.  The
# results are read back with ostrel-admin.  The one table runs over the
# transport named by the first argument: "file" (default) reaches the
# repositories on disk, "http" through an ostreld serving their directory,
# "postgres" through HAProxy to two ostreld serving one repository whose
# records live in PostgreSQL (the checks read it from another process).
. "$(dirname "$0")/../../../../tests/support/init.sh"
need_built kelbrin
export LC_ALL=C.UTF-8
TRANSPORT=${1:-file}
need_built ostrel-admin
export HOME="$T/home"
mkdir -p "$HOME"
cd "$T" || setup_failed "cannot enter $T"
case $TRANSPORT in
  file | http) "$ADMIN" create repo >/dev/null || setup_failed "cannot create a repository" ;;
esac
case $TRANSPORT in
  file) BASE="file://$T" ;;
  http)
    . "$SUPPORT_DIR/ostreld_fixture.sh"
    # open: authors are the names kelbrin sends, as over file://
    start_ostreld "$T" --open
    BASE="http://$OSTRELD_ADDR" ;;
  postgres)
    . "$SUPPORT_DIR/postgres_fixture.sh"
    . "$SUPPORT_DIR/ostreld_fixture.sh"
    . "$SUPPORT_DIR/haproxy_fixture.sh"
    start_postgres
    "$ADMIN" create --postgres "$(pg_createdb kelbrin)" repo >/dev/null ||
      setup_failed "cannot create a repository in PostgreSQL"
    start_ostreld "$T" --open
    FIRST_ADDR=$OSTRELD_ADDR
    start_ostreld "$T" --open
    start_haproxy "$FIRST_ADDR" "$OSTRELD_ADDR"
    BASE="http://$HAPROXY_ADDR" ;;
  *) setup_failed "unknown transport '$TRANSPORT'" ;;
esac
R="$BASE/repo"
DATE='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z'

# commits NAME REV ARGS...: kelbrin as user "tester" must make revision REV and
# print its one line.
commits() {
  local name=$1 rev=$2
  shift 2
  local status=0
  "$KELBRIN" -u tester "$@" <"${STDIN:-/dev/null}" >"$T/out" 2>"$T/err" || status=$?
  if [ $status = 0 ] && [ ! -s "$T/err" ] &&
     grep -Eqx "r$rev committed by tester at $DATE" "$T/out" && [ "$(wc -l <"$T/out")" = 1 ]; then
    pass "$name"
  else
    fail "$name" "status 0 and the one line 'r$rev committed by tester at DATE'" "status $status: $(cat "$T/out" "$T/err")"
  fi
}

# same NAME EXPECTED COMMAND...: COMMAND's standard output equals EXPECTED.
same() {
  local name=$1 expected=$2
  shift 2
  local got
  got=$("$@" 2>&1)
  if [ "$got" = "$expected" ]; then
    pass "$name"
  else
    fail "$name" "$expected" "$got"
  fi
}

changed_paths() { "$ADMIN" log "$T/repo" -v -r "$1" | sed -n '/^Changed paths:/,$p' | tail -n +2; }
youngest() { "$ADMIN" youngest "$T/repo"; }

printf 'one\n' >one.txt
printf 'two\n' >two.txt
printf 'value\nfrom file' >value.txt

# -- every action kind
commits "mkdir" 1 -m "layout" mkdir $R/trunk mkdir $R/tags
same "mkdir: changed paths" "   A /tags/
   A /trunk/" changed_paths 1
commits "put (add) and mkdir below" 2 -m "files" put one.txt $R/trunk/a.txt mkdir $R/trunk/d \
  put two.txt $R/trunk/d/b.txt
same "put: contents" "one" "$ADMIN" cat repo trunk/a.txt
commits "put (modify)" 3 -m "change" put two.txt $R/trunk/a.txt
same "put (modify): new contents" "two" "$ADMIN" cat repo trunk/a.txt
same "put (modify): changed paths" "   M /trunk/a.txt" changed_paths 3
commits "cp from an older revision" 4 -m "old copy" cp 2 $R/trunk/a.txt $R/trunk/a-r2.txt
same "cp: contents of revision 2" "one" "$ADMIN" cat repo trunk/a-r2.txt
same "cp: changed paths" "   A /trunk/a-r2.txt (from /trunk/a.txt:2)" changed_paths 4
commits "mv" 5 -m "move" mv $R/trunk/d $R/trunk/e
same "mv: changed paths" "   D /trunk/d/
   A /trunk/e/ (from /trunk/d:4)" changed_paths 5
same "mv: contents follow" "two" "$ADMIN" cat repo trunk/e/b.txt
commits "propset, propsetf, then propdel of the first on one node" 6 -m "props" \
  propset color red $R/trunk/a.txt propsetf note value.txt $R/trunk/a.txt \
  propdel color $R/trunk/a.txt propset dirprop v $R/trunk
same "properties: deletions go first, so the set value stays" "  color: red
  note: value
from file" "$ADMIN" proplist repo trunk/a.txt
same "directory property" "  dirprop: v" "$ADMIN" proplist repo trunk
commits "propdel alone" 7 propdel color $R/trunk/a.txt
same "propdel: property gone" "  note: value
from file" "$ADMIN" proplist repo trunk/a.txt
commits "rm" 8 rm $R/trunk/a-r2.txt
same "rm: changed paths" "   D /trunk/a-r2.txt" changed_paths 8
commits "replace by rm then cp, and rm then mkdir" 9 rm $R/trunk/e cp 2 $R/trunk/d $R/trunk/e \
  rm $R/tags mkdir $R/tags
same "replace: changed paths" "   R /tags/
   R /trunk/e/ (from /trunk/d:2)" changed_paths 9
same "replace: new directory is empty" "" "$ADMIN" ls repo tags
same "default log message" "  ostrel:author: tester" \
  sh -c "'$ADMIN' log '$T/repo' -r 9 | grep author"
same "default log message" "  ostrel:log: committed using kelbrin" \
  sh -c "'$ADMIN' log '$T/repo' -r 9 | grep ostrel:log"
commits "--with-revprop and -F" 10 --with-revprop release=1.0 -F value.txt mkdir $R/branches
same "revision properties" "  ostrel:author: tester
  ostrel:log: value
from file
  release: 1.0" sh -c "'$ADMIN' revprops '$T/repo' -r 10 | grep -v ostrel:date"
printf 'mkdir\r\n%s\r\n\r\nmkdir\n%s\n' "$R/x1" "$R/x2" >extra.txt
commits "extra-arguments file with CR LF and LF" 11 -X extra.txt
same "extra arguments: both directories" "   A /x1/
   A /x2/" changed_paths 11
commits "root URL and relative action URLs" 12 -U $R rm x1 rm x2

# -- standard input
STDIN=one.txt commits "two puts from -" 13 put - $R/trunk/in1.txt put - $R/trunk/in2.txt
in1=$("$ADMIN" cat repo trunk/in1.txt); in2=$("$ADMIN" cat repo trunk/in2.txt)
if { [ "$in1" = one ] && [ -z "$in2" ]; } || { [ -z "$in1" ] && [ "$in2" = one ]; }; then
  pass "two puts from -: one gets standard input, the other nothing"
else
  fail "two puts from -" "one gets standard input, the other nothing" "'$in1' and '$in2'"
fi

# -- the repository root itself: the URL's parent lies above the repository,
# so the session opens at the repository's root.
commits "properties of the repository root and below it" 14 propset rootprop yes $R \
  propset other v $R/trunk
same "root: property set" "  rootprop: yes" "$ADMIN" proplist repo /
same "root: changed paths" "   M /
   M /trunk/" changed_paths 14
Y=$(youngest)

# -- failures: status 1, the chain on standard error, no new revision
fails() {
  local name=$1 err=$2
  shift 2
  expect "$name" 1 "" "$err
" -- "$KELBRIN" -u tester "$@"
  if [ "$(youngest)" != "$Y" ]; then
    fail "$name: no new revision" "youngest r$Y" "youngest r$(youngest)"; Y=$(youngest)
  fi
}
fails "put with a missing source: edit cancelled" \
  "kelbrin: Can't open file 'missing.txt': No such file or directory" \
  put missing.txt $R/trunk/new.txt
fails "base revision above the youngest" "kelbrin: No such revision 99 (youngest is $Y)" \
  -r 99 mkdir $R/trunk/n
fails "rm of an absent node" "kelbrin: 'nothing' not found" rm $R/trunk/nothing
fails "rm inside a copy of an absent node" \
  "kelbrin: 'copy/nothing' (from 'e/nothing:$Y') not found" \
  cp HEAD $R/trunk/e $R/trunk/copy rm $R/trunk/copy/nothing
fails "cp onto an existing node" "kelbrin: 'a.txt' already exists" \
  cp 2 $R/trunk/a.txt $R/trunk/a.txt
fails "cp onto an existing node inside a copy" \
  "kelbrin: 'copy/b.txt' (from 'd/b.txt:2') already exists" \
  cp 2 $R/trunk/d $R/trunk/copy cp 2 $R/trunk/a.txt $R/trunk/copy/b.txt
fails "cp from an absent source" "kelbrin: 'nothing' not found" cp 3 $R/trunk/nothing $R/trunk/b
fails "cp from a revision above the base revision" \
  "kelbrin: Copy source revision cannot be younger than base revision" \
  -r 3 cp 5 $R/trunk/a.txt $R/trunk/b
fails "put onto a directory" "kelbrin: 'e' is not a file" put one.txt $R/trunk/e
fails "mkdir twice" "kelbrin: unsupported multiple operations on 'n'" mkdir $R/trunk/n mkdir $R/trunk/n
fails "propset on an absent node" "kelbrin: propset: 'nothing' not found" \
  propset p v $R/trunk/nothing
fails "propset on a node being deleted" \
  "kelbrin: cannot set properties on a location being deleted ('a.txt')" \
  rm $R/trunk/a.txt propset p v $R/trunk/a.txt
fails "action below a node being deleted" \
  "kelbrin: cannot change 'e/n' below 'e', which is being deleted" rm $R/trunk/e mkdir $R/trunk/e/n
fails "copy below a node being deleted" \
  "kelbrin: cannot change 'e/n' below 'e', which is being deleted" \
  rm $R/trunk/e cp 2 $R/trunk/a.txt $R/trunk/e/n
fails "action below a file" "kelbrin: 'a.txt' is not a directory" \
  put one.txt $R/trunk/a.txt mkdir $R/trunk/a.txt/y

# -- bad URLs
"$ADMIN" create repo2 >/dev/null || setup_failed "cannot create the repository repo2"
fails "URLs of two repositories" "kelbrin: Unable to find a repository at URL '$BASE'" \
  mkdir $R/n mkdir "$BASE/repo2/n"
fails "URL naming no repository" \
  "kelbrin: Unable to find a repository at URL '$BASE/none'" mkdir "$BASE/none/n"
fails "'..' leading out of the repository" \
  "kelbrin: Unable to find a repository at URL '$BASE'" mkdir $R/../n

# -- author
"$KELBRIN" -u "" -m anonymous mkdir $R/anon >"$T/out" 2>&1
if grep -Eqx "r$((Y + 1)) committed by \(no author\) at $DATE" "$T/out"; then
  pass "no author recorded"
else
  fail "no author recorded" "r$((Y + 1)) committed by (no author) at DATE" "$(cat "$T/out")"
fi
"$KELBRIN" -m "login name" mkdir $R/login >"$T/out" 2>&1
if grep -Eqx "r$((Y + 2)) committed by [^ ]+ at $DATE" "$T/out"; then
  pass "author from the login name"
else
  fail "author from the login name" "the login name" "$(cat "$T/out")"
fi

# -- native encoding: a Latin-1 log message is stored as UTF-8, and the
# commit line comes back in Latin-1.
if mkdir -p "$T/locales" &&
   localedef -i en_US -f ISO-8859-1 "$T/locales/en_US.ISO-8859-1" >/dev/null 2>&1; then
  LOCPATH="$T/locales" LC_ALL=en_US.ISO-8859-1 "$KELBRIN" -m "$(printf 'caf\xe9')" \
    -u "$(printf 'J\xc3\xb6rg')" mkdir $R/latin1 >"$T/out" 2>&1
  if [ "$("$ADMIN" log "$T/repo" -r "$(youngest)" | grep ostrel:log)" = "  ostrel:log: café" ] &&
     grep -Eqx "r[0-9]+ committed by $(printf 'J\xf6rg') at $DATE" "$T/out"; then
    pass "Latin-1 locale: message stored as UTF-8, author shown in Latin-1"
  else
    fail "Latin-1 locale" "message stored as UTF-8, author shown in Latin-1" "$(cat "$T/out")"
  fi
else
  echo "skip Latin-1 locale: localedef cannot make en_US.ISO-8859-1 here"
fi

same "repository verifies" "" sh -c "'$ADMIN' verify '$T/repo' >/dev/null"
if [ "$TRANSPORT" = http ]; then
  stop_ostreld
  if [ "$OSTRELD_STATUS" = 0 ] && [ ! -s "$OSTRELD_ERR" ]; then
    pass "ostreld stops cleanly"
  else
    fail "ostreld stops cleanly" "status 0, nothing on its standard error" "status $OSTRELD_STATUS: $(cat "$OSTRELD_ERR")"
  fi
  # A server that is gone and a host name that does not resolve: status 1
  # and one line naming the URL and the reason.  The name is looked up in a
  # network namespace of its own, so that no query leaves the machine.
  unreachable() {  # NAME URL ROOT-URL REASON [COMMAND-PREFIX...]
    local name=$1 url=$2 root=$3 reason=$4
    shift 4
    local status=0
    "$@" "$KELBRIN" --non-interactive -m x mkdir "$url" </dev/null >"$T/out" 2>"$T/err" || status=$?
    if [ "$status" = 1 ] && [ ! -s "$T/out" ] && [ "$(wc -l <"$T/err")" = 1 ] &&
      grep -q "^kelbrin: Unable to reach the repository at URL '$root': .*$reason" "$T/err"; then
      pass "$name"
    else
      fail "$name" "status 0" "status $status: $(cat "$T/out" "$T/err")"
    fi
  }
  unreachable "a stopped server" "$R/gone" "$R" "$OSTRELD_ADDR\|${OSTRELD_ADDR%:*} port ${OSTRELD_ADDR#*:}"
  if unshare -rn true 2>/dev/null; then
    unreachable "a host that does not resolve" "http://no-such-host.invalid/repo/x" \
      "http://no-such-host.invalid/repo" "no-such-host.invalid" unshare -rn
  else
    echo "skip a host that does not resolve: no network namespace here"
  fi
fi
finish
