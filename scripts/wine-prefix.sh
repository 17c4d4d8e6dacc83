#!/usr/bin/env bash
# create DIR: a fresh Wine prefix for one test run, its server kept alive.
# stop DIR:   ends that prefix's server.
set -eu
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
. "$(dirname "$0")/wine-select.sh"
case "$action" in
  create)
    if [ -d "$WINEPREFIX" ]; then
      wineserver -k 2>/dev/null || true
      wineserver -w 2>/dev/null || true
      rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    # Keep one server for the whole run: every Wine start is then cheaper.
    wineserver -p </dev/null >/dev/null 2>&1
    wineboot -i </dev/null >/dev/null 2>&1
    # One virtual desktop: top-level windows are then not X windows, whose
    # hiding waits for a window manager that Xvfb does not have.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f </dev/null >/dev/null 2>&1
    # A crashed program is ended at once, its address and backtrace printed,
    # instead of waiting under Wine's crash dialog for a person to close it.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
    if [ "$KORVANE_I686_RUNS" = emulated ]; then
      # An emulated debugger takes minutes to start: none is started, and Wine
      # ends the crashed program right after telling the fault and its address.
      for view in 32 64; do
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
          /d 'no-debugger-under-emulation.exe' /f /reg:$view </dev/null >/dev/null 2>&1
      done
    fi
    # Restart so that the desktop comes up with these settings.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p </dev/null >/dev/null 2>&1
    # Start the desktop here, where its output goes nowhere: started by a
    # test, it would hold that test's output open.
    wineboot </dev/null >/dev/null 2>&1
    echo "Wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 create|stop DIR" >&2
    exit 2
    ;;
esac
