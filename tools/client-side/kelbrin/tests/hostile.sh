#!/usr/bin/env bash
# kelbrin against hostile input and failing output: NUL bytes and control
# characters in arguments and URLs, deep action lists, a standard output that
# cannot be written, and changes to a repository's root itself.
. "$(dirname "$0")/../../../../tests/support/init.sh"
need_built kelbrin
export LC_ALL=C.UTF-8
need_built ostrel-admin
export HOME="$T/home"
mkdir -p "$HOME"
cd "$T" || setup_failed "cannot enter $T"
"$ADMIN" create repo >/dev/null || setup_failed "cannot create a repository"
R="file://$T/repo"
youngest() { "$ADMIN" youngest "$T/repo"; }
"$KELBRIN" -m base mkdir $R/trunk >/dev/null || setup_failed "first commit failed"
Y=$(youngest)

# refused NAME EXPECTED_STDERR ARGS...: status 1, nothing on standard output,
# exactly EXPECTED_STDERR, and no new revision.
refused() {
  local name=$1 err=$2
  shift 2
  expect "$name" 1 "" "$err
" -- "$KELBRIN" -m x "$@"
  if [ "$(youngest)" != "$Y" ]; then
    fail "$name: no new revision" "youngest r$Y" "youngest r$(youngest)"; Y=$(youngest)
  fi
}

# -- names: a NUL escape would cut the name short; control characters would
# forge lines of 'log -v' or put terminal escapes on a screen; a lone byte is
# no UTF-8.  Each is refused with the bad bytes shown escaped.
printf 'one\n' >one.txt
refused "%00 in a URL" \
  "kelbrin: Invalid name 'nul\\x00tail.txt' in URL '$R/trunk/nul%00tail.txt': control character" \
  put one.txt "$R/trunk/nul%00tail.txt"
refused "newline in a name" \
  "kelbrin: Invalid name 'a\\x0A   D /' in URL '$R/trunk/a%0A%20%20%20D%20%2F': control character" \
  mkdir "$R/trunk/a%0A   D %2F"
refused "terminal escape in a name" \
  "kelbrin: Invalid name '\\x1B[2J' in URL '$R/trunk/%1B[2J': control character" \
  mkdir "$R/trunk/%1B[2J"
refused "raw tab in a name" \
  "kelbrin: Invalid name 'x\\x09y' in URL '$R/trunk/x%09y': control character" \
  mkdir "$R/trunk/$(printf 'x\ty')"
refused "lone byte in a name" \
  "kelbrin: Invalid name '\\xC3' in URL '$R/trunk/%C3': not valid UTF-8" mkdir "$R/trunk/%C3"
refused "escaped slash in a name" \
  "kelbrin: Invalid name 'a/b' in URL '$R/trunk/a%2Fb': '/' inside a name" mkdir "$R/trunk/a%2Fb"
expect "non-ASCII names are names" 0 "" "" -- sh -c \
  "'$KELBRIN' -m ok mkdir '$R/trunk/caf%C3%A9' mkdir '$R/trunk/na%C3%AFve' >/dev/null"
Y=$(youngest)
expect "ls shows them as they are" 0 "café/
naïve/
" "" -- "$ADMIN" ls repo trunk

# -- an extra-arguments file holding a NUL byte: an error naming the file,
# and none of its actions is committed.
printf 'mkdir\n%s/trunk/a\n\0mkdir\n%s/trunk/b\n' "$R" "$R" >nul.args
N=$(printf 'mkdir\n%s/trunk/a\n' "$R" | wc -c)
refused "NUL in an -X file" "kelbrin: The extra-arguments file 'nul.args' holds a NUL byte (at byte $N)" \
  -X nul.args
STDIN=nul.args refused "NUL in -X from standard input" \
  "kelbrin: The extra-arguments file '- (standard input)' holds a NUL byte (at byte $N)" -X -

