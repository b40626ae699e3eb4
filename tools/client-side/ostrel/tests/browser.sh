#!/usr/bin/env bash
# The web view in a real headless Chromium (through chromium-driver and
# Selenium): open a repository's root, click into a directory, a file, its
# log and a revision, and check what each page shows; then a repository of
# hostile names and messages whose pages must run no script.  A screenshot
# of each page is kept in $BUILD_DIR/test-artefacts/web-view/.
here=$(cd "$(dirname "$0")" && pwd)
. "$SOURCE_DIR/tools/server-side/tests/init.sh"
. "$SOURCE_DIR/tools/server-side/tests/ostreld_fixture.sh"
KELBRIN=$BIN/kelbrin
ADMIN=$BIN/ostrel-admin
PY=/usr/bin/python3
command -v chromium >/dev/null || { echo "skip: chromium is not installed"; exit 77; }
command -v chromedriver >/dev/null || { echo "skip: chromium-driver is not installed"; exit 77; }
"$PY" -c 'import selenium' 2>/dev/null || { echo "skip: python3-selenium is not installed"; exit 77; }
export LC_ALL=C.UTF-8 HOME=$T/home
mkdir -p "$HOME" "$T/root" "$T/in"
SHOTS=$BUILD_DIR/test-artefacts/web-view
mkdir -p "$SHOTS"

R=$T/root/proj
"$ADMIN" create "$R" >/dev/null || exit 99
F=file://$R
k() { "$KELBRIN" -u alice "$@" >/dev/null || { echo "setup: kelbrin $* failed" >&2; exit 99; }; }
printf '#include <stdio.h>\nint main(void) {\n  return 0;\n}\n' >"$T/in/hello.c"
printf '\x89PNG\r\n\x1a\n\x00\x00' >"$T/in/logo.png"
k -m "Start the project" mkdir "$F/trunk" put "$T/in/hello.c" "$F/trunk/hello.c" \
  mkdir "$F/trunk/docs" put "$T/in/logo.png" "$F/trunk/docs/logo.png"
printf '#include <stdio.h>\nint main(void) {\n  puts("hi");\n  return 0;\n}\n' >"$T/in/hello.c"
k -m "Say hello" put "$T/in/hello.c" "$F/trunk/hello.c"

H=$T/root/hostile
"$ADMIN" create "$H" >/dev/null || exit 99
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
