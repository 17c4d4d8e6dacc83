# Sourced by the benchmark scripts once they have set `here` (the repository),
# `root` (the build root), `rounds` and `bench_exe` (the program they time):
# the build, the data folder and its Wine prefix, the drive's chunk, Wine paths,
# a cold page cache and the summary of timed runs.
. "$here/scripts/wine-select.sh"
exe=$here/$root/$KORVANE_TEST_ARCH/bench/$bench_exe
[ -f "$exe" ] || "$here/scripts/build.sh" "$KORVANE_TEST_ARCH" "$root"
# KORVANE_BENCH_DATA=/dev/shm/... measures on a RAM disk: the program's own cost, without the disk's noise.
work=${KORVANE_BENCH_DATA:-$here/$root/bench-data}
mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all
chunk=8225280            # one cylinder of 255 x 63 x 512: the program's chunk, and dd's bs
winpath() { echo "Z:${1//\//\\}"; }

# A virtual machine may hand the memory its kernel frees back to the host (free page
# reporting), and taking it back costs kernel time: on the 2-core VM, dd copying 1 GiB
# took 0.83 s when it started at once after the cache was dropped, and 2.0 s when it
# started three seconds later. A job starts later than dd (Wine starts it first), so it
# would pay that where dd does not. Reporting is off while a benchmark runs (no free
# block is of order 11) and put back as it was at the end.
reporting=/sys/module/page_reporting/parameters/page_reporting_order
reporting_was=
hold_memory() {
  if [ -w "$reporting" ] && reporting_was=$(cat "$reporting") && echo 11 >"$reporting" 2>/dev/null; then
    echo "free page reporting off while the benchmark runs (was order $reporting_was)"
  else
    reporting_was=
  fi
}
release_memory() {
  if [ -n "$reporting_was" ]; then echo "$reporting_was" >"$reporting" 2>/dev/null || true; fi
}

# One Wine server for the whole run, so that no start-up work overlaps a timing.
start_wine() {
  if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1; fi
  wineserver -p 2>/dev/null || true
  hold_memory
  trap end_wine EXIT
  wine cmd /c exit >/dev/null 2>&1 || true
  sleep 2
}
end_wine() {
  wineserver -k 2>/dev/null || true
  release_memory
}

cache=dropped
drop() {
  sync
  if ! (echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then cache="NOT dropped (needs root)"; fi
}

# summary NAME LABEL WIDTH program-runs... dd-runs...: `rounds` runs of each as
# "seconds cpu"; prints the medians, the best runs and the CPU time per GiB of `size` bytes.
# The peer is named by $peer_label (dd unless set).
summary() {
  local name=$1 label=$2 width=$3; shift 3
  printf '%s\n' "$@" | awk -v name="$name" -v label="$label" -v w="$width" -v size="$size" -v n="$rounds" -v peer="${peer_label:-dd}" '
    function sort(a, m,   i, j, t) {
      for (i = 2; i <= m; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
    }
    function median(a, m) { sort(a, m); return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
    NR <= n { ks[NR] = $1; kc[NR] = $2 } NR > n { ds[NR - n] = $1; dc[NR - n] = $2 }
    END {
      gib = size / 1073741824
      km = size / median(ks, n) / 1e6; dm = size / median(ds, n) / 1e6
      kb = size / ks[1] / 1e6; db = size / ds[1] / 1e6
      printf "%-" w "s median: %s %6.0f MB/s, %s %6.0f MB/s, ratio %.2f; best: %s %6.0f MB/s, %s %6.0f MB/s, ratio %.2f\n",
             name, label, km, peer, dm, km / dm, label, kb, peer, db, kb / db
      printf "%-" w "s CPU per GiB (median): %s %.2f s, %s %.2f s\n", name, label, median(kc, n) / gib, peer, median(dc, n) / gib }'
}

# random_drive: fills $drive with $size random bytes unless it has that size already.
random_drive() {
  if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
    head -c "$size" /dev/urandom >"$drive"
  fi
}

# korvane_timed MODE: one korvane_bench run over $drive and $image -> "seconds cpu"; exits when it fails.
korvane_timed() {
  local out
  out=$(wine "$exe" "$1" "$(winpath "$drive")" "$(winpath "$image")" "$size" | tr -d '\r')
  case "$out" in *ok=1*) ;; *) echo "korvane_bench $1 failed: $out" >&2; exit 1 ;; esac
  sed -E 's/.*seconds=([0-9.]+) cpu=([0-9.]+).*/\1 \2/' <<<"$out"
}
