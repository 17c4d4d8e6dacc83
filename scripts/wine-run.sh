#!/usr/bin/env bash
# Runs one Windows executable under Wine with the test run's prefix.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the test run}"
export WINEDEBUG="${WINEDEBUG:--all}"
. "$(dirname "$0")/wine-select.sh"
exec "$KORVANE_WINE" "$@"
