#!/usr/bin/env bash
# The cost of the SHA-256 a create computes: creates of a file-backed drive of 1 GiB
# with the hash (as the job runs them) and without it, alternating, in the same run,
# with the drive and the image on a RAM disk (default /dev/shm/korvane-checksum),
# where no disk hides the program's own cost; then the hash alone on each path.
#   bench/checksum.sh [build-root] [rounds]     (default: build 7; data folder: KORVANE_BENCH_DATA)
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-7}
bench_exe=korvane_bench.exe
export KORVANE_BENCH_DATA=${KORVANE_BENCH_DATA:-/dev/shm/korvane-checksum}
. "$here/bench/common.sh"
size=$((131 * chunk))    # 1 077 511 680 bytes
drive=$work/drive.bin
image=$work/image.hdd

start_wine
random_drive

korvane() { # mode -> "seconds cpu"
  rm -f "$image"
  korvane_timed "$1"
}

declare -a kh ku
for ((i = 1; i <= rounds; i++)); do
  kh+=("$(korvane create)")
  ku+=("$(korvane create-unhashed)")
  echo "round $i: create with hash ${kh[-1]}, without ${ku[-1]} (seconds, CPU seconds)"
done
cmp -s "$drive" "$image" || { echo "drive and image differ after the runs" >&2; exit 1; }
rm -f "$image"

echo "size $size bytes, block $chunk bytes, $rounds round(s) each, data in $work"
summary create hashed 8 "${kh[@]}" "${ku[@]}" | sed 's/dd /unhashed /g'
for path in processor portable system; do
  wine "$exe" sha256 "$path" $((8 * chunk * 16)) | tr -d '\r'
done
