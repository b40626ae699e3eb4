#!/usr/bin/env bash
# Who may do what over the network, end to end: ostreld with a users file,
# path rules and TLS on loopback, and kelbrin with given, cached and
# prompted credentials.  Certificates are made here, with openssl.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built kelbrin ostrel-admin ostreld
. "$SUPPORT_DIR/ostreld_fixture.sh"
need_command openssl
need_command script
need_command curl
export LC_ALL=C.UTF-8
export HOME=$T/home
mkdir -p "$HOME"
CFG=$T/cfg

# ---- The repository, users and rules ----
mkdir "$T/root"
"$ADMIN" create "$T/root/proj" >/dev/null || setup_failed "cannot create the repository $T/root/proj"
"$ADMIN" create "$T/root/hidden" >/dev/null || setup_failed "cannot create the repository $T/root/hidden"
F=file://$T/root/proj
"$KELBRIN" -m setup -u admin mkdir "$F/trunk" mkdir "$F/pub" mkdir "$F/team" mkdir "$F/secret" \
  put /dev/null "$F/secret/key" >/dev/null || setup_failed "put /dev/null \"$F/secret/key\" failed"
for u in alice:pw-a bob:pw-b carol:pw-c dave:pw-d; do
  printf '%s\n' "${u#*:}" | "$ADMIN" passwd "$T/users" "${u%%:*}" || setup_failed "cannot set the password of \"${u%%:*}\""
done
cat >"$T/rules" <<'EOF'
group team = carol, dave
/proj          alice  rw
/proj          bob    r
/proj          @team  r
/proj/team     @team  rw
/proj/pub      *      r
/proj/pub      alice  rw
/proj/secret   alice  -
EOF

youngest() { "$ADMIN" youngest "$T/root/proj"; }
author_of() { "$ADMIN" log "$T/root/proj" -r "$1" | sed -n 's/^  ostrel:author: //p'; }

# kelbrin through the server: STATUS MESSAGE-PART [kelbrin arguments...]
# Checks the status, that a failure printed MESSAGE-PART, and that a failure
# committed nothing.
kel() {
  local want=$1 text=$2
  shift 2
  local before
  before=$(youngest)
  "$KELBRIN" --config-dir "$CFG" -U "$URL" -m test "$@" </dev/null >"$T/out" 2>"$T/err"
  local got=$?
  expect_status "$want" "$got" "kelbrin $*"
  if [ -n "$text" ] && ! grep -qF -- "$text" "$T/err" "$T/out"; then
    fail "kelbrin $*: '$text' not in: $(cat "$T/out" "$T/err")"
  fi
  if [ "$want" != 0 ] && [ "$(youngest)" != "$before" ]; then
    fail "kelbrin $*: a refused commit made a revision"
  fi
  grep -q 'pw-' "$T/out" "$T/err" && fail "kelbrin $*: a password was printed"
  return 0
}

# Refusals when the server starts: each is status 1 with a clear message.
"$BIN/ostreld" --root "$T/root" --listen 127.0.0.1:0 --rules /dev/null --users "$T/nonexistent" \
  >/dev/null 2>"$T/err" </dev/null
expect_status 1 $? "ostreld with a missing users file"
grep -qF "Can't read users file '$T/nonexistent'" "$T/err" || fail "missing users file: $(cat "$T/err")"
printf '/proj * r\n/proj bob rwx\n' >"$T/bad-rules"
"$BIN/ostreld" --root "$T/root" --listen 127.0.0.1:0 --rules "$T/bad-rules" >/dev/null 2>"$T/err" </dev/null
expect_status 1 $? "ostreld with a malformed rules file"
grep -qF "Error in rules file '$T/bad-rules' at line 2: invalid access 'rwx'" "$T/err" ||
  fail "malformed rules: $(cat "$T/err")"

start_ostreld "$T/root" --users "$T/users" --rules "$T/rules" --access-log "$T/access.log"
URL=http://$OSTRELD_ADDR/proj

