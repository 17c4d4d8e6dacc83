#!/usr/bin/env bash
# Runs one Windows executable under Wine with the test run's prefix: a 32-bit
# one with Wine's 32-bit loader (natively or under user-mode emulation), a
# 64-bit one with the 64-bit loader. Never runs one build in place of the other.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the test run}"
export WINEDEBUG="${WINEDEBUG:--all}"
. "$(dirname "$0")/wine-select.sh"
if file -b "$1" | grep -q '^PE32 '; then
  if [ "$KORVANE_I686_RUNS" = no ]; then
    echo "This machine can't run 32-bit programs: register user-mode emulation first" \
         "(scripts/emulate-i686.sh register, as root; scripts/test.sh does it)." >&2
    exit 1
  fi
  exec "$korvane_wine32" "$@"
fi
exec "$korvane_wine64" "$@"
