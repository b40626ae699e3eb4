#!/usr/bin/env bash
# ostrel end to end: the same table of reads over file://, http:// and
# https:// (a certificate made here) gives exactly what ostrel-admin prints
# on the repository itself; export writes the same tree; errors read the
# same over every scheme.  Then the path rules on listings, logs and raw
# reads (no unreadable name anywhere), and the web view's raw answers with
# curl: Range, ETag and 304, content types and security headers.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../../tests/support/init.sh"
. "$SUPPORT_DIR/ostreld_fixture.sh"
need_built ostrel kelbrin ostrel-admin ostreld
need_command openssl
need_command curl
export LC_ALL=C.UTF-8 HOME=$T/home
mkdir -p "$HOME" "$T/root" "$T/in"

# ---- The repository: files, a binary, properties, a copy, a delete ----
R=$T/root/proj
"$ADMIN" create "$R" >/dev/null || setup_failed "cannot create the repository $R"
F=file://$R
printf 'one\ntwo\n' >"$T/in/a.txt"
printf '\x89PNG\r\n\x1a\n\x00\x01\x02' >"$T/in/b.bin"
printf 'top secret\n' >"$T/in/key"
head -c 300000 /dev/urandom >"$T/in/big"
k() { "$KELBRIN" -u alice "$@" >/dev/null || setup_failed "kelbrin $* failed"; }
k -m "First" mkdir "$F/trunk" put "$T/in/a.txt" "$F/trunk/a.txt" mkdir "$F/trunk/sub" \
  put "$T/in/b.bin" "$F/trunk/sub/b.bin" mkdir "$F/secret" put "$T/in/key" "$F/secret/key" \
  propset color red "$F/trunk" put "$T/in/big" "$F/trunk/big" mkdir "$F/trunk/a b"
printf 'one\ntwo\nthree\n' >"$T/in/a.txt"
k -m "Second: a branch
on two lines" cp 1 "$F/trunk" "$F/branch" put "$T/in/a.txt" "$F/trunk/a.txt" \
  propset ostrel:mime-type text/x-note "$F/trunk/a.txt"
k -m "Third" rm "$F/branch/sub" put "$T/in/key" "$F/secret/only-secret-changed-here"
k -m "Fourth, secret only" put "$T/in/a.txt" "$F/secret/key"

# ---- The schemes: one table of reads each, against ostrel-admin ----
P=$T/pki
mkdir "$P"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout "$P/key.pem" -out "$P/cert.pem" \
  >/dev/null 2>&1 || setup_failed "openssl failed"
CA=(--config-option "config:https:ca-file=$P/cert.pem")

# compare NAME "OSTREL ARGS (URL relative as @/...)" "ADMIN ARGS"
compare() {
  local name=$1 mine=$2 theirs=$3
  # shellcheck disable=SC2086
  "$OSTREL" -n --config-dir "$T/cfg" "${CA[@]}" ${mine//@/$BASE} >"$T/mine" 2>"$T/mine.err"
  local s1=$?
  # shellcheck disable=SC2086
  "$ADMIN" $theirs >"$T/theirs" 2>"$T/theirs.err"
  local s2=$?
  [ "$s1" = "$s2" ] || fail "$scheme $name: ostrel status $s1, ostrel-admin $s2 ($(cat "$T/mine.err"))"
  expect_same "$T/mine" "$T/theirs" "$scheme $name"
}

for scheme in file http https; do
  case $scheme in
    file) BASE=$F ;;
    http) start_ostreld "$T/root" --open; BASE=http://$OSTRELD_ADDR/proj ;;
    https) start_ostreld "$T/root" --open --tls-cert "$P/cert.pem" --tls-key "$P/key.pem"
      BASE=https://localhost:${OSTRELD_ADDR##*:}/proj ;;
  esac
  while IFS='|' read -r name mine theirs; do
    [ -n "$name" ] && compare "$name" "$mine" "$theirs"
  done <<TABLE