# ---- Credentials ----
kel 1 "The server asks for a user name and password" --non-interactive mkdir trunk/anon
kel 1 "Authentication failed" --non-interactive --username alice --password wrong mkdir trunk/w
kel 1 "Authentication failed" --non-interactive --username mallory --password pw-a mkdir trunk/m
kel 0 "committed by alice" --non-interactive --username alice --password pw-a mkdir trunk/a1
[ "$(author_of "$(youngest)")" = alice ] || fail "author is '$(author_of "$(youngest)")', not alice"
kel 0 "committed by alice" --non-interactive mkdir trunk/a2  # from the cache
grep -q "failed login for user 'alice' from 127.0.0.1" "$OSTRELD_ERR" || fail "no log line for alice"
grep -q "failed login for user 'mallory' from 127.0.0.1" "$OSTRELD_ERR" || fail "no log line for mallory"
grep -q 'wrong\|pw-a' "$OSTRELD_ERR" && fail "a password is in the server's log"

# ---- The cache ----
[ "$(stat -c %a "$CFG/auth")" = 700 ] || fail "auth/ has mode $(stat -c %a "$CFG/auth")"
cached=$(ls "$CFG/auth")
[ "$(echo "$cached" | wc -l)" = 1 ] || fail "expected one cache file: $cached"
[ "$(stat -c %a "$CFG/auth/$cached")" = 600 ] || fail "cache file has mode $(stat -c %a "$CFG/auth/$cached")"
kel 0 "committed by dave" --non-interactive --no-auth-cache --username dave --password pw-d mkdir team/d1
kel 0 "committed by dave" --non-interactive --config-option config:auth:store-passwords=no \
  --username dave --password pw-d mkdir team/d2
[ "$(ls "$CFG/auth")" = "$cached" ] || fail "credentials were cached against the options: $(ls "$CFG/auth")"
grep -q 'dave' "$CFG/auth/$cached" && fail "dave's credentials replaced alice's"
chmod 644 "$CFG/auth/$cached"
kel 1 "Ignoring the cached authentication file '$CFG/auth/$cached'" --non-interactive mkdir trunk/a3
grep -qF "kelbrin: warning: " "$T/err" || fail "the ignored cache file gave no warning"
chmod 600 "$CFG/auth/$cached"

# ---- Path rules, as one table: who, expected status, message, actions ----
while IFS='|' read -r who want text actions; do
  [ -n "$who" ] || continue
  if [ "$who" = - ]; then creds=(--non-interactive --config-dir "$T/cfg-anonymous"); else creds=(--non-interactive --no-auth-cache --username "$who" --password "pw-${who:0:1}"); fi
  # shellcheck disable=SC2086
  kel "$want" "$text" "${creds[@]}" $actions
done <<'TABLE'
bob|1|Access denied to '/trunk/b'|mkdir trunk/b
carol|0|committed by carol|mkdir team/c
carol|1|Access denied to '/trunk/c'|mkdir trunk/c
dave|1|Access denied to '/trunk'|rm trunk
alice|1|Access denied to '/secret'|cp 1 secret/key trunk/k
alice|1|Access denied to '/secret'|cp 1 secret/nothing-here trunk/k
alice|0|committed by alice|cp 1 pub trunk/pub-copy
-|1|The server asks for a user name and password|mkdir pub/anon
TABLE
# A refusal says the same of a path that exists and of one that does not.
kel 1 "" --non-interactive --no-auth-cache --username alice --password pw-a cp 1 secret/key trunk/k
sed 's/secret\/key/X/g' "$T/err" >"$T/err-existing"
kel 1 "" --non-interactive --no-auth-cache --username alice --password pw-a cp 1 secret/nothing-here trunk/k
sed 's/secret\/nothing-here/X/g' "$T/err" >"$T/err-missing"
expect_same "$T/err-missing" "$T/err-existing" "the refusal of a missing unreadable path"
# Where anonymous callers may read, a commit starts without credentials: the
# server refuses it (401) before its body, and kelbrin sends it again with
# them.  The refused request carried no body.
URL=http://$OSTRELD_ADDR/proj/pub
kel 0 "committed by alice" --non-interactive --no-auth-cache --username alice --password pw-a mkdir new
URL=http://$OSTRELD_ADDR/proj
grep -q ' - POST /proj/pub?op=commit 401 0 ' "$T/access.log" ||
  fail "no refused commit without a body in the access log: $(grep POST "$T/access.log")"
