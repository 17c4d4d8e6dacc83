#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, and the
# standard tools that judge the program's results (ddrescuelog, sgdisk, sfdisk, fsck.fat),
# and zip and unzip for the download (scripts/package.sh, scripts/check-package.sh).
# The compression libraries: zlib built for mingw-w64, and the kernel source package whose
# lib/xz and lib/zstd the build takes (cmake/codecs.cmake); the tools that make and judge
# compressed and virtual-disk images in the tests and the benchmark (xz, zstd, pigz, qemu-img).
# Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 wine32:i386 xvfb xauth x11-utils xdotool imagemagick googletest
          python3 util-linux coreutils file qemu-user-static
          gddrescue gdisk fdisk dosfstools mtools zip unzip
          libz-mingw-w64-dev linux-source-6.12 xz-utils zstd pigz qemu-utils)

need=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
# A mirror caught in the middle of its sync serves index files of the wrong size for a
# while: the update is tried again before the set-up gives up.
for try in 1 2 3 4 5; do
  as_root apt-get update -qq && break
  [ "$try" -lt 5 ] || exit 1
  echo "setup: apt-get update failed (try $try of 5); trying again in 30 s" >&2
  sleep 30
done
DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${need[@]}"