ls root|ls @|ls $R
ls dir|ls @/trunk|ls $R trunk
ls -R|ls -R @|ls $R -R
ls old rev|ls -r 1 @/branch|ls $R branch -r 1
cat|cat @/trunk/a.txt|cat $R trunk/a.txt
cat binary|cat @/trunk/sub/b.bin|cat $R trunk/sub/b.bin
cat big|cat @/trunk/big|cat $R trunk/big
cat old rev|cat -r 1 @/trunk/a.txt|cat $R trunk/a.txt -r 1
log|log @|log $R
log -v|log -v @|log $R -v
log of a file|log -v @/trunk/a.txt|log $R trunk/a.txt -v
log range|log -r 1:3 @|log $R -r 1:3
log one rev|log -v -r 2 @|log $R -v -r 2
log limit|log -v --limit 1 @/trunk|log $R trunk -v --limit 1
proplist|proplist @/trunk/a.txt|proplist $R trunk/a.txt
proplist old|proplist -r 1 @/trunk|proplist $R trunk -r 1
TABLE
  # A path that is not there: the same message whatever the scheme.
  "$OSTREL" -n "${CA[@]}" cat "$BASE/trunk/nope" >/dev/null 2>"$T/err"
  expect_status 1 $? "$scheme cat of a missing file"
  grep -qF "'/trunk/nope' does not exist in revision 4" "$T/err" || fail "$scheme missing: $(cat "$T/err")"
  "$OSTREL" -n "${CA[@]}" cat "$BASE/trunk" >/dev/null 2>"$T/err"
  expect_status 1 $? "$scheme cat of a directory"
  grep -qF "'/trunk' is not a file in revision 4" "$T/err" || fail "$scheme cat dir: $(cat "$T/err")"
  # ls -v: revision, author, size and date columns, then the name.
  "$OSTREL" -n "${CA[@]}" ls -v "$BASE/trunk" >"$T/lsv" 2>&1 || fail "$scheme ls -v: $(cat "$T/lsv")"
  grep -Eq '^ +2 alice +14 [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{5} +a\.txt$' "$T/lsv" ||
    fail "$scheme ls -v: $(cat "$T/lsv")"
  "$OSTREL" -n "${CA[@]}" info "$BASE/trunk/a.txt" >"$T/info" 2>&1 || fail "$scheme info: $(cat "$T/info")"
  for line in "Path: /trunk/a.txt" "Node Kind: file" "Size: 14" "Last Changed Rev: 2" \
    "Last Changed Author: alice" "Revision: 4" "Repository Root: $BASE"; do
    grep -qxF "$line" "$T/info" || fail "$scheme info lacks '$line': $(cat "$T/info")"
  done
  # export: the same tree as ostrel-admin's, and nothing left on failure.
  rm -rf "$T/ex-mine" "$T/ex-theirs"
  "$OSTREL" -n "${CA[@]}" export "$BASE/trunk" "$T/ex-mine" >/dev/null 2>"$T/err" ||
    fail "$scheme export: $(cat "$T/err")"
  "$ADMIN" export "$R" "$T/ex-theirs" trunk >/dev/null || fail "admin export"
  diff -r "$T/ex-mine" "$T/ex-theirs" >/dev/null || fail "$scheme export differs"
  "$OSTREL" -n "${CA[@]}" export "$BASE/trunk" "$T/ex-mine" >/dev/null 2>"$T/err"
  expect_status 1 $? "$scheme export onto a full directory"
  grep -qF "it exists and is not an empty directory" "$T/err" || fail "$scheme export twice: $(cat "$T/err")"
  [ -z "$(ls -d "$T"/ex-mine.partial-* 2>/dev/null)" ] || fail "$scheme export left a partial tree"
  stop_ostreld
done

# Command-line mistakes: one line on standard error, status 1.
while IFS='|' read -r args text; do
  # shellcheck disable=SC2086
  "$OSTREL" $args >"$T/out" 2>"$T/err"
  expect_status 1 $? "ostrel $args"
  [ "$(cat "$T/err")" = "ostrel: $text" ] || fail "ostrel $args said: $(cat "$T/err")"
  [ -s "$T/out" ] && fail "ostrel $args printed: $(cat "$T/out")"
