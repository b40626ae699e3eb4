#!/usr/bin/env bash
# The web view in a real headless Chromium (through chromium-driver and
# Selenium): open a repository's root, click into a directory, a file, its
# log and a revision, and check what each page shows; then a repository of
# hostile names and messages whose pages must run no script.  A screenshot
# of each page is kept in $BUILD_DIR/test-artefacts/web-view/.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../../tests/support/init.sh"
. "$SUPPORT_DIR/ostreld_fixture.sh"
PY=/usr/bin/python3
command -v chromium >/dev/null || skip "chromium is not installed"
command -v chromedriver >/dev/null || skip "chromium-driver is not installed"
"$PY" -c 'import selenium' 2>/dev/null || skip "python3-selenium is not installed"
export LC_ALL=C.UTF-8 HOME=$T/home
mkdir -p "$HOME" "$T/root" "$T/in"
SHOTS=$BUILD_DIR/test-artefacts/web-view
mkdir -p "$SHOTS"

R=$T/root/proj
"$ADMIN" create "$R" >/dev/null || setup_failed "cannot create the repository $R"
F=file://$R
k() { "$KELBRIN" -u alice "$@" >/dev/null || setup_failed "kelbrin $* failed"; }
printf '#include <stdio.h>\nint main(void) {\n  return 0;\n}\n' >"$T/in/hello.c"
printf '\x89PNG\r\n\x1a\n\x00\x00' >"$T/in/logo.png"
k -m "Start the project" mkdir "$F/trunk" put "$T/in/hello.c" "$F/trunk/hello.c" \
  mkdir "$F/trunk/docs" put "$T/in/logo.png" "$F/trunk/docs/logo.png"
printf '#include <stdio.h>\nint main(void) {\n  puts("hi");\n  return 0;\n}\n' >"$T/in/hello.c"
k -m "Say hello" put "$T/in/hello.c" "$F/trunk/hello.c"

H=$T/root/hostile
"$ADMIN" create "$H" >/dev/null || setup_failed "cannot create the repository $H"
G=file://$H
printf 'harmless\n' >"$T/in/x"
printf '<script>document.title="owned"</script>\n' >"$T/in/page.html"
k -m "<script>document.title='owned'</script> & <img src=x onerror=alert(1)>" \
  put "$T/in/x" "$G/<script>document.title='owned'" \
  put "$T/in/x" "$G/\"><img src=x onerror=alert(2)>" \
  put "$T/in/page.html" "$G/page.html" propset ostrel:mime-type text/html "$G/page.html" \
  propset note "<b onmouseover=alert(3)>x</b>" "$G/page.html"

start_ostreld "$T/root" --open
"$PY" "$here/browser_test.py" "http://$OSTRELD_ADDR" "$SHOTS" "$T/chromium" || fail "the browser checks failed"
stop_ostreld
finish
