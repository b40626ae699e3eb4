#!/usr/bin/env bash
# ostreld from the outside: its command line, hostile requests (each refused
# with a 4xx or dropped, nothing committed, the server still serving), the
# number of requests a large commit costs, and two committers at once.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
need_built kelbrin ostrel-admin ostreld
. "$SUPPORT_DIR/ostreld_fixture.sh"
export HOME="$T/home"
mkdir -p "$HOME" "$T/root"
cd "$T" || setup_failed "cannot enter $T"
"$ADMIN" create root/repo >/dev/null || setup_failed "cannot create the repository root/repo"
mkdir -p root/not-a-repo outside
echo secret >outside/secret

# -- command line
"$OSTRELD" --help >help.txt 2>&1; expect_status 0 $? "--help"
grep -q -- "--access-log" help.txt || fail "--help does not explain --access-log"
# every option and configuration option of --help is in the man page
for opt in $(grep -o -- '--[a-z][a-z-]*' help.txt | sort -u) \
           $(sed -n 's/^  \([a-z-]*\) = .*/\1/p' help.txt); do
  grep -q -- "\*$opt\*" "$SOURCE_DIR/docs/man/ostreld.8.scd" || fail "ostreld(8) does not document $opt"
done
"$OSTRELD" --root "$T/missing" --listen 127.0.0.1:0 >out 2>err; expect_status 1 $? "missing root"
grep -qx "ostreld: The root '$T/missing' is not a directory" err || fail "missing root: $(cat err)"
"$OSTRELD" >out 2>err; expect_status 1 $? "no --root"
"$OSTRELD" --root root --config "$T/none.conf" >out 2>err; expect_status 1 $? "missing config"
grep -q "Can't read configuration file '$T/none.conf': No such file" err || fail "missing config: $(cat err)"
# the configuration file follows the rules of every configuration file: a
# bad value, an unknown option or section, a line outside a section are
# refused, naming the file and the line
while IFS='|' read -r text line reason; do
  printf '[server]\nworkers = 2\n%b\n' "$text" >bad.conf
  "$OSTRELD" --root root --config bad.conf >out 2>err; expect_status 1 $? "config '$text'"
  grep -qx "ostreld: Error in configuration file 'bad.conf' at line $line" err &&
    grep -q "$reason" err || fail "config '$text': $(cat err)"
  [ -s out ] && fail "config '$text' listened: $(cat out)"
done <<'CASES'
max-frame-bytes = lots|3|Invalid value 'lots' for configuration option 'bad.conf:server:max-frame-bytes' (expected a whole number from 4096 to 1073741824)
max-connections = 0|3|expected a whole number from 1 to 100000
no-such-option = 1|3|Unknown configuration option 'no-such-option' in section 'server'
[serve]|3|Unknown configuration section 'serve'
just words|3|Malformed line
CASES
printf 'workers = 2\n' >bad.conf
"$OSTRELD" --root root --config bad.conf >out 2>err; expect_status 1 $? "option before a section"
grep -q "Option 'workers' comes before any section" err || fail "option before a section: $(cat err)"
for other in --users --rules; do
  "$OSTRELD" --root root --listen 127.0.0.1:0 --open $other /dev/null >out 2>err
  expect_status 1 $? "--open with $other"
  grep -qx "ostreld: --open .* does not go with --users or --rules" err || fail "--open with $other: $(cat err)"
  [ -s out ] && fail "--open with $other listened: $(cat out)"
done

# -- secure by default: without --open, --users or --rules nobody may read
# or write, whatever name a client claims; the start says so
start_ostreld "$T/root" --access-log "$T/closed.log"
R="http://$OSTRELD_ADDR/repo"
for i in $(seq 1 100); do grep -q warning "$OSTRELD_ERR" && break; sleep 0.1; done
grep -qx "ostreld: warning: no --users, --rules or --open: every request will be refused" "$OSTRELD_ERR" ||
  fail "no warning about a server that admits nobody: $(cat "$OSTRELD_ERR")"
