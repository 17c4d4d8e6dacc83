#!/usr/bin/env bash
# Sets up the machine, builds korvane.exe (i686, or x86_64 where the machine
# can't run 32-bit programs) and starts it under Wine.
# With a working display the program opens there. Without one it runs in Xvfb:
# its start-up warning is answered, a screenshot of the main window is saved
# (the path is printed) and the program is ended.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine-select.sh"
exe="$here/build/$KORVANE_TEST_ARCH/ui/korvane.exe"
shot="$here/build/korvane-main-window.png"
export WINEPREFIX="$here/build/wine-run"
export WINEDEBUG=-all

# Creates the prefix once (with the tests' virtual desktop); later runs reuse it.
# Runs on the display the program will use: a prefix's desktop belongs to one.
prepare_prefix() {
  if [ -f "$WINEPREFIX/system.reg" ]; then
    wineserver -p </dev/null >/dev/null 2>&1
    wineboot </dev/null >/dev/null 2>&1
  else
    "$here/scripts/wine-prefix.sh" create "$WINEPREFIX"
  fi
}

# Inside Xvfb: start, answer the warning, capture, end.
run_headless() {
  prepare_prefix
  wine "$exe" </dev/null >/dev/null 2>&1 &
  local width=0
  for _ in $(seq 1 60); do
    sleep 0.5
    # The desktop is one colour until the main window shows.
    width=$(import -window root png:- 2>/dev/null | convert - -trim -format '%w' info: 2>/dev/null || echo 0)
    [ "$width" -ge 300 ] && break
  done
  sleep 1
  # The warning box has the keyboard: Enter presses its OK.
  xdotool key Return
  sleep 1
  import -window root png:- | convert - -trim +repage "$shot"
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  echo "Korvane ran in Xvfb; screenshot of its main window: $shot"
}

if [ "${1:-}" = --headless ]; then
  run_headless
  exit 0
fi

"$here/scripts/setup.sh"
"$here/scripts/build.sh" "$KORVANE_TEST_ARCH" build

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  prepare_prefix
  exec "$KORVANE_WINE" "$exe"
fi
echo "No display: running Korvane in Xvfb."
# A previous session's server holds the prefix's old desktop: end it first.
wineserver -k 2>/dev/null || true
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --headless
