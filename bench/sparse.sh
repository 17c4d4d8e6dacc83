#!/usr/bin/env bash
# Images a file-backed drive of 1 GiB that holds data in a tenth of its
# cylinders (zeros elsewhere), and runs dd conv=sparse over the same drive:
# the space each image takes on the disk (du) and the time, side by side.
#   bench/sparse.sh [build-root] [rounds]     (default: build 3; data folder: KORVANE_BENCH_DATA)
# Korvane runs twice a round: as Wine answers (its volumes claim no sparse files,
# so every chunk is written) and with the volume claiming sparse files as NTFS does.
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-3}
bench_exe=korvane_bench.exe
. "$here/bench/common.sh"
cylinders=131
size=$((cylinders * chunk))
drive=$work/sparse-drive.bin
image=$work/sparse-image.hdd

start_wine
# Data in every tenth cylinder (14 of 131), zeros in the others.
if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
  rm -f "$drive"
  truncate -s "$size" "$drive"
  for ((c = 0; c < cylinders; c += 10)); do
    head -c "$chunk" /dev/urandom | dd of="$drive" bs=$chunk seek=$c conv=notrunc status=none
  done
fi
data=$(( ( (cylinders + 9) / 10 ) * chunk ))

space() { du -B1 "$image" | cut -f1; }
korvane() { # mode -> "seconds space"
  local out
  rm -f "$image"; drop
  # Wine says on stderr that it reads no label of Z:, at every volume query.
  out=$(wine "$exe" "$1" "$(winpath "$drive")" "$(winpath "$image")" "$size" 2> >(grep -v "FS volume label" >&2) | tr -d '\r')
  case "$out" in *ok=1*) ;; *) echo "korvane_bench $1 failed: $out" >&2; exit 1 ;; esac
  cmp -s "$drive" "$image" || { echo "korvane's image differs from the drive" >&2; exit 1; }
  echo "$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$out") $(space)"
}
ddrun() { # -> "seconds space"
  local TIMEFORMAT='%R' t
  rm -f "$image"; drop
  t=$( { time dd if="$drive" of="$image" bs=$chunk conv=sparse,fsync status=none; } 2>&1 )
  cmp -s "$drive" "$image" || { echo "dd's image differs from the drive" >&2; exit 1; }
  echo "$t $(space)"
}

declare -a kw ks ds
for ((i = 1; i <= rounds; i++)); do
  kw+=("$(korvane create)")
  ks+=("$(korvane create-sparse)")
  ds+=("$(ddrun)")
  echo "round $i: korvane as Wine answers ${kw[-1]}; korvane, sparse volume ${ks[-1]}; dd conv=sparse ${ds[-1]} (seconds, bytes on disk)"
done
rm -f "$image"

space_summary() { # name runs...
  local name=$1; shift
  printf '%s\n' "$@" | awk -v name="$name" -v size="$size" '
    { t[NR] = $1; s[NR] = $2 }
    END {
      for (i = 2; i <= NR; i++) for (j = i; j > 1 && t[j-1] > t[j]; j--) { x = t[j]; t[j] = t[j-1]; t[j-1] = x }
      m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
      printf "%-28s median %6.2f s, %7.0f MB on disk (%5.1f %% of the drive)\n", name, m, s[NR] / 1e6, 100 * s[NR] / size }'
}
echo "drive $size bytes, data in $data bytes ($(awk -v d=$data -v s=$size 'BEGIN{printf "%.1f", 100*d/s}') %), block $chunk bytes, $rounds round(s), page cache $cache before each run"
space_summary "korvane (as Wine answers)" "${kw[@]}"
space_summary "korvane (sparse volume)" "${ks[@]}"
space_summary "dd conv=sparse" "${ds[@]}"
