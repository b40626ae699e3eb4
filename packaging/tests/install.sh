#!/usr/bin/env bash
# make install / make uninstall into a DESTDIR: every kind of file lands
# where GNU conventions put it, the installed programs run, a program builds
# against the installed library through pkg-config, and uninstall removes
# every file again.
. "$(dirname "$0")/../../tests/support/init.sh"
manifest=$BUILD_DIR/install_manifest.txt
# The developer's own manifest survives the test.
[ -f "$manifest" ] && cp "$manifest" "$T/manifest.saved"
restore_manifest() {
  if [ -f "$T/manifest.saved" ]; then cp "$T/manifest.saved" "$manifest"; else rm -f "$manifest"; fi
}
at_exit restore_manifest

prefix=/opt/ostrel-test
DESTDIR=$T/dest cmake --install "$BUILD_DIR" --prefix "$prefix" >"$T/log" 2>&1 ||
  { fail "cmake --install" "it succeeds" "$(cat "$T/log")"; finish; }
root=$T/dest$prefix
libdir=$(cd "$root" && ls -d lib lib64 lib/*-linux-gnu 2>/dev/null | while read -r d; do
  [ -f "$root/$d/libostrel_fs.a" ] && echo "$d"; done | head -1)
[ -n "$libdir" ] || fail "no static libraries installed"
for f in bin/kelbrin bin/ostrel bin/fennick bin/ostrel-admin include/ostrel/ostrel_fs.h \
         include/ostrel/ostrel_repos_admin.h "$libdir/libostrel_repos.a" "$libdir/pkgconfig/ostrel.pc" \
         share/bash-completion/completions/kelbrin share/bash-completion/completions/ostrel-admin \
         share/bash-completion/completions/ostrel \
         sbin/ostreld share/bash-completion/completions/ostreld; do
  [ -e "$root/$f" ] || fail "$f is not installed"
done
if command -v scdoc >/dev/null; then
  for page in kelbrin ostrel fennick ostrel-admin; do
    [ -s "$root/share/man/man1/$page.1" ] || fail "man page $page.1 is not installed"
  done
  [ -s "$root/share/man/man8/ostreld.8" ] || fail "man page ostreld.8 is not installed"
fi
if [ -f "$BUILD_DIR/lib/libgrevolt.so" ]; then
  [ -e "$root/$libdir/grevolt/libgrevolt.so" ] || fail "the plug-in is not installed"
fi
"$root/bin/kelbrin" --version >/dev/null || fail "installed kelbrin --version"
"$root/bin/ostrel-admin" create "$T/repo" || fail "installed ostrel-admin create"
"$root/bin/ostrel" ls "file://$T/repo" >/dev/null || fail "installed ostrel ls"
"$root/sbin/ostreld" --help >/dev/null || fail "installed ostreld --help"

# A program linked against the installed library through pkg-config.
sed -e "s|^prefix=.*|prefix=$root|" "$root/$libdir/pkgconfig/ostrel.pc" \
  >"$T/ostrel.pc"
cat >"$T/use.cpp" <<'CPP'
#include <ostrel_pools.h>
#include <ostrel_repos.h>
#include <cstdio>
int main(int, char **argv) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  ostrel_repos *repos;
  ostrel_error *err = ostrel_repos_open2(&repos, argv[1], nullptr, pool);
  ostrel_revnum y = -1;
  if (!err) err = ostrel_fs_youngest_rev(&y, ostrel_repos_fs(repos), pool);
  if (err) return 1;
  std::printf("%ld\n", static_cast<long>(y));
  return 0;
}
CPP
# A sanitizer build's libraries need the sanitizer runtime in the program.
sanitize=
grep -q '^OSTREL_SANITIZE:BOOL=ON' "$BUILD_DIR/CMakeCache.txt" && sanitize=-fsanitize=address,undefined
if c++ -std=c++20 $sanitize "$T/use.cpp" -o "$T/use" $(PKG_CONFIG_PATH=$T pkg-config --cflags --libs ostrel) \
     2>"$T/cc.log"; then
  [ "$("$T/use" "$T/repo")" = 0 ] || fail "the program built against the library does not work"
else
  fail "cannot build against the installed library: $(head -20 "$T/cc.log")"
fi

make -s -C "$SOURCE_DIR" uninstall BUILD="$BUILD_DIR" DESTDIR="$T/dest" >"$T/log" 2>&1 ||
  fail "make uninstall: $(cat "$T/log")"
left=$(find "$T/dest" -type f | head -5)
[ -z "$left" ] || fail "uninstall left files behind: $left"
left=$(find "$T/dest" -type d \( -name ostrel -o -name grevolt \) | head -5)
[ -z "$left" ] || fail "uninstall left its own directories behind: $left"
finish