status=0; "$KELBRIN" -u mallory -m closed mkdir "$R/closed" >out 2>err || status=$?
expect_status 1 $status "anonymous commit to a server without --open or --users"
grep -q "^kelbrin: Access denied to '/'" err || fail "anonymous commit refused with: $(cat err)"
[ "$("$ADMIN" youngest root/repo)" = 0 ] || fail "an anonymous commit was made without --open"
grep -Eq ' - GET /repo\?op=discover 403 ' closed.log || fail "the refusal is not logged: $(cat closed.log)"
stop_ostreld
# rules that let everyone write, without users: the author is nobody, never
# the name the client claims
printf '/* * rw\n' >everyone.rules
start_ostreld "$T/root" --rules "$T/everyone.rules"
R="http://$OSTRELD_ADDR/repo"
"$KELBRIN" -u mallory -m claimed mkdir "$R/claimed" >out 2>err || fail "commit allowed by '*' rules: $(cat err)"
grep -q "committed by (no author)" out || fail "a claimed author was taken: $(cat out)"
"$ADMIN" log root/repo -r 1 | grep -q mallory && fail "the claimed name 'mallory' was recorded"
stop_ostreld
# (the tests below start from an empty repository)
rm -rf root/repo && "$ADMIN" create root/repo >/dev/null || setup_failed "rm -rf root/repo && \"$ADMIN\" create root/repo failed"

