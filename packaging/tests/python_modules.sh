#!/usr/bin/env bash
# The desktop application's Python modules import and offer the classes and
# methods it uses.  Skips (77) where the packages are not installed.
: "${SOURCE_DIR:?}"
if [ ! -x /usr/bin/python3 ]; then
  echo "skipped: /usr/bin/python3 is not installed"
  exit 77
fi
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/python3 "$SOURCE_DIR/packaging/desktop-python/check-modules" \
  --skip-missing
