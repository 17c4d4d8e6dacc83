#!/usr/bin/env bash
# Whole jobs as the operator runs them, from the press to the outcome box, against dd in the
# same run: a file-backed drive of 1 GiB, a create (verify off, checksum file on: the
# defaults but the verify), a restore of that image (checked against its checksum file), and
# a create with the verify on against dd copying and then reading both files back. Page
# cache dropped before each run; medians and best runs; then one run of each printed with
# where its time went (the job's calls in order, and per thread its reads, writes, waits
# and CPU time). Then the same create and restore on a drive that reads nothing ahead and
# takes each request in turn, as Windows gives a disk opened without buffering (modelled at
# KORVANE_BENCH_DRIVE_MBPS, default 400 MB/s; its peer is the drive's own time; what was
# written to it is synced before the next run, since such a drive's flush has nothing to write),
# and the verify step of a create on that drive against the drive's own time.
# Then the restore on the drive as fast as its file, but each write of it flushed before it
# returns (KORVANE_BENCH_DRIVE_WRITE_THROUGH=1), as Windows writes a disk opened without
# buffering: nothing of it waits in a cache for the flush at the end. Its peers are dd as
# above, dd writing each block through, and dd writing past the cache with one flush.
# Each round also times what bounds a hashed job: the create and the restore without a
# checksum, and the hash alone over as many bytes; a plain copy through Wine's file layer
# (korvane_bench copy: dd's loop as a Windows program); and the verify step (from its status
# text to the next) against dd reading the drive, and against two dd reading the drive and
# the image at once, as the verify does, and against both files read and compared under
# Wine right after the job, as the verify finds them (korvane_bench compare). The copy's
# steady rate is taken from its writes of whole chunks, after the first. And the least any
# hashed job does here: that copy with each block hashed once written, on a second thread
# (korvane_bench copy-hashed), from the drive to a new file as a create, and from the image
# back onto the drive as a restore; and what no hashed create can beat: the copy with as many
# bytes hashed beside it, the two sharing the processors and nothing else (korvane_bench
# copy-beside-hash). Last, the create's copy as a native Linux program, the same loop with
# the same flushes on the way and no Wine (bench/native_hashed_copy.c, built here with cc
# and OpenSSL's libcrypto; skipped where they are missing): what a hashed create reaches on
# this machine without Wine, its digest checked against the job's checksum file; and the
# same program from the image back onto the drive, written over in place and flushed once
# at the end, as the restore's drive is: a hashed restore without Wine.
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

job() { # create|restore verify [tag [checksum]] -> "seconds cpu"; the whole report in $work/jobs-last-<kind>.txt
  local out
  out=$(wine "$exe" "$1" "$(winpath "$drive")" "$(winpath "$image")" "$size" "$2" "${4:-1}" | tr -d '\r')
  printf '%s\n' "$out" >"$work/jobs-last-$1-$2${3:-}.txt"
  case "$out" in *ok=1*) ;; *) echo "korvane_job_bench $1 failed: $out" >&2; exit 1 ;; esac
  sed -nE '1s/.*seconds=([0-9.]+) cpu=([0-9.]+).*/\1 \2/p' <<<"$out"
}
ddrun() { # shell line -> "seconds cpu"
  local t
  t=$( { /usr/bin/time -f '%e %U %S' bash -c "$1" >/dev/null; } 2>&1 | tail -1)
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' <<<"$t"
}
field() { sed -nE "1s/.* $1=([0-9.]+).*/\\1/p" "$work/jobs-last-$2.txt"; } # NAME REPORT -> its value
dd_create="dd if='$drive' of='$ddimage' bs=$chunk conv=fsync status=none"
dd_restore="dd if='$ddimage' of='$drive' bs=$chunk conv=notrunc,fsync status=none"
# The verify's peer: the copy, then both files read back (with the cache dropped between).
dd_verify="$dd_create && sync && echo 3 >/proc/sys/vm/drop_caches && cat '$drive' '$ddimage' >/dev/null"

