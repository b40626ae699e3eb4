#!/usr/bin/env bash
# Repository hooks from the outside: a table of hooks that accept or refuse,
# each commit made over file:// and over http:// (the refusal must read the
# same over both), hooks that cannot run, the time limit, what a hook is
# given (arguments, environment, no terminal, the pending transaction), the
# revision-property hooks, and post-commit hooks whose failure is a warning.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built kelbrin ostrel-admin ostreld
. "$SUPPORT_DIR/ostreld_fixture.sh"
export HOME="$T/home"
mkdir -p "$HOME" "$T/root"
cd "$T" || setup_failed "cannot enter $T"
REPO=$T/root/repo
"$ADMIN" create "$REPO" >/dev/null || setup_failed "cannot create the repository $REPO"
start_ostreld "$T/root" --open
HTTP="http://$OSTRELD_ADDR/repo"
FILE="file://$REPO"

# -- a new repository has commented, non-executable templates, and no hook
for h in start-commit pre-commit post-commit pre-revprop-change post-revprop-change; do
  t=$REPO/hooks/$h.tmpl
  [ -f "$t" ] || fail "no template $h.tmpl"
  [ -x "$t" ] && fail "template $h.tmpl is executable"
  grep -q "^# $h REPOS-PATH" "$t" || fail "template $h.tmpl does not explain its arguments"
  [ -e "$REPO/hooks/$h" ] && fail "a new repository has a $h hook"
done
grep -qx "timeout-seconds = 60" "$REPO/conf/hooks.conf" || fail "conf/hooks.conf lacks the default time limit"

hook() {  # hook NAME MODE BODY: installs a shell hook
  printf '#!/bin/sh\n%s\n' "$3" >"$REPO/hooks/$1"
  chmod "$2" "$REPO/hooks/$1"
}
clear_hooks() {
  rm -f "$REPO"/hooks/start-commit "$REPO"/hooks/pre-commit "$REPO"/hooks/post-commit \
        "$REPO"/hooks/pre-revprop-change "$REPO"/hooks/post-revprop-change
  printf '[hooks]\ntimeout-seconds = 60\n' >"$REPO/conf/hooks.conf"
}
youngest() { "$ADMIN" youngest "$REPO"; }
n=0
commit() {  # commit URL-BASE [KELBRIN-OPTION...]: one mkdir; output in out/err
  local base=$1
  shift
  n=$((n + 1))
  status=0
  "$KELBRIN" -u alice "$@" -m "change $n" mkdir "$base/d$n" >out 2>err || status=$?
}