# A server with small limits for the hostile requests.
printf '[server]\n# small limits for the tests\nmax-header-bytes = 8192\nidle-timeout-seconds = 2\nmax-frame-bytes = 65600\n' >small.conf
start_ostreld "$T/root" --open --config "$T/small.conf" --access-log "$T/access.log"
HOST=${OSTRELD_ADDR%:*}
PORT=${OSTRELD_ADDR##*:}

"$OSTRELD" --root root --listen "$OSTRELD_ADDR" >out 2>err; expect_status 1 $? "taken port"
grep -q "Can't listen on '$OSTRELD_ADDR': Address already in use" err || fail "taken port: $(cat err)"

# raw FILE: sends FILE's bytes on a new connection and prints the answer's
# status code, or "dropped" when the server closes without one.
raw() {
  local status
  exec {sock}<>"/dev/tcp/$HOST/$PORT" || { echo "no-connection"; return; }
  cat "$1" >&"$sock" 2>/dev/null
  status=$(timeout 60 head -n 1 <&"$sock" | tr -d '\r' | cut -d' ' -f2)
  exec {sock}<&-
  echo "${status:-dropped}"
}

# frames TAG ITEM...: one frame of the commit format; ITEM "-" is absent.
frame() {
  local tag=$1 payload="" item
  shift
  for item in "$@"; do
    if [ "$item" = "-" ]; then payload+='\xff\xff\xff\xff'
    else payload+=$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' 0 0 0 ${#item})$item; fi
  done
  local len
  len=$(printf "$payload" | wc -c)
  printf "$tag"
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((len >> 24 & 255)) $((len >> 16 & 255)) $((len >> 8 & 255)) $((len & 255)) | xargs -0 printf
  printf "$payload"
}

# post NAME BODY-FILE [EXTRA-HEADER]: a commit request with BODY-FILE.
post() {
  local len
  len=$(wc -c <"$2")
  { printf 'POST /repo?op=commit HTTP/1.1\r\nHost: %s\r\nContent-Type: application/x-ostrel-frames\r\n' "$OSTRELD_ADDR"
    printf 'Content-Length: %s\r\n%s\r\n' "$len" "${3:-}"
    cat "$2"; } >"$1.req"
  echo "$1.req"
}
get() {
  printf 'GET %s HTTP/1.1\r\nHost: %s\r\n\r\n' "$1" "$OSTRELD_ADDR" >get.req
  echo get.req
}

{ frame V 1; frame R 1 0; frame d 1 x - -1 2; frame c 2; frame c 1; frame F; } >good.body
{ frame V 1; frame R 1 0; frame d 1 x - -1 2; } >truncated.body
head -c -3 good.body >cut.body
{ frame V 1; frame R 1 0; frame Z 1; frame F; } >unknown.body
{ frame V 1; frame R 1 0; printf 'w\x7f\xff\xff\xff'; } >huge.body
{ frame V 2; frame F; } >version.body
{ frame V 1; frame R 1 0; frame c 7; frame F; } >badid.body
{ frame V 1; frame R 1 0; frame f 1 a /../../outside/secret 0 2; frame C 2 -; frame c 1; frame F; } >escape.body
big_header=$(head -c 20000 /dev/zero | tr '\0' a)

check() {  # NAME EXPECTED-PATTERN GOT
  if [[ $3 =~ ^($2)$ ]]; then echo "ok   $1 ($3)"; else fail "$1: got $3, expected $2"; fi
  [ "$("$ADMIN" youngest root/repo)" = 0 ] || fail "$1: a revision was made"
  [ "$(raw "$(get '/repo?op=youngest')")" = 200 ] || fail "$1: the server stopped serving"
}

check "truncated drive (no finish frame)" 400 "$(raw "$(post truncated truncated.body)")"
check "frame cut in the middle" 400 "$(raw "$(post cut cut.body)")"
check "unknown frame" 400 "$(raw "$(post unknown unknown.body)")"
check "frame larger than the limit" 413 "$(raw "$(post huge huge.body)")"
check "other protocol version" 400 "$(raw "$(post version version.body)")"
check "frame naming no open node" 400 "$(raw "$(post badid badid.body)")"
check "copy source outside the repository" "4[0-9][0-9]" "$(raw "$(post escape escape.body)")"
check "oversized header" "431|413|400|dropped" \
  "$(raw "$(post bighdr good.body "X-Filler: $big_header"$'\r\n')")"
check "Content-Length and Transfer-Encoding" "400|dropped" \
  "$(raw "$(post both good.body $'Transfer-Encoding: chunked\r\n')")"
check "wrong content type" 415 "$(raw "$(sed 's|x-ostrel-frames|json|' "$(post type good.body)" >type2.req; echo type2.req)")"
check "'..' in the path" 400 "$(raw "$(get '/repo/../outside?op=discover')")"
check "escaped '..' in the path" 400 "$(raw "$(get '/repo/%2E%2E/outside?op=discover')")"
check "%2F in the path" 400 "$(raw "$(get '/repo%2F..%2Foutside?op=discover')")"
check "%00 in the path" 400 "$(raw "$(get '/repo/a%00b?op=node&rev=0')")"
check "repository name escaping --root" 400 "$(raw "$(get '/..?op=discover')")"
check "absolute URL as the path" "400|404" "$(raw "$(get 'http://elsewhere.invalid/repo?op=discover')")"
check "empty segments" "404" "$(raw "$(get '//outside/secret?op=discover')")"
check "directory that holds no repository" 404 "$(raw "$(get '/not-a-repo?op=discover')")"
check "unknown request" 400 "$(raw "$(get '/repo?op=steal')")"
check "revision above the youngest" 404 "$(raw "$(get '/repo?op=node&rev=9')")"
check "other method" 405 "$(raw "$(printf 'DELETE /repo HTTP/1.1\r\nHost: x\r\n\r\n' >del.req; echo del.req)")"

# A client that sends one byte a second never completes its headers; it is
# dropped after the idle timeout (2 s here) and holds no thread.
exec {slow}<>"/dev/tcp/$HOST/$PORT"
dropped=no
for ((i = 0; i < 40; i++)); do
  printf 'G' >&"$slow" 2>/dev/null || { dropped=yes; break; }
  if read -r -t 1 -u "$slow" line || [ $? -le 128 ]; then dropped=yes; break; fi
done
exec {slow}<&-
check "one byte a second" yes "$dropped"

# The same for a body that trickles in after valid headers.
exec {slow}<>"/dev/tcp/$HOST/$PORT"
printf 'POST /repo?op=commit HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-ostrel-frames\r\nContent-Length: 100000\r\n\r\n' >&"$slow"
dropped=no
for ((i = 0; i < 40; i++)); do
  printf 'V' >&"$slow" 2>/dev/null || { dropped=yes; break; }
  if read -r -t 1 -u "$slow" line || [ $? -le 128 ]; then dropped=yes; break; fi
done
exec {slow}<&-
check "body at one byte a second" yes "$dropped"

# A well-formed raw commit works after all of that.
[ "$(raw "$(post good good.body)")" = 200 ] || fail "a good raw commit was refused"
[ "$("$ADMIN" ls root/repo)" = "x/" ] || fail "the good raw commit did not make /x"

# -- every request is logged: time, client, user, method, path, status,
# bytes in and out, duration
grep -Eq '^[0-9-]{10}T[0-9:]{8}Z 127\.0\.0\.1 - POST /repo\?op=commit 200 [0-9]+ [0-9]+ [0-9]+ms$' access.log ||
  fail "no access-log line for the good commit: $(tail -n 3 access.log)"

# -- request count of a 1,000-put commit spread over 10 directories
R="http://$OSTRELD_ADDR/repo"
args=()
for d in 0 1 2 3 4 5 6 7 8 9; do args+=(mkdir "$R/d$d"); done
"$KELBRIN" -m dirs "${args[@]}" >/dev/null || fail "making the directories"
echo content >small.txt
: >many.txt
for d in 0 1 2 3 4 5 6 7 8 9; do
  for f in $(seq 1 100); do printf 'put\nsmall.txt\n%s\n' "$R/d$d/f$f.txt" >>many.txt; done
done
before=$(wc -l <access.log)
"$KELBRIN" -m many -X many.txt >out 2>err || fail "the 1,000-put commit failed: $(cat err)"
requests=$(tail -n +$((before + 1)) access.log | wc -l)
posts=$(tail -n +$((before + 1)) access.log | grep -c ' POST ')
listings=$(tail -n +$((before + 1)) access.log | grep -c 'op=node')
echo "1,000 puts over 10 directories: $requests requests ($posts commit, $listings listings)"
[ "$posts" = 1 ] || fail "the commit took $posts POST requests"
[ "$listings" -le 11 ] || fail "$listings listings for 10 directories and the edit root"
[ "$requests" -le 14 ] || fail "$requests requests in all"
[ "$("$ADMIN" ls root/repo d7 | wc -l)" = 100 ] || fail "d7 does not hold 100 files"

# -- two committers at once lose nothing
committer() {
  local who=$1 i
  for i in $(seq 1 15); do
    "$KELBRIN" -u "$who" -m "$who $i" mkdir "$R/$who-$i" put small.txt "$R/$who-$i/f" \
      >>"$who.out" 2>&1 || echo "FAILED $who $i" >>"$who.out"
  done
}
y0=$("$ADMIN" youngest root/repo)
committer alice & a=$!
committer bob & b=$!
wait $a $b
grep FAILED alice.out bob.out && fail "a concurrent commit failed: $(cat alice.out bob.out | grep -v committed)"
y1=$("$ADMIN" youngest root/repo)
[ $((y1 - y0)) = 30 ] || fail "30 concurrent commits made $((y1 - y0)) revisions"
[ "$("$ADMIN" ls root/repo | grep -c -- '-[0-9]*/$')" = 30 ] || fail "not every directory arrived"
"$ADMIN" verify root/repo >/dev/null 2>err || fail "verify after concurrent commits: $(cat err)"

# -- failures each give one error chain that names the URL
# a server error: a repository whose database is damaged
mkdir root/broken && echo 1 >root/broken/format && echo garbage >root/broken/fs.db
status=0; "$KELBRIN" mkdir "http://$OSTRELD_ADDR/broken/x" >out 2>err || status=$?
expect_status 1 $status "server error"
grep -q "^kelbrin: " err && ! grep -q "does not speak\|Malformed" err ||
  fail "server error: $(cat err)"

stop_ostreld
expect_status 0 "$OSTRELD_STATUS" "ostreld after SIGTERM"
# connection refused: the server is gone
status=0; "$KELBRIN" mkdir "$R/x" >out 2>err || status=$?
expect_status 1 $status "connection refused"
grep -q "^kelbrin: Unable to reach the repository at URL '$R': .*" err ||
  fail "connection refused: $(cat err)"
# a server that speaks something else: plain web pages, on loopback
python3 - >"$T/fake.addr" <<'PY' &
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0)); s.listen(4); s.settimeout(60)
print("127.0.0.1:%d" % s.getsockname()[1], flush=True)
for _ in range(2):
    try:
        c, _ = s.accept()
    except OSError:
        break
    c.settimeout(30)
    try:
        c.recv(65536)
        body = b"<html>hello</html>"
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                  b"Connection: close\r\n\r\n%s" % (len(body), body))
    except OSError:
        pass
    c.close()