# -- memory follows the size of the action list: 2,000 nested mkdirs (an
# 8 MB list) are merged within 512 MB of address space, and the last action
# then fails before any commit starts.  Joining every running path in one
# pool needed over 2 GB here.  Sanitizer builds reserve far more address
# space than this for themselves, so there the check is skipped.
if grep -q '^OSTREL_SANITIZE:BOOL=ON' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null; then
  echo "skip deep action list in 512 MB: sanitizer build"
else
  path=$R/trunk/deep
  for ((i = 0; i < 2000; i++)); do printf 'mkdir\n%s\n' "$path"; path=$path/d; done >deep.args
  printf 'rm\n%s/trunk/missing\n' "$R" >>deep.args
  expect "deep action list in 512 MB" 1 "" "kelbrin: 'missing' not found
" -- sh -c "ulimit -v 524288 && exec '$KELBRIN' -m deep -X deep.args"
fi

# -- a commit line that cannot be written: status 1, and the error says
# plainly that the revision exists, so that no script commits it again.
if [ -w /dev/full ]; then
  expect "commit reported to a full standard output" 1 "" \
    "kelbrin: Revision $((Y + 1)) was committed, but the line reporting it could not be written
kelbrin: Write error: No space left on device
" -- sh -c "exec '$KELBRIN' -m full mkdir '$R/trunk/full' >/dev/full"
  Y=$(youngest)
  expect "the revision exists" 0 "full/
" "" -- sh -c "'$ADMIN' ls repo trunk | grep full"
else
  echo "skip commit reported to a full standard output: no /dev/full"
fi

# -- the repository root itself: its URL's parent lies outside the
# repository, so the session is opened at the repository's root.  The
# README's own example first, then a property of the root alone.
"$KELBRIN" -m doc mkdir $R/doc propset obsolete yes $R/doc >/dev/null || setup_failed "\"$KELBRIN\" -m doc mkdir $R/doc propset obsolete yes $R/doc failed"
printf '*.o\n*.tmp\n' >ignore.txt
expect "README: propset, propsetf on the root, propdel" 0 "" "" -- sh -c \
  "'$KELBRIN' -m Props propset owner alice $R/doc propsetf ostrel:ignore ignore.txt $R \
     propdel obsolete $R/doc >/dev/null"
expect "the root's property" 0 "ostrel:ignore: *.o
*.tmp

" "" -- sh -c "'$ADMIN' proplist repo / | sed 's/^ *//'"
expect "the other properties" 0 "owner: alice
" "" -- sh -c "'$ADMIN' proplist repo doc | sed 's/^ *//'"
expect "propset on the root alone" 0 "" "" -- sh -c \
  "'$KELBRIN' -m p propset color blue $R/ >/dev/null && '$ADMIN' proplist repo / | grep -q 'color: blue'"
expect "log -v shows the root as '/'" 0 "   M /
" "" -- sh -c "'$ADMIN' log -v repo -r \$('$ADMIN' youngest repo) | grep '^   M '"
Y=$(youngest)
refused "rm of the root" \
  "kelbrin: '$R' is the root of the repository: it can only have its properties changed" rm $R
refused "mkdir of the root" \
  "kelbrin: '$R' is the root of the repository: it can only have its properties changed" \
  mkdir $R/doc/x mkdir $R
"$ADMIN" create repo2 >/dev/null || setup_failed "cannot create the repository repo2"
refused "root of one repository and a path of another" \
  "kelbrin: Unable to find a repository at URL 'file://$T'" \
  propset p v $R propset p v "file://$T/repo2/x"
# -- '..' is resolved as in any URL, never above the URL's root.
expect "'..' resolved" 0 "" "" -- sh -c \
  "'$KELBRIN' -m up mkdir $R/trunk/x/../up >/dev/null && '$ADMIN' ls repo trunk | grep -qx up/"
expect "'..' with -U" 0 "" "" -- sh -c \
  "'$KELBRIN' -m up -U $R/trunk/full mkdir ../up2 >/dev/null && '$ADMIN' ls repo trunk | grep -qx up2/"
finish