# -- the table: hook, mode, body, expected outcome (ok or the refusal's
# message line, as kelbrin prints it), run over file:// and http://
cases=(
  "start-commit|755|exit 0|ok"
  "pre-commit|755|exit 0|ok"
  "start-commit|755|echo \"only bob may commit, not \$2\" >&2; exit 1|kelbrin: The commit was refused: the start-commit hook exited with status 1, with this output:"
  "pre-commit|755|echo 'Policy: a log message must name a ticket' >&2; exit 2|kelbrin: The commit was refused: the pre-commit hook exited with status 2, with this output:"
  "pre-commit|755|exit 5|kelbrin: The commit was refused: the pre-commit hook exited with status 5 (and no output)"
  "pre-commit|644|exit 0|kelbrin: The commit was refused: the pre-commit hook is not executable (mode 0644)"
  "start-commit|755|kill -9 \$\$|kelbrin: The commit was refused: the start-commit hook was killed by signal 9"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name mode body want <<<"$c"
  for scheme in file http; do
    clear_hooks
    hook "$name" "$mode" "$body"
    base=$FILE; [ $scheme = http ] && base=$HTTP
    before=$(youngest)
    commit "$base"
    if [ "$want" = ok ]; then
      expect_status 0 $status "$name ($body) over $scheme"
      [ "$(youngest)" = $((before + 1)) ] || fail "$name ($body) over $scheme: no revision made"
      continue
    fi
    expect_status 1 $status "$name ($body) over $scheme"
    [ "$(youngest)" = "$before" ] || fail "$name ($body) over $scheme: a refused commit made a revision"
    grep -qxF -- "$want" err || fail "$name ($body) over $scheme: got $(cat err)"
    # the refusal reads the same over both schemes (but for the URL)
    sed -e "s|$base|URL|g" -e "s|/d$n'|/dN'|" err >"refusal.$scheme"
  done
  [ "$want" = ok ] || expect_same refusal.http refusal.file "refusal of $name ($body) over http"
done
# the hook's own words reach the committer, and it was given the author
clear_hooks
hook start-commit 755 'echo "only bob may commit, not $2" >&2; exit 1'
commit "$HTTP"
grep -qx "only bob may commit, not alice" err || fail "start-commit's message over http: $(cat err)"

# -- and over https://, the refusal reads the same
if command -v openssl >/dev/null; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout tls.key -out tls.pem >/dev/null 2>&1 || setup_failed "openssl cannot make a certificate"
  stop_ostreld
  start_ostreld "$T/root" --open --tls-cert "$T/tls.pem" --tls-key "$T/tls.key"
  HTTPS="https://localhost:${OSTRELD_ADDR##*:}/repo"
  for base in "$HTTPS" "$FILE"; do
    commit "$base" --non-interactive --config-option "config:https:ca-file=$T/tls.pem"
    expect_status 1 $status "start-commit refusal over $base"
    sed -e "s|$base|URL|g" err >"refusal.${base%%:*}"
  done
  expect_same refusal.https refusal.file "the refusal over https"
  grep -qx "only bob may commit, not alice" refusal.https || fail "refusal over https: $(cat refusal.https)"
  stop_ostreld
  start_ostreld "$T/root" --open
  HTTP="http://$OSTRELD_ADDR/repo"
fi

# -- a hook that cannot be started, and one that outlives its time limit
clear_hooks
printf '#!/no/such/interpreter\n' >"$REPO/hooks/pre-commit"
chmod 755 "$REPO/hooks/pre-commit"
commit "$FILE"
expect_status 1 $status "pre-commit with a missing interpreter"
grep -q "the pre-commit hook could not be started: No such file or directory" err ||
  fail "missing interpreter: $(cat err)"
clear_hooks
printf '[hooks]\ntimeout-seconds = 1\n' >"$REPO/conf/hooks.conf"
hook pre-commit 755 'echo started >&2; sleep 30; echo "not reached" >&2'
before=$(youngest)
commit "$HTTP"
expect_status 1 $status "pre-commit past its time limit"
grep -qx "kelbrin: The commit was refused: the pre-commit hook was stopped after 1 s (its time limit), with this output:" err ||
  fail "time limit: $(cat err)"
grep -qx "started" err || fail "time limit: the output before the stop is lost: $(cat err)"
[ "$(youngest)" = "$before" ] || fail "a hook past its time limit let the commit through"
printf '[hooks]\ntimeout-seconds = soon\n' >"$REPO/conf/hooks.conf"
commit "$FILE"
expect_status 1 $status "unreadable hook configuration"
grep -q "Line 2 of the hook configuration .* is not understood" err || fail "bad hooks.conf: $(cat err)"

# -- a long message is cut, not passed whole
clear_hooks
hook pre-commit 755 'head -c 200000 /dev/zero | tr "\0" x >&2; exit 1'
commit "$FILE"
len=$(wc -c <err)
[ "$len" -lt 20000 ] || fail "a 200000-byte hook message reached the client whole ($len bytes)"
grep -q "\[output cut\]" err || fail "a cut message does not say so"

# -- what a hook is given: arguments (never through a shell), a clean
# environment, no terminal, its own session
clear_hooks
export SECRET_FROM_CLIENT=leaked
hook start-commit 755 "printf '%s\n' \"\$@\" >'$T/args'; /usr/bin/env >'$T/env'
readlink /proc/self/fd/0 >'$T/stdin'; [ -t 0 ] && echo tty >>'$T/stdin'
ps -o sid= -p \$\$ | tr -d ' ' >'$T/sid'; echo \$\$ >'$T/pid'"
n=$((n + 1))
"$KELBRIN" -u '$(touch pwned); `touch pwned2` "x' -m quoting mkdir "$FILE/q$n" >out 2>err ||
  fail "commit by an odd user name: $(cat err)"
printf '%s\n' "$REPO" '$(touch pwned); `touch pwned2` "x' '' >want.args
expect_same "$T/args" want.args "start-commit's arguments"
for f in pwned pwned2; do
  [ -e "$f" ] || [ -e "$REPO/$f" ] && fail "the user name was run as a command ($f made)"
done
grep -q '^PATH=' "$T/env" || fail "a hook has no PATH"
grep -q 'SECRET_FROM_CLIENT\|^HOME=' "$T/env" && fail "a hook inherits the environment: $(cat "$T/env")"
[ "$(cat "$T/stdin")" = /dev/null ] || fail "a hook's stdin: $(cat "$T/stdin")"
[ "$(cat "$T/sid")" = "$(cat "$T/pid")" ] || fail "a hook does not run in a session of its own"
unset SECRET_FROM_CLIENT

# -- pre-commit reads the pending transaction through ostrel-admin -t
clear_hooks
mkdir -p tree/sub
printf 'line one\n' >tree/sub/file.txt
"$KELBRIN" -m base mkdir "$FILE/proj" >/dev/null 2>err || fail "base commit: $(cat err)"
hook pre-commit 755 "A='$ADMIN'; out='$T/seen'
{ \$A log \"\$1\" -t \"\$2\"; \$A changed \"\$1\" -t \"\$2\"; \$A cat \"\$1\" /proj/new.txt -t \"\$2\"
  \$A ls \"\$1\" /proj -t \"\$2\"; \$A proplist \"\$1\" /proj/new.txt -t \"\$2\"; } >\"\$out\" 2>&1
\$A log \"\$1\" -t \"\$2\" | grep -q 'ostrel:log: .*#[0-9]' || { echo 'Name a ticket (#N) in the log message' >&2; exit 1; }"
printf 'new contents\n' >new.txt
printf 'nothing\n' >empty-prop
for scheme in file http; do
  base=$FILE; [ $scheme = http ] && base=$HTTP
  before=$(youngest)
  status=0
  "$KELBRIN" -u carol -m "no ticket" put new.txt "$base/proj/new.txt" propset colour blue \
    "$base/proj/new.txt" rm "$base/d1" >out 2>err || status=$?
  expect_status 1 $status "pre-commit policy over $scheme"
  grep -qx "Name a ticket (#N) in the log message" err || fail "policy message over $scheme: $(cat err)"
  name=$(sed -n 's/^txn //p' "$T/seen")
  case $name in [0-9]*-[0-9]*) ;; *) fail "log -t does not name the transaction: $(cat "$T/seen")" ;; esac
  listing=new.txt; [ $scheme = http ] && listing=$(printf 'new-file.txt\nnew.txt')
  cat >want.seen <<EOF
