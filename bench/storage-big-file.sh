#!/usr/bin/env bash
# A 1 GiB file committed and read back through the library, against cp of
# the same file; wall time and peak memory of both, in the same run.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/storage_common.sh"
MB=${BENCH_BIG_MB:-1024}

head -c "$((MB * 1024 * 1024))" /dev/urandom >"$BENCH_TMP/big"
"$BIN/ostrel-repo-builder" --create "$BENCH_TMP/repo" </dev/null >/dev/null
printf 'begin\nmkfile big\nput big %s\ncommit\n' "$BENCH_TMP/big" >"$BENCH_TMP/script"
sync

read -r commit_s commit_kb < <(measure "$BIN/ostrel-repo-builder" "$BENCH_TMP/repo" <"$BENCH_TMP/script")
read -r cp_s cp_kb < <(measure cp "$BENCH_TMP/big" "$BENCH_TMP/big.cp")
read -r cat_s cat_kb < <(measure sh -c "'$BIN/ostrel-admin' cat '$BENCH_TMP/repo' big >'$BENCH_TMP/big.out'")
read -r cp2_s cp2_kb < <(measure cp "$BENCH_TMP/big.cp" "$BENCH_TMP/big.cp2")
cmp -s "$BENCH_TMP/big" "$BENCH_TMP/big.out" || { echo "bench: read-back differs" >&2; exit 1; }

echo "a ${MB} MiB file of random bytes:"
printf '  %-28s %8s s  %8s KiB peak\n' "library commit" "$commit_s" "$commit_kb" \
  "cp (write a copy)" "$cp_s" "$cp_kb" "library read back (cat)" "$cat_s" "$cat_kb" \
  "cp (read back a copy)" "$cp2_s" "$cp2_kb"
echo "  ratio commit/cp            time $(ratio "$commit_s" "$cp_s")  memory $(ratio "$commit_kb" "$cp_kb")"
echo "  ratio read-back/cp         time $(ratio "$cat_s" "$cp2_s")  memory $(ratio "$cat_kb" "$cp2_kb")"
