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
exe=$here/$root/i686/bench/korvane_verify_bench.exe
[ -f "$exe" ] || "$here/scripts/build.sh" i686 "$root"
work=${KORVANE_BENCH_DATA:-$here/$root/bench-data}
other=${KORVANE_BENCH_OTHER:-/dev/shm/korvane-verify}
mkdir -p "$work" "$other"
export WINEPREFIX=$work/prefix WINEDEBUG=-all
chunk=8225280            # one cylinder of 255 x 63 x 512: the program's chunk, and dd's bs
size=$((131 * chunk))    # 1 077 511 680 bytes
drive=$work/drive.bin
winpath() { echo "Z:${1//\//\\}"; }

if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1; fi
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true; rm -rf "$other"' EXIT
wine cmd /c exit >/dev/null 2>&1 || true
sleep 2
if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
  head -c "$size" /dev/urandom >"$drive"
fi

cache=dropped
drop() {
  sync
  if ! (echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then cache="NOT dropped (needs root)"; fi
}
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
      printf "%-22s median: verify %6.0f MB/s, dd %6.0f MB/s, ratio %.2f; best: verify %6.0f MB/s, dd %6.0f MB/s, ratio %.2f\n",
             name, km, dm, km / dm, kb, db, kb / db
      printf "%-22s CPU per GiB (median): verify %.2f s, dd %.2f s\n", name, median(kc, n) / gib, median(dc, n) / gib }'
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
  results+=("$(summary "create, image $placement" "${vc[@]}" "${dc[@]}")")
  results+=("$(summary "restore, image $placement" "${vr[@]}" "${dr[@]}")")
done
echo "size $size bytes, block $chunk bytes, $rounds round(s) each, page cache $cache before each run"
printf '%s\n' "${results[@]}"