done <<TABLE
|No subcommand given; try 'ostrel --help'
frob $F|Unknown subcommand 'frob'; try 'ostrel --help'
ls|Wrong number of arguments for 'ls'; try 'ostrel --help'
ls $R|'$R' is not a URL (file://, http:// or https://)
cat -R $F/trunk/a.txt|Only 'ls' takes -R
cat -r 1:2 $F/trunk/a.txt|Only 'log' takes a revision range
log --limit 0 $F|--limit needs a positive number, not '0'
ls -r x $F|Invalid revision 'x'
ls file://$T/nothing|Unable to find a repository at URL 'file://$T/nothing'
TABLE

# Certificates as kelbrin checks them: unknown and non-interactive is refused.
start_ostreld "$T/root" --open --tls-cert "$P/cert.pem" --tls-key "$P/key.pem"
"$OSTREL" -n --config-dir "$T/cfg2" ls "https://localhost:${OSTRELD_ADDR##*:}/proj" >/dev/null 2>"$T/err"
expect_status 1 $? "an unknown certificate"
grep -qF "is not trusted" "$T/err" || fail "unknown certificate: $(cat "$T/err")"
stop_ostreld

# ---- Path rules: nothing unreadable leaks, not even a name ----
printf '%s\n' pw-a | "$ADMIN" passwd "$T/users" alice || setup_failed "cannot set the password of alice"
printf '%s\n' pw-b | "$ADMIN" passwd "$T/users" bob || setup_failed "cannot set the password of bob"
cat >"$T/rules" <<'EOF'
/proj          *      r
/proj/secret   *      -
/proj/secret   alice  r
EOF
start_ostreld "$T/root" --users "$T/users" --rules "$T/rules"
U=http://$OSTRELD_ADDR/proj
anon=(-n --config-dir "$T/cfg-anon")
"$OSTREL" "${anon[@]}" ls -R "$U" >"$T/out" 2>&1 || fail "anonymous ls -R: $(cat "$T/out")"
grep -q secret "$T/out" && fail "ls -R names an unreadable path: $(cat "$T/out")"
"$OSTREL" "${anon[@]}" log -v "$U" >"$T/out" 2>&1 || fail "anonymous log: $(cat "$T/out")"
grep -q secret "$T/out" && fail "log -v names an unreadable path: $(grep secret "$T/out")"
grep -q '^r4$' "$T/out" && fail "log shows a revision that changed only unreadable paths"
grep -q '^r3$' "$T/out" || fail "log lost revision 3, which changed a readable path"
# An unreadable file reads exactly as a missing one (apart from the name)
# for a logged-in user; an anonymous caller is asked to log in for both.
bob=(-n --no-auth-cache -u bob -p pw-b)
"$OSTREL" "${bob[@]}" cat "$U/secret/key" >"$T/hidden" 2>&1
expect_status 1 $? "cat of an unreadable file"
"$OSTREL" "${bob[@]}" cat "$U/trunk/nothing" >"$T/missing" 2>&1
[ "$(sed 's|/secret/key|X|' "$T/hidden")" = "$(sed 's|/trunk/nothing|X|' "$T/missing")" ] ||
  fail "an unreadable file reads unlike a missing one: $(cat "$T/hidden") / $(cat "$T/missing")"
"$OSTREL" "${bob[@]}" ls "$U/secret" >"$T/hidden" 2>&1
"$OSTREL" "${bob[@]}" ls "$U/nothing" >"$T/missing" 2>&1
[ "$(sed 's|/secret|X|' "$T/hidden")" = "$(sed 's|/nothing|X|' "$T/missing")" ] ||
  fail "an unreadable directory lists unlike a missing one: $(cat "$T/hidden") / $(cat "$T/missing")"
"$OSTREL" "${anon[@]}" cat "$U/secret/key" >"$T/hidden" 2>&1
"$OSTREL" "${anon[@]}" cat "$U/secret/nothing" >"$T/missing" 2>&1
[ "$(sed 's|key|X|' "$T/hidden")" = "$(sed 's|nothing|X|' "$T/missing")" ] ||
  fail "anonymous: an unreadable file reads unlike a missing one"
# The user the rules let in sees it.
"$OSTREL" -n --no-auth-cache -u alice -p pw-a cat "$U/secret/key" >"$T/out" 2>&1 ||
  fail "alice cannot read the secret: $(cat "$T/out")"
# Raw reads, JSON, HTML and the commit protocol's listing hide it too.
code=$(curl -s -u bob:pw-b -o "$T/raw-hidden" -w '%{http_code}' "$U/secret/key?raw")
code2=$(curl -s -u bob:pw-b -o "$T/raw-missing" -w '%{http_code}' "$U/trunk/nothing?raw")
[ "$code" = 404 ] && [ "$code2" = 404 ] || fail "raw hidden: $code $code2"
[ "$(sed 's|/secret/key|X|' "$T/raw-hidden")" = "$(sed 's|/trunk/nothing|X|' "$T/raw-missing")" ] ||
  fail "raw hidden differs"
for accept in application/json text/html; do
  curl -s -H "Accept: $accept" "$U/" >"$T/page"
  grep -q secret "$T/page" && fail "the $accept listing names an unreadable path"
  curl -s -H "Accept: $accept" "$U/?log" >"$T/page"
  grep -q secret "$T/page" && fail "the $accept log names an unreadable path"
  curl -s -H "Accept: $accept" "$U/?revision=3" >"$T/page"
  grep -q secret "$T/page" && fail "the $accept revision page names an unreadable path"
done
curl -s "$U/?op=node&rev=4" >"$T/node"
grep -q secret "$T/node" && fail "op=node lists an unreadable name"
curl -s "$U/?op=list&rev=4&depth=2" >"$T/list"
grep -q secret "$T/list" && fail "op=list names an unreadable path"
stop_ostreld

# ---- The web view with curl: Range, ETag, types, headers ----
start_ostreld "$T/root" --open
W=http://$OSTRELD_ADDR/proj
code=$(curl -s -D "$T/h" -o "$T/body" -w '%{http_code}' -r 4-7 "$W/trunk/a.txt?raw")
[ "$code" = 206 ] || fail "range: status $code"
[ "$(cat "$T/body")" = "two" ] || [ "$(od -c "$T/body" | head -1)" = "$(printf 'two\n' | od -c | head -1)" ] ||
  fail "range body: $(od -c "$T/body")"
grep -qi '^Content-Range: bytes 4-7/14' "$T/h" || fail "no Content-Range: $(cat "$T/h")"
grep -qi '^Content-Length: 4' "$T/h" || fail "range length: $(cat "$T/h")"
code=$(curl -s -o /dev/null -w '%{http_code}' -r 100- "$W/trunk/a.txt?raw")
[ "$code" = 416 ] || fail "a range beyond the end: status $code"
curl -s -D "$T/h" -o "$T/body" "$W/trunk/big?r=4&raw"
cmp -s "$T/body" "$T/in/big" || fail "raw big file differs"
grep -qi '^Content-Length: 300000' "$T/h" || fail "raw length: $(cat "$T/h")"
grep -qi '^Content-Type: application/octet-stream' "$T/h" || fail "binary type: $(cat "$T/h")"
grep -qi '^Cache-Control: public, max-age=31536000, immutable' "$T/h" || fail "fixed revision not immutable: $(cat "$T/h")"
etag=$(sed -n 's/^[Ee][Tt][Aa][Gg]: *\(.*\)\r$/\1/p' "$T/h")
[ -n "$etag" ] || fail "no ETag: $(cat "$T/h")"
code=$(curl -s -o /dev/null -w '%{http_code}' -H "If-None-Match: $etag" "$W/trunk/big?r=4&raw")
[ "$code" = 304 ] || fail "If-None-Match: status $code"
curl -s -D "$T/h" -o "$T/body" "$W/trunk/a.txt"   # curl asks for */*: the bytes
[ "$(cat "$T/body")" = "$(printf 'one\ntwo\nthree')" ] || fail "plain GET of a file: $(cat "$T/body")"
grep -qi '^Content-Type: text/x-note' "$T/h" || fail "mime-type property: $(cat "$T/h")"
grep -qi '^Cache-Control: no-cache' "$T/h" || fail "youngest cached: $(cat "$T/h")"
curl -s -D "$T/h" -o "$T/body" -H 'Accept: text/html' "$W/trunk/"
for header in "Content-Security-Policy: default-src 'none'" "X-Content-Type-Options: nosniff" \
  "frame-ancestors 'none'" "Content-Type: text/html; charset=utf-8"; do
  grep -qiF "$header" "$T/h" || fail "the page lacks '$header': $(cat "$T/h")"
done
grep -q '>a b/</a>' "$T/body" || fail "the listing lacks 'a b/'"
grep -q 'href="/proj/trunk/a%20b/"' "$T/body" || fail "the listing's link is not escaped"
curl -s -H 'Accept: application/json' "$W/trunk/" >"$T/json"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); names=[e["name"] for e in d["entries"]]; assert names==["a b","a.txt","big","sub"], names; assert d["revision"]==4' "$T/json" ||
  fail "JSON listing: $(cat "$T/json")"
