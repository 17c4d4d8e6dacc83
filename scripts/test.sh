#!/usr/bin/env bash
# Sets up the machine, builds both architectures and runs every test of both
# builds on Wine inside Xvfb: the x86_64 build natively, the i686 build natively
# where the kernel runs 32-bit programs, else under user-mode emulation
# (qemu-i386-static through binfmt_misc, registered for the run and removed
# after it). KORVANE_I686=emulated tests the emulated path on a machine that runs
# 32-bit programs natively. Extra arguments go to both CTest runs. Ends with
# each build's CTest summary and one line for both; fails when a test of either
# build fails or either build could not be tested.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${KORVANE_BUILD_ROOT:-build}
"$here/scripts/setup.sh"
"$here/scripts/build.sh" i686 "$root"
"$here/scripts/build.sh" x86_64 "$root"

. "$here/scripts/wine-select.sh"
i686_how=natively
i686_run=()
if [ "${KORVANE_I686:-}" = emulated ] || [ "$KORVANE_I686_RUNS" != native ]; then
  i686_how="under user-mode emulation (qemu-i386-static)"
  i686_run=("$here/scripts/emulate-i686.sh" run)
fi

# An emulated Wine starts processes a few times slower: the CTest time-outs grow.
scale=1
case "$i686_how" in natively) ;; *) scale=${KORVANE_EMULATED_TIME_SCALE:-10} ;; esac
emulated=OFF
i686_args=()
if [ "$scale" != 1 ]; then
  emulated=ON
  i686_args=(-L emulated)
fi
cmake "$here/$root/i686" -DKORVANE_TEST_TIME_SCALE="$scale" -DKORVANE_TEST_EMULATED=$emulated >/dev/null
cmake "$here/$root/x86_64" -DKORVANE_TEST_TIME_SCALE=1 >/dev/null

passed=0 failed=0 summary=()
run_suite() {
  local arch=$1 how=$2 log="$here/$root/$1/ctest-run.log" start=$SECONDS rc=0
  echo "=== Testing the $arch build $how"
  local run=()
  [ "$arch" != i686 ] || run=("${i686_run[@]}")
  (cd "$here/$root/$arch" && KORVANE_TEST_ARCH=$arch \
     ${run[@]+"${run[@]}"} xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure "${@:3}") 2>&1 |
    tee "$log" || rc=$?
  local line p f
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$line" ]; then
    summary+=("$arch ($how): no CTest summary, exit $rc")
    failed=$((failed + 1))
    return
  fi
  f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  local total
  total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  p=$((total - f))
  [ "$rc" -eq 0 ] || [ "$f" -gt 0 ] || f=1
  passed=$((passed + p)) failed=$((failed + f))
  summary+=("$arch ($how): $p of $total passed in $((SECONDS - start)) s")
}

run_suite x86_64 natively "$@"
run_suite i686 "$i686_how" ${i686_args[@]+"${i686_args[@]}"} "$@"
# The download, made from the builds just tested: both programs start, the
# checksums match.
echo "=== Checking the download"
start=$SECONDS
if zip=$(KORVANE_PACKAGE_FROM="$here/$root" "$here/scripts/package.sh" "$root/package" | tail -n 1) &&
   "$here/scripts/check-package.sh" "$zip"; then
  summary+=("download: both programs start, checksums match ($((SECONDS - start)) s)")
else
  summary+=("download: check FAILED")
  failed=$((failed + 1))
fi
echo "=== Builds tested"
for line in "${summary[@]}"; do echo "  $line"; done
echo "Both builds: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
