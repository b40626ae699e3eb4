#!/usr/bin/env bash
# The bash completions offer what the command line at the cursor allows.
. "$(dirname "$0")/../../../tests/support/init.sh"
. "$SOURCE_DIR/contrib/completion/kelbrin.bash"
. "$SOURCE_DIR/contrib/completion/ostrel-admin.bash"
. "$SOURCE_DIR/contrib/completion/ostrel.bash"
. "$SOURCE_DIR/contrib/completion/ostreld.bash"
cd "$T" && mkdir repo-a repo-b && touch notes.txt || setup_failed "cannot make the files to complete"

# complete FUNCTION WANT WORD... : the last word is the one under the cursor.
check() {
  local fn=$1 want=$2
  shift 2
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  "$fn"
  local got
  got=
  [ ${#COMPREPLY[@]} -gt 0 ] && got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  expect_eq "completing '$*'" "$want" "$got"
}

check _kelbrin "mkdir mv " kelbrin m
check _kelbrin "mkdir mv " kelbrin -m msg m
check _kelbrin "propdel propset propsetf put " kelbrin -m msg mkdir URL p
check _kelbrin "notes.txt " kelbrin put n
check _kelbrin "" kelbrin put notes.txt n
check _kelbrin "notes.txt " kelbrin propsetf name n
check _kelbrin "notes.txt " kelbrin -F n
check _kelbrin "HEAD " kelbrin cp H
check _kelbrin "--message " kelbrin -n --m
check _kelbrin "--no-auth-cache --non-interactive " kelbrin --n
check _ostrel "log ls " ostrel l
check _ostrel "cat " ostrel -n c
check _ostrel "--recursive --revision " ostrel ls URL --re
check _ostrel "--revision " ostrel cat URL --re
check _ostrel "--limit " ostrel log URL --l
check _ostrel "HEAD " ostrel cat -r H
check _ostrel "repo-a repo-b " ostrel export URL repo
check _ostrel "" ostrel export URL repo-a r
check _ostrel "" ostrel cat URL r
check _ostrel_admin "load log ls " ostrel-admin l
check _ostrel_admin "repo-a repo-b " ostrel-admin dump repo
check _ostrel_admin "" ostrel-admin cat repo-a tr
check _ostrel_admin "repo-a repo-b " ostrel-admin backup repo-a repo
check _ostrel_admin "--help --limit -r -t -v " ostrel-admin log repo-a -
check _ostrel_admin "import-git " ostrel-admin im
check _ostrel_admin "standard " ostrel-admin import-git repo-a --layout s
check _ostrel_admin "--help -r -t " ostrel-admin changed repo-a -
check _ostrel_admin "HEAD " ostrel-admin ls repo-a -r H
check _ostrel_admin "create " ostrel-admin cr
check _ostrel_admin "collect " ostrel-admin co
check _ostrel_admin "--help --postgres " ostrel-admin create -
check _ostrel_admin "" ostrel-admin create --postgres h
check _ostrel_admin "repo-a repo-b " ostrel-admin create --postgres "dbname=x" repo
check _ostreld "repo-a repo-b " ostreld --root repo
check _ostreld "notes.txt " ostreld --root repo-a --users n
check _ostreld "--tls-cert --tls-key " ostreld --root repo-a --t
check _ostreld "--open " ostreld --o
finish
