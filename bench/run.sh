#!/usr/bin/env bash
# Images a file-backed drive of 1 GiB and restores it, against dd with the same
# block size over the same files, alternating, with a cold page cache each time.
#   bench/run.sh [build-root] [rounds]     (default: build 7; data folder: KORVANE_BENCH_DATA)
# Needs the i686 build (scripts/build.sh i686 <build-root>); data in <build-root>/bench-data.
set -euo pipefail
# One X server and one Wine server for the whole run, so that no start-up work overlaps a timing.
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-7}
bench_exe=korvane_bench.exe
. "$here/bench/common.sh"
size=$((131 * chunk))    # 1 077 511 680 bytes
drive=$work/drive.bin
image=$work/image.hdd

start_wine
random_drive
cp "$drive" "$image"

korvane() { korvane_timed "$1"; }
ddrun() { # if of [conv] -> "seconds cpu"
  local TIMEFORMAT='%R %U %S' t
  t=$( { time dd if="$1" of="$2" bs=$chunk conv="$3" status=none; } 2>&1 )
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' <<<"$t"
}

declare -a kc dc kr dr
for ((i = 1; i <= rounds; i++)); do
  drop; kc+=("$(korvane create)")
  rm -f "$image"; drop; dc+=("$(ddrun "$drive" "$image" fsync)")
  drop; kr+=("$(korvane restore)")
  drop; dr+=("$(ddrun "$image" "$drive" notrunc,fsync)")
  echo "round $i: create korvane ${kc[-1]} dd ${dc[-1]}; restore korvane ${kr[-1]} dd ${dr[-1]} (seconds, CPU seconds)"
done
cmp -s "$drive" "$image" || { echo "drive and image differ after the runs" >&2; exit 1; }

echo "size $size bytes, block $chunk bytes, $rounds round(s) each, page cache $cache before each run"
summary create korvane 8 "${kc[@]}" "${dc[@]}"
summary restore korvane 8 "${kr[@]}" "${dr[@]}"
