#!/usr/bin/env bash
# ostrel-admin import-git on a synthetic git history, against, in the same
# run: git fast-import of the same stream into an empty git repository
# (target: at most 2x its time), and replaying the history through kelbrin
# one commit at a time (the speed-up per commit); and the peak memory of
# the import of the whole history against that of a fifth of it (flat when
# the ratio stays near 1).
#
# Sizes: IMPORT_BENCH_COMMITS (default 5000) commits over IMPORT_BENCH_FILES
# (default 2000) files, every 10th commit a rename; IMPORT_BENCH_REPLAY
# (default 200) commits replayed through kelbrin (a process and a commit
# each; its rate is compared per commit).
set -euo pipefail
KELBRIN="$BUILD_DIR/bin/kelbrin"
ADMIN="$BUILD_DIR/bin/ostrel-admin"
commits=${IMPORT_BENCH_COMMITS:-5000}
files=${IMPORT_BENCH_FILES:-2000}
replay=${IMPORT_BENCH_REPLAY:-200}
command -v git >/dev/null || { echo "import-git: git is not installed; no baseline"; exit 0; }
command -v python3 >/dev/null || { echo "import-git: python3 is not installed (it writes the history)"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/import-git-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work" GIT_CONFIG_NOSYSTEM=1
cd "$work"
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }

# The history: written as a stream for git, imported into a seed
# repository, and exported from there as any project's history would be.
history() {  # history COMMITS
  python3 - "$1" "$files" <<'EOF'
import random, sys
commits, files = int(sys.argv[1]), int(sys.argv[2])
rnd = random.Random(7)
names = [f"d{i % 50:02d}/f{i:05d}.txt" for i in range(files)]
out = sys.stdout.buffer
def data(b):
    out.write(b"data %d\n" % len(b) + b + b"\n")
next_id = files
for c in range(1, commits + 1):
    out.write(b"commit refs/heads/main\n")
    out.write(b"committer Bench <bench@example.org> %d +0000\n" % (1700000000 + c * 60))
    data(b"Commit %d\n" % c)
    if c == 1:
        for n in names:
            out.write(b"M 100644 inline " + n.encode() + b"\n")
            data((n + "\n").encode() * 8)
        continue
    for _ in range(3):
        n = rnd.choice(names)
        out.write(b"M 100644 inline " + n.encode() + b"\n")
        data((n + " changed in %d\n" % c).encode() * rnd.randint(1, 40))
    if c % 10 == 0:
        k = rnd.randrange(len(names))
        new = f"d{rnd.randrange(50):02d}/r{next_id:05d}.txt"
        next_id += 1
        out.write(b"R " + names[k].encode() + b" " + new.encode() + b"\n")
        names[k] = new
EOF
}
make_stream() {  # make_stream COMMITS FILE
  rm -rf seed && git init -q -b main seed
  history "$1" | git -C seed fast-import --quiet
  git -C seed fast-export --show-original-ids --signed-tags=strip --reencode=yes -M -C main >"$2"
}
make_stream $((commits / 5)) fifth.stream
make_stream "$commits" full.stream  # last: its seed is replayed below
mb=$(( $(wc -c <full.stream) / 1048576 ))

peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p'; }
have_time=false
[ -x /usr/bin/time ] && have_time=true

"$ADMIN" create repo >/dev/null
t0=$(now)
if $have_time; then
  full_kb=$(peak_kb "$ADMIN" import-git repo <full.stream)
else
  "$ADMIN" import-git repo <full.stream >/dev/null
fi
t1=$(now)
import_s=$(elapsed "$t0" "$t1")
[ "$("$ADMIN" youngest repo)" = "$commits" ] || { echo "import-git: not every commit was imported"; exit 1; }

git init -q -b main empty
t0=$(now)
git -C empty fast-import --quiet <full.stream
t1=$(now)
git_s=$(elapsed "$t0" "$t1")
printf 'import-git: %d commits over %d files (%d MiB stream): ostrel-admin %.2fs, git fast-import %.2fs, ratio %.2f (target <= 2)\n' \
  "$commits" "$files" "$mb" "$import_s" "$git_s" "$(echo "$import_s / $git_s" | bc -l)"

if $have_time; then
  "$ADMIN" create repo-fifth >/dev/null
  fifth_kb=$(peak_kb "$ADMIN" import-git repo-fifth <fifth.stream)
  printf 'import-git peak memory: %d KiB for %d commits, %d KiB for %d, ratio %.2f\n' \
    "$full_kb" "$commits" "$fifth_kb" $((commits / 5)) "$(echo "$full_kb / $fifth_kb" | bc -l)"
fi

# The replay: what one would write without import-git, a kelbrin process
# per commit (puts, removes and moves of the commit's changes).
"$ADMIN" create replayed >/dev/null
R="file://$work/replayed"
revs=$(git -C seed rev-list --reverse main | head -n "$replay" || true)
first=true
t0=$(now)
for rev in $revs; do
  : >actions
  if $first; then
    for d in $(seq -f 'd%02g' 0 49); do printf 'mkdir\n%s/%s\n' "$R" "$d" >>actions; done
    first=false
  fi
  i=0
  git -C seed diff-tree --root -r -M --no-commit-id --name-status "$rev" | while IFS=$'\t' read -r kind a b; do
    case $kind in
      A|M) i=$((i + 1)); git -C seed show "$rev:$a" >"blob$i"; printf 'put\n%s\n%s/%s\n' "blob$i" "$R" "$a" >>actions ;;
      D) printf 'rm\n%s/%s\n' "$R" "$a" >>actions ;;
      R100) printf 'mv\n%s/%s\n%s/%s\n' "$R" "$a" "$R" "$b" >>actions ;;
      R*) printf 'rm\n%s/%s\n' "$R" "$a" >>actions
          i=$((i + 1)); git -C seed show "$rev:$b" >"blob$i"; printf 'put\n%s\n%s/%s\n' "blob$i" "$R" "$b" >>actions ;;
    esac
  done
  "$KELBRIN" -m "$(git -C seed log -1 --format=%s "$rev")" -X actions >/dev/null
done
t1=$(now)
replay_s=$(elapsed "$t0" "$t1")
per_replay=$(echo "$replay_s / $replay" | bc -l)
per_import=$(echo "$import_s / $commits" | bc -l)
printf 'replay through kelbrin: %d commits in %.2fs (%.1f ms each); import-git %.2f ms each: %.1fx faster\n' \
  "$replay" "$replay_s" "$(echo "$per_replay * 1000" | bc -l)" "$(echo "$per_import * 1000" | bc -l)" \
  "$(echo "$per_replay / $per_import" | bc -l)"
