# Sourced by every script that starts Wine.
#
# KORVANE_I686_RUNS tells how this machine runs 32-bit programs: `native`,
# `emulated` (a binfmt_misc entry hands 32-bit x86 programs to qemu-i386-static;
# scripts/emulate-i686.sh registers it) or `no` (a kernel built without 32-bit
# support, where Wine's 32-bit loader fails with "Exec format error").
#
# KORVANE_TEST_ARCH names the build a script runs when it runs one build only
# (run.sh, screenshots.sh, the benchmarks): the caller's choice where set, else
# i686 where 32-bit programs run and x86_64 where they don't. KORVANE_WINE is the
# loader for that build; `wine` and `wineboot` start Wine's 64-bit loader, which
# sets prefixes up natively on every machine (a 32-bit program in the prefix
# still gets the 32-bit loader).
korvane_wine32=/usr/lib/wine/wine
korvane_wine64=/usr/lib/wine/wine64

korvane_emulator_registered() {
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] || continue
    grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null || continue
    grep -qx enabled "$entry" 2>/dev/null && return 0
  done
  return 1
}

if ! "$korvane_wine32" --version >/dev/null 2>&1; then
  KORVANE_I686_RUNS=no
elif korvane_emulator_registered; then
  KORVANE_I686_RUNS=emulated
else
  KORVANE_I686_RUNS=native
fi

if [ -z "${KORVANE_TEST_ARCH:-}" ]; then
  if [ "$KORVANE_I686_RUNS" = no ]; then KORVANE_TEST_ARCH=x86_64; else KORVANE_TEST_ARCH=i686; fi
fi
if [ "$KORVANE_TEST_ARCH" = i686 ]; then
  KORVANE_WINE=$korvane_wine32
else
  KORVANE_WINE=$korvane_wine64
fi
if [ "$KORVANE_I686_RUNS" = no ]; then
  # Wine would start its 32-bit loader for child processes otherwise.
  export WINELOADER=$korvane_wine64
fi
wine() { "$korvane_wine64" "$@"; }
wineboot() { "$korvane_wine64" wineboot "$@"; }
export KORVANE_TEST_ARCH KORVANE_I686_RUNS