# The bounds of a hashed job: the same create and restore without a checksum, and the hash alone.
hash_exe=$(dirname "$exe")/korvane_bench.exe
bench_seconds() { # korvane_bench's arguments -> "seconds 0"; exits when it fails
  local out
  out=$(wine "$hash_exe" "$@" | tr -d '\r')
  case "$out" in *ok=1*) ;; *) echo "korvane_bench $1 failed: $out" >&2; exit 1 ;; esac
  sed -nE 's/.*seconds=([0-9.]+).*/\1 0/p' <<<"$out"
}
hash_alone() { bench_seconds sha256 processor "$size"; }
# dd through Wine's file layer (korvane_bench copy): what Wine itself costs a copy.
wine_copy() { bench_seconds copy "$(winpath "$drive")" "$(winpath "$ddimage")"; }
# The same copy, each block hashed once written: FROM TO.
hashed_copy() { bench_seconds copy-hashed "$(winpath "$1")" "$(winpath "$2")"; }
# The copy from the drive with as many bytes hashed beside it, on a thread of their own.
beside_hash() { bench_seconds copy-beside-hash "$(winpath "$drive")" "$(winpath "$ddimage")"; }

# The hashed copy as a native program, its digest checked against the job's: FROM TO [STRETCH].
native_exe=$work/native_hashed_copy
if ! cc -O2 -o "$native_exe" "$here/bench/native_hashed_copy.c" -lcrypto -lpthread 2>/dev/null; then
  native_exe=
  echo "native hashed copy skipped: it needs cc and OpenSSL's headers (libssl-dev)"
fi
native_copy() {
  local out
  out=$("$native_exe" "$@")
  case "$out" in *" digest=$want "*"ok=1"*) ;; *) echo "native hashed copy failed: $out (want $want)" >&2; exit 1 ;; esac
  sed -nE 's/.*seconds=([0-9.]+).*/\1 0/p' <<<"$out"
}

longer() { # "seconds cpu" "seconds cpu" -> "the longer seconds 0"
  awk -v a="${1% *}" -v b="${2% *}" 'BEGIN { print (a > b ? a : b), 0 }'
}

declare -a kc dc kr dr kv dv ku kru kh kb krb ks rs vs vd vb vc kw kwh krh kwb kbh kn knb knr knrb
for ((i = 1; i <= rounds; i++)); do
  rm -f "$image" "$image.sha256"; drop; kc+=("$(job create 0)"); ks+=("$(field steady create-0)")
  want=$(cut -c1-64 "$image.sha256")
  rm -f "$ddimage"; drop; dc+=("$(ddrun "$dd_create")")
  drop; kr+=("$(job restore 0)"); rs+=("$(field steady restore-0)")
  drop; dr+=("$(ddrun "$dd_restore")")
  rm -f "$image" "$image.sha256"; drop; kv+=("$(job create 1)"); vs+=("$(field verify create-1) 0")
  # The least verify under Wine, as the verify step finds the files: just written and read.
  vc+=("$(bench_seconds compare "$(winpath "$drive")" "$(winpath "$image")")")
  rm -f "$ddimage"; drop; dv+=("$(ddrun "$dd_verify")")
  drop; vd+=("$(ddrun "dd if='$drive' of=/dev/null bs=$chunk status=none")")
  # The verify reads both files at once: so do two dd.
  drop; vb+=("$(ddrun "dd if='$drive' of=/dev/null bs=$chunk status=none &
                      dd if='$image' of=/dev/null bs=$chunk status=none; wait")")
  rm -f "$image" "$image.sha256"; drop; ku+=("$(job create 0 -unhashed 0)")
  drop; kru+=("$(job restore 0 -unhashed)") # no checksum file: nothing to check against
  rm -f "$ddimage"; drop; kw+=("$(wine_copy)")
  rm -f "$ddimage"; drop; kwh+=("$(hashed_copy "$drive" "$ddimage")")
  drop; krh+=("$(hashed_copy "$ddimage" "$drive")")
  rm -f "$ddimage"; drop; kbh+=("$(beside_hash)")
  if [ -n "$native_exe" ]; then
    rm -f "$ddimage"; drop; kn+=("$(native_copy "$drive" "$ddimage")")
    drop; knr+=("$(native_copy "$ddimage" "$drive" 0)")
  fi
  kh+=("$(hash_alone)")
  knb+=("$(longer "${dc[-1]}" "${kh[-1]}")")
  knrb+=("$(longer "${dr[-1]}" "${kh[-1]}")")
  kwb+=("$(longer "${kw[-1]}" "${kh[-1]}")")
  kb+=("$(longer "${ku[-1]}" "${kh[-1]}")")
  krb+=("$(longer "${kru[-1]}" "${kh[-1]}")")
  echo "round $i: create ${kc[-1]} dd ${dc[-1]}; restore ${kr[-1]} dd ${dr[-1]}; create+verify ${kv[-1]} dd+read ${dv[-1]};" \
    "verify step ${vs[-1]% *} dd read ${vd[-1]% *}; unhashed create ${ku[-1]% *} restore ${kru[-1]% *}, hash alone ${kh[-1]% *}"
