# The small history that the backup and dump tests start from, and the
# description two copies of one history share.  Sourced after init.sh.
#
#   describe REPO [UPPER]
#       log -v, then each revision's tree with every node's properties and
#       the SHA-256 of every file, up to UPPER (default: the youngest)
#   make_history REPO RANDOM-FILE
#       three revisions through ostrel-repo-builder into the existing REPO:
#       a tree with a text file and RANDOM-FILE (with a property); a copy of
#       it, a changed text and a property; a directory replaced.  A failure
#       is a broken setup.

describe() {
  local repo=$1 y=${2:-} rev
  [ -n "$y" ] || y=$("$BIN/ostrel-admin" youngest "$repo")
  "$BIN/ostrel-admin" log "$repo" -v -r "0:$y"
  for rev in $(seq 0 "$y"); do
    echo "== r$rev"
    "$BIN/ostrel-admin" ls "$repo" -R -r "$rev" | while read -r p; do
      echo "$p"
      "$BIN/ostrel-admin" proplist "$repo" "$p" -r "$rev"
      case $p in */) ;; *) "$BIN/ostrel-admin" cat "$repo" "$p" -r "$rev" | sha256sum ;; esac
    done
  done
}

make_history() {
  local repo=$1 random=$2
  "$BIN/ostrel-repo-builder" "$repo" >/dev/null <<SCRIPT || setup_failed "the history's commits into $repo"
begin
mkdir trunk
mkdir trunk/doc
mkfile trunk/doc/readme
puttext trunk/doc/readme hello
mkfile trunk/random
put trunk/random $random
propset trunk/random mime application/octet-stream
revprop ostrel:log first
commit
begin
cp 1 trunk tags-v1
puttext trunk/doc/readme hello again
propset trunk eol native
revprop ostrel:log second
commit
begin
rm trunk/doc
mkdir trunk/doc
mkfile trunk/doc/new
puttext trunk/doc/new fresh
revprop ostrel:log third
commit
SCRIPT
}