grep -q ' alice POST /proj/pub?op=commit 200 [1-9]' "$T/access.log" ||
  fail "no commit by alice in the access log: $(grep POST "$T/access.log")"
# Anonymous reading where everyone may read, and nowhere else.
code=$(curl -s -o /dev/null -w '%{http_code}' "$URL/pub?op=node&rev=1")
[ "$code" = 200 ] || fail "anonymous read of /pub: HTTP $code"
code=$(curl -s -o /dev/null -w '%{http_code}' "$URL/trunk?op=node&rev=1")
[ "$code" = 401 ] || fail "anonymous read of /trunk: HTTP $code"
# Whether a repository exists is not told to someone who may not read it.
for repo in hidden no-such-repo; do
  code=$(curl -s -o "$T/answer-$repo" -w '%{http_code}' -u bob:pw-b "http://$OSTRELD_ADDR/$repo/?op=discover")
  [ "$code" = 403 ] || fail "bob asking about /$repo: HTTP $code"
  sed "s/$repo/X/g" "$T/answer-$repo" >"$T/answer-$repo.masked"
done
expect_same "$T/answer-no-such-repo.masked" "$T/answer-hidden.masked" "the answer about an unreadable repository"

# ---- SIGHUP reads the users and rules files again ----
# Sends SIGHUP and waits until the server's log has one more line holding TEXT.
hup_and_wait() {
  local before waited=0
  before=$(grep -cF "$1" "$OSTRELD_ERR")
  kill -HUP "$OSTRELD_PID"
  until [ "$(grep -cF "$1" "$OSTRELD_ERR")" -gt "$before" ] || [ $waited -ge 100 ]; do
    sleep 0.1; waited=$((waited + 1))
  done
  [ $waited -lt 100 ] || fail "no '$1' after SIGHUP: $(cat "$OSTRELD_ERR")"
}
erin=(--non-interactive --no-auth-cache --username erin --password pw-e)
frank=(--non-interactive --no-auth-cache --username frank --password pw-f)
cp "$T/rules" "$T/rules.first"
printf 'pw-e\n' | "$ADMIN" passwd "$T/users" erin || setup_failed "cannot set the password of erin"
echo '/proj/trunk erin rw' >>"$T/rules"
kel 1 "Authentication failed" "${erin[@]}" mkdir trunk/e
sleep 0.3  # past the wait a failed login imposes
hup_and_wait "read the users and rules files again"
kel 0 "committed by erin" "${erin[@]}" mkdir trunk/e
# A file that does not read changes nothing, not even the other file's part.
printf 'pw-f\n' | "$ADMIN" passwd "$T/users" frank || setup_failed "cannot set the password of frank"
echo '/proj/trunk frank rwx' >>"$T/rules"
hup_and_wait "the users and rules in force stay as they were"
grep -qF "ostreld: Error in rules file '$T/rules' at line 10: invalid access 'rwx'" "$OSTRELD_ERR" ||
  fail "the malformed rules file is not named: $(cat "$OSTRELD_ERR")"
kel 1 "Authentication failed" "${frank[@]}" mkdir trunk/f
sleep 0.3
kel 0 "committed by erin" "${erin[@]}" mkdir trunk/e2
kill -0 "$OSTRELD_PID" || fail "ostreld ended on a SIGHUP with a malformed rules file"
cp "$T/rules.first" "$T/rules"
hup_and_wait "read the users and rules files again"
kel 1 "Access denied to '/trunk'" "${erin[@]}" mkdir trunk/e3