PY
fake=$!
for i in $(seq 1 600); do [ -s "$T/fake.addr" ] && break; sleep 0.1; done
fake_addr=$(cat "$T/fake.addr")
status=0; "$KELBRIN" mkdir "http://$fake_addr/repo/x" >out 2>err || status=$?
kill $fake 2>/dev/null; wait $fake 2>/dev/null
expect_status 1 $status "a server that speaks something else"
[ "$(cat err)" = "kelbrin: The server at URL 'http://$fake_addr/repo' does not speak the repository protocol (HTTP status 200, content type 'text/html')" ] ||
  fail "a server that speaks something else: $(cat err)"

# -- connections beyond max-connections are answered at once with 503 and
# Retry-After, and logged; served connections are unaffected
# (the held connections send nothing for a while: on a loaded machine that
# can outlast the default 10 s allowed for a request's headers)
printf '[server]\nmax-connections = 2\nheader-timeout-seconds = 600\n' >two.conf
start_ostreld "$T/root" --open --config "$T/two.conf" --access-log "$T/busy.log"
HOST=${OSTRELD_ADDR%:*}
PORT=${OSTRELD_ADDR##*:}
exec {c1}<>"/dev/tcp/$HOST/$PORT" {c2}<>"/dev/tcp/$HOST/$PORT"
exec {c3}<>"/dev/tcp/$HOST/$PORT"
printf 'GET /repo?op=youngest HTTP/1.1\r\nHost: %s\r\n\r\n' "$OSTRELD_ADDR" >&"$c3"
timeout 30 cat <&"$c3" | tr -d '\r' >busy.answer
exec {c3}<&-
head -n 1 busy.answer | grep -q '^HTTP/1.1 503 ' || fail "beyond max-connections: $(head -n 1 busy.answer)"
grep -qi '^Retry-After: [0-9]' busy.answer || fail "the busy answer has no Retry-After"
grep -aq 'The server is busy: it serves at most 2 connections at once' busy.answer ||
  fail "the busy answer does not say why: $(cat -v busy.answer)"
grep -Eq ' 127\.0\.0\.1 - GET /repo\?op=youngest 503 ' busy.log || fail "the busy answer is not logged"
# a client is told the same, and commits nothing
status=0; "$KELBRIN" mkdir "http://$OSTRELD_ADDR/repo/busy" >out 2>err || status=$?
expect_status 1 $status "commit beyond max-connections"
grep -q "The server is busy: it serves at most 2 connections at once" err || fail "kelbrin on a busy server: $(cat err)"
"$ADMIN" ls root/repo | grep -q '^busy/' && fail "a refused commit made /busy"
# the two held connections are still served
printf 'GET /repo?op=youngest HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n' >&"$c1"
[ "$(timeout 30 head -n 1 <&"$c1" | tr -d '\r' | cut -d' ' -f2)" = 200 ] || fail "a held connection was not served"
exec {c1}<&- {c2}<&-
# once they have ended, new connections are served again
served=no
for ((i = 0; i < 100; i++)); do
  [ "$(raw "$(get '/repo?op=youngest')")" = 200 ] && { served=yes; break; }
  sleep 0.1
done
[ $served = yes ] || fail "no connection is served after the others ended"
stop_ostreld
expect_status 0 "$OSTRELD_STATUS" "ostreld with max-connections = 2"
[ "$failures" = 0 ] || exit 1
echo "all ok"
