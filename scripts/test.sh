#!/usr/bin/env bash
# Sets up the machine, builds both architectures and runs every test of the
# i686 build on Wine inside Xvfb (of the x86_64 build where the machine can't run
# 32-bit programs). Ends with CTest's summary; fails when a test fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${KORVANE_BUILD_ROOT:-build}
"$here/scripts/setup.sh"
"$here/scripts/build.sh" i686 "$root"
"$here/scripts/build.sh" x86_64 "$root"
. "$here/scripts/wine-select.sh"
if [ "$KORVANE_TEST_ARCH" != i686 ]; then
  echo "This machine can't run 32-bit programs: testing the x86_64 build."
fi
cd "$here/$root/$KORVANE_TEST_ARCH"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure "$@"
