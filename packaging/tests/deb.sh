#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the source tree, runs
# lintian on them (no errors allowed), unpacks them into a scratch root with
# dpkg-deb -x, and runs the tools from there: kelbrin --version,
# ostrel-admin create, a commit, and ostreld --help; the server's package
# carries its systemd unit (as its own system user), its defaults and its
# man page.
#
# Usage: deb.sh [SANITIZE]; SANITIZE=ON (the sanitizer build) skips: the
# package build compiles the project anew, and one run is enough.
. "$(dirname "$0")/../../tests/support/init.sh"
if [ "${1:-OFF}" = ON ]; then
  skip "the package test runs in the plain build only"
fi
for tool in dpkg-buildpackage dh lintian fakeroot dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
done
# A fresh copy in a fixed place under the build directory: nothing of the
# developer's build is reused, but a compiler cache (whose entries name the
# source path) hits on the next run.
rmdir "$T"
T=$BUILD_DIR/debian-package-test
rm -rf "$T" && mkdir -p "$T" || setup_failed "cannot make $T"

# A clean checkout: the files git knows (committed or staged or new), none of
# the developer's build directories.
mkdir "$T/src"
if git -C "$SOURCE_DIR" rev-parse >/dev/null 2>&1; then
  git -C "$SOURCE_DIR" ls-files -co --exclude-standard -z |
    (cd "$SOURCE_DIR" && tar --null -T - -cf -) | tar -C "$T/src" -xf -
else
  tar -C "$SOURCE_DIR" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$T/src" -xf -
fi
# The compiler cache, when there is one, is shared; the build directory is not.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
(cd "$T/src" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -us -uc -b) \
  >"$T/build.log" 2>&1 || { fail "dpkg-buildpackage" "it succeeds" "$(tail -40 "$T/build.log")"; finish; }

changes=$(ls "$T"/*.changes)
lintian --fail-on error --tag-display-limit 0 "$changes" >"$T/lintian.log" 2>&1 ||
  fail "lintian reports errors: $(grep '^E:' "$T/lintian.log" | head -20)"

for pkg in ostrel-tools libostrel-dev ostreld grevolt-plugin ostrel-desktop-python; do
  deb=$(ls "$T"/${pkg}_*.deb 2>/dev/null | head -1)
  if [ -z "$deb" ]; then fail "no package $pkg was built"; continue; fi
  dpkg-deb -x "$deb" "$T/root" || fail "dpkg-deb -x $deb"
done

R=$T/root
"$R/usr/bin/kelbrin" --version >"$T/out" 2>&1 || fail "kelbrin --version: $(cat "$T/out")"
grep -q '^kelbrin ' "$T/out" || fail "kelbrin --version printed: $(cat "$T/out")"
"$R/usr/bin/ostrel-admin" create "$T/repo" || fail "ostrel-admin create"
echo hello >"$T/hello"
HOME=$T "$R/usr/bin/kelbrin" -m "From the package" mkdir "file://$T/repo/trunk" \
  put "$T/hello" "file://$T/repo/trunk/hello" >"$T/out" 2>&1 || fail "commit: $(cat "$T/out")"
grep -q '^r1 committed' "$T/out" || fail "commit printed: $(cat "$T/out")"
[ "$("$R/usr/bin/ostrel-admin" cat "$T/repo" trunk/hello)" = hello ] || fail "the commit's contents"
[ "$("$R/usr/bin/ostrel" cat "file://$T/repo/trunk/hello")" = hello ] || fail "ostrel cat from the package"
# Every program the packages install has its man page.
for program in "$R"/usr/bin/* "$R"/usr/sbin/*; do
  name=$(basename "$program")
  ls "$R"/usr/share/man/man[18]/"$name".[18].gz >/dev/null 2>&1 || fail "no man page for $name in the packages"
done
[ -s "$R/usr/share/bash-completion/completions/kelbrin" ] || fail "no kelbrin completion"
[ -s "$R/usr/share/bash-completion/completions/ostrel" ] || fail "no ostrel completion"

# The server: its program, man page, unit, system user and defaults.
"$R/usr/sbin/ostreld" --help >"$T/out" 2>&1 || fail "ostreld --help: $(cat "$T/out")"
grep -q -- '--open' "$T/out" || fail "ostreld --help printed: $(head -5 "$T/out")"
unit=$(ls "$R"/lib/systemd/system/ostreld.service "$R"/usr/lib/systemd/system/ostreld.service 2>/dev/null | head -1)
if [ -z "$unit" ]; then
  fail "no systemd unit ostreld.service in the package"
else
  grep -qx 'User=_ostreld' "$unit" || fail "the unit does not run as _ostreld"
  exec_start=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$unit")
  [ -x "$R$exec_start" ] || fail "the unit starts '$exec_start', which the package does not hold"
  for key in NoNewPrivileges=yes ProtectSystem=strict StateDirectory=ostreld; do
    grep -qx "$key" "$unit" || fail "the unit lacks $key"
  done
fi
grep -q '^u _ostreld ' "$R"/usr/lib/sysusers.d/ostreld.conf 2>/dev/null ||
  fail "no sysusers entry for the system user _ostreld"
grep -q '^OSTRELD_OPTIONS=' "$R/etc/default/ostreld" 2>/dev/null || fail "no /etc/default/ostreld"
# The service's command line, with the packaged defaults, starts a server
# (on a free loopback port instead of the default one).
options=$(. "$R/etc/default/ostreld" && echo "$OSTRELD_OPTIONS")
mkdir -p "$T/served"
"$R/usr/sbin/ostreld" --root "$T/served" ${options/127.0.0.1:8740/127.0.0.1:0} \
  >"$T/server.out" 2>"$T/server.err" &
server=$!
for i in $(seq 1 600); do [ -s "$T/server.out" ] && break; sleep 0.1; done
grep -Eq '^127\.0\.0\.1:[0-9]+$' "$T/server.out" ||
  fail "ostreld with the packaged options did not start: $(cat "$T/server.err")"
kill -TERM $server; wait $server || fail "ostreld with the packaged options ended with status $?"
ls "$R"/usr/lib/*/grevolt/libgrevolt.so >/dev/null 2>&1 || fail "no plug-in in the package"
ls "$R"/usr/lib/*/pkgconfig/ostrel.pc >/dev/null 2>&1 || fail "no pkg-config file in the package"
env -u DISPLAY /usr/bin/python3 "$R/usr/lib/ostrel-desktop-python/check-modules" --skip-missing \
  >"$T/out" 2>&1
status=$?
[ "$status" = 0 ] || [ "$status" = 77 ] || fail "check-modules from the package: $(cat "$T/out")"
[ "$status" = 77 ] && echo "the Python modules are not installed here: $(grep skipped "$T/out" | head -3)"
finish