txn $name
  ostrel:author: carol
  ostrel:log: no ticket
   D /d1/
   A /proj/new.txt
new contents
$listing
  colour: blue
EOF
  expect_same "$T/seen" want.seen "what pre-commit reads of the transaction over $scheme"
  [ "$(youngest)" = "$before" ] || fail "the refused transaction became a revision"
  [ -z "$(ls "$REPO/txns")" ] || fail "a transaction snapshot stayed behind: $(ls "$REPO/txns")"
  status=0
  "$KELBRIN" -u carol -m "Fix #12" put new.txt "$base/proj/new-$scheme.txt" >out 2>err || status=$?
  expect_status 0 $status "pre-commit accepting over $scheme: $(cat err)"
done
"$ADMIN" log "$REPO" -t "$name" >out 2>err; expect_status 1 $? "log -t of a finished transaction"
grep -q "No transaction '$name' is waiting to be committed" err || fail "log -t of a gone transaction: $(cat err)"
"$ADMIN" log "$REPO" -t ../../etc >out 2>err; expect_status 1 $? "log -t with a path"
grep -q "is no transaction name" err || fail "log -t ../../etc: $(cat err)"

# -- post-commit sees every revision; its failure is a warning and logged
clear_hooks
hook post-commit 755 "echo \"\$2\" >>'$T/posted'"
first=$(( $(youngest) + 1 ))
commit "$FILE"; commit "$HTTP"; commit "$FILE"
seq "$first" $((first + 2)) >want.posted
expect_same "$T/posted" want.posted "the revisions post-commit saw"
hook post-commit 755 'echo "mail server down" >&2; exit 1'
for scheme in file http; do
  base=$FILE; [ $scheme = http ] && base=$HTTP
  commit "$base"
  expect_status 0 $status "a commit whose post-commit hook fails over $scheme"
  rev=$(youngest)
  grep -qx "r$rev committed by alice at .*" out || fail "post-commit failure over $scheme: $(cat out)"
  grep -qx "kelbrin: warning: r$rev was committed, but: The post-commit hook exited with status 1, with this output:" err ||
    fail "post-commit warning over $scheme: $(cat err)"
  grep -qx "mail server down" err || fail "post-commit output over $scheme: $(cat err)"
  grep -q "post-commit (revision $rev): The post-commit hook exited with status 1, with this output: mail server down" \
    "$REPO/log/hooks.log" || fail "post-commit failure not logged: $(cat "$REPO/log/hooks.log")"
