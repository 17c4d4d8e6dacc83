#!/usr/bin/env bash
# A failing drive of 128 MiB, rescued by Korvane through the simulated stack and by
# GNU ddrescue in its test mode, both given the same bad-area layout (a test map: every
# area not marked read fails each read) over the same data:
#   bench/rescue.sh [build-root] [delay-ms]      (default: build 10; data folder: KORVANE_BENCH_DATA)
# Prints bytes rescued (must be equal, with the same areas and the same image), failed
# reads (Korvane's no more than ddrescue's with one retry pass, -r1) and time. The simulated drive takes DELAY ms over each failed read; ddrescue's
# test mode takes none, so its time is given as measured plus its failed reads times DELAY.
# Korvane's map must be accepted by `ddrescuelog -t` with the same totals as ddrescue's.
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
delay=${2:-10}
rounds=1
bench_exe=korvane_rescue_bench.exe
. "$here/bench/common.sh"
command -v ddrescue >/dev/null && command -v ddrescuelog >/dev/null ||
  { echo "GNU ddrescue is needed (Debian: gddrescue)" >&2; exit 1; }
size=$((128 << 20))
sectors=$((size / 512))
drive=$work/rescue-drive.bin
layout=$work/rescue-layout.map
image=$work/rescue-image.hdd
ddimage=$work/rescue-ddrescue.img

start_wine
if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
  head -c "$size" /dev/urandom >"$drive"
fi
# 40 single bad sectors, 8 runs of 8, one run of 512 across a chunk border (16065 sectors
# a chunk), and a weak-looking pair at a 64 KiB border; never the last sector.
awk -v sectors="$sectors" 'BEGIN {
  srand(7)
  for (i = 0; i < 40; i++) bad[int(rand() * (sectors - 2000)) + 1000] = 1
  for (i = 0; i < 8; i++) { s = int(rand() * (sectors - 2000)) + 1000; for (k = 0; k < 8; k++) bad[s + k] = 1 }
  for (k = 0; k < 512; k++) bad[3 * 16065 - 256 + k] = 1
  bad[20 * 128 - 1] = 1; bad[20 * 128] = 1
  print "# bad-area layout of the rescue benchmark"; print "0x00000000     +               1"
  pos = 0; s = 0
  while (s < sectors) {
    st = (s in bad) ? "-" : "+"; e = s
    while (e < sectors && ((e in bad) ? "-" : "+") == st) e++
    printf "0x%08X  0x%08X  %s\n", s * 512, (e - s) * 512, st
    s = e
  } }' >"$layout"

# Bytes of the '+' areas of a map (sizes in hexadecimal with 0x, as both programs write them).
read_bytes() {
  awk 'function hex(s,   i, n) { n = 0; s = tolower(substr(s, 3))
         for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
         return n }
       !/^#/ && NF == 3 && $3 == "+" { n += hex($2) } END { printf "%d\n", n }' "$1"
}

rm -f "$ddimage" "$ddimage.map"; drop
TIMEFORMAT='%R'
dd_out=$( { time ddrescue -r1 --test-mode="$layout" -f "$drive" "$ddimage" "$ddimage.map" >"$work/ddrescue.log" 2>&1; } 2>&1 )
dd_errors=$(tr '\r' '\n' <"$work/ddrescue.log" | grep -a 'read errors' | tail -1 | sed -E 's/.*read errors: *([0-9]+).*/\1/')
dd_time=$(awk -v t="$dd_out" -v n="$dd_errors" -v d="$delay" 'BEGIN { printf "%.2f", t + n * d / 1000 }')
dd_bytes=$(read_bytes "$ddimage.map")

rm -f "$image" "$image.map"; drop
out=$(wine "$exe" "$(winpath "$layout")" "$(winpath "$drive")" "$(winpath "$image")" "$delay" \
        2> >(grep -v "FS volume label" >&2) | tr -d '\r')
case "$out" in *ok=1*) ;; *) echo "korvane_rescue_bench failed: $out" >&2; exit 1 ;; esac
k_time=$(sed -nE 's/.*seconds=([0-9.]+).*/\1/p' <<<"$out")
k_errors=$(sed -nE 's/.*failed=([0-9]+).*/\1/p' <<<"$out")
k_bytes=$(read_bytes "$image.map")

# The judge: ddrescuelog reads Korvane's map and finds ddrescue's totals and areas.
ddrescuelog -t "$image.map" >"$work/korvane-map.txt" || { echo "ddrescuelog refuses Korvane's map" >&2; exit 1; }
ddrescuelog -t "$ddimage.map" >"$work/ddrescue-map.txt"
totals() { grep -E 'rescued|bad-sector|non-' "$1" | sed -E 's/\(.*//'; }
same=yes
diff <(totals "$work/korvane-map.txt") <(totals "$work/ddrescue-map.txt") >&2 || same=no
cmp -s <(ddrescuelog -l- "$image.map") <(ddrescuelog -l- "$ddimage.map") || same=no
cmp -s "$image" "$ddimage" || same=no
bad=$(grep -c ' -$' "$layout")
echo "layout: $bad bad areas, $(( (size - $(read_bytes "$layout")) )) bad bytes of $size; ${delay} ms per failed read"
echo "korvane:  rescued $k_bytes bytes, $k_errors failed reads, ${k_time} s"
echo "ddrescue: rescued $dd_bytes bytes, $dd_errors failed reads, ${dd_time} s (measured $dd_out s + ${delay} ms per failed read)"
echo "same map totals, bad sectors and image: $same"
[ "$k_bytes" = "$dd_bytes" ] && [ "$same" = yes ] && [ "$k_errors" -le "$dd_errors" ]
