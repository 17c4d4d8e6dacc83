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
exe=$here/$root/i686/bench/korvane_bench.exe
[ -f "$exe" ] || "$here/scripts/build.sh" i686 "$root"
# KORVANE_BENCH_DATA=/dev/shm/... measures on a RAM disk: the program's own cost, without the disk's noise.
work=${KORVANE_BENCH_DATA:-$here/$root/bench-data}
mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all
chunk=8225280            # one cylinder of 255 x 63 x 512: the program's chunk, and dd's bs
size=$((131 * chunk))    # 1 077 511 680 bytes
drive=$work/drive.bin
image=$work/image.hdd
winpath() { echo "Z:${1//\//\\}"; }

if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1; fi
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true
sleep 2
if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
  head -c "$size" /dev/urandom >"$drive"
fi
cp "$drive" "$image"

cache=dropped
drop() {
  sync
  if ! (echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then cache="NOT dropped (needs root)"; fi
}
korvane() { # direction -> "seconds cpu"
  local out
  out=$(wine "$exe" "$1" "$(winpath "$drive")" "$(winpath "$image")" "$size" | tr -d '\r')
  case "$out" in *ok=1*) ;; *) echo "korvane_bench $1 failed: $out" >&2; exit 1 ;; esac
  sed -E 's/.*seconds=([0-9.]+) cpu=([0-9.]+).*/\1 \2/' <<<"$out"
}
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

summary() { # name korvane-runs dd-runs
  local name=$1; shift
  printf '%s\n' "$@" | awk -v name="$name" -v size="$size" -v n="$rounds" '
    function sort(a, m,   i, j, t) {
      for (i = 2; i <= m; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
    }
    function median(a, m) { sort(a, m); return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
    NR <= n { ks[NR] = $1; kc[NR] = $2 } NR > n { ds[NR - n] = $1; dc[NR - n] = $2 }
    END {
      gib = size / 1073741824
      km = size / median(ks, n) / 1e6; dm = size / median(ds, n) / 1e6
      kb = size / ks[1] / 1e6; db = size / ds[1] / 1e6
      printf "%-8s median: korvane %6.0f MB/s, dd %6.0f MB/s, ratio %.2f; best: korvane %6.0f MB/s, dd %6.0f MB/s, ratio %.2f\n",
             name, km, dm, km / dm, kb, db, kb / db
      printf "%-8s CPU per GiB (median): korvane %.2f s, dd %.2f s\n", name, median(kc, n) / gib, median(dc, n) / gib }'
}
echo "size $size bytes, block $chunk bytes, $rounds round(s) each, page cache $cache before each run"
summary create "${kc[@]}" "${dc[@]}"
summary restore "${kr[@]}" "${dr[@]}"
