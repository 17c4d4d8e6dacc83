#!/usr/bin/env bash
# Checks a download made by scripts/package.sh: scripts/check-package.sh ZIP
# Unpacks it into a temporary folder, checks the programs against SHA256SUMS with
# `sha256sum -c`, and starts each program under Wine in Xvfb, each in a fresh Wine
# prefix of its own: the start-up warning is answered, the main window must show and
# the program must still run; then it is ended. A screenshot of each main window is
# kept beside the zip. Fails, naming every failure, when anything is wrong.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exes=(korvane-i686.exe korvane-x86_64.exe)

# One colour (an empty desktop) trims to 1 pixel; the main window is wider than 300.
shown_width() {
  import -window root png:- 2>/dev/null | convert - -trim -format '%w' info: 2>/dev/null || echo 0
}

# Waits, at most about SECONDS * 2 seconds, until the screen stops changing.
settle() {
  local before='' now
  for _ in $(seq 1 "$1"); do
    sleep 2
    now=$(import -window root rgb:- 2>/dev/null | md5sum)
    [ "$now" = "$before" ] && return
    before=$now
  done
}

# Inside Xvfb: start_one LOADER EXE PREFIX SECONDS SCREENSHOT
start_one() {
  local loader=$1 exe=$2 prefix=$3 seconds=$4 shot=$5
  export WINEPREFIX=$prefix WINEDEBUG=-all
  # Made on this display: a prefix's desktop belongs to one.
  if ! "$here/scripts/wine-prefix.sh" create "$prefix" >/dev/null; then
    echo "the Wine prefix could not be made"
    return 1
  fi
  "$loader" "$exe" </dev/null >"$prefix.log" 2>&1 &
  local pid=$! width=0 waited=0
  while [ "$waited" -lt $((seconds * 2)) ]; do
    sleep 0.5
    waited=$((waited + 1))
    kill -0 "$pid" 2>/dev/null || break
    width=$(shown_width)
    [ "$width" -ge 300 ] && break
  done
  local outcome=0
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    echo "it ended before its main window showed (exit code $?)"
    outcome=1
  elif [ "$width" -lt 300 ]; then
    echo "no window showed within $seconds seconds"
    outcome=1
  else
    # The warning box comes right after the main window (slowly under emulation):
    # wait until the screen stops changing. It has the keyboard: Enter presses its OK.
    settle "$seconds"
    xdotool key Return
    settle "$seconds"
    # A program that crashes now takes a moment to be ended.
    local linger=$((seconds / 6))
    while [ "$linger" -gt 0 ] && kill -0 "$pid" 2>/dev/null; do
      sleep 1
      linger=$((linger - 1))
    done
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "it ended after the start-up warning was answered"
      outcome=1
    else
      import -window root png:- | convert - -trim +repage "$shot"
      width=$(convert "$shot" -format '%w' info: 2>/dev/null || echo 0)
      if [ "$width" -lt 300 ]; then
        echo "its main window did not stay after the start-up warning was answered"
        outcome=1
      fi
    fi
  fi
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  "$here/scripts/wine-prefix.sh" stop "$prefix" >/dev/null 2>&1 || true
  if [ "$outcome" -ne 0 ] && [ -s "$prefix.log" ]; then
    echo "its output (Wine's report of a crash first):"
    grep -m 3 -i 'unhandled' "$prefix.log" | sed 's/^/  /'
    sed 's/^/  /' "$prefix.log" | tail -n 20
  fi
  return "$outcome"
}

if [ "${1:-}" = --start ]; then
  shift
  start_one "$@"
  exit
fi

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 ZIP (the download scripts/package.sh made)" >&2
  exit 2
fi
zip_path=$(realpath "$1")
shots=${zip_path%.zip}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=()
fail() { failures+=("$1"); echo "FAILED: $1"; }

if ! unzip -q "$zip_path" -d "$work/package"; then
  echo "FAILED: $zip_path can't be unpacked"
  exit 1
fi
for file in "${exes[@]}" README.md SHA256SUMS; do
  [ -f "$work/package/$file" ] || fail "$file is missing from the zip"
done
for exe in "${exes[@]}"; do
  grep -Eq "^[0-9a-f]{64} [ *]$exe\$" "$work/package/SHA256SUMS" 2>/dev/null ||
    fail "SHA256SUMS lists no checksum of $exe"
done
if (cd "$work/package" && sha256sum -c SHA256SUMS); then
  echo "Checksums match."
else
  fail "the programs don't match SHA256SUMS"
fi

. "$here/scripts/wine-select.sh"
for exe in "${exes[@]}"; do
  [ -f "$work/package/$exe" ] || continue
  seconds=60
  if [ "$exe" = korvane-i686.exe ]; then
    loader=$korvane_wine32
    run=()
    case "${KORVANE_I686:-}/${KORVANE_I686_RUNS:-}" in
      emulated/*) run=("$here/scripts/emulate-i686.sh" run); seconds=1200 ;;
      */native) ;;
      *)
        # Started under user-mode emulation, where every Wine start takes minutes
        # (eight on a busy 2-core machine).
        run=("$here/scripts/emulate-i686.sh" run)
        seconds=1200
        ;;
    esac
  else
    loader=$korvane_wine64
    run=()
  fi
  shot="$shots-${exe%.exe}.png"
  echo "Starting $exe under Wine in Xvfb ..."
  if reason=$(${run[@]+"${run[@]}"} xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --start "$loader" "$work/package/$exe" \
                "$work/prefix-${exe%.exe}" "$seconds" "$shot" 2>&1); then
    echo "$exe started; screenshot of its main window: $shot"
  else
    fail "$exe: $reason"
  fi
done

if [ ${#failures[@]} -ne 0 ]; then
  echo "Package check of $zip_path FAILED (${#failures[@]}):"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
echo "Package check of $zip_path passed: checksums match, both programs start."
