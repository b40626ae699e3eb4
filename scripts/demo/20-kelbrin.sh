#!/usr/bin/env bash
# kelbrin at work: a new repository in a temporary folder, a few commits that
# use every kind of change, then the history as ostrel-admin shows it.
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
# The shared demo folder when run by `make demo`, so that the parts after
# this one work on the same repository.
demo=${DEMO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/kelbrin-demo.XXXXXX")}
export HOME="$demo"   # kelbrin's configuration directory (~/.ostrel) goes here
repo="$demo/repo"
R="file://$repo"

run() { printf "$"; printf " %q" "$@"; echo; "$@"; }

run "$ADMIN" create "$repo"
run "$KELBRIN" -m "Project layout" mkdir "$R/trunk" mkdir "$R/tags"
printf 'Hello from the demo.\n' >"$demo/README"
run "$KELBRIN" -m "Add a README" put "$demo/README" "$R/trunk/README"
run "$KELBRIN" -m "Tag the first state, mark the README" \
  cp HEAD "$R/trunk" "$R/tags/v1" propset owner demo "$R/trunk/README"
echo "Generated at $(date -u +%FT%TZ)" | run "$KELBRIN" -m "Rename and regenerate" \
  mv "$R/trunk/README" "$R/trunk/README.txt" put - "$R/trunk/NOTES"
run "$KELBRIN" -m "Drop the tag" rm "$R/tags/v1"
echo
run "$ADMIN" log "$repo" -v
echo
run "$ADMIN" cat "$repo" trunk/NOTES
echo
echo "The repository is at $repo; go on by hand, for example:"
echo "  $KELBRIN -m 'more' mkdir $R/branches"
echo "  $ADMIN log $repo -v"
