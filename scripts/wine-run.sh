#!/usr/bin/env bash
# Runs one Windows executable under Wine with the test run's prefix.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the test run}"
export WINEDEBUG="${WINEDEBUG:--all}"
. "$(dirname "$0")/wine-select.sh"
if [ "$KORVANE_TEST_ARCH" != i686 ] && file -b "$1" | grep -q '^PE32 '; then
  echo "This machine can't run 32-bit programs: build and test the x86_64 build" \
       "(scripts/build.sh x86_64 build; ctest in build/x86_64)." >&2
  exit 1
fi
exec "$KORVANE_WINE" "$@"
