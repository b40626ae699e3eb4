#!/usr/bin/env bash
# The desktop application's Python modules import and offer the classes and
# methods it uses.  Skips (77) where the packages are not installed.
. "$(dirname "$0")/../../tests/support/init.sh"
[ -x /usr/bin/python3 ] || skip "/usr/bin/python3 is not installed"
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/python3 "$SOURCE_DIR/packaging/desktop-python/check-modules" \
  --skip-missing
