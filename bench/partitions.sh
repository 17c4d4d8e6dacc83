#!/usr/bin/env bash
# A create of a 1 GiB file-backed drive whose one partition ends at 128 MiB (random
# bytes in all of it): the partitions only against the whole drive, alternating, with
# the SHA-256 as the job computes it and the page cache dropped before every run.
#   bench/partitions.sh [build-root] [rounds]     (default: build 3; data folder: KORVANE_BENCH_DATA)
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-3}
bench_exe=korvane_bench.exe
. "$here/bench/common.sh"
size=$((131 * chunk))
drive=$work/partitions-drive.bin
image=$work/partitions-image.hdd
parts=$((128 << 20))

start_wine
random_drive
printf 'label: dos\nstart=2048, size=%d, type=c\n' $((parts / 512 - 2048)) | sfdisk -q --no-reread "$drive"

korvane() { # mode -> "seconds cpu"
  rm -f "$image"; drop
  korvane_timed "$1"
}
declare -a ws ps
for ((i = 1; i <= rounds; i++)); do
  ws+=("$(korvane create)")
  [ "$(stat -c %s "$image")" = "$size" ] || { echo "the whole image is not $size bytes" >&2; exit 1; }
  ps+=("$(korvane create-partitions)")
  [ "$(stat -c %s "$image")" = "$parts" ] || { echo "the partitions' image is not $parts bytes" >&2; exit 1; }
  cmp -s -n "$parts" "$drive" "$image" || { echo "the partitions' image differs from the drive" >&2; exit 1; }
  echo "round $i: whole ${ws[-1]}; partitions only ${ps[-1]} (seconds, CPU seconds)"
done
rm -f "$image"

median() { printf '%s\n' "$@" | awk '{ t[NR] = $1 } END {
  for (i = 2; i <= NR; i++) for (j = i; j > 1 && t[j-1] > t[j]; j--) { x = t[j]; t[j] = t[j-1]; t[j-1] = x }
  printf "%.2f", NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'; }
w=$(median "${ws[@]}") p=$(median "${ps[@]}")
echo "drive $size bytes, partitions end at $parts bytes, $rounds round(s), page cache $cache before each run"
echo "create, whole drive      median $w s"
echo "create, partitions only  median $p s ($(awk -v w="$w" -v p="$p" 'BEGIN { printf "%.1f", w / p }') times as fast)"