done
# a post-commit hook that leaves a background job holding its stderr does
# not hold up the commit; the job is still running when kelbrin returns
hook post-commit 755 "sleep 30 >&2 & echo \$! >'$T/bg'; exit 0"
commit "$FILE"
expect_status 0 $status "post-commit with a background job"
bg=$(cat "$T/bg")
kill -0 "$bg" 2>/dev/null || fail "the background job was waited for (it has ended)"
kill "$bg" 2>/dev/null

# -- revision-property hooks
clear_hooks
rev=$(youngest)
"$ADMIN" setrevprop "$REPO" -r "$rev" ostrel:log "no hook, allowed" >out 2>err ||
  fail "setrevprop without hooks: $(cat err)"
hook pre-revprop-change 755 "v=\$(cat); [ \"\$4\" = ostrel:log ] && [ \"\$5\" = M ] && [ -n \"\$v\" ] && exit 0
echo \"changing \$4 (\$5) of r\$2 is not allowed\" >&2; exit 1"
hook post-revprop-change 755 "printf '%s ' \"\$@\" >'$T/post-rp'; cat >>'$T/post-rp'"
"$ADMIN" setrevprop "$REPO" -r "$rev" ostrel:log "better message" >out 2>err ||
  fail "setrevprop allowed by pre-revprop-change: $(cat err)"
printf '%s' "$REPO $rev $(id -un) ostrel:log M no hook, allowed" >want.rp
expect_same "$T/post-rp" want.rp "post-revprop-change's arguments and old value"
[ "$("$ADMIN" revprops "$REPO" -r "$rev" | sed -n 's/^  ostrel:log: //p')" = "better message" ] ||
  fail "the allowed revision property change was not made"
"$ADMIN" setrevprop "$REPO" -r "$rev" ostrel:author mallory >out 2>err
expect_status 1 $? "setrevprop refused by pre-revprop-change"
grep -qx "changing ostrel:author (M) of r$rev is not allowed" err || fail "revprop refusal: $(cat err)"
"$ADMIN" revprops "$REPO" -r "$rev" | grep -qx "  ostrel:author: alice" || fail "a refused revprop change was made"
"$ADMIN" delrevprop "$REPO" -r "$rev" ostrel:log >out 2>err
expect_status 1 $? "delrevprop refused by pre-revprop-change"
grep -qx "changing ostrel:log (D) of r$rev is not allowed" err || fail "revprop delete refusal: $(cat err)"
hook pre-revprop-change 755 'exit 0'
hook post-revprop-change 755 'echo "cannot notify" >&2; exit 4'
"$ADMIN" setrevprop "$REPO" -r "$rev" ticket 12 >out 2>err || fail "setrevprop with a failing post hook: $(cat err)"
grep -q "^ostrel-admin: warning: The post-revprop-change hook exited with status 4, with this output:" err ||
  fail "post-revprop-change warning: $(cat err)"
"$ADMIN" revprops "$REPO" -r "$rev" | grep -qx "  ticket: 12" || fail "the change before a failing post hook was lost"

# -- a backup keeps the hooks (executable) and their settings
"$ADMIN" backup "$REPO" "$T/copy" >/dev/null 2>err || fail "backup: $(cat err)"
[ -x "$T/copy/hooks/pre-revprop-change" ] || fail "the backup lost an executable hook"
cmp -s "$REPO/conf/hooks.conf" "$T/copy/conf/hooks.conf" || fail "the backup lost conf/hooks.conf"

stop_ostreld
finish
