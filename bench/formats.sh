#!/usr/bin/env bash
# Image formats against the standard tools on the same data in the same run: a file-backed
# drive of 64 chunks (about 502 MiB) holding a FAT32 file system with real files and free
# space. Creates: imaged by korvane_bench into .img.gz, .img.zst and .vhdx (SHA-256 included,
# as the job runs it) against `pigz -1`, `zstd -T0 -3` and `qemu-img convert -O vhdx`; times
# (medians) and sizes, with the ratios to the peer (targets: time within 1.1 x, size within
# 1.05 x). Restores: from .img.xz, .img.zst and .img.gz made by the tools at their default
# levels onto a drive file, against `xz -dc`, `zstd -dc` and `gzip -dc` piped into dd with
# the program's block size and fsync; page cache dropped before each run. Each create is also
# timed without its SHA-256 (no checksum file), which the peers don't compute.
#   bench/formats.sh [build-root] [rounds]     (default: build 3; data folder: KORVANE_BENCH_DATA)
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build}
rounds=${2:-3}
bench_exe=korvane_bench.exe
. "$here/bench/common.sh"
size=$((64 * chunk))    # 526 417 920 bytes, 514 080 KiB
drive=$work/formats-drive.bin

# The drive: FAT32 with documentation, locales and compiler files copied in, free space left.
if [ "$(stat -c %s "$drive" 2>/dev/null || echo 0)" != "$size" ]; then
  rm -f "$drive"
  mkfs.fat -F 32 -C "$drive" $((size / 1024)) >/dev/null
  for dir in /usr/share/doc /usr/share/locale /usr/x86_64-w64-mingw32/lib /usr/lib/python3; do
    [ -d "$dir" ] && mcopy -s -Q -i "$drive" "$dir" "::/$(basename "$dir")-$RANDOM" 2>/dev/null || true
  done
fi
echo "drive: $size bytes, $(mdir -i "$drive" -/ :: 2>/dev/null | tail -1 | sed 's/^ *//')"

start_wine
timed() { # command... -> "seconds cpu" of a shell pipeline
  local t
  t=$( { /usr/bin/time -f '%e %U %S' bash -c "$*" >/dev/null; } 2>&1 | tail -1)
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' <<<"$t"
}
median() { printf '%s\n' "$@" | awk '{ print $1 }' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

for format in gz zst vhdx; do
  image=$work/formats-image.img.$format
  peer=$work/formats-peer.$format
  case $format in
    gz) peer_cmd="pigz -1 -c '$drive' > '$peer'"; check="gzip -t"; dec="gzip -dc" ;;
    zst) peer_cmd="zstd -q -T0 -3 -c '$drive' > '$peer'"; check="zstd -q -t"; dec="zstd -dc" ;;
    vhdx) peer_cmd="qemu-img convert -q -f raw -O vhdx '$drive' '$peer'"; check="qemu-img check -q"
          dec="qemu-img dd -f vhdx of=/dev/stdout if=" ;;
  esac
  declare -a k=() p=() u=()
  for ((i = 1; i <= rounds; i++)); do
    rm -f "$image" "$peer"
    u+=("$(korvane_timed create-unhashed)")
    rm -f "$image"
    k+=("$(korvane_timed create)")
    p+=("$(timed "$peer_cmd")")
  done
  if [ $format = vhdx ]; then
    $check "$image" && qemu-img compare -q -f vhdx -F raw "$image" "$drive" ||
      { echo "the .$format image doesn't give the drive back" >&2; exit 1; }
  else
    $check "$image" && $dec "$image" | cmp -s - "$drive" || { echo "the .$format image doesn't give the drive back" >&2; exit 1; }
  fi
  kt=$(median "${k[@]}"); pt=$(median "${p[@]}"); ut=$(median "${u[@]}")
  ks=$(stat -c %s "$image"); ps=$(stat -c %s "$peer")
  awk -v f=$format -v kt="$kt" -v pt="$pt" -v ut="$ut" -v ks="$ks" -v ps="$ps" -v size="$size" 'BEGIN {
    printf ".%s: korvane %.2f s (%.0f MB/s), %d bytes | peer %.2f s (%.0f MB/s), %d bytes | time %.2f x, size %.3f x | without the SHA-256 %.2f s, %.2f x\n",
      f, kt, size / kt / 1e6, ks, pt, size / pt / 1e6, ps, kt / pt, ks / ps, ut, ut / pt }'
  rm -f "$image" "$peer"
done

# Restores: the same drive's image made by each tool, written onto a target file.
source_drive=$drive
drive=$work/formats-target.bin
head -c "$size" /dev/zero >"$drive"
for format in xz zst gz; do
  image=$work/formats-restore.img.$format
  case $format in
    xz) xz -T0 -c "$source_drive" >"$image"; dec="xz -dc" ;;
    zst) zstd -q -T0 -c "$source_drive" >"$image"; dec="zstd -q -dc" ;;
    gz) gzip -c "$source_drive" >"$image"; dec="gzip -dc" ;;
  esac
  declare -a k=() p=()
  for ((i = 1; i <= rounds; i++)); do
    drop; k+=("$(korvane_timed restore)")
    drop; p+=("$(timed "$dec '$image' | dd of='$drive' bs=$chunk conv=notrunc,fsync iflag=fullblock status=none")")
  done
  cmp -s "$drive" "$source_drive" || { echo "the restore from .$format doesn't give the drive back" >&2; exit 1; }
  kt=$(median "${k[@]}"); pt=$(median "${p[@]}")
  awk -v f=$format -v kt="$kt" -v pt="$pt" -v size="$size" -v fs="$(stat -c %s "$image")" 'BEGIN {
    printf "restore .%s (%d bytes): korvane %.2f s (%.0f MB/s) | %s -dc | dd %.2f s (%.0f MB/s) | time %.2f x\n",
      f, fs, kt, size / kt / 1e6, f, pt, size / pt / 1e6, kt / pt }'
  rm -f "$image"
done
echo "$rounds round(s), processors: $(nproc), data in $work, page cache $cache before each restore"
