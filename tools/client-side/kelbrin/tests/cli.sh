#!/usr/bin/env bash
# kelbrin's command line without a repository: help, version and every error
# of the option loop and the action list, compared byte for byte.
. "$(dirname "$0")/../../../../tests/support/init.sh"
need_built kelbrin
export LC_ALL=C.UTF-8

HELP='Kelbrin (for Ostrel)

Usage: kelbrin [OPTION]... [ACTION]...

Actions:
  cp REV URL1 URL2      copy URL1@REV to URL2
  mkdir URL             create new directory URL
  mv URL1 URL2          move URL1 to URL2
  rm URL                delete URL
  put SRC-FILE URL      add or modify file URL with contents copied from
                        SRC-FILE (use "-" to read from standard input)
  propset NAME VAL URL  set property NAME on URL to value VAL
  propsetf NAME VAL URL set property NAME on URL to value from file VAL
  propdel NAME URL      delete property NAME from URL

Options:
  -h, --help            display this text
  -m, --message ARG     use ARG as a log message
  -F, --file ARG        read log message from file ARG
  -u, --username ARG    commit the changes as username ARG
  -p, --password ARG    use ARG as the password
  -U, --root-url ARG    interpret all action URLs are relative to ARG
  -r, --revision ARG    use revision ARG as baseline for changes
  --with-revprop A[=B]  set revision property A in new revision to B
                        if specified, else to the empty string
  -n, --non-interactive don'"'"'t prompt the user about anything
  -X, --extra-args ARG  append arguments from file ARG (one per line;
                        use "-" to read from standard input)
  --config-dir ARG      use ARG to override the config directory
  --config-option ARG   use ARG so override a configuration option
  --no-auth-cache       do not cache authentication tokens
  --version             print version information
'
U=file:///nonexistent-repo
printf 'x\xe9' >"$T/latin1-value"

[ "$(printf '%s' "$HELP" | wc -l)" = 32 ] || setup_failed "help text is not 32 lines"

expect "no arguments: help on stderr" 1 "" "$HELP" -- "$KELBRIN"
expect "-h" 0 "$HELP" "" -- "$KELBRIN" -h
expect "--help after an action, before a bad option" 0 "$HELP" "" -- "$KELBRIN" mkdir $U/a --help -r x
expect "help word after actions" 0 "$HELP" "" -- "$KELBRIN" mkdir $U/a help bogus
expect "? word" 0 "$HELP" "" -- "$KELBRIN" '?'
expect "only options: help on stderr" 1 "" "$HELP" -- "$KELBRIN" -m msg
expect "help to a full disk is not an error" 0 "" "" -- sh -c "'$KELBRIN' -h >/dev/full"

expect "bad revision" 1 "" "kelbrin: Invalid revision number
" -- "$KELBRIN" -r 5x mkdir $U/a
expect "negative revision" 1 "" "kelbrin: Invalid revision number
" -- "$KELBRIN" --revision=-1 mkdir $U/a
expect "root URL not a URL" 1 "" "kelbrin: 'trunk' is not a URL
" -- "$KELBRIN" -U trunk mkdir a
expect "unknown action" 1 "" "kelbrin: 'mkdirs' is not an action
" -- "$KELBRIN" mkdirs $U/a
expect "insufficient arguments" 1 "" "kelbrin: insufficient arguments
" -- "$KELBRIN" mv $U/a
expect "cp revision" 1 "" "kelbrin: 'Head' is not a revision
" -- "$KELBRIN" cp Head $U/a $U/b
expect "URL without --root-url" 1 "" "kelbrin: 'a/b' is not a URL, and --root-url (-U) not provided
" -- "$KELBRIN" rm a/b
expect "missing message file" 1 "" "kelbrin: Can't open file '$T/none': No such file or directory
" -- "$KELBRIN" -F "$T/none" mkdir $U/a
expect "missing extra-arguments file" 1 "" "kelbrin: Can't open file '$T/none': No such file or directory
" -- "$KELBRIN" -X "$T/none" mkdir $U/a
expect "missing propsetf file" 1 "" "kelbrin: Can't open file '$T/none': No such file or directory
" -- "$KELBRIN" propsetf p "$T/none" $U/a
expect "bad --config-option" 1 "" "kelbrin: Invalid syntax of argument of --config-option: 'config:x' (expected FILE:SECTION:OPTION=[VALUE])
" -- "$KELBRIN" --config-option config:x mkdir $U/a
expect "bad --with-revprop" 1 "" "kelbrin: '1x' is not a valid property name
" -- "$KELBRIN" --with-revprop 1x=y mkdir $U/a
expect "unknown option" 1 "" "kelbrin: invalid option: --bogus
kelbrin: getopt failure: Bad character specified on command line
" -- "$KELBRIN" --bogus mkdir $U/a
expect "missing option argument" 1 "" "kelbrin: missing argument: m
kelbrin: getopt failure: Missing parameter for the specified command line option
" -- "$KELBRIN" mkdir $U/a -m
expect "normalising an ostrel: property" 1 "" "kelbrin: Error normalizing property value
kelbrin: Property value is not valid UTF-8 (byte 0xE9 at offset 1)
" -- "$KELBRIN" propsetf ostrel:x "$T/latin1-value" $U/a
expect "argument not valid in the native encoding" 1 "" "kelbrin: Can't convert text from the native encoding (UTF-8) to UTF-8: invalid bytes \\xE9 after '$U/x'
" -- "$KELBRIN" mkdir "$U/$(printf 'x\xe9')"

# Version output: our banner, then the list of access modules.
"$KELBRIN" --version >"$T/version" 2>"$T/version-err"; status=$?
if [ $status = 0 ] && [ ! -s "$T/version-err" ] &&
   head -1 "$T/version" | grep -Eq '^kelbrin 1\.7\.0 \(build [^,]+, [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\)$' &&
   [ "$(tail -n +2 "$T/version")" = "
The following repository access (RA) modules are available:

* local access (ostrel_ra_local): access repositories on local disk.
  - handles the 'file' scheme
* network access (ostrel_ra_http): access repositories served by ostreld over HTTP and HTTPS.
  - handles the 'http' scheme
  - handles the 'https' scheme" ]; then
  pass "--version"
else
  fail "--version" "status 0 and the version text" "status $status: $(cat "$T/version" "$T/version-err")"
fi
expect "--version to a full disk" 1 "" "kelbrin: Write error: No space left on device
" -- sh -c "'$KELBRIN' --version >/dev/full"

finish