done
cmp -s "$drive" "$image" || { echo "drive and image differ after the runs" >&2; exit 1; }

echo "size $size bytes, block $chunk bytes, $rounds round(s) each, page cache $cache before each run, data in $work"
summary create job 15 "${kc[@]}" "${dc[@]}"
summary restore job 15 "${kr[@]}" "${dr[@]}"
summary create+verify job 15 "${kv[@]}" "${dv[@]}"
# A hashed job is bound by the slower of the same job without its hash and the hash alone
# (in speed: the min of the two; in time: the longer).
# (Their processor times are in the rows above: a bound and a step have none of their own.)
{
  peer_label=bound summary "create against min(unhashed, hash alone)" job 42 "${kc[@]}" "${kb[@]}"
  peer_label=bound summary "restore against min(unhashed, hash alone)" job 42 "${kr[@]}" "${krb[@]}"
  peer_label="dd read" summary "verify step against dd reading the drive" verify 42 "${vs[@]}" "${vd[@]}"
  peer_label="dd both" summary "verify step against dd reading both at once" verify 42 "${vs[@]}" "${vb[@]}"
  peer_label="compare" summary "verify step against a compare under Wine" verify 42 "${vs[@]}" "${vc[@]}"
  peer_label="dd read" summary "compare under Wine against dd reading the drive" compare 42 "${vc[@]}" "${vd[@]}"
  peer_label="copy under Wine" summary "create without checksum against a copy under Wine" job 42 "${ku[@]}" "${kw[@]}"
  peer_label=dd summary "copy under Wine against dd" "copy" 42 "${kw[@]}" "${dc[@]}"
  # The least a hashed job does, as a program under Wine: against its bound and dd, and the jobs against it.
  peer_label=bound summary "hashed copy under Wine against min(copy, hash alone)" "hashed copy" 42 "${kwh[@]}" "${kwb[@]}"
  peer_label=dd summary "hashed copy under Wine against dd" "hashed copy" 42 "${kwh[@]}" "${dc[@]}"
  peer_label=dd summary "hashed copy onto the drive against dd" "hashed copy" 42 "${krh[@]}" "${dr[@]}"
  peer_label="hashed copy" summary "create against a hashed copy under Wine" job 42 "${kc[@]}" "${kwh[@]}"
  peer_label=dd summary "copy beside its hash under Wine against dd" "beside" 42 "${kbh[@]}" "${dc[@]}"
  peer_label=bound summary "copy beside its hash against min(copy, hash alone)" "beside" 42 "${kbh[@]}" "${kwb[@]}"
  peer_label="beside" summary "create against a copy beside its hash" job 42 "${kc[@]}" "${kbh[@]}"
  peer_label="hashed copy" summary "restore against a hashed copy onto the drive" job 42 "${kr[@]}" "${krh[@]}"
  if [ -n "$native_exe" ]; then
    peer_label=dd summary "native hashed copy against dd" "native" 42 "${kn[@]}" "${dc[@]}"
    peer_label=bound summary "native hashed copy against min(dd, hash alone)" "native" 42 "${kn[@]}" "${knb[@]}"
    peer_label="native" summary "create against a native hashed copy" job 42 "${kc[@]}" "${kn[@]}"
    peer_label=dd summary "native hashed copy onto the drive against dd" "native" 42 "${knr[@]}" "${dr[@]}"
    peer_label=bound summary "native copy onto the drive against min(dd, hash alone)" "native" 42 "${knr[@]}" "${knrb[@]}"
    peer_label="native" summary "restore against a native hashed copy onto the drive" job 42 "${kr[@]}" "${knr[@]}"
  fi
} | grep -v 'CPU per GiB'
median_of() { # LABEL MB/s... -> "LABEL (median): N MB/s"
  printf '%s\n' "${@:2}" | sort -n |
    awk -v n=$# -v what="$1" '{ a[NR] = $1 } END { printf "%s (median): %.0f MB/s\n", what, a[int(n / 2)] }'
}
median_of "the create's copy after its first chunk" "${ks[@]}"
median_of "the restore's copy after its first chunk" "${rs[@]}"
median_of "the hash alone" $(for h in "${kh[@]}"; do awk -v s="$size" -v t="${h% *}" 'BEGIN { printf "%.0f\n", s / t / 1e6 }'; done)
rate=${KORVANE_BENCH_DRIVE_MBPS:-400}
declare -a mc mr md mv
for ((i = 1; i <= rounds; i++)); do
  rm -f "$image" "$image.sha256"; sync; mc+=("$(KORVANE_BENCH_DRIVE_MBPS=$rate job create 0 -paced)")
  sync; mr+=("$(KORVANE_BENCH_DRIVE_MBPS=$rate job restore 0 -paced)")
  md+=("$(awk -v s="$size" -v r="$rate" 'BEGIN { printf "%.3f 0\n", s / r / 1e6 }')")
  # The verify reads such a drive too: nothing read ahead for it but what its own threads read.
  rm -f "$image" "$image.sha256"; sync; KORVANE_BENCH_DRIVE_MBPS=$rate job create 1 -paced >/dev/null
  mv+=("$(field verify create-1-paced) 0")
