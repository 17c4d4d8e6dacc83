#!/usr/bin/env bash
# Whole jobs as the operator runs them, from the press to the outcome box, against dd in the
# same run: a file-backed drive of 1 GiB, a create (verify off, checksum file on: the
# defaults but the verify), a restore of that image (checked against its checksum file), and
# a create with the verify on against dd copying and then reading both files back. Page
# cache dropped before each run; medians and best runs; then one run of each printed with
# where its time went (the job's calls in order, and per thread its reads, writes, waits
# and CPU time). Then the same create and restore on a drive that reads nothing ahead and
# takes each request in turn, as Windows gives a disk opened without buffering (modelled at
# KORVANE_BENCH_DRIVE_MBPS, default 400 MB/s; its peer is the drive's own time).
#   bench/jobs.sh [build-root] [rounds]     (default: build 5; data folder: KORVANE_BENCH_DATA)
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-5}
bench_exe=korvane_job_bench.exe
. "$here/bench/common.sh"
size=$((131 * chunk))    # 1 077 511 680 bytes
drive=$work/jobs-drive.bin
image=$work/jobs-image.hdd
ddimage=$work/jobs-dd.img

start_wine
random_drive

job() { # create|restore verify [tag] -> "seconds cpu"; the whole report in $work/jobs-last-<kind>.txt
  local out
  out=$(wine "$exe" "$1" "$(winpath "$drive")" "$(winpath "$image")" "$size" "$2" 1 | tr -d '\r')
  printf '%s\n' "$out" >"$work/jobs-last-$1-$2${3:-}.txt"
  case "$out" in *ok=1*) ;; *) echo "korvane_job_bench $1 failed: $out" >&2; exit 1 ;; esac
  sed -nE '1s/.*seconds=([0-9.]+) cpu=([0-9.]+).*/\1 \2/p' <<<"$out"
}
ddrun() { # shell line -> "seconds cpu"
  local t
  t=$( { /usr/bin/time -f '%e %U %S' bash -c "$1" >/dev/null; } 2>&1 | tail -1)
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' <<<"$t"
}
dd_create="dd if='$drive' of='$ddimage' bs=$chunk conv=fsync status=none"
dd_restore="dd if='$ddimage' of='$drive' bs=$chunk conv=notrunc,fsync status=none"
# The verify's peer: the copy, then both files read back (with the cache dropped between).
dd_verify="$dd_create && sync && echo 3 >/proc/sys/vm/drop_caches && cat '$drive' '$ddimage' >/dev/null"

declare -a kc dc kr dr kv dv
for ((i = 1; i <= rounds; i++)); do
  rm -f "$image" "$image.sha256"; drop; kc+=("$(job create 0)")
  rm -f "$ddimage"; drop; dc+=("$(ddrun "$dd_create")")
  drop; kr+=("$(job restore 0)")
  drop; dr+=("$(ddrun "$dd_restore")")
  rm -f "$image" "$image.sha256"; drop; kv+=("$(job create 1)")
  rm -f "$ddimage"; drop; dv+=("$(ddrun "$dd_verify")")
  echo "round $i: create ${kc[-1]} dd ${dc[-1]}; restore ${kr[-1]} dd ${dr[-1]}; create+verify ${kv[-1]} dd+read ${dv[-1]}"
done
cmp -s "$drive" "$image" || { echo "drive and image differ after the runs" >&2; exit 1; }

echo "size $size bytes, block $chunk bytes, $rounds round(s) each, page cache $cache before each run, data in $work"
summary create job 15 "${kc[@]}" "${dc[@]}"
summary restore job 15 "${kr[@]}" "${dr[@]}"
summary create+verify job 15 "${kv[@]}" "${dv[@]}"
rate=${KORVANE_BENCH_DRIVE_MBPS:-400}
declare -a mc mr md
for ((i = 1; i <= rounds; i++)); do
  rm -f "$image" "$image.sha256"; mc+=("$(KORVANE_BENCH_DRIVE_MBPS=$rate job create 0 -paced)")
  mr+=("$(KORVANE_BENCH_DRIVE_MBPS=$rate job restore 0 -paced)")
  md+=("$(awk -v s="$size" -v r="$rate" 'BEGIN { printf "%.3f 0\n", s / r / 1e6 }')")
done
peer_label=drive summary "create, drive paced at $rate MB/s" job 36 "${mc[@]}" "${md[@]}"
peer_label=drive summary "restore, drive paced at $rate MB/s" job 36 "${mr[@]}" "${md[@]}"
for report in create-0 restore-0 create-1 create-0-paced restore-0-paced; do
  echo "--- where the time went, last $report run:"
  tail -n +2 "$work/jobs-last-$report.txt"
done
