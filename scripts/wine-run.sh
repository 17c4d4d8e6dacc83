#!/usr/bin/env bash
# Runs one Windows executable under Wine with the test run's prefix.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the test run}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