done
peer_label=drive summary "create, drive paced at $rate MB/s" job 36 "${mc[@]}" "${md[@]}"
peer_label=drive summary "restore, drive paced at $rate MB/s" job 36 "${mr[@]}" "${md[@]}"
peer_label=drive summary "verify step, drive paced at $rate MB/s" verify 36 "${mv[@]}" "${md[@]}" | grep -v 'CPU per GiB'
# dd also writes as that drive is written (each block through: oflag=dsync), and as Windows
# writes a disk opened without buffering (past the cache, one flush at the end: oflag=direct).
declare -a kt dt ds dn
for ((i = 1; i <= rounds; i++)); do
  drop; kt+=("$(KORVANE_BENCH_DRIVE_WRITE_THROUGH=1 job restore 0 -through)")
  drop; dt+=("$(ddrun "$dd_restore")")
  drop; ds+=("$(ddrun "dd if='$ddimage' of='$drive' bs=$chunk conv=notrunc oflag=dsync status=none")")
  drop; dn+=("$(ddrun "dd if='$ddimage' of='$drive' bs=$chunk conv=notrunc,fsync oflag=direct status=none")")
done
summary "restore, drive written through" job 36 "${kt[@]}" "${dt[@]}"
peer_label="dd dsync" summary "restore written through, dd the same" job 36 "${kt[@]}" "${ds[@]}"
peer_label="dd direct" summary "restore written through, dd unbuffered" job 36 "${kt[@]}" "${dn[@]}"
peer_label=dd summary "dd unbuffered against dd" "dd direct" 36 "${dn[@]}" "${dt[@]}"
for report in create-0 restore-0 create-1 create-0-paced restore-0-paced restore-0-through; do
  echo "--- where the time went, last $report run:"
  tail -n +2 "$work/jobs-last-$report.txt"
done
