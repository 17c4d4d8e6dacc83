# Sourced by every script that starts Wine. Sets KORVANE_TEST_ARCH to the build
# this machine can run (i686 where it runs 32-bit programs, x86_64 otherwise) and,
# where it can't, makes `wine` and `wineboot` start Wine's 64-bit loader
# (KORVANE_WINE names the loader for `exec`).
#
# Wine's own wrapper starts the 32-bit loader whenever that is installed, also on a
# kernel built without 32-bit support, where it fails with "Exec format error".
korvane_wine32=/usr/lib/wine/wine
korvane_wine64=/usr/lib/wine/wine64
if [ ! -x "$korvane_wine64" ] || "$korvane_wine32" --version >/dev/null 2>&1; then
  KORVANE_TEST_ARCH=i686
  KORVANE_WINE=wine
else
  KORVANE_TEST_ARCH=x86_64
  KORVANE_WINE=$korvane_wine64
  export WINELOADER=$korvane_wine64
  wine() { "$korvane_wine64" "$@"; }
  wineboot() { "$korvane_wine64" wineboot "$@"; }
fi
export KORVANE_TEST_ARCH