curl -s -H 'Accept: application/json' "$W/trunk/a.txt?log" >"$T/json"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert [e["revision"] for e in d["entries"]]==[2,1], d' "$T/json" ||
  fail "JSON log: $(cat "$T/json")"
# The log in pages: two entries, then a link to the older ones.
curl -s -H 'Accept: text/html' "$W/?log&limit=2" >"$T/page"
[ "$(grep -o '<section class="entry">' "$T/page" | wc -l)" = 2 ] || fail "a log page of 2 holds: $(cat "$T/page")"
grep -qF 'href="/proj/?log&amp;from=2&amp;limit=2"' "$T/page" || fail "no link to the older log page"
curl -s -H 'Accept: text/html' "$W/?log&limit=2&from=2" >"$T/page"
grep -qF '?revision=1"' "$T/page" && grep -qF '?revision=2"' "$T/page" || fail "the older log page"
grep -qF 'id="older"' "$T/page" || fail "the page before r0 has no older link"
code=$(curl -s -o /dev/null -w '%{http_code}' -H 'Accept: text/html' "$W/trunk/?r=99")
[ "$code" = 404 ] || fail "a revision beyond the youngest: status $code"
code=$(curl -s -o /dev/null -w '%{http_code}' -H 'Accept: text/html' "$W/trunk/?r=x")
[ "$code" = 400 ] || fail "a malformed revision: status $code"
stop_ostreld
finish
