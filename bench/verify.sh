#!/usr/bin/env bash
# Times the verify pass over a file-backed drive of 1 GiB against dd reading the
# same drive with the same block size, alternating, with a cold page cache each time.
#   bench/verify.sh [build-root] [rounds]    (default: build 5; data folder: KORVANE_BENCH_DATA)
# The image file lies first on another medium (a RAM disk, KORVANE_BENCH_OTHER,
# default /dev/shm/korvane-verify), as an image on an internal disk beside a card or
# stick; then beside the drive on the same disk, where both reads share one device.
# Needs the i686 build (scripts/build.sh i686 <build-root>).
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-5}
bench_exe=korvane_verify_bench.exe
. "$here/bench/common.sh"
other=${KORVANE_BENCH_OTHER:-/dev/shm/korvane-verify}
mkdir -p "$other"
size=$((131 * chunk))    # 1 077 511 680 bytes
drive=$work/drive.bin

start_wine
trap 'end_wine; rm -rf "$other"' EXIT
if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
  head -c "$size" /dev/urandom >"$drive"
fi

verify() { # direction image -> "seconds cpu"
  local out
  out=$(wine "$exe" "$1" "$(winpath "$drive")" "$(winpath "$2")" "$size" | tr -d '\r')
  case "$out" in *ok=1*) ;; *) echo "korvane_verify_bench $1 failed: $out" >&2; exit 1 ;; esac
  sed -E 's/.*seconds=([0-9.]+) cpu=([0-9.]+).*/\1 \2/' <<<"$out"
}
ddread() { # -> "seconds cpu"
  local TIMEFORMAT='%R %U %S' t
  t=$( { time dd if="$drive" of=/dev/null bs=$chunk status=none; } 2>&1 )
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' <<<"$t"
}

results=()
for placement in other same; do
  if [ "$placement" = other ]; then image=$other/image.hdd; else image=$work/verify-image.hdd; fi
  cp "$drive" "$image"
  declare -a vc=() dc=() vr=() dr=()
  for ((i = 1; i <= rounds; i++)); do
    drop; vc+=("$(verify create "$image")")
    drop; dc+=("$(ddread)")
    drop; vr+=("$(verify restore "$image")")
    drop; dr+=("$(ddread)")
    echo "$placement medium, round $i: verify create ${vc[-1]} dd ${dc[-1]}; verify restore ${vr[-1]} dd ${dr[-1]} (seconds, CPU seconds)"
  done
  rm -f "$image"
  results+=("$(summary "create, image $placement" verify 22 "${vc[@]}" "${dc[@]}")")
  results+=("$(summary "restore, image $placement" verify 22 "${vr[@]}" "${dr[@]}")")
done
echo "size $size bytes, block $chunk bytes, $rounds round(s) each, page cache $cache before each run"
printf '%s\n' "${results[@]}"