# ---- The prompt, on a terminal (script(1) gives kelbrin one) ----
# Answers each prompt only once it is shown: the password prompt drops
# whatever was typed before it.
prompt_run() {
  local cfg=$1
  shift
  rm -f "$T/tty-in" "$T/tty-out"
  mkfifo "$T/tty-in"
  script -qfec "$(printf '%q ' "$KELBRIN" --config-dir "$cfg" -U "$URL" -m typed "$@")" /dev/null \
    <"$T/tty-in" >"$T/tty-out" 2>&1 &
  local pid=$!
  exec {feed}>"$T/tty-in"
  local answer waited
  for answer in "User name: |carol" "Password for 'carol'|pw-c"; do
    waited=0
    until grep -qF "${answer%%|*}" "$T/tty-out" 2>/dev/null || [ $waited -ge 200 ]; do
      sleep 0.1; waited=$((waited + 1))
    done
    printf '%s\n' "${answer#*|}" >&"$feed"
  done
  waited=0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 300 ]; do sleep 0.1; waited=$((waited + 1)); done
  kill "$pid" 2>/dev/null
  wait "$pid"
  local status=$?
  exec {feed}>&-
  return $status
}
prompt_run "$T/cfg-prompt" mkdir team/typed
expect_status 0 $? "a commit with a prompted password"
grep -q "committed by carol" "$T/tty-out" || fail "prompted commit: $(cat "$T/tty-out")"
grep -q "pw-c" "$T/tty-out" && fail "the typed password was echoed: $(cat "$T/tty-out")"
[ "$(ls "$T/cfg-prompt/auth" | wc -l)" = 1 ] || fail "the prompted password was not cached"

# ---- Guessing: failed logins in a row from one address wait longer ----
for i in 1 2 3; do
  kel 1 "Authentication failed" --non-interactive --no-auth-cache --username bob --password guess$i mkdir trunk/g
done
grep -o "failed login for user 'bob' from 127.0.0.1 ([0-9]* in a row; the next attempt from this address waits [0-9]* ms)" \
  "$OSTRELD_ERR" | sed 's/.*waits \([0-9]*\) ms)/\1/' >"$T/delays"
[ "$(wc -l <"$T/delays")" = 3 ] || fail "expected three logged failures for bob: $(cat "$OSTRELD_ERR")"
sort -n -c "$T/delays" 2>/dev/null && [ "$(sort -u "$T/delays" | wc -l)" = 3 ] ||
  fail "the delays do not grow: $(tr '\n' ' ' <"$T/delays")"
stop_ostreld

# ---- TLS ----
# A certificate authority, and server certificates: good, for another
# host, expired (signed by the authority), and two self-signed ones.
mkdir "$T/pki"
P=$T/pki
ossl() { openssl "$@" >/dev/null 2>&1 || setup_failed "openssl $1 failed"; }
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=Test-CA \
  -keyout "$P/ca.key" -out "$P/ca.pem"
cat >"$P/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $P/index.txt
new_certs_dir = $P
serial = $P/serial
unique_subject = no
default_md = sha256
policy = any
[any]
commonName = supplied
[localhost]
subjectAltName = DNS:localhost,IP:127.0.0.1
[other]
subjectAltName = DNS:other.test
EOF
: >"$P/index.txt"
echo 01 >"$P/serial"
issue() {  # NAME CN EXTENSIONS [openssl ca options...]
  local name=$1 cn=$2 ext=$3
  shift 3
  ossl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$cn" \
    -keyout "$P/$name.key" -out "$P/$name.csr"
  ossl ca -batch -config "$P/ca.cnf" -cert "$P/ca.pem" -keyfile "$P/ca.key" -in "$P/$name.csr" \
    -out "$P/$name.pem" -extensions "$ext" -notext "$@"
}
issue good localhost localhost -days 1
issue other other.test other -days 1
issue expired localhost localhost -startdate 20200101000000Z -enddate 20200102000000Z
for n in self1 self2; do
  ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$P/$n.key" -out "$P/$n.pem"
done
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//'; }

"$BIN/ostreld" --root "$T/root" --listen 127.0.0.1:0 --tls-cert "$P/good.pem" --tls-key "$P/self1.key" \
  >/dev/null 2>"$T/err" </dev/null
expect_status 1 $? "ostreld with a key of another certificate"
grep -qF "does not belong to the certificate" "$T/err" || fail "mismatched key: $(cat "$T/err")"

tls_server() {  # NAME [PORT]
  start_ostreld "$T/root" --users "$T/users" --rules "$T/rules" --tls-cert "$P/$1.pem" \
    --tls-key "$P/$1.key" ${2:+--listen 127.0.0.1:$2}
  URL=https://localhost:${OSTRELD_ADDR##*:}/proj
}
CA=(--config-option "config:https:ca-file=$P/ca.pem")
A=(--non-interactive --no-auth-cache --username alice --password pw-a)

tls_server good
kel 0 "committed by alice" "${A[@]}" "${CA[@]}" mkdir trunk/tls1
kel 1 "is not trusted (unable to get local issuer certificate); its SHA-256 fingerprint is $(fingerprint "$P/good.pem")" \
  "${A[@]}" mkdir trunk/tls2
kel 1 "Can't read the certificate authorities in '$T/none.pem'" "${A[@]}" \
  --config-option "config:https:ca-file=$T/none.pem" mkdir trunk/tls3
stop_ostreld

tls_server other
kel 1 "is not trusted (it is issued for another host name than 'localhost')" "${A[@]}" "${CA[@]}" mkdir trunk/tls4
stop_ostreld

tls_server expired
kel 1 "is not trusted (certificate has expired)" "${A[@]}" "${CA[@]}" mkdir trunk/tls5
stop_ostreld

tls_server self1
port=${OSTRELD_ADDR##*:}
kel 1 "$(fingerprint "$P/self1.pem")" "${A[@]}" mkdir trunk/tls6
# Interactively: shown, then accepted for good.
script -qfec "$(printf '%q ' "$KELBRIN" --config-dir "$CFG" -U "$URL" -m tls --no-auth-cache \
  --username alice --password pw-a mkdir trunk/tls7)" /dev/null <<<"g" >"$T/tty-out" 2>&1
expect_status 0 $? "accepting a self-signed certificate for good"
grep -q "subject: *CN=localhost" "$T/tty-out" && grep -q "SHA-256: *$(fingerprint "$P/self1.pem")" "$T/tty-out" ||
  fail "the certificate was not shown: $(cat "$T/tty-out")"
kel 0 "committed by alice" "${A[@]}" mkdir trunk/tls8  # kept: no question
stop_ostreld
tls_server self2 "$port"
kel 1 "HAS CHANGED" "${A[@]}" mkdir trunk/tls9
stop_ostreld

# A password is never sent over http:// to another machine.  The refusal
# comes before any connection; kelbrin runs in a network namespace of its own
# all the same, so that a regression could not reach the address.
if unshare -n true 2>/dev/null; then
  KELBRIN_OUTSIDE=$KELBRIN
  KELBRIN="$T/kelbrin-isolated"
  printf '#!/bin/sh\nexec unshare -n "%s" "$@"\n' "$KELBRIN_OUTSIDE" >"$KELBRIN"
  chmod +x "$KELBRIN"
  URL=http://198.51.100.7:9/proj
  kel 1 "Refusing to send a password to 'http://198.51.100.7:9/proj/trunk'" "${A[@]}" mkdir trunk/x
  KELBRIN=$KELBRIN_OUTSIDE
else
  echo "skip: a password over http:// to another machine (no network namespace here)"
fi

finish
